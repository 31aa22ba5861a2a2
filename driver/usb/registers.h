// Device register access by vendor control request: 0xF0 reads a run of consecutive byte
// registers into RegisterReadBuffer, 0xF1 writes a run from RegisterWriteBuffer.
#pragma once

#include "driver/frame/adapter_record.h"

#define VENDOR_READ_REGISTERS 0xF0
#define VENDOR_WRITE_REGISTERS 0xF1

// Synchronous forms: passive level, 1 success, 2 failure (a time-out included).
ULONG ReadRegisters(AdapterRecord* Adapter, USHORT Count, USHORT Register);
ULONG WriteRegisters(AdapterRecord* Adapter, USHORT Count, USHORT Register);
