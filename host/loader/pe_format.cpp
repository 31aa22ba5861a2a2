#include "host/loader/pe_format.h"

#include "host/loader/load_error.h"

namespace host::loader::pe {

std::string MachineName(uint16_t machine) {
    switch (machine) {
    case kMachineI386: return "x86 (machine 0x14c)";
    case kMachineAmd64: return "x64 (machine 0x8664)";
    case 0x01c0: return "ARM (machine 0x1c0)";
    case 0x01c4: return "ARM Thumb-2 (machine 0x1c4)";
    case 0x0200: return "Itanium (machine 0x200)";
    case 0xaa64: return "ARM64 (machine 0xaa64)";
    default: return "machine " + Hex(machine);
    }
}

std::string SubsystemName(uint16_t subsystem) {
    const char* name = nullptr;
    switch (subsystem) {
    case 0: name = "unknown"; break;
    case 1: name = "native"; break;
    case 2: name = "Windows GUI"; break;
    case 3: name = "Windows console"; break;
    case 5: name = "OS/2 console"; break;
    case 7: name = "POSIX console"; break;
    case 8: name = "native Win9x driver"; break;
    case 9: name = "Windows CE"; break;
    case 10: name = "EFI application"; break;
    case 11: name = "EFI boot service driver"; break;
    case 12: name = "EFI run-time driver"; break;
    case 13: name = "EFI ROM"; break;
    case 14: name = "XBOX"; break;
    case 16: name = "Windows boot application"; break;
    default: return std::to_string(subsystem) + " (not a subsystem the format defines)";
    }
    return std::to_string(subsystem) + " (" + name + ")";
}

std::string RelocationTypeName(uint8_t type) {
    const char* name = nullptr;
    switch (type) {
    case 0: name = "ABSOLUTE"; break;
    case 1: name = "HIGH"; break;
    case 2: name = "LOW"; break;
    case 3: name = "HIGHLOW"; break;
    case 4: name = "HIGHADJ"; break;
    case 5: name = "MIPS_JMPADDR/ARM_MOV32"; break;
    case 7: name = "THUMB_MOV32"; break;
    case 8: name = "RISCV_LOW12S"; break;
    case 9: name = "MIPS_JMPADDR16"; break;
    case 10: name = "DIR64"; break;
    default: name = "reserved"; break;
    }
    return std::string(name) + " (" + std::to_string(type) + ")";
}

}  // namespace host::loader::pe
