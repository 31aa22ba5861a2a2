// The EEPROM port (registers 0x20..0x23): word reads, and the permanent station address kept in
// words 0..2, low byte first.
#pragma once

#include "driver/frame/adapter_record.h"

#define EEPROM_PORT 0x20
#define EEPROM_COMMAND_READ 0x02
#define EEPROM_DONE 0x04
#define EEPROM_POLLS 100
#define EEPROM_POLL_US 500
#define EEPROM_WORDS 16

USHORT ReadEepromWord(AdapterRecord* Adapter, UCHAR Word);
// Always 1; fills PermanentAddress.
ULONG ReadPermanentAddress(AdapterRecord* Adapter);
