#include "driver/media/power_down.h"

#include "driver/frame/atomic.h"
#include "driver/frame/lifecycle.h"
#include "driver/usb/phy_access.h"
#include "driver/usb/registers.h"
#include "driver/usb/tracked_request.h"

namespace {

constexpr USHORT kGpioRegister = 0x7E;
constexpr USHORT kPortBlockRegister = 0x7C;
constexpr USHORT kPowerDownIsolate = 0x0C00;

// How long a request taken back is waited for: the bus completes a cancelled request at once or
// within its next frame.
constexpr ULONG kCancelWaitMs = 1000;

// Marks the media side busy with one step whose completion clears the mark, cancelled or not.
// Called right before the step's request is started.
VOID BeginMediaStep(AdapterRecord* Adapter) {
    WriteShared(Adapter->MediaBusy, 1);
    Adapter->NextStep = ClearMediaBusy;
    Adapter->ChainAbortStep = ClearMediaBusy;
}

// WaitMediaIdle, and when the bound runs out, the register request still below (a device that
// does not answer) is taken back and waited for: its completion ends the sequence it belonged to
// (a poll cycle, or a step of this sequence), so the next step never starts a request beside one
// that may still come back.
ULONG WaitMediaIdleOrCancel(AdapterRecord* Adapter, USHORT LimitMs) {
    const ULONG idle = WaitMediaIdle(Adapter, LimitMs);
    if (idle != RESULT_SUCCESS) {
        CancelRegisterRequests(Adapter);
        WaitRegisterRequestsDone(Adapter, kCancelWaitMs);
    }
    return idle;
}

// After WaitMediaIdleOrCancel: the media side is free for a step of this sequence.
BOOLEAN MediaIdle(AdapterRecord* Adapter) { return AcquireShared(Adapter->MediaBusy) == 0; }

// A request that could not be started has no completion to clear the mark: clear it here, so
// the waits that follow do not run out for nothing.
VOID EndMediaStepUnlessStarted(AdapterRecord* Adapter, ULONG Status) {
    if (Status == RESULT_FAILURE) ReleaseShared(Adapter->MediaBusy, 0);
}

VOID WritePortBlock(AdapterRecord* Adapter, const UCHAR* Bytes, USHORT Count) {
    BeginMediaStep(Adapter);
    WriteShared(Adapter->LinkState, LINK_DISCONNECTED);
    for (USHORT i = 0; i < Count; ++i) Adapter->RegisterWriteBuffer[i] = Bytes[i];
    EndMediaStepUnlessStarted(
        Adapter, WriteRegistersAsync(Adapter, Count, kPortBlockRegister, Adapter->RegisterWriteBuffer));
    WaitMediaIdleOrCancel(Adapter, MEDIA_IDLE_WAIT_MS);
}

}  // namespace

ULONG WaitMediaIdle(AdapterRecord* Adapter, USHORT LimitMs) {
    USHORT waited = 0;
    while (waited < LimitMs && AcquireShared(Adapter->MediaBusy) != 0) {
        NdisMSleep(1000);
        ++waited;
    }
    return waited == LimitMs ? RESULT_FAILURE : RESULT_SUCCESS;
}

ULONG WriteLinkGpioAndWait(AdapterRecord* Adapter, ULONG LinkState) {
    WaitMediaIdleOrCancel(Adapter, MEDIA_IDLE_WAIT_MS);
    if (!MediaIdle(Adapter)) return RESULT_FAILURE;
    BeginMediaStep(Adapter);
    Adapter->GpioWriteBuffer[0] = 0x06;
    Adapter->GpioWriteBuffer[1] = LinkState == LINK_DISCONNECTED ? 0x06 : 0x04;
    EndMediaStepUnlessStarted(
        Adapter, WriteRegistersAsync(Adapter, 2, kGpioRegister, Adapter->GpioWriteBuffer));
    const ULONG result = WaitMediaIdleOrCancel(Adapter, LINK_GPIO_WAIT_MS);
    ReleaseShared(Adapter->MediaBusy, 0);
    return result;
}

VOID PowerDownPhysAtShutdown(AdapterRecord* Adapter) {
    // When no PHY answered discovery, the kind indexes were never written and read 0 rather than
    // 255: with no PHY recorded, neither index names a PHY and nothing is written. ActivePhyId is
    // then 0x406210, which has no port block, so the whole sequence writes nothing.
    const BOOLEAN phyRecorded = Adapter->PhyCount != 0;

    if (phyRecorded && Adapter->EthernetPhyIndex != PHY_INDEX_NONE) {
        // A poll cycle in flight finishes first; one whose request never comes back is taken
        // back after the wait. A media side that stays busy all the same costs this step.
        WaitMediaIdleOrCancel(Adapter, MEDIA_IDLE_WAIT_MS);
        if (MediaIdle(Adapter)) {
            BeginMediaStep(Adapter);
            Adapter->GpioWriteBuffer[0] = 0x30;
            Adapter->GpioWriteBuffer[1] = 0x00;
            EndMediaStepUnlessStarted(
                Adapter, WriteRegistersAsync(Adapter, 2, kGpioRegister, Adapter->GpioWriteBuffer));
            WaitMediaIdleOrCancel(Adapter, MEDIA_IDLE_WAIT_MS);
        }
    }

    if (phyRecorded && Adapter->PhoneLinePhyIndex != PHY_INDEX_NONE &&
        Adapter->PhoneLinePhyIndex < Adapter->PhyCount) {
        WaitMediaIdleOrCancel(Adapter, MEDIA_IDLE_WAIT_MS);
        if (MediaIdle(Adapter)) {
            BeginMediaStep(Adapter);
            EndMediaStepUnlessStarted(
                Adapter, WritePhyRegisterAsync(Adapter,
                                               Adapter->PhyAddressTable[Adapter->PhoneLinePhyIndex],
                                               PHY_CONTROL, kPowerDownIsolate));
            // Waits for the PHY write itself before it sets the outputs.
            if (Adapter->ActivePhyId == PHY_ID_PHONE_5C20)
                WriteLinkGpioAndWait(Adapter, LINK_DISCONNECTED);
            WaitMediaIdleOrCancel(Adapter, MEDIA_IDLE_WAIT_MS);
        }
    }

    // The port blocks follow whether or not the media side went idle.
    if (Adapter->ActivePhyId == PHY_ID_ETH_225410) {
        const UCHAR block[4] = {0x36, 0x00, 0x26, 0x20};
        WritePortBlock(Adapter, block, sizeof block);
    }
    if (Adapter->ActivePhyId == PHY_ID_PHONE_6B90) {
        const UCHAR block[6] = {0x36, 0x00, 0x26, 0x34, 0x00, 0x06};
        WritePortBlock(Adapter, block, sizeof block);
    }
}
