// The link map as GNU ld writes it for a PE image (the layout of build/windows-*/windows/
// usbnic.map, cut down): addresses are named by the nearest global symbol, without parameters or
// stdcall decoration, or by the object file's input section where a static routine has no symbol;
// a map of another link is recognised.
#include <gtest/gtest.h>

#include "host/loader/link_map.h"
#include "host/loader/load_error.h"

namespace {

using host::loader::Headers;
using host::loader::LinkMap;
using host::loader::LoadError;

constexpr const char* kMap = R"(Archive member included to satisfy reference by file (symbol)

/usr/lib/libndis.a(libndiss00540.o)
                              first.cpp.obj (__imp_NdisWriteErrorLogEntry)

Memory Configuration

Name             Origin             Length             Attributes
*default*        0x0000000000000000 0xffffffffffffffff

Linker script and memory map

                0x0000000000010000                __image_base__ = 0x10000
LOAD windows/CMakeFiles/usbnic.dir/first.cpp.obj
                0x00000000000002f0                . = SIZEOF_HEADERS

.text           0x0000000000011000      0x200
 *(.text)
 .text          0x0000000000011000      0x100 windows/CMakeFiles/usbnic.dir/first.cpp.obj
                0x0000000000011000                Alpha(int)
                0x0000000000011040                Beta(void*, _NDIS_PACKET*, unsigned int)@12
 .text          0x0000000000011100       0x80 windows/CMakeFiles/usbnic.dir/second.cpp.obj
                0x0000000000011140                (anonymous namespace)::Gamma(int) const
 .text.unlikely
                0x0000000000011180       0x20 windows/CMakeFiles/usbnic.dir/first.cpp.obj
 *fill*         0x00000000000111a0       0x60 
                0x00000000000111a0        0x4 LONG 0xffffffffffffffff

.data           0x0000000000012000        0x0
                0x0000000000012000                __data_start__ = .

.bss            0x0000000000013000       0x10
                0x0000000000013000                Counter
OUTPUT(windows/usbnic.sys pei-x86-64)
)";

TEST(LinkMap, NamesAddressesByNearestSymbolOrInputSection) {
    const LinkMap map = LinkMap::Parse(kMap);
    EXPECT_EQ(map.ImageBase(), 0x10000u);
    EXPECT_EQ(map.Nearest(0x1000), "Alpha");
    EXPECT_EQ(map.Nearest(0x1044), "Beta+0x4");
    EXPECT_EQ(map.Nearest(0x1110), "second.cpp.obj(.text)+0x10");  // a static routine
    EXPECT_EQ(map.Nearest(0x1150), "(anonymous namespace)::Gamma+0x10");
    EXPECT_EQ(map.Nearest(0x1190), "first.cpp.obj(.text.unlikely)+0x10");
    EXPECT_EQ(map.Nearest(0x3008), "Counter+0x8");
    EXPECT_EQ(map.Nearest(0x2000), "");  // an empty section holds nothing
    EXPECT_EQ(map.Nearest(0x5000), "");
    EXPECT_EQ(map.RvaOf("Beta"), 0x1040u);
    EXPECT_FALSE(map.RvaOf("__data_start__"));
}

TEST(LinkMap, RecognisesAMapOfAnotherLink) {
    const LinkMap map = LinkMap::Parse(kMap);
    Headers h;
    h.imageBase = 0x10000;
    h.entryRva = 0x1040;
    h.sections.push_back({".text", 0x1000, 0x1a0, 0x400, 0x200, 0x60000020});
    EXPECT_NO_THROW(map.CheckDescribes(h));
    const auto refusal = [&](const Headers& other) {
        try {
            map.CheckDescribes(other);
            return std::string("accepted");
        } catch (const LoadError& e) {
            return std::string(e.what());
        }
    };
    Headers rebased = h;
    rebased.imageBase = 0x400000;
    EXPECT_EQ(refusal(rebased),
              "the link map is of an image based at 0x10000, this image's ImageBase is 0x400000");
    Headers moved = h;
    moved.sections[0].rva = 0x2000;
    EXPECT_EQ(refusal(moved), "the link map places section .text at RVA 0x1000, the image at 0x2000");
    Headers entered = h;
    entered.entryRva = 0x1044;
    EXPECT_EQ(refusal(entered), "the link map has no symbol at the image's entry point (RVA "
                                "0x1044): it is of another link");
    EXPECT_THROW(LinkMap::Parse("Memory Configuration\n"), LoadError);
}

}  // namespace
