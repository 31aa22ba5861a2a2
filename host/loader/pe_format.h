// Numbers of the PE/COFF image format (Microsoft's "PE Format" documentation) that the loader
// acts on, and the names it gives them in messages.
#pragma once

#include <cstdint>
#include <string>

namespace host::loader::pe {

// COFF file header, Machine.
inline constexpr uint16_t kMachineI386 = 0x014c;
inline constexpr uint16_t kMachineAmd64 = 0x8664;

// COFF file header, Characteristics.
inline constexpr uint16_t kFileRelocsStripped = 0x0001;
inline constexpr uint16_t kFileExecutableImage = 0x0002;

// Optional header, Magic.
inline constexpr uint16_t kMagicPe32 = 0x010b;
inline constexpr uint16_t kMagicPe32Plus = 0x020b;

// Optional header, Subsystem.
inline constexpr uint16_t kSubsystemNative = 1;

// Data directory indices.
inline constexpr unsigned kDirImport = 1;
inline constexpr unsigned kDirBaseReloc = 5;
inline constexpr unsigned kDirTls = 9;
inline constexpr unsigned kDirDelayImport = 13;
inline constexpr unsigned kDirCount = 16;

// Section header, Characteristics.
inline constexpr uint32_t kScnMemDiscardable = 0x02000000;
inline constexpr uint32_t kScnMemExecute = 0x20000000;
inline constexpr uint32_t kScnMemRead = 0x40000000;
inline constexpr uint32_t kScnMemWrite = 0x80000000;

// Base relocation types (the high four bits of each entry).
inline constexpr uint8_t kRelBasedAbsolute = 0;
inline constexpr uint8_t kRelBasedHighLow = 3;
inline constexpr uint8_t kRelBasedDir64 = 10;

// Fixed sizes.
inline constexpr uint32_t kDosHeaderSize = 64;
inline constexpr uint32_t kFileHeaderSize = 20;
inline constexpr uint32_t kSectionHeaderSize = 40;
inline constexpr uint32_t kImportDescriptorSize = 20;
// The optional header up to its data directories.
inline constexpr uint32_t kOptionalFixedPe32 = 96;
inline constexpr uint32_t kOptionalFixedPe32Plus = 112;
// The Windows loader takes at most this many sections.
inline constexpr uint32_t kMaxSections = 96;

// "x64 (machine 0x8664)", "machine 0x1c4" for one the loader has no name for.
std::string MachineName(uint16_t machine);
// "3 (Windows console)".
std::string SubsystemName(uint16_t subsystem);
// "HIGHADJ (4)".
std::string RelocationTypeName(uint8_t type);

}  // namespace host::loader::pe
