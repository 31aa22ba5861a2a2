// AdapterRecord: the one context of a bound adapter. All per-adapter state, locks, lists and
// timers live here; NDIS hands it back as the adapter context of every handler, it is the context
// of the four timers and of the shutdown handler, and completion routines reach it through the
// descriptor or request they complete. Fields are declared in their documented order.
#pragma once

#include "driver/frame/counted_list.h"
#include "platform/ndis.h"
#include "platform/usb.h"

struct AdapterRecord;
struct PacketDescriptor;
struct LedgerEntry;

// A step of an asynchronous media chain: takes the adapter, returns a 32-bit status that only a
// direct caller looks at.
typedef ULONG (*Continuation)(AdapterRecord* Adapter);

// Internal results.
#define RESULT_SUCCESS 1u
#define RESULT_FAILURE 2u
#define RESULT_NOT_FOUND 22u

// AdapterState
#define ADAPTER_STARTING 0u
#define ADAPTER_RUNNING 12u
#define ADAPTER_POWERED_DOWN 14u
#define ADAPTER_RECEIVE_FAILED 18u

// Link codes (LinkState, IndicatedLinkState, link tests)
#define LINK_CONNECTED 5u
#define LINK_DISCONNECTED 6u

// SpeedCode / DuplexCode
#define SPEED_UNSET 0u
#define SPEED_10 1u
#define SPEED_100 2u
#define SPEED_PHONE_LINE 3u
#define DUPLEX_UNSET 0u
#define DUPLEX_HALF 1u
#define DUPLEX_FULL 2u

// PhoneLineSelected
#define MEDIUM_ETHERNET 0u
#define MEDIUM_PHONE_LINE 1u
#define MEDIUM_NO_PHY 255u
#define MEDIUM_OTHER_PHY 0xFFFEu

#define PHY_INDEX_NONE 255u
#define MAX_PHYS 4
#define MAX_MULTICAST 64
#define REGISTER_BUFFER_SIZE 20

// PHY identifiers
#define PHY_ID_PHONE_6B90 0x00006B90u
#define PHY_ID_PHONE_5C20 0x20005C20u
#define PHY_ID_ETH_406210 0x00406210u
#define PHY_ID_ETH_437410 0x00437410u
#define PHY_ID_ETH_225610 0x00225610u
#define PHY_ID_ETH_225410 0x00225410u
#define PHY_ID_SPARE_6B70 0x00006B70u

// An IRP the driver has passed down and may have to cancel (shutdown, halt, the request
// watchdog). Guarded by the adapter's RequestLock. A canceller works on the IRP outside the lock;
// a completion that runs meanwhile leaves freeing that IRP to the canceller, so a completion
// racing a cancel never frees anything twice.
struct TrackedRequest {
    PIRP Irp;                 // held by the lower driver; null once its completion has begun
    PIRP Cancelling;          // the IRP a canceller is working on, or null
    UCHAR CancelledCompleted; // that IRP completed while it was being cancelled
    UCHAR WatchdogTicks;      // watchdog ticks this request has been below
};

// One asynchronous register request: its own request block, IRP and continuations, so a request
// that never came back is not overwritten by the next one.
struct RegisterRequest {
    TrackedRequest Tracked;
    AdapterRecord* Adapter;
    PURB Urb;
    Continuation Next;   // run by the completion
    Continuation Abort;  // run instead when the request was cancelled: ends its sequence
    UCHAR InUse;
};

#define REGISTER_REQUEST_SLOTS 4

struct AdapterRecord {
    ULONG TxDescriptorCount;                   // 1
    ULONG RxDescriptorCount;                   // 2
    ULONG MediaTypeSetting;                    // 3
    ULONG HomeLanSetting;                      // 4
    CountedList<PacketDescriptor> TxFreeList;  // 5  guarded by TxLock
    CountedList<PacketDescriptor> RxFreeList;  // 6  guarded by RxLock
    CountedList<PacketDescriptor> RxReadyList; // 7  guarded by RxLock
    ULONG AliveParameter;                      // 8
    ULONG RcvOk;                               // 9
    ULONG RcvFlag10Count;                      // 10
    ULONG RcvError;                            // 11
    ULONG RcvAlignError;                       // 12
    ULONG RcvFlag06Count;                      // 13
    ULONG XmitOk;                              // 14
    ULONG XmitError;                           // 15
    ULONG XmitUnderrun;                        // 16
    ULONG XmitOneCollision;                    // 17
    ULONG XmitDeferred;                        // 18
    UCHAR CurrentAddress[6];                   // 19
    ULONG IndicatedLinkState;                  // 20
    ULONG ActivePhyId;                         // 21
    UCHAR ActivePhyAddress;                    // 22
    UCHAR EthernetPhyIndex;                    // 23
    UCHAR PhoneLinePhyIndex;                   // 24
    UCHAR MediaChoiceMode;                     // 25
    UCHAR PhyCount;                            // 26
    ULONG PhyIdTable[MAX_PHYS];                // 27
    UCHAR PhyAddressTable[MAX_PHYS];           // 28
    ULONG PhoneLineSelected;                   // 29
    ULONG LinkState;                           // 30
    ULONG SpeedCode;                           // 31
    ULONG DuplexCode;                          // 32
    ULONG AdapterState;                        // 33
    UCHAR PermanentAddress[6];                 // 34
    PDEVICE_OBJECT PhysicalDeviceObject;       // 35
    PDEVICE_OBJECT FunctionalDeviceObject;     // 36
    PDEVICE_OBJECT NextDeviceObject;           // 37
    UCHAR IrpStackSize;                        // 38
    UCHAR DeviceDescriptor[18];                // 39
    PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor;  // 40
    USBD_CONFIGURATION_HANDLE ConfigurationHandle;          // 41
    PUSBD_INTERFACE_INFORMATION InterfaceInfo;              // 42
    UCHAR RegisterReadBuffer[REGISTER_BUFFER_SIZE];         // 43
    UCHAR RegisterWriteBuffer[REGISTER_BUFFER_SIZE];        // 44
    UCHAR GpioWriteBuffer[2];                  // 45
    KSPIN_LOCK PendingIrpLock;                 // 46
    KSPIN_LOCK BulkOutLock;                    // 47
    LIST_ENTRY PendingTxIrps;                  // 48 guarded by PendingIrpLock
    UCHAR MacControl0;                         // 49
    UCHAR MacControl1;                         // 50
    PURB AsyncWriteUrb;                        // 51
    PURB AsyncReadUrb;                         // 52
    UCHAR MediaBusy;                           // 53
    UCHAR LinkDownPolls;                       // 54
    UCHAR ReceiveStarted;                      // 55
    UCHAR LinkChangePending;                   // 56
    UCHAR MulticastList[MAX_MULTICAST][6];     // 57
    USHORT MulticastCount;                     // 58
    ULONG KeepAliveTicks;                      // 59
    UCHAR KeepAliveEnabled;                    // 60
    Continuation NextStep;                     // 61
    Continuation StepAfterDelay;               // 62
    Continuation LinkReadStep;                 // 63
    UCHAR LinkReadPhyAddress;                  // 64
    ULONG DelayMs;                             // 65
    LONG BulkOutOutstanding;                   // 66 guarded by BulkOutLock
    NDIS_HANDLE MiniportAdapterHandle;         // 67
    NDIS_HANDLE WrapperConfigurationContext;   // 68
    ULONG PacketFilter;                        // 69
    UCHAR TxResourcesExhausted;                // 70
    NDIS_SPIN_LOCK TxLock;                     // 71
    NDIS_SPIN_LOCK RxLock;                     // 72
    NDIS_MINIPORT_TIMER ReceiveTimer;          // 73
    NDIS_MINIPORT_TIMER MediaDelayTimer;       // 74
    NDIS_MINIPORT_TIMER LinkPollTimer;         // 75
    NDIS_MINIPORT_TIMER KeepAliveTimer;        // 76
    CountedList<LedgerEntry> UsedEntries;      // 77 ResourceLedger
    CountedList<LedgerEntry> FreeEntries;      // 78
    ULONG EntriesTaken;                        // 79
    UCHAR PacketsAllocated;                    // 80
    // Set when ShutdownAdapter begins: from then on no link-poll cycle may start or re-arm.
    UCHAR ShutdownBegun;
    // The packet-filter write's own state, apart from the media chain's buffers and request
    // blocks so that a filter set never touches bytes a poll step has staged. FilterWriteLock
    // guards the two flags and FilterStagedBuffer; FilterWriteBuffer and FilterWriteUrb belong
    // to the write in flight until its completion.
    KSPIN_LOCK FilterWriteLock;
    PURB FilterWriteUrb;
    UCHAR FilterWriteBuffer[3];   // registers 0..2 as the write in flight sends them
    UCHAR FilterStagedBuffer[3];  // the newest bytes, waiting for the write in flight
    UCHAR FilterWriteInFlight;    // 1 from the start of a write until nothing more is to send
    UCHAR FilterWriteStaged;      // 1 while FilterStagedBuffer waits to be sent
    // Ends the media chain in flight when a request that a PHY read starts from its own
    // intermediate step cannot be started: run from a completion, that step has no caller to
    // report to. The link poll sets it at the start of each cycle.
    Continuation ChainAbortStep;
    // Every asynchronous request the driver passes down besides the bulk transfers of the data
    // path (which the pipe aborts end): register requests of the media chains and of power-down,
    // the packet-filter write and the keep-alive transfer. RequestLock guards the tracked IRPs,
    // the slots' use and the watchdog's state; RequestsOutstanding counts completions still to
    // run and cancellers still at work (interlocked), and reaches 0 only when nothing of this
    // kind can touch the record any more.
    KSPIN_LOCK RequestLock;
    RegisterRequest RegisterRequests[REGISTER_REQUEST_SLOTS];
    TrackedRequest FilterRequest;
    TrackedRequest KeepAliveRequest;
    LONG RequestsOutstanding;
    // Ticks once a second while a tracked request is below; a request below for
    // REQUEST_WATCHDOG_TICKS ticks is cancelled, so one lost answer never stops the adapter.
    NDIS_MINIPORT_TIMER RequestWatchdogTimer;
    UCHAR WatchdogArmed;
    // Set at the end of MiniportInitialize: NDIS takes indications only from then on.
    UCHAR InitializeDone;
    // The keep-alive timer was armed at initialise: a reset after shutdown arms it again.
    UCHAR KeepAliveStarted;
    // The receive mode of the last packet filter that reached the MAC, restored by a reset.
    UCHAR ReceiveModeApplied;
    ULONG ReceiveModeMask;
    // Frames shorter than an Ethernet header: dropped, counted with the receive errors.
    ULONG RcvRunt;
    // The receive timer routine is indicating frames on some processor (guarded by RxLock).
    // The timer can fire again while its routine still runs elsewhere; the second routine
    // leaves the ready frames to the first, so frames reach the protocols in the order they
    // arrived.
    UCHAR RxIndicating;
    // Makes a link-poll tick's look at AdapterState and its claim of MediaBusy one step, and
    // orders it with a reset marking the adapter as starting: either the reset sees the cycle's
    // claim and waits for it, or the tick sees the reset and starts nothing.
    NDIS_SPIN_LOCK MediaLock;
    // Bulk transfers (transmit, receive, keep-alive) whose IRP the driver has built and whose
    // completion has not yet finished, queued ones included; interlocked. Every completion
    // decrements it as its very last touch of the record, so halt frees nothing while it is not
    // 0.
    LONG TransfersInFlight;
    // Timer routines running now, on any processor; interlocked. NdisMCancelTimer does not wait
    // for a routine that is already running, so each routine counts itself in first and out as
    // its last touch of the record, and halt waits for 0.
    LONG RoutinesRunning;
    // Set by halt before its last cancels: no timer is armed from then on (ArmTimer).
    UCHAR TimersClosed;
    // Set at power-down under BulkOutLock: nothing more is passed down the bulk-out pipe or
    // queued for it, and what was queued has been ended by the driver itself. A reset after
    // shutdown clears it.
    UCHAR BulkOutStopped;
};
