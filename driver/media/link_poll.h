// The link-poll state machine: every 3 seconds a chain of asynchronous steps reads the active
// PHY's link, reports changes to NDIS, renegotiates after a link-up, keeps MAC register 1 and the
// port registers in step with the link and, in automatic media mode, hands over to the media
// switch after three link-down polls in a row.
//
// Contract of every step: DISPATCH_LEVEL (a request completion or the MediaDelayTimer handler),
// no lock held, never waits. A step either starts exactly one asynchronous device request (after
// storing the step that follows in NextStep: starting the request is the last thing it does),
// arms MediaDelayTimer, or runs its successor directly and returns that successor's result. The
// chain owns NextStep, StepAfterDelay, DelayMs, LinkReadStep, LinkReadPhyAddress and the staging
// buffers from StartLinkPoll until RearmLinkPoll; MediaBusy marks it. A step returns what the
// request it started returned (normally STATUS_PENDING), or RESULT_FAILURE when the request
// could not be started, in which case the cycle has already been ended.
#pragma once

#include "driver/frame/adapter_record.h"

#define LINK_DOWN_POLLS_BEFORE_SWITCH 3
#define NEGOTIATION_WAIT_MS 2000u
#define NEGOTIATION_RETRY_MS 5000u
#define FORCED_LINK_WAIT_MS 2000u

// Device registers 0x7E..0x7F: the general-purpose output pair.
#define GPIO_PAIR_REGISTER 0x7E

// True when `Index` names a recorded PHY; 255 (and anything beyond PhyCount) never addresses the
// PHY tables.
BOOLEAN PhyIndexValid(const AdapterRecord* Adapter, UCHAR Index);
// The active PHY is the recorded PHY of that kind (false when no such PHY was recorded).
BOOLEAN ActiveIsPhoneLinePhy(const AdapterRecord* Adapter);
BOOLEAN ActiveIsEthernetPhy(const AdapterRecord* Adapter);

// Ends the cycle when a step could not start its request (`Status` is RESULT_FAILURE), so that a
// transient lack of request blocks or IRPs never stops polling for good; passes `Status` back.
ULONG EndCycleUnlessStarted(AdapterRecord* Adapter, ULONG Status);

// A PHY write, then a wait of `Ms` counted from the write's completion, then `After`.
ULONG WritePhyThenWait(AdapterRecord* Adapter, UCHAR PhyAddress, UCHAR PhyRegister, USHORT Value,
                       ULONG Ms, Continuation After);
// A plain wait of `Ms` on MediaDelayTimer, then `After`.
ULONG WaitThen(AdapterRecord* Adapter, ULONG Ms, Continuation After);
ULONG ContinueAfterDelay(AdapterRecord* Adapter);

// The poll cycle, in table order.
ULONG StartLinkPoll(AdapterRecord* Adapter);
ULONG EvaluateLinkPoll(AdapterRecord* Adapter);
ULONG NoteLinkChange(AdapterRecord* Adapter);
ULONG RenegotiateOnLinkUp(AdapterRecord* Adapter);
ULONG RestartAutoPhy(AdapterRecord* Adapter);
ULONG ReadNegotiationStatus(AdapterRecord* Adapter);
ULONG CheckNegotiationStatus(AdapterRecord* Adapter);
ULONG ReadNegotiationStatusAgain(AdapterRecord* Adapter);
ULONG CheckNegotiationStatusAgain(AdapterRecord* Adapter);
ULONG ReadPartnerAbility(AdapterRecord* Adapter);
ULONG RestartForcedPhy(AdapterRecord* Adapter);
ULONG WriteForcedAdvertisement(AdapterRecord* Adapter);
ULONG ReadForcedLink(AdapterRecord* Adapter);
ULONG CheckForcedNegotiation(AdapterRecord* Adapter);
ULONG WriteForcedControl(AdapterRecord* Adapter);
// Entered from UpdateMacControl1 (mac_mode.h) once MAC register 1 is in step.
ULONG SelectMediaPath(AdapterRecord* Adapter);
ULONG ProgramActivePhy(AdapterRecord* Adapter);
ULONG ReadPhoneLineTuning(AdapterRecord* Adapter);
ULONG WritePhoneLineTuning(AdapterRecord* Adapter);
ULONG FinishLinkPoll(AdapterRecord* Adapter);
ULONG WriteLinkGpio(AdapterRecord* Adapter);
ULONG RearmLinkPoll(AdapterRecord* Adapter);

// Steps that run a successor given by their caller when their request completes.
ULONG SetPhoneLineGpio(AdapterRecord* Adapter, Continuation Next);
ULONG PowerDownPhoneLinePhy(AdapterRecord* Adapter, Continuation Next);
ULONG PowerDownEthernetPhy(AdapterRecord* Adapter, Continuation Next);
ULONG WritePortRegisters6(AdapterRecord* Adapter, Continuation Next);
// The asynchronous form of the 0x225410 port-register write; media_programming.h has the
// synchronous WritePortRegisters4 of the restart. Runs FinishLinkPoll when it completes.
ULONG WritePortRegisters4Step(AdapterRecord* Adapter);
