// The real driver image, loaded as the world will load it: every import bound to what the
// resolver answered, every absolute address moved to the mapped copy, entered in INIT, each
// section protected as its characteristics say, INIT discardable, and addresses named by the link
// map. Expected values come from the file's own bytes read as the PE format lays them out, from
// the allow-lists in windows/imports/ and from the link map ld wrote.
#include <gtest/gtest.h>

#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <vector>

#include "host/loader/load_error.h"
#include "host/loader/loaded_image.h"
#include "tests/unit/loader/driver_image.h"

namespace {

using host::loader::LoadedImage;
using host::loader::LoadError;
using loader_test::DriverImage;

// Answers every import with an address of its own and remembers what it was asked.
struct RecordingResolver {
    char stubs[256] = {};
    std::vector<std::string> asked;  // "module!name"
    std::map<uintptr_t, std::string> given;

    host::loader::Resolver Get() {
        return [this](std::string_view module, std::string_view name) -> void* {
            asked.push_back(std::string(module) + "!" + std::string(name));
            if (asked.size() > sizeof stubs) return nullptr;
            void* address = &stubs[asked.size() - 1];
            given[reinterpret_cast<uintptr_t>(address)] = asked.back();
            return address;
        };
    }
};

// The protection /proc/self/maps shows for `address`: "r-x", "---", or "unmapped".
std::string Protection(uintptr_t address) {
    std::ifstream maps("/proc/self/maps");
    std::string line;
    while (std::getline(maps, line)) {
        unsigned long long lo = 0, hi = 0;
        char perms[5] = {};
        if (std::sscanf(line.c_str(), "%llx-%llx %4s", &lo, &hi, perms) == 3 && address >= lo &&
            address < hi)
            return std::string(perms, 3);
    }
    return "unmapped";
}

// Whether the `length` bytes at `address` are readable and equal to `expected`, asked without
// touching the address ourselves (a pipe's write answers EFAULT where nothing readable is).
bool Holds(uintptr_t address, const uint8_t* expected, size_t length) {
    int fds[2];
    if (pipe(fds) != 0) return false;
    std::vector<uint8_t> read(length);
    const bool readable = write(fds[1], reinterpret_cast<const void*>(address), length) ==
                              static_cast<ssize_t>(length) &&
                          ::read(fds[0], read.data(), length) == static_cast<ssize_t>(length);
    close(fds[0]);
    close(fds[1]);
    return readable && std::memcmp(read.data(), expected, length) == 0;
}

// Every place the base relocation directory lists, read from the file.
std::vector<uint32_t> RelocatedPlaces(const DriverImage& img) {
    std::vector<uint32_t> places;
    const uint32_t rva = static_cast<uint32_t>(img.Get(img.Directory(5), 4));
    size_t at = img.FileOffset(rva);
    const size_t end = at + img.Get(img.Directory(5) + 4, 4);
    while (at < end) {
        const uint32_t page = static_cast<uint32_t>(img.Get(at, 4));
        const size_t block = img.Get(at + 4, 4);
        for (size_t e = at + 8; e < at + block; e += 2) {
            const auto entry = static_cast<uint16_t>(img.Get(e, 2));
            if (entry >> 12 == 0) continue;  // padding
            EXPECT_EQ(entry >> 12, img.Pe32Plus() ? 10 : 3) << "relocation type at " << page;
            places.push_back(page + (entry & 0xfff));
        }
        at += block;
    }
    return places;
}

TEST(LoadedDriverImage, BindsEveryImportToTheAddressTheResolverGaveAndNothingElse) {
    DriverImage img(loader_test::NativeImagePath());
    LOADER_TEST_NEED(img);
    RecordingResolver resolver;
    const LoadedImage loaded = LoadedImage::LoadFile(img.path, resolver.Get());

    std::set<std::string> allowed;
    for (const auto& [module, name] : loader_test::AllowedImports()) allowed.insert(module + "!" + name);
    std::set<std::string> unique;
    for (const std::string& import : resolver.asked) {
        EXPECT_TRUE(allowed.count(import)) << import << " is not in windows/imports/";
        EXPECT_TRUE(unique.insert(import).second) << import << " was asked twice";
    }
    // The import address table as its own directory bounds it: each slot holds an address the
    // resolver gave, once each, and every import asked for has its slot.
    const uint32_t iat = static_cast<uint32_t>(img.Get(img.Directory(12), 4));
    const uint32_t iatSize = static_cast<uint32_t>(img.Get(img.Directory(12) + 4, 4));
    const size_t width = img.Pe32Plus() ? 8 : 4;
    std::set<uintptr_t> bound;
    for (uint32_t at = iat; at < iat + iatSize; at += static_cast<uint32_t>(width)) {
        uintptr_t slot = 0;
        std::memcpy(&slot, loaded.AddressOf(at), width);
        if (slot == 0) continue;  // the zero entry that ends each module's table
        EXPECT_TRUE(resolver.given.count(slot)) << "slot at RVA " << at << " holds " << slot;
        EXPECT_TRUE(bound.insert(slot).second) << resolver.given[slot] << " bound twice";
    }
    EXPECT_EQ(bound.size(), resolver.asked.size());
    EXPECT_GE(resolver.asked.size(), 40u);  // the driver imports some fifty routines
}

TEST(LoadedDriverImage, MovesEveryAbsoluteAddressToTheMappedCopy) {
    DriverImage img(loader_test::NativeImagePath());
    LOADER_TEST_NEED(img);
    RecordingResolver resolver;
    const LoadedImage loaded = LoadedImage::LoadFile(img.path, resolver.Get());
    const uint64_t preferred = img.Get(img.ImageBase(), img.Pe32Plus() ? 8 : 4);
    ASSERT_EQ(loaded.PreferredBase(), preferred);
    ASSERT_NE(loaded.Base(), preferred);
    EXPECT_EQ(loaded.Base() % static_cast<uintptr_t>(sysconf(_SC_PAGESIZE)), 0u);

    const size_t width = img.Pe32Plus() ? 8 : 4;
    const uint64_t sizeOfImage = img.Get(img.OptionalHeader() + 56, 4);
    const std::vector<uint32_t> places = RelocatedPlaces(img);
    ASSERT_FALSE(places.empty());
    for (uint32_t place : places) {
        uintptr_t mapped = 0;
        std::memcpy(&mapped, loaded.AddressOf(place), width);
        const uint64_t linked = img.Get(img.FileOffset(place), width);
        EXPECT_EQ(mapped, static_cast<uintptr_t>(linked - preferred + loaded.Base())) << place;
        EXPECT_TRUE(mapped >= loaded.Base() && mapped - loaded.Base() < sizeOfImage)
            << "the pointer at RVA " << place << " points outside the mapped image";
    }
    // On x64 the constant pool holds the address of MiniportSend: it points at the routine the
    // link map names, in the mapped copy.
    if (img.Pe32Plus()) {
        ASSERT_NE(loaded.Symbols(), nullptr) << loaded.SymbolSource();
        const auto slot = loaded.Symbols()->RvaOf(".refptr._Z12MiniportSendPvP12_NDIS_PACKETj");
        const auto routine = loaded.Symbols()->RvaOf("MiniportSend");
        ASSERT_TRUE(slot && routine);
        void* pointer = nullptr;
        std::memcpy(&pointer, loaded.AddressOf(*slot), sizeof pointer);
        EXPECT_EQ(pointer, loaded.AddressOf(*routine));
    }
}

TEST(LoadedDriverImage, NeverTakesThePreferredBaseEvenWhenItIsFree) {
    DriverImage img(loader_test::NativeImagePath());
    LOADER_TEST_NEED(img);
    // Link the image (as far as its headers say) for the address the next reservation of its size
    // would most likely get: the one just given back.
    const size_t size = img.Get(img.OptionalHeader() + 56, 4);
    void* probe = mmap(nullptr, size, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(probe, MAP_FAILED);
    munmap(probe, size);
    const auto preferred = reinterpret_cast<uintptr_t>(probe);
    img.Put(img.ImageBase(), img.Pe32Plus() ? 8 : 4, preferred);
    RecordingResolver resolver;
    const LoadedImage loaded = LoadedImage::Load(img.bytes, resolver.Get(), "usbnic.sys");
    EXPECT_NE(loaded.Base(), preferred);
    const uint32_t place = RelocatedPlaces(img).front();
    uintptr_t mapped = 0;
    std::memcpy(&mapped, loaded.AddressOf(place), img.Pe32Plus() ? 8 : 4);
    EXPECT_EQ(static_cast<uintptr_t>(mapped - img.Get(img.FileOffset(place), img.Pe32Plus() ? 8 : 4)),
              loaded.Base() - preferred);
}

TEST(LoadedDriverImage, EntersInInitProtectsSectionsAsTheySayAndDiscardsInit) {
    DriverImage img(loader_test::NativeImagePath());
    LOADER_TEST_NEED(img);
    RecordingResolver resolver;
    uintptr_t base = 0;
    {
        LoadedImage loaded = LoadedImage::LoadFile(img.path, resolver.Get());
        base = loaded.Base();
        EXPECT_TRUE(Holds(base, img.bytes.data(), 64)) << "the headers, where the image starts";
        const uint32_t entry = static_cast<uint32_t>(img.Get(img.OptionalHeader() + 16, 4));
        EXPECT_EQ(loaded.EntryPoint(), reinterpret_cast<void*>(base + entry));
        ASSERT_NE(loaded.SectionOf(loaded.EntryPoint()), nullptr);
        EXPECT_EQ(loaded.SectionOf(loaded.EntryPoint())->name, "INIT");
        std::ostringstream entryRva;
        entryRva << "RVA 0x" << std::hex << entry << " (DriverEntry)";
        EXPECT_EQ(loaded.DescribeRva(entry), entryRva.str()) << loaded.SymbolSource();

        EXPECT_EQ(Protection(base), "r--") << "headers";
        for (size_t i = 0; i < img.SectionCount(); ++i) {
            const size_t h = img.SectionHeader(i);
            const uint32_t characteristics = static_cast<uint32_t>(img.Get(h + 36, 4));
            const std::string expected = characteristics & 0x80000000   ? "rw-"
                                         : characteristics & 0x20000000 ? "r-x"
                                                                        : "r--";
            EXPECT_EQ(Protection(base + img.Get(h + 12, 4)), expected) << img.SectionName(i);
        }

        const uintptr_t init = base + img.Get(img.SectionHeader(img.SectionIndex("INIT")) + 12, 4);
        loaded.Discard("INIT");
        EXPECT_EQ(Protection(init), "---");
        // The kernel reads the discarded page on our behalf and is refused.
        int fds[2];
        ASSERT_EQ(pipe(fds), 0);
        errno = 0;
        EXPECT_EQ(write(fds[1], reinterpret_cast<const void*>(init), 1), -1);
        EXPECT_EQ(errno, EFAULT);
        close(fds[0]);
        close(fds[1]);
        EXPECT_EQ(Protection(base + img.Get(img.SectionHeader(0) + 12, 4)), "r-x")
            << "discarding INIT touched .text";

        EXPECT_THROW(
            try { loaded.Discard("PAGE"); } catch (const LoadError& e) {
                EXPECT_STREQ(e.what(), "usbnic.sys: section PAGE is not marked discardable "
                                       "(IMAGE_SCN_MEM_DISCARDABLE)");
                throw;
            },
            LoadError);
        EXPECT_THROW(loaded.Discard("INITX"), LoadError);
        EXPECT_EQ(Protection(base + img.Get(img.SectionHeader(img.SectionIndex("PAGE")) + 12, 4)),
                  "r-x");
    }
    // The image's headers are gone from where it was. Whether the address is mapped at all is
    // not asked: the process's allocators may map fresh memory there as soon as it is free.
    EXPECT_FALSE(Holds(base, img.bytes.data(), 64)) << "the image outlived its LoadedImage";
}

TEST(LoadedDriverImage, NamesTheRoutineAtAnAddressFromTheLinkMapBesideIt) {
    DriverImage img(loader_test::NativeImagePath());
    LOADER_TEST_NEED(img);
    RecordingResolver resolver;
    const LoadedImage loaded = LoadedImage::LoadFile(img.path, resolver.Get());
    const std::string mapPath = img.path.substr(0, img.path.size() - 4) + ".map";
    EXPECT_EQ(loaded.SymbolSource(), mapPath);
    ASSERT_NE(loaded.Symbols(), nullptr);
    const auto send = loaded.Symbols()->RvaOf("MiniportSend");
    ASSERT_TRUE(send);
    std::ostringstream expected;
    expected << "usbnic.sys RVA 0x" << std::hex << *send + 0x10 << " (MiniportSend+0x10)";
    EXPECT_EQ(loaded.DescribeAddress(static_cast<char*>(loaded.AddressOf(*send)) + 0x10),
              expected.str());
    const int local = 0;
    EXPECT_NE(loaded.DescribeAddress(&local).find(", not in usbnic.sys"), std::string::npos);

    // A map of another link is not believed: addresses are named by their sections instead.
    const std::filesystem::path dir = std::filesystem::path(testing::TempDir()) / "loader_stale_map";
    std::filesystem::create_directories(dir);
    std::filesystem::copy_file(img.path, dir / "usbnic.sys",
                               std::filesystem::copy_options::overwrite_existing);
    {
        std::ifstream in(mapPath);
        std::stringstream text;
        text << in.rdbuf();
        std::string map = text.str();
        const size_t at = map.find("__image_base__ = ");
        ASSERT_NE(at, std::string::npos);
        const size_t from = map.rfind('\n', at) + 1;
        map.replace(from, map.find('\n', at) - from, "                0x00210000    __image_base__ = 0x210000");
        std::ofstream(dir / "usbnic.map") << map;
    }
    const LoadedImage stale = LoadedImage::LoadFile(dir / "usbnic.sys", resolver.Get());
    std::filesystem::remove_all(dir);
    EXPECT_EQ(stale.Symbols(), nullptr);
    EXPECT_NE(stale.SymbolSource().find("not used: the link map is of an image based at 0x210000"),
              std::string::npos)
        << stale.SymbolSource();
    std::ostringstream bySection;
    const uint64_t text = img.Get(img.SectionHeader(img.SectionIndex(".text")) + 12, 4);
    bySection << "RVA 0x" << std::hex << *send + 0x10 << " (.text+0x" << *send + 0x10 - text << ")";
    EXPECT_EQ(stale.DescribeRva(*send + 0x10), bySection.str());
}

}  // namespace
