// The link-poll state machine: a chain of asynchronous steps started every 3 seconds.
#pragma once

#include "driver/frame/adapter_record.h"

// Starts a poll cycle. Dispatch level; never waits.
VOID StartLinkPoll(AdapterRecord* Adapter);
