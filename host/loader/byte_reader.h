// Little-endian reads from bytes the loader does not trust. Every read names the field it is for,
// so a short input is refused as "truncated <field>: needs 4 bytes at offset 0x3c, the input has
// 0x30" rather than read past its end.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

namespace host::loader {

class ByteReader {
public:
    explicit ByteReader(std::span<const uint8_t> bytes) : bytes_(bytes) {}

    uint16_t U16(uint64_t offset, std::string_view field) const;
    uint32_t U32(uint64_t offset, std::string_view field) const;
    uint64_t U64(uint64_t offset, std::string_view field) const;
    // `size` bytes at `offset`, all present, or a LoadError naming `field`.
    std::span<const uint8_t> Bytes(uint64_t offset, uint64_t size, std::string_view field) const;

    size_t Size() const { return bytes_.size(); }

private:
    std::span<const uint8_t> bytes_;
};

}  // namespace host::loader
