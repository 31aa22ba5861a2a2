#include "driver/media/link_poll.h"

#include "driver/frame/atomic.h"
#include "driver/frame/lifecycle.h"

ULONG EndCycleUnlessStarted(AdapterRecord* Adapter, ULONG Status) {
    // Nothing was sent, so no completion will ever run NextStep: the cycle ends here as it
    // would at its last step, and the next poll tries again.
    if (Status == RESULT_FAILURE) RearmLinkPoll(Adapter);
    return Status;
}

ULONG StartLinkPoll(AdapterRecord* Adapter) {
    // The poll chain is not built yet: a tick starts no cycle and does not re-arm the timer.
    (void)Adapter;
    return RESULT_SUCCESS;
}

ULONG SelectMediaPath(AdapterRecord* Adapter) {
    // The media-path steps are not built yet: a cycle that reaches this ends here.
    return RearmLinkPoll(Adapter);
}

ULONG RearmLinkPoll(AdapterRecord* Adapter) {
    Adapter->NextStep = StepNone;
    // Once shutdown has begun no further cycle may come: ShutdownAdapter has cancelled the poll
    // timer and halt is on its way to freeing the record.
    if (ReadShared(Adapter->ShutdownBegun) == 0) NdisSetTimer(&Adapter->LinkPollTimer, LINK_POLL_MS);
    // Cleared last: halt waits for MediaBusy before its final cancel, so it never misses the
    // timer armed just above.
    WriteShared(Adapter->MediaBusy, 0);
    return RESULT_SUCCESS;
}
