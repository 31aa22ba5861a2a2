#include "driver/media/link_poll.h"

#include "driver/frame/atomic.h"
#include "driver/frame/lifecycle.h"
#include "driver/frame/timers.h"
#include "driver/media/mac_mode.h"
#include "driver/media/media_programming.h"
#include "driver/media/media_switch.h"
#include "driver/usb/discovery.h"
#include "driver/usb/phy_access.h"
#include "driver/usb/registers.h"

namespace {

// The restart value of the active PHY's control register: the 0x20005C20 phone-line PHY
// restarts with its speed bit, every other PHY by enabling and restarting negotiation.
USHORT RestartControlValue(const AdapterRecord* Adapter) {
    return Adapter->ActivePhyId == PHY_ID_PHONE_5C20 ? PHY_CONTROL_SPEED_100
                                                     : PHY_CONTROL_AUTO_RESTART;
}

// The negotiation test shared by CheckNegotiationStatus and CheckNegotiationStatusAgain, on the
// status register just read: complete goes on to the partner's ability; a phone line with link
// has its speed at once; anything else runs `Otherwise`.
ULONG JudgeNegotiation(AdapterRecord* Adapter, Continuation Otherwise) {
    const USHORT status = ReadBufferWord(Adapter);
    if (status & PHY_STATUS_AUTONEG_COMPLETE) return ReadPartnerAbility(Adapter);
    if (ActiveIsPhoneLinePhy(Adapter) && PhyStatusShowsLink(status)) {
        WriteShared(Adapter->SpeedCode, SPEED_PHONE_LINE);
        WriteShared(Adapter->DuplexCode, DUPLEX_HALF);
        return UpdateMacControl1(Adapter);
    }
    return Otherwise(Adapter);
}

ULONG WaitForNegotiationRetry(AdapterRecord* Adapter) {
    return WaitThen(Adapter, NEGOTIATION_RETRY_MS, ReadNegotiationStatusAgain);
}

// Arms MediaDelayTimer for DelayMs with NextStep already set; once shutdown has begun the
// timer is cancelled (or about to be) and the record is on its way out, so the cycle ends here
// instead of parking on a timer nobody will run.
ULONG ArmMediaDelay(AdapterRecord* Adapter) {
    if (ReadShared(Adapter->ShutdownBegun) != 0) return RearmLinkPoll(Adapter);
    ArmTimer(Adapter, &Adapter->MediaDelayTimer, Adapter->DelayMs);
    return RESULT_SUCCESS;
}

}  // namespace

BOOLEAN PhyIndexValid(const AdapterRecord* Adapter, UCHAR Index) {
    return Index != PHY_INDEX_NONE && Index < Adapter->PhyCount && Index < MAX_PHYS;
}

BOOLEAN ActiveIsPhoneLinePhy(const AdapterRecord* Adapter) {
    return PhyIndexValid(Adapter, Adapter->PhoneLinePhyIndex) &&
           Adapter->ActivePhyId == Adapter->PhyIdTable[Adapter->PhoneLinePhyIndex];
}

BOOLEAN ActiveIsEthernetPhy(const AdapterRecord* Adapter) {
    return PhyIndexValid(Adapter, Adapter->EthernetPhyIndex) &&
           Adapter->ActivePhyId == Adapter->PhyIdTable[Adapter->EthernetPhyIndex];
}

ULONG EndCycleUnlessStarted(AdapterRecord* Adapter, ULONG Status) {
    // Nothing was sent, so no completion will ever run NextStep: the cycle ends here as it
    // would at its last step, and the next poll tries again.
    if (Status == RESULT_FAILURE) RearmLinkPoll(Adapter);
    return Status;
}

ULONG WritePhyThenWait(AdapterRecord* Adapter, UCHAR PhyAddress, UCHAR PhyRegister, USHORT Value,
                       ULONG Ms, Continuation After) {
    // The wait counts from the write's completion: ContinueAfterDelay arms the timer then.
    Adapter->DelayMs = Ms;
    Adapter->StepAfterDelay = After;
    Adapter->NextStep = ContinueAfterDelay;
    return EndCycleUnlessStarted(Adapter,
                                 WritePhyRegisterAsync(Adapter, PhyAddress, PhyRegister, Value));
}

ULONG WaitThen(AdapterRecord* Adapter, ULONG Ms, Continuation After) {
    Adapter->DelayMs = Ms;
    Adapter->NextStep = After;
    return ArmMediaDelay(Adapter);
}

ULONG ContinueAfterDelay(AdapterRecord* Adapter) {
    Adapter->NextStep = Adapter->StepAfterDelay;
    return ArmMediaDelay(Adapter);
}

ULONG StartLinkPoll(AdapterRecord* Adapter) {
    WriteShared(Adapter->MediaBusy, 1);
    // The PHY reads below run requests from their own intermediate steps; one of those that
    // cannot be started ends the cycle through this.
    Adapter->ChainAbortStep = RearmLinkPoll;
    return EndCycleUnlessStarted(
        Adapter, ReadLinkStatusAsync(Adapter, Adapter->ActivePhyAddress, EvaluateLinkPoll));
}

ULONG EvaluateLinkPoll(AdapterRecord* Adapter) {
    if (PhyStatusShowsLink(ReadBufferWord(Adapter))) {
        WriteShared(Adapter->LinkState, LINK_CONNECTED);
        Adapter->LinkDownPolls = 0;
    } else {
        WriteShared(Adapter->LinkState, LINK_DISCONNECTED);
        // A phone line with no Ethernet PHY beside it has nowhere to go: it never counts.
        const BOOLEAN nowhereToGo =
            ActiveIsPhoneLinePhy(Adapter) &&
            (Adapter->PhyCount == 1 ||
             (Adapter->PhyCount == 2 && Adapter->EthernetPhyIndex == PHY_INDEX_NONE));
        if (nowhereToGo) Adapter->LinkDownPolls = 0;
        else ++Adapter->LinkDownPolls;
        if (Adapter->LinkDownPolls >= LINK_DOWN_POLLS_BEFORE_SWITCH) {
            Adapter->LinkDownPolls = 0;
            return DecideMediaSwitch(Adapter);
        }
    }
    if (ReadShared(Adapter->IndicatedLinkState) == ReadShared(Adapter->LinkState))
        return FinishLinkPoll(Adapter);
    return NoteLinkChange(Adapter);
}

ULONG NoteLinkChange(AdapterRecord* Adapter) {
    WriteShared(Adapter->IndicatedLinkState, ReadShared(Adapter->LinkState));
    WriteShared(Adapter->LinkChangePending, 1);
    if (ReadShared(Adapter->LinkState) == LINK_CONNECTED) return RenegotiateOnLinkUp(Adapter);
    return FinishLinkPoll(Adapter);
}

ULONG RenegotiateOnLinkUp(AdapterRecord* Adapter) {
    if (Adapter->MediaTypeSetting == 0) return RestartAutoPhy(Adapter);
    return RestartForcedPhy(Adapter);
}

ULONG RestartAutoPhy(AdapterRecord* Adapter) {
    return WritePhyThenWait(Adapter, Adapter->ActivePhyAddress, PHY_CONTROL,
                            RestartControlValue(Adapter), NEGOTIATION_WAIT_MS,
                            ReadNegotiationStatus);
}

ULONG ReadNegotiationStatus(AdapterRecord* Adapter) {
    return EndCycleUnlessStarted(Adapter, ReadPhyRegisterAsync(Adapter, Adapter->ActivePhyAddress,
                                                               PHY_STATUS, CheckNegotiationStatus));
}

ULONG CheckNegotiationStatus(AdapterRecord* Adapter) {
    return JudgeNegotiation(Adapter, WaitForNegotiationRetry);
}

ULONG ReadNegotiationStatusAgain(AdapterRecord* Adapter) {
    return EndCycleUnlessStarted(
        Adapter, ReadPhyRegisterAsync(Adapter, Adapter->ActivePhyAddress, PHY_STATUS,
                                      CheckNegotiationStatusAgain));
}

ULONG CheckNegotiationStatusAgain(AdapterRecord* Adapter) {
    // Still not negotiated: speed, duplex and MAC register 1 keep what they had.
    return JudgeNegotiation(Adapter, FinishLinkPoll);
}

ULONG ReadPartnerAbility(AdapterRecord* Adapter) {
    // ApplyPartnerAbility ends the cycle itself should its register write fail to start.
    return EndCycleUnlessStarted(
        Adapter, ReadPhyRegisterAsync(Adapter, Adapter->ActivePhyAddress, PHY_PARTNER_ABILITY,
                                      ApplyPartnerAbility));
}

ULONG RestartForcedPhy(AdapterRecord* Adapter) {
    Adapter->NextStep = WriteForcedAdvertisement;
    return EndCycleUnlessStarted(
        Adapter, WritePhyRegisterAsync(Adapter, Adapter->ActivePhyAddress, PHY_CONTROL,
                                       RestartControlValue(Adapter)));
}

ULONG WriteForcedAdvertisement(AdapterRecord* Adapter) {
    USHORT control = 0;
    USHORT advertisement = 0;
    // Start-up keeps "MediaType" within the forced rows, so a row exists; were there none,
    // nothing is forced and the cycle ends.
    if (LookupForcedMedia(Adapter, &control, &advertisement) != RESULT_SUCCESS)
        return FinishLinkPoll(Adapter);
    return WritePhyThenWait(Adapter, Adapter->ActivePhyAddress, PHY_ADVERTISEMENT,
                            static_cast<USHORT>(advertisement | PHY_ADVERTISE_SELECTOR),
                            FORCED_LINK_WAIT_MS, ReadForcedLink);
}

ULONG ReadForcedLink(AdapterRecord* Adapter) {
    return EndCycleUnlessStarted(
        Adapter, ReadLinkStatusAsync(Adapter, Adapter->ActivePhyAddress, CheckForcedNegotiation));
}

ULONG CheckForcedNegotiation(AdapterRecord* Adapter) {
    if (ReadBufferWord(Adapter) & PHY_STATUS_AUTONEG_COMPLETE) return WriteForcedControl(Adapter);
    return WaitThen(Adapter, FORCED_LINK_WAIT_MS, WriteForcedControl);
}

ULONG WriteForcedControl(AdapterRecord* Adapter) {
    USHORT control = 0;
    USHORT advertisement = 0;
    if (LookupForcedMedia(Adapter, &control, &advertisement) != RESULT_SUCCESS)
        return FinishLinkPoll(Adapter);
    // The forced medium is taken as connected without reading the link again.
    WriteShared(Adapter->LinkChangePending, 1);
    WriteShared(Adapter->LinkState, LINK_CONNECTED);
    WriteShared(Adapter->IndicatedLinkState, LINK_CONNECTED);
    Adapter->NextStep = UpdateMacControl1;
    return EndCycleUnlessStarted(
        Adapter, WritePhyRegisterAsync(Adapter, Adapter->ActivePhyAddress, PHY_CONTROL, control));
}

ULONG SelectMediaPath(AdapterRecord* Adapter) {
    if (Adapter->PhyCount == 1) return ProgramActivePhy(Adapter);
    if (ActiveIsPhoneLinePhy(Adapter)) return SetPhoneLineGpio(Adapter, ProgramActivePhy);
    return PowerDownPhoneLinePhy(Adapter, ProgramActivePhy);
}

ULONG SetPhoneLineGpio(AdapterRecord* Adapter, Continuation Next) {
    Adapter->RegisterWriteBuffer[0] = 0x36;
    Adapter->RegisterWriteBuffer[1] = 0x04;
    Adapter->NextStep = Next;
    return EndCycleUnlessStarted(Adapter, WriteRegistersAsync(Adapter, 2, GPIO_PAIR_REGISTER,
                                                              Adapter->RegisterWriteBuffer));
}

ULONG PowerDownPhoneLinePhy(AdapterRecord* Adapter, Continuation Next) {
    // No phone-line PHY was recorded: there is nothing to power down.
    if (!PhyIndexValid(Adapter, Adapter->PhoneLinePhyIndex)) return Next(Adapter);
    Adapter->NextStep = Next;
    return EndCycleUnlessStarted(
        Adapter, WritePhyRegisterAsync(Adapter, Adapter->PhyAddressTable[Adapter->PhoneLinePhyIndex],
                                       PHY_CONTROL, PHY_POWER_DOWN_ISOLATE));
}

ULONG PowerDownEthernetPhy(AdapterRecord* Adapter, Continuation Next) {
    if (!PhyIndexValid(Adapter, Adapter->EthernetPhyIndex)) return Next(Adapter);
    Adapter->NextStep = Next;
    return EndCycleUnlessStarted(
        Adapter, WritePhyRegisterAsync(Adapter, Adapter->PhyAddressTable[Adapter->EthernetPhyIndex],
                                       PHY_CONTROL, PHY_POWER_DOWN_ISOLATE));
}

ULONG ProgramActivePhy(AdapterRecord* Adapter) {
    switch (Adapter->ActivePhyId) {
        case PHY_ID_PHONE_6B90:
        case PHY_ID_PHONE_5C20:
            return WritePortRegisters6(Adapter, ReadPhoneLineTuning);
        case PHY_ID_ETH_225410:
            return WritePortRegisters4Step(Adapter);
        case PHY_ID_ETH_406210:
            Adapter->NextStep = FinishLinkPoll;
            return EndCycleUnlessStarted(
                Adapter, WritePhyRegisterAsync(Adapter, Adapter->ActivePhyAddress,
                                               PHY_REGISTER_406210_MODE, 0x0044));
        case PHY_ID_ETH_437410:
            Adapter->NextStep = FinishLinkPoll;
            return EndCycleUnlessStarted(
                Adapter, WritePhyRegisterAsync(Adapter, Adapter->ActivePhyAddress,
                                               PHY_REGISTER_437410_MODE, 0x0080));
        default:
            return FinishLinkPoll(Adapter);
    }
}

ULONG WritePortRegisters6(AdapterRecord* Adapter, Continuation Next) {
    const BOOLEAN link = ReadShared(Adapter->LinkState) == LINK_CONNECTED;
    Adapter->RegisterWriteBuffer[0] = link ? 0x26 : 0x36;
    Adapter->RegisterWriteBuffer[1] = 0x00;
    Adapter->RegisterWriteBuffer[2] = 0x26;
    Adapter->RegisterWriteBuffer[3] = 0x34;
    Adapter->RegisterWriteBuffer[4] = 0x00;
    Adapter->RegisterWriteBuffer[5] = 0x06;
    Adapter->NextStep = Next;
    return EndCycleUnlessStarted(Adapter, WriteRegistersAsync(Adapter, 6, PORT_BLOCK_REGISTER,
                                                              Adapter->RegisterWriteBuffer));
}

ULONG WritePortRegisters4Step(AdapterRecord* Adapter) {
    USHORT value = 0x3620;
    if (ReadShared(Adapter->LinkState) == LINK_CONNECTED)
        value = Adapter->SpeedCode == SPEED_10 ? 0x2630 : 0x3430;
    Adapter->RegisterWriteBuffer[0] = static_cast<UCHAR>(value >> 8);
    Adapter->RegisterWriteBuffer[1] = 0x00;
    Adapter->RegisterWriteBuffer[2] = 0x26;
    Adapter->RegisterWriteBuffer[3] = static_cast<UCHAR>(value & 0xFF);
    Adapter->NextStep = FinishLinkPoll;
    return EndCycleUnlessStarted(Adapter, WriteRegistersAsync(Adapter, 4, PORT_BLOCK_REGISTER,
                                                              Adapter->RegisterWriteBuffer));
}

ULONG ReadPhoneLineTuning(AdapterRecord* Adapter) {
    // HomeLan 16 leaves the phone-line mode as the PHY has it.
    if (Adapter->HomeLanSetting == 16) return FinishLinkPoll(Adapter);
    return EndCycleUnlessStarted(Adapter,
                                 ReadPhyRegisterAsync(Adapter, Adapter->ActivePhyAddress,
                                                      PHY_REGISTER_TUNING, WritePhoneLineTuning));
}

ULONG WritePhoneLineTuning(AdapterRecord* Adapter) {
    const USHORT value = static_cast<USHORT>(
        (ReadBufferWord(Adapter) & ~PHY_REGISTER_TUNING_MASK) |
        (PhoneLineTuningNibble(Adapter->HomeLanSetting) << 8));
    Adapter->NextStep = FinishLinkPoll;
    return EndCycleUnlessStarted(
        Adapter,
        WritePhyRegisterAsync(Adapter, Adapter->ActivePhyAddress, PHY_REGISTER_TUNING, value));
}

ULONG FinishLinkPoll(AdapterRecord* Adapter) {
    if (ReadShared(Adapter->LinkChangePending) == 0) return RearmLinkPoll(Adapter);
    IndicateLinkState(Adapter);
    switch (Adapter->ActivePhyId) {
        case PHY_ID_PHONE_6B90:
            // Runs FinishLinkPoll again, now with nothing owed.
            return WritePortRegisters6(Adapter, FinishLinkPoll);
        case PHY_ID_ETH_225410:
            return WritePortRegisters4Step(Adapter);
        case PHY_ID_PHONE_5C20:
            return WriteLinkGpio(Adapter);
        default:
            return RearmLinkPoll(Adapter);
    }
}

ULONG WriteLinkGpio(AdapterRecord* Adapter) {
    // GpioWriteBuffer, not RegisterWriteBuffer: these bytes belong to the end of the poll.
    Adapter->GpioWriteBuffer[0] = 0x06;
    Adapter->GpioWriteBuffer[1] =
        ReadShared(Adapter->LinkState) == LINK_DISCONNECTED ? 0x06 : 0x04;
    Adapter->NextStep = RearmLinkPoll;
    return EndCycleUnlessStarted(Adapter, WriteRegistersAsync(Adapter, 2, GPIO_PAIR_REGISTER,
                                                              Adapter->GpioWriteBuffer));
}

ULONG RearmLinkPoll(AdapterRecord* Adapter) {
    Adapter->NextStep = StepNone;
    // Once shutdown has begun no further cycle may come: ShutdownAdapter has cancelled the poll
    // timer and halt is on its way to freeing the record.
    if (ReadShared(Adapter->ShutdownBegun) == 0)
        ArmTimer(Adapter, &Adapter->LinkPollTimer, LINK_POLL_MS);
    // Cleared last: halt waits for MediaBusy before its final cancel, so it never misses the
    // timer armed just above.
    ReleaseShared(Adapter->MediaBusy, 0);
    return RESULT_SUCCESS;
}
