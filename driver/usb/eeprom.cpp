#include "driver/usb/eeprom.h"

#include "driver/usb/registers.h"

USHORT ReadEepromWord(AdapterRecord* Adapter, UCHAR Word) {
    Adapter->RegisterWriteBuffer[0] = Word;
    Adapter->RegisterWriteBuffer[1] = 0x00;
    Adapter->RegisterWriteBuffer[2] = 0x00;
    Adapter->RegisterWriteBuffer[3] = EEPROM_COMMAND_READ;
    WriteRegisters(Adapter, 4, EEPROM_PORT);
    // A done bit that never comes costs the full poll; the word is read all the same.
    for (ULONG poll = 0; poll < EEPROM_POLLS; ++poll) {
        NdisMSleep(EEPROM_POLL_US);
        ReadRegisters(Adapter, 2, EEPROM_PORT + 3);
        if (Adapter->RegisterReadBuffer[0] & EEPROM_DONE) break;
    }
    ReadRegisters(Adapter, 3, EEPROM_PORT + 1);
    return static_cast<USHORT>(Adapter->RegisterReadBuffer[0] |
                               (Adapter->RegisterReadBuffer[1] << 8));
}

ULONG ReadPermanentAddress(AdapterRecord* Adapter) {
    UCHAR image[EEPROM_WORDS * 2];
    for (UCHAR word = 0; word < EEPROM_WORDS; ++word) {
        const USHORT value = ReadEepromWord(Adapter, word);
        image[2 * word] = static_cast<UCHAR>(value & 0xFF);
        image[2 * word + 1] = static_cast<UCHAR>(value >> 8);
    }
    for (ULONG i = 0; i < 6; ++i) Adapter->PermanentAddress[i] = image[i];
    return RESULT_SUCCESS;
}
