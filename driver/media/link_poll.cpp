#include "driver/media/link_poll.h"

ULONG StartLinkPoll(AdapterRecord* Adapter) {
    // The poll chain is not built yet: a tick starts no cycle and does not re-arm the timer.
    (void)Adapter;
    return RESULT_SUCCESS;
}

ULONG SelectMediaPath(AdapterRecord* Adapter) {
    // The media-path steps are not built yet; nothing reaches this before the chain exists.
    (void)Adapter;
    return RESULT_SUCCESS;
}
