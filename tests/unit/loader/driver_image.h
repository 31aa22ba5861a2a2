// The driver as the Windows build links it (scripts/build-windows.sh), for the loader's tests:
// its bytes, and the fields the tests mutate, located as the PE format places them (not as the
// loader does). Tests skip, naming the missing file, when the image has not been built.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

namespace loader_test {

struct DriverImage {
    std::string path;
    std::vector<uint8_t> bytes;

    explicit DriverImage(std::string p) : path(std::move(p)) {
        std::ifstream in(path, std::ios::binary);
        bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    bool Present() const { return !bytes.empty(); }

    uint64_t Get(size_t offset, size_t width) const {
        uint64_t v = 0;
        std::memcpy(&v, bytes.data() + offset, width);
        return v;
    }
    void Put(size_t offset, size_t width, uint64_t v) { std::memcpy(bytes.data() + offset, &v, width); }

    size_t PeHeader() const { return Get(0x3c, 4); }                   // e_lfanew
    size_t Machine() const { return PeHeader() + 4; }
    size_t OptionalHeader() const { return PeHeader() + 24; }
    bool Pe32Plus() const { return Get(OptionalHeader(), 2) == 0x20b; }
    size_t Subsystem() const { return OptionalHeader() + 68; }
    size_t ImageBase() const { return OptionalHeader() + (Pe32Plus() ? 24 : 28); }
    size_t Directory(unsigned index) const {
        return OptionalHeader() + (Pe32Plus() ? 112 : 96) + 8 * index;
    }
    size_t SectionCount() const { return Get(PeHeader() + 6, 2); }
    size_t SectionHeader(size_t i) const {
        return OptionalHeader() + Get(PeHeader() + 20, 2) + 40 * i;
    }
    std::string SectionName(size_t i) const {
        return std::string(reinterpret_cast<const char*>(bytes.data() + SectionHeader(i)),
                           strnlen(reinterpret_cast<const char*>(bytes.data() + SectionHeader(i)), 8));
    }
    size_t SectionIndex(const std::string& name) const {
        for (size_t i = 0; i < SectionCount(); ++i)
            if (SectionName(i) == name) return i;
        ADD_FAILURE() << "no section " << name << " in " << path;
        return 0;
    }
    // The file offset of an RVA inside a section's file data.
    size_t FileOffset(uint32_t rva) const {
        for (size_t i = 0; i < SectionCount(); ++i) {
            const size_t h = SectionHeader(i);
            const uint32_t va = static_cast<uint32_t>(Get(h + 12, 4));
            if (rva >= va && rva - va < Get(h + 16, 4)) return Get(h + 20, 4) + (rva - va);
        }
        ADD_FAILURE() << "RVA " << rva << " has no file data";
        return 0;
    }
    size_t Find(const std::string& text) const {
        const auto at = std::search(bytes.begin(), bytes.end(), text.begin(), text.end());
        EXPECT_NE(at, bytes.end()) << text << " not in " << path;
        return static_cast<size_t>(at - bytes.begin());
    }
};

// {module, name} of every export windows/imports/ allows this world's machine to import.
inline std::vector<std::pair<std::string, std::string>> AllowedImports() {
    std::vector<std::pair<std::string, std::string>> allowed;
    const std::string other = sizeof(void*) == 8 ? "x86" : "x64";
    for (const char* module : {"NDIS.SYS", "ntoskrnl.exe", "HAL.dll", "USBD.SYS"}) {
        std::ifstream list(std::filesystem::path(TESTS_DIR) / ".." / "windows" / "imports" /
                           (std::string(module) + ".txt"));
        EXPECT_TRUE(list) << module;
        std::string line;
        while (std::getline(list, line)) {
            std::istringstream words(line);
            std::string name, arch;
            words >> name >> arch;
            if (!name.empty() && name[0] != '#' && arch != other) allowed.emplace_back(module, name);
        }
    }
    return allowed;
}

// The image for this world's machine (x64, or x86 in a -m32 build), and the other one.
inline std::string NativeImagePath() { return NICSIM_DRIVER_IMAGE; }
inline std::string ForeignImagePath() { return NICSIM_FOREIGN_DRIVER_IMAGE; }

#define LOADER_TEST_NEED(image)                                                                \
    if (!(image).Present())                                                                    \
    GTEST_SKIP() << "no driver image at " << (image).path                                      \
                 << ": scripts/build-windows.sh builds it (configure with "                    \
                    "-DNICSIM_DRIVER_IMAGE=PATH to test another)"

}  // namespace loader_test
