#include "host/loader/byte_reader.h"

#include <cinttypes>
#include <cstdio>
#include <string>

#include "host/loader/load_error.h"

namespace host::loader {

std::string Hex(uint64_t value) {
    char text[24];
    std::snprintf(text, sizeof text, "0x%" PRIx64, value);
    return text;
}

std::span<const uint8_t> ByteReader::Bytes(uint64_t offset, uint64_t size,
                                           std::string_view field) const {
    // Both operands are checked against the size separately, so no sum can wrap.
    if (offset > bytes_.size() || size > bytes_.size() - offset)
        throw LoadError("truncated " + std::string(field) + ": needs " + Hex(size) +
                        " bytes at offset " + Hex(offset) + ", the input has " +
                        Hex(bytes_.size()));
    return bytes_.subspan(static_cast<size_t>(offset), static_cast<size_t>(size));
}

uint16_t ByteReader::U16(uint64_t offset, std::string_view field) const {
    const auto b = Bytes(offset, 2, field);
    return static_cast<uint16_t>(b[0] | b[1] << 8);
}

uint32_t ByteReader::U32(uint64_t offset, std::string_view field) const {
    const auto b = Bytes(offset, 4, field);
    return static_cast<uint32_t>(b[0]) | static_cast<uint32_t>(b[1]) << 8 |
           static_cast<uint32_t>(b[2]) << 16 | static_cast<uint32_t>(b[3]) << 24;
}

uint64_t ByteReader::U64(uint64_t offset, std::string_view field) const {
    const auto b = Bytes(offset, 8, field);
    uint64_t value = 0;
    for (int i = 7; i >= 0; --i) value = value << 8 | b[static_cast<size_t>(i)];
    return value;
}

}  // namespace host::loader
