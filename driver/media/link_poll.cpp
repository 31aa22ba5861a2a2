#include "driver/media/link_poll.h"

VOID StartLinkPoll(AdapterRecord* Adapter) {
    // The poll chain is not built yet: a tick starts no cycle and does not re-arm the timer.
    (void)Adapter;
}
