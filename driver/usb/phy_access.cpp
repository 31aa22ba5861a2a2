#include "driver/usb/phy_access.h"

#include "driver/usb/registers.h"

namespace {

VOID StagePortCommand(AdapterRecord* Adapter, UCHAR PhyAddress, USHORT Value, UCHAR Command) {
    Adapter->RegisterWriteBuffer[0] = PhyAddress;
    Adapter->RegisterWriteBuffer[1] = static_cast<UCHAR>(Value & 0xFF);
    Adapter->RegisterWriteBuffer[2] = static_cast<UCHAR>(Value >> 8);
    Adapter->RegisterWriteBuffer[3] = Command;
}

// For the steps a PHY read runs from a completion: nobody looks at their result, so a request
// that cannot be started would leave the chain waiting for a completion that never comes. The
// chain's owner decides how it ends.
ULONG AbortChainUnlessStarted(AdapterRecord* Adapter, ULONG Status) {
    if (Status == RESULT_FAILURE && Adapter->ChainAbortStep != nullptr)
        Adapter->ChainAbortStep(Adapter);
    return Status;
}

}  // namespace

ULONG SelectPhy(AdapterRecord* Adapter, UCHAR PhyAddress) {
    StagePortCommand(Adapter, PhyAddress, 0, static_cast<UCHAR>(PHY_COMMAND_READ + (PhyAddress & 0x1F)));
    return WriteRegisters(Adapter, 4, PHY_PORT);
}

VOID WritePhyRegister(AdapterRecord* Adapter, UCHAR PhyAddress, UCHAR PhyRegister, USHORT Value) {
    StagePortCommand(Adapter, PhyAddress, Value, static_cast<UCHAR>(PHY_COMMAND_WRITE + PhyRegister));
    // A request that failed or timed out ends the operation: a device that does not answer is
    // not polled a hundred times more, ten seconds each.
    if (WriteRegisters(Adapter, 4, PHY_PORT) != RESULT_SUCCESS) return;
    for (ULONG poll = 0; poll < PHY_DONE_POLLS; ++poll) {
        if (ReadRegisters(Adapter, 2, PHY_COMMAND_REGISTER) != RESULT_SUCCESS) return;
        NdisMSleep(PHY_DONE_POLL_US);
        if (Adapter->RegisterReadBuffer[0] & PHY_COMMAND_DONE) return;
    }
}

USHORT ReadPhyRegister(AdapterRecord* Adapter, UCHAR PhyAddress, UCHAR PhyRegister) {
    StagePortCommand(Adapter, PhyAddress, 0, static_cast<UCHAR>(PHY_COMMAND_READ + PhyRegister));
    if (WriteRegisters(Adapter, 4, PHY_PORT) != RESULT_SUCCESS) return PHY_NO_ANSWER;
    for (ULONG poll = 0; poll < PHY_DONE_POLLS; ++poll) {
        if (ReadRegisters(Adapter, 4, PHY_PORT) != RESULT_SUCCESS) return PHY_NO_ANSWER;
        NdisMSleep(PHY_DONE_POLL_US);
        if (Adapter->RegisterReadBuffer[3] & PHY_COMMAND_DONE)
            return static_cast<USHORT>(Adapter->RegisterReadBuffer[1] |
                                       (Adapter->RegisterReadBuffer[2] << 8));
    }
    return PHY_NO_ANSWER;
}

ULONG IssuePhyReadCommand(AdapterRecord* Adapter, UCHAR PhyAddress, UCHAR PhyRegister) {
    StagePortCommand(Adapter, PhyAddress, 0, static_cast<UCHAR>(PHY_COMMAND_READ + PhyRegister));
    return WriteRegistersAsync(Adapter, 4, PHY_PORT, Adapter->RegisterWriteBuffer);
}

ULONG WritePhyRegisterAsync(AdapterRecord* Adapter, UCHAR PhyAddress, UCHAR PhyRegister,
                            USHORT Value) {
    // The done bit is not polled: the next step runs once the port write has completed.
    StagePortCommand(Adapter, PhyAddress, Value, static_cast<UCHAR>(PHY_COMMAND_WRITE + PhyRegister));
    return WriteRegistersAsync(Adapter, 4, PHY_PORT, Adapter->RegisterWriteBuffer);
}

ULONG ReadPhyRegisterAsync(AdapterRecord* Adapter, UCHAR PhyAddress, UCHAR PhyRegister,
                           Continuation Next) {
    Adapter->StepAfterDelay = Next;
    Adapter->NextStep = ReadPhyDataStep;
    return IssuePhyReadCommand(Adapter, PhyAddress, PhyRegister);
}

ULONG ReadPhyDataStep(AdapterRecord* Adapter) {
    // The data registers are read as soon as the command write has completed.
    Adapter->NextStep = Adapter->StepAfterDelay;
    return AbortChainUnlessStarted(Adapter, ReadRegistersAsync(Adapter, 2, PHY_PORT + 1));
}

ULONG ReadLinkStatusAsync(AdapterRecord* Adapter, UCHAR PhyAddress, Continuation Next) {
    Adapter->LinkReadPhyAddress = PhyAddress;
    Adapter->LinkReadStep = Next;
    return ReadPhyRegisterAsync(Adapter, PhyAddress, PHY_STATUS, LinkStatusRecheckStep);
}

ULONG LinkStatusRecheckStep(AdapterRecord* Adapter) {
    // The link bit latches low: a clear bit may be history, so it is read once more and the
    // second value decides.
    if (PhyStatusShowsLink(ReadBufferWord(Adapter))) return Adapter->LinkReadStep(Adapter);
    return AbortChainUnlessStarted(
        Adapter, ReadPhyRegisterAsync(Adapter, Adapter->LinkReadPhyAddress, PHY_STATUS,
                                      Adapter->LinkReadStep));
}
