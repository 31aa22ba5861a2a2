#include "driver/usb/eeprom.h"

#include "driver/usb/registers.h"

namespace {

// The word at `Word`, or 2 when a request to the port failed or timed out: a device that does
// not answer is not polled a hundred times more.
ULONG FetchEepromWord(AdapterRecord* Adapter, UCHAR Word, USHORT* Value) {
    Adapter->RegisterWriteBuffer[0] = Word;
    Adapter->RegisterWriteBuffer[1] = 0x00;
    Adapter->RegisterWriteBuffer[2] = 0x00;
    Adapter->RegisterWriteBuffer[3] = EEPROM_COMMAND_READ;
    *Value = 0;
    if (WriteRegisters(Adapter, 4, EEPROM_PORT) != RESULT_SUCCESS) return RESULT_FAILURE;
    // A done bit that never comes costs the full poll; the word is read all the same.
    for (ULONG poll = 0; poll < EEPROM_POLLS; ++poll) {
        NdisMSleep(EEPROM_POLL_US);
        if (ReadRegisters(Adapter, 2, EEPROM_PORT + 3) != RESULT_SUCCESS) return RESULT_FAILURE;
        if (Adapter->RegisterReadBuffer[0] & EEPROM_DONE) break;
    }
    if (ReadRegisters(Adapter, 3, EEPROM_PORT + 1) != RESULT_SUCCESS) return RESULT_FAILURE;
    *Value = static_cast<USHORT>(Adapter->RegisterReadBuffer[0] |
                                 (Adapter->RegisterReadBuffer[1] << 8));
    return RESULT_SUCCESS;
}

}  // namespace

USHORT ReadEepromWord(AdapterRecord* Adapter, UCHAR Word) {
    USHORT value = 0;
    FetchEepromWord(Adapter, Word, &value);
    return value;
}

ULONG ReadPermanentAddress(AdapterRecord* Adapter) {
    UCHAR image[EEPROM_WORDS * 2];
    for (UCHAR word = 0; word < EEPROM_WORDS; ++word) {
        USHORT value = 0;
        // An address read from a port that did not answer is no address: start-up stops here.
        if (FetchEepromWord(Adapter, word, &value) != RESULT_SUCCESS) return RESULT_FAILURE;
        image[2 * word] = static_cast<UCHAR>(value & 0xFF);
        image[2 * word + 1] = static_cast<UCHAR>(value >> 8);
    }
    for (ULONG i = 0; i < 6; ++i) Adapter->PermanentAddress[i] = image[i];
    return RESULT_SUCCESS;
}
