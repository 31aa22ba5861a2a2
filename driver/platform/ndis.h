// NDIS 5.0 miniport declarations the driver codes against: published type names, structure shapes,
// status codes, OIDs and wrapper routines. The DDK's packet and buffer macros are given as inline
// routines with the same names and effects.
#pragma once

#include "nt.h"

typedef PVOID NDIS_HANDLE;
typedef NDIS_HANDLE* PNDIS_HANDLE;
typedef int NDIS_STATUS;
typedef NDIS_STATUS* PNDIS_STATUS;
typedef ULONG NDIS_ERROR_CODE;
typedef NDIS_ERROR_CODE* PNDIS_ERROR_CODE;

// Event log codes for NdisWriteErrorLogEntry.
#define NDIS_ERROR_CODE_NETWORK_ADDRESS 0xC0001390L
typedef ULONG NDIS_OID;
typedef NDIS_OID* PNDIS_OID;
typedef UNICODE_STRING NDIS_STRING;
typedef NDIS_STRING* PNDIS_STRING;

// A counted string constant: length without the terminating NUL, maximum length with it.
#define NDIS_STRING_CONST(x) \
    { sizeof(u##x) - sizeof(WCHAR), sizeof(u##x), const_cast<PWSTR>(u##x) }
typedef LARGE_INTEGER NDIS_PHYSICAL_ADDRESS;
typedef NDIS_PHYSICAL_ADDRESS* PNDIS_PHYSICAL_ADDRESS;

#define NDIS_STATUS_SUCCESS ((NDIS_STATUS)0x00000000L)
#define NDIS_STATUS_PENDING ((NDIS_STATUS)0x00000103L)
#define NDIS_STATUS_MEDIA_CONNECT ((NDIS_STATUS)0x4001000BL)
#define NDIS_STATUS_MEDIA_DISCONNECT ((NDIS_STATUS)0x4001000CL)
#define NDIS_STATUS_FAILURE ((NDIS_STATUS)0xC0000001L)
#define NDIS_STATUS_RESOURCES ((NDIS_STATUS)0xC000009AL)
#define NDIS_STATUS_NOT_SUPPORTED ((NDIS_STATUS)0xC00000BBL)
#define NDIS_STATUS_MULTICAST_FULL ((NDIS_STATUS)0xC0010009L)
#define NDIS_STATUS_INVALID_LENGTH ((NDIS_STATUS)0xC0010014L)
#define NDIS_STATUS_INVALID_OID ((NDIS_STATUS)0xC0010017L)
#define NDIS_STATUS_UNSUPPORTED_MEDIA ((NDIS_STATUS)0xC0010019L)

typedef enum _NDIS_MEDIUM {
    NdisMedium802_3 = 0,
    NdisMedium802_5 = 1,
    NdisMediumFddi = 2,
    NdisMediumWan = 3,
    NdisMediumLocalTalk = 4,
    NdisMediumDix = 5,
    NdisMediumArcnetRaw = 6,
    NdisMediumArcnet878_2 = 7
} NDIS_MEDIUM, *PNDIS_MEDIUM;

typedef enum _NDIS_HARDWARE_STATUS {
    NdisHardwareStatusReady = 0,
    NdisHardwareStatusInitializing = 1,
    NdisHardwareStatusReset = 2,
    NdisHardwareStatusClosing = 3,
    NdisHardwareStatusNotReady = 4
} NDIS_HARDWARE_STATUS, *PNDIS_HARDWARE_STATUS;

typedef enum _NDIS_MEDIA_STATE {
    NdisMediaStateConnected = 0,
    NdisMediaStateDisconnected = 1
} NDIS_MEDIA_STATE, *PNDIS_MEDIA_STATE;

typedef enum _NDIS_INTERFACE_TYPE { NdisInterfaceInternal = 0 } NDIS_INTERFACE_TYPE;

typedef enum _NDIS_PARAMETER_TYPE {
    NdisParameterInteger = 0,
    NdisParameterHexInteger = 1,
    NdisParameterString = 2,
    NdisParameterMultiString = 3,
    NdisParameterBinary = 4
} NDIS_PARAMETER_TYPE;

typedef struct _NDIS_CONFIGURATION_PARAMETER {
    NDIS_PARAMETER_TYPE ParameterType;
    union {
        ULONG IntegerData;
        NDIS_STRING StringData;
    } ParameterData;
} NDIS_CONFIGURATION_PARAMETER, *PNDIS_CONFIGURATION_PARAMETER;

#define NDIS_ATTRIBUTE_IGNORE_PACKET_TIMEOUT 0x00000001
#define NDIS_ATTRIBUTE_IGNORE_REQUEST_TIMEOUT 0x00000002
#define NDIS_ATTRIBUTE_INTERMEDIATE_DRIVER 0x00000010
#define NDIS_ATTRIBUTE_DESERIALIZE 0x00000020

typedef struct _NDIS_SPIN_LOCK {
    KSPIN_LOCK SpinLock;
    KIRQL OldIrql;
} NDIS_SPIN_LOCK, *PNDIS_SPIN_LOCK;

typedef struct _KTIMER {
    DISPATCHER_HEADER Header;
    ULARGE_INTEGER DueTime;
    LIST_ENTRY TimerListEntry;
    PKDPC Dpc;
#if defined(__x86_64__)
    ULONG Processor;
#endif
    ULONG Period;
} KTIMER, *PKTIMER;

typedef VOID (NTAPI* PNDIS_TIMER_FUNCTION)(PVOID SystemSpecific1, PVOID FunctionContext,
                                     PVOID SystemSpecific2, PVOID SystemSpecific3);

typedef struct _NDIS_MINIPORT_TIMER {
    KTIMER Timer;
    KDPC Dpc;
    PNDIS_TIMER_FUNCTION MiniportTimerFunction;
    PVOID MiniportTimerContext;
    NDIS_HANDLE Miniport;
    struct _NDIS_MINIPORT_TIMER* NextDeferredTimer;
} NDIS_MINIPORT_TIMER, *PNDIS_MINIPORT_TIMER;

typedef struct _NDIS_MINIPORT_INTERRUPT {
    PVOID InterruptObject;
    KSPIN_LOCK DpcCountLock;
    PVOID Reserved;
    PVOID MiniportIsr;
    PVOID MiniportDpc;
    KDPC InterruptDpc;
    NDIS_HANDLE Miniport;
    UCHAR DpcCount;
    BOOLEAN Filler1;
    KEVENT DpcsCompletedEvent;
    BOOLEAN SharedInterrupt;
    BOOLEAN IsrRequested;
} NDIS_MINIPORT_INTERRUPT, *PNDIS_MINIPORT_INTERRUPT;

// NDIS buffers are memory descriptor lists.
typedef struct _MDL {
    struct _MDL* Next;
    SHORT Size;
    SHORT MdlFlags;
    PVOID Process;
    PVOID MappedSystemVa;
    PVOID StartVa;
    ULONG ByteCount;
    ULONG ByteOffset;
} MDL, *PMDL;

// MdlFlags: the buffer's pages are mapped into system space, or are non-paged pool and so always
// addressable. The DDK's NdisQueryBuffer reads MappedSystemVa when either is set and asks
// MmMapLockedPages otherwise.
#define MDL_MAPPED_TO_SYSTEM_VA 0x0001
#define MDL_SOURCE_IS_NONPAGED_POOL 0x0004

typedef MDL NDIS_BUFFER;
typedef NDIS_BUFFER* PNDIS_BUFFER;

typedef struct _NDIS_PACKET_PRIVATE {
    UINT PhysicalCount;
    UINT TotalLength;
    PNDIS_BUFFER Head;
    PNDIS_BUFFER Tail;
    NDIS_HANDLE Pool;
    UINT Count;
    ULONG Flags;
    BOOLEAN ValidCounts;
    UCHAR NdisPacketFlags;
    USHORT NdisPacketOobOffset;
} NDIS_PACKET_PRIVATE;

typedef struct _NDIS_PACKET {
    NDIS_PACKET_PRIVATE Private;
    union {
        struct {
            UCHAR MiniportReserved[2 * sizeof(PVOID)];
            UCHAR WrapperReserved[2 * sizeof(PVOID)];
        };
        struct {
            UCHAR MiniportReservedEx[3 * sizeof(PVOID)];
            UCHAR WrapperReservedEx[sizeof(PVOID)];
        };
        struct {
            UCHAR MacReserved[4 * sizeof(PVOID)];
        };
    };
    ULONG_PTR Reserved[2];
    UCHAR ProtocolReserved[1];
} NDIS_PACKET, *PNDIS_PACKET, **PPNDIS_PACKET;

typedef struct _NDIS_PACKET_OOB_DATA {
    ULONGLONG TimeToSend;
    ULONGLONG TimeReceived;
    UINT HeaderSize;
    UINT SizeMediaSpecificInfo;
    PVOID MediaSpecificInformation;
    NDIS_STATUS Status;
} NDIS_PACKET_OOB_DATA, *PNDIS_PACKET_OOB_DATA;

// Miniport handler shapes.
typedef BOOLEAN (NTAPI* W_CHECK_FOR_HANG_HANDLER)(NDIS_HANDLE MiniportAdapterContext);
typedef VOID (NTAPI* W_DISABLE_INTERRUPT_HANDLER)(NDIS_HANDLE MiniportAdapterContext);
typedef VOID (NTAPI* W_ENABLE_INTERRUPT_HANDLER)(NDIS_HANDLE MiniportAdapterContext);
typedef VOID (NTAPI* W_HALT_HANDLER)(NDIS_HANDLE MiniportAdapterContext);
typedef VOID (NTAPI* W_HANDLE_INTERRUPT_HANDLER)(NDIS_HANDLE MiniportAdapterContext);
typedef NDIS_STATUS(NTAPI* W_INITIALIZE_HANDLER)(PNDIS_STATUS OpenErrorStatus,
                                                 PUINT SelectedMediumIndex,
                                                 PNDIS_MEDIUM MediumArray, UINT MediumArraySize,
                                                 NDIS_HANDLE MiniportAdapterHandle,
                                                 NDIS_HANDLE WrapperConfigurationContext);
typedef VOID(NTAPI* W_ISR_HANDLER)(PBOOLEAN InterruptRecognized,
                                   PBOOLEAN QueueMiniportHandleInterrupt,
                                   NDIS_HANDLE MiniportAdapterContext);
typedef NDIS_STATUS(NTAPI* W_QUERY_INFORMATION_HANDLER)(NDIS_HANDLE MiniportAdapterContext,
                                                        NDIS_OID Oid, PVOID InformationBuffer,
                                                        ULONG InformationBufferLength,
                                                        PULONG BytesWritten, PULONG BytesNeeded);
typedef NDIS_STATUS(NTAPI* W_RECONFIGURE_HANDLER)(PNDIS_STATUS OpenErrorStatus,
                                                  NDIS_HANDLE MiniportAdapterContext,
                                                  NDIS_HANDLE WrapperConfigurationContext);
typedef NDIS_STATUS(NTAPI* W_RESET_HANDLER)(PBOOLEAN AddressingReset,
                                            NDIS_HANDLE MiniportAdapterContext);
typedef NDIS_STATUS(NTAPI* W_SEND_HANDLER)(NDIS_HANDLE MiniportAdapterContext,
                                           PNDIS_PACKET Packet, UINT Flags);
typedef NDIS_STATUS(NTAPI* W_SET_INFORMATION_HANDLER)(NDIS_HANDLE MiniportAdapterContext,
                                                      NDIS_OID Oid, PVOID InformationBuffer,
                                                      ULONG InformationBufferLength,
                                                      PULONG BytesRead, PULONG BytesNeeded);
typedef NDIS_STATUS(NTAPI* W_TRANSFER_DATA_HANDLER)(PNDIS_PACKET Packet, PUINT BytesTransferred,
                                                    NDIS_HANDLE MiniportAdapterContext,
                                                    NDIS_HANDLE MiniportReceiveContext,
                                                    UINT ByteOffset, UINT BytesToTransfer);
typedef VOID(NTAPI* W_RETURN_PACKET_HANDLER)(NDIS_HANDLE MiniportAdapterContext,
                                             PNDIS_PACKET Packet);
typedef VOID(NTAPI* W_SEND_PACKETS_HANDLER)(NDIS_HANDLE MiniportAdapterContext,
                                            PPNDIS_PACKET PacketArray, UINT NumberOfPackets);
typedef VOID(NTAPI* W_ALLOCATE_COMPLETE_HANDLER)(NDIS_HANDLE MiniportAdapterContext,
                                                 PVOID VirtualAddress,
                                                 PNDIS_PHYSICAL_ADDRESS PhysicalAddress,
                                                 ULONG Length, PVOID Context);
typedef VOID (NTAPI* ADAPTER_SHUTDOWN_HANDLER)(PVOID ShutdownContext);

// The miniport characteristics as the DDK nests them for C++: each NDIS version's record begins
// with the one before it.
typedef struct _NDIS30_MINIPORT_CHARACTERISTICS {
    UCHAR MajorNdisVersion;
    UCHAR MinorNdisVersion;
    UINT Reserved;
    W_CHECK_FOR_HANG_HANDLER CheckForHangHandler;
    W_DISABLE_INTERRUPT_HANDLER DisableInterruptHandler;
    W_ENABLE_INTERRUPT_HANDLER EnableInterruptHandler;
    W_HALT_HANDLER HaltHandler;
    W_HANDLE_INTERRUPT_HANDLER HandleInterruptHandler;
    W_INITIALIZE_HANDLER InitializeHandler;
    W_ISR_HANDLER ISRHandler;
    W_QUERY_INFORMATION_HANDLER QueryInformationHandler;
    W_RECONFIGURE_HANDLER ReconfigureHandler;
    W_RESET_HANDLER ResetHandler;
    W_SEND_HANDLER SendHandler;
    W_SET_INFORMATION_HANDLER SetInformationHandler;
    W_TRANSFER_DATA_HANDLER TransferDataHandler;
} NDIS30_MINIPORT_CHARACTERISTICS;

typedef struct _NDIS40_MINIPORT_CHARACTERISTICS {
    NDIS30_MINIPORT_CHARACTERISTICS Ndis30Chars;
    W_RETURN_PACKET_HANDLER ReturnPacketHandler;
    W_SEND_PACKETS_HANDLER SendPacketsHandler;
    W_ALLOCATE_COMPLETE_HANDLER AllocateCompleteHandler;
} NDIS40_MINIPORT_CHARACTERISTICS;

typedef struct _NDIS50_MINIPORT_CHARACTERISTICS {
    NDIS40_MINIPORT_CHARACTERISTICS Ndis40Chars;
    PVOID CoCreateVcHandler;
    PVOID CoDeleteVcHandler;
    PVOID CoActivateVcHandler;
    PVOID CoDeactivateVcHandler;
    PVOID CoSendPacketsHandler;
    PVOID CoRequestHandler;
} NDIS50_MINIPORT_CHARACTERISTICS, NDIS_MINIPORT_CHARACTERISTICS,
    *PNDIS_MINIPORT_CHARACTERISTICS;

// Object identifiers.
#define OID_GEN_SUPPORTED_LIST 0x00010101
#define OID_GEN_HARDWARE_STATUS 0x00010102
#define OID_GEN_MEDIA_SUPPORTED 0x00010103
#define OID_GEN_MEDIA_IN_USE 0x00010104
#define OID_GEN_MAXIMUM_LOOKAHEAD 0x00010105
#define OID_GEN_MAXIMUM_FRAME_SIZE 0x00010106
#define OID_GEN_LINK_SPEED 0x00010107
#define OID_GEN_TRANSMIT_BUFFER_SPACE 0x00010108
#define OID_GEN_RECEIVE_BUFFER_SPACE 0x00010109
#define OID_GEN_TRANSMIT_BLOCK_SIZE 0x0001010A
#define OID_GEN_RECEIVE_BLOCK_SIZE 0x0001010B
#define OID_GEN_VENDOR_ID 0x0001010C
#define OID_GEN_VENDOR_DESCRIPTION 0x0001010D
#define OID_GEN_CURRENT_PACKET_FILTER 0x0001010E
#define OID_GEN_CURRENT_LOOKAHEAD 0x0001010F
#define OID_GEN_DRIVER_VERSION 0x00010110
#define OID_GEN_MAXIMUM_TOTAL_SIZE 0x00010111
#define OID_GEN_PROTOCOL_OPTIONS 0x00010112
#define OID_GEN_MAC_OPTIONS 0x00010113
#define OID_GEN_MEDIA_CONNECT_STATUS 0x00010114
#define OID_GEN_MAXIMUM_SEND_PACKETS 0x00010115
#define OID_GEN_VENDOR_DRIVER_VERSION 0x00010116
#define OID_GEN_SUPPORTED_GUIDS 0x00010117
#define OID_GEN_XMIT_OK 0x00020101
#define OID_GEN_RCV_OK 0x00020102
#define OID_GEN_XMIT_ERROR 0x00020103
#define OID_GEN_RCV_ERROR 0x00020104
#define OID_GEN_RCV_NO_BUFFER 0x00020105
#define OID_GEN_RCV_CRC_ERROR 0x0002020D
#define OID_802_3_PERMANENT_ADDRESS 0x01010101
#define OID_802_3_CURRENT_ADDRESS 0x01010102
#define OID_802_3_MULTICAST_LIST 0x01010103
#define OID_802_3_MAXIMUM_LIST_SIZE 0x01010104
#define OID_802_3_RCV_ERROR_ALIGNMENT 0x01020101
#define OID_802_3_XMIT_ONE_COLLISION 0x01020102
#define OID_802_3_XMIT_MORE_COLLISIONS 0x01020103
#define OID_802_3_XMIT_DEFERRED 0x01020201
#define OID_802_3_XMIT_MAX_COLLISIONS 0x01020202
#define OID_802_3_RCV_OVERRUN 0x01020203
#define OID_802_3_XMIT_UNDERRUN 0x01020204
#define OID_TCP_TASK_OFFLOAD 0xFC010201
#define OID_TCP_TASK_IPSEC_ADD_SA 0xFC010202
#define OID_TCP_TASK_IPSEC_DELETE_SA 0xFC010203
#define OID_PNP_CAPABILITIES 0xFD010100
#define OID_PNP_SET_POWER 0xFD010101
#define OID_PNP_QUERY_POWER 0xFD010102
#define OID_PNP_ADD_WAKE_UP_PATTERN 0xFD010103
#define OID_PNP_REMOVE_WAKE_UP_PATTERN 0xFD010104
#define OID_PNP_ENABLE_WAKE_UP 0xFD010106

#define NDIS_PACKET_TYPE_DIRECTED 0x00000001
#define NDIS_PACKET_TYPE_MULTICAST 0x00000002
#define NDIS_PACKET_TYPE_ALL_MULTICAST 0x00000004
#define NDIS_PACKET_TYPE_BROADCAST 0x00000008
#define NDIS_PACKET_TYPE_SOURCE_ROUTING 0x00000010
#define NDIS_PACKET_TYPE_PROMISCUOUS 0x00000020
#define NDIS_PACKET_TYPE_SMT 0x00000040
#define NDIS_PACKET_TYPE_ALL_LOCAL 0x00000080
#define NDIS_PACKET_TYPE_GROUP 0x00001000
#define NDIS_PACKET_TYPE_ALL_FUNCTIONAL 0x00002000
#define NDIS_PACKET_TYPE_FUNCTIONAL 0x00004000
#define NDIS_PACKET_TYPE_MAC_FRAME 0x00008000

#define NDIS_MAC_OPTION_COPY_LOOKAHEAD_DATA 0x00000001
#define NDIS_MAC_OPTION_RECEIVE_SERIALIZED 0x00000002
#define NDIS_MAC_OPTION_TRANSFERS_NOT_PEND 0x00000004
#define NDIS_MAC_OPTION_NO_LOOPBACK 0x00000008
#define NDIS_MAC_OPTION_FULL_DUPLEX 0x00000010

extern "C" {

// Registration and adapter
VOID NTAPI NdisInitializeWrapper(PNDIS_HANDLE NdisWrapperHandle, PVOID SystemSpecific1,
                                 PVOID SystemSpecific2, PVOID SystemSpecific3);
NDIS_STATUS NTAPI NdisMRegisterMiniport(NDIS_HANDLE NdisWrapperHandle,
                                        PNDIS_MINIPORT_CHARACTERISTICS MiniportCharacteristics,
                                        UINT CharacteristicsLength);
VOID NTAPI NdisMSetAttributesEx(NDIS_HANDLE MiniportAdapterHandle,
                                NDIS_HANDLE MiniportAdapterContext,
                                UINT CheckForHangTimeInSeconds, ULONG AttributeFlags,
                                NDIS_INTERFACE_TYPE AdapterType);
VOID NTAPI NdisMGetDeviceProperty(NDIS_HANDLE MiniportAdapterHandle,
                                  PDEVICE_OBJECT* PhysicalDeviceObject,
                                  PDEVICE_OBJECT* FunctionalDeviceObject,
                                  PDEVICE_OBJECT* NextDeviceObject, PVOID* AllocatedResources,
                                  PVOID* AllocatedResourcesTranslated);
VOID NTAPI NdisMRegisterAdapterShutdownHandler(NDIS_HANDLE MiniportHandle, PVOID ShutdownContext,
                                               ADAPTER_SHUTDOWN_HANDLER ShutdownHandler);
VOID NTAPI NdisMDeregisterAdapterShutdownHandler(NDIS_HANDLE MiniportHandle);

// Configuration
VOID NTAPI NdisOpenConfiguration(PNDIS_STATUS Status, PNDIS_HANDLE ConfigurationHandle,
                                 NDIS_HANDLE WrapperConfigurationContext);
VOID NTAPI NdisReadConfiguration(PNDIS_STATUS Status, PNDIS_CONFIGURATION_PARAMETER* ParameterValue,
                                 NDIS_HANDLE ConfigurationHandle, PNDIS_STRING Keyword,
                                 NDIS_PARAMETER_TYPE ParameterType);
VOID NTAPI NdisReadNetworkAddress(PNDIS_STATUS Status, PVOID* NetworkAddress,
                                  PUINT NetworkAddressLength, NDIS_HANDLE ConfigurationHandle);
VOID NTAPI NdisCloseConfiguration(NDIS_HANDLE ConfigurationHandle);

// Memory
NDIS_STATUS NTAPI NdisAllocateMemoryWithTag(PVOID* VirtualAddress, UINT Length, ULONG Tag);
VOID NTAPI NdisFreeMemory(PVOID VirtualAddress, UINT Length, UINT MemoryFlags);
// Block moves: the ranges of NdisMoveMemory must not overlap. The DDK's are macros over
// RtlCopyMemory and RtlZeroMemory, the C library's memcpy and memset: the C convention, not
// NTAPI.
VOID NdisMoveMemory(PVOID Destination, PVOID Source, ULONG Length);
VOID NdisZeroMemory(PVOID Destination, ULONG Length);

// Spin locks
VOID NTAPI NdisAllocateSpinLock(PNDIS_SPIN_LOCK SpinLock);
VOID NTAPI NdisAcquireSpinLock(PNDIS_SPIN_LOCK SpinLock);
VOID NTAPI NdisReleaseSpinLock(PNDIS_SPIN_LOCK SpinLock);
VOID NTAPI NdisFreeSpinLock(PNDIS_SPIN_LOCK SpinLock);

// Timers and delay
VOID NTAPI NdisMInitializeTimer(PNDIS_MINIPORT_TIMER Timer, NDIS_HANDLE MiniportAdapterHandle,
                                PNDIS_TIMER_FUNCTION TimerFunction, PVOID FunctionContext);
VOID NTAPI NdisMSetTimer(PNDIS_MINIPORT_TIMER Timer, UINT MillisecondsToDelay);
VOID NTAPI NdisMCancelTimer(PNDIS_MINIPORT_TIMER Timer, PBOOLEAN TimerCancelled);
VOID NTAPI NdisMSleep(ULONG MicrosecondsToSleep);

// Packets and buffers
VOID NTAPI NdisAllocatePacketPool(PNDIS_STATUS Status, PNDIS_HANDLE PoolHandle,
                                  UINT NumberOfDescriptors, UINT ProtocolReservedLength);
VOID NTAPI NdisAllocateBufferPool(PNDIS_STATUS Status, PNDIS_HANDLE PoolHandle,
                                  UINT NumberOfDescriptors);
VOID NTAPI NdisAllocatePacket(PNDIS_STATUS Status, PNDIS_PACKET* Packet, NDIS_HANDLE PoolHandle);
VOID NTAPI NdisAllocateBuffer(PNDIS_STATUS Status, PNDIS_BUFFER* Buffer, NDIS_HANDLE PoolHandle,
                              PVOID VirtualAddress, UINT Length);
VOID NTAPI NdisFreePacket(PNDIS_PACKET Packet);
VOID NTAPI NdisFreeBuffer(PNDIS_BUFFER Buffer);
VOID NTAPI NdisFreePacketPool(NDIS_HANDLE PoolHandle);
VOID NTAPI NdisFreeBufferPool(NDIS_HANDLE PoolHandle);
VOID NTAPI NdisAdjustBufferLength(PNDIS_BUFFER Buffer, UINT Length);
VOID NTAPI NdisQueryBuffer(PNDIS_BUFFER Buffer, PVOID* VirtualAddress, PUINT Length);
VOID NTAPI NdisQueryBufferOffset(PNDIS_BUFFER Buffer, PUINT Offset, PUINT Length);

// Releases of resources this driver never acquires but its ledger knows how to give back
VOID NTAPI NdisMFreeSharedMemory(NDIS_HANDLE MiniportAdapterHandle, ULONG Length, BOOLEAN Cached,
                                 PVOID VirtualAddress, NDIS_PHYSICAL_ADDRESS PhysicalAddress);
VOID NTAPI NdisMDeregisterIoPortRange(NDIS_HANDLE MiniportAdapterHandle, UINT InitialPort,
                                      UINT NumberOfPorts, PVOID PortOffset);
VOID NTAPI NdisMDeregisterInterrupt(PNDIS_MINIPORT_INTERRUPT Interrupt);
VOID NTAPI NdisMFreeMapRegisters(NDIS_HANDLE MiniportAdapterHandle);

// Event log
VOID __cdecl NdisWriteErrorLogEntry(NDIS_HANDLE NdisAdapterHandle, NDIS_ERROR_CODE ErrorCode,
                                    ULONG NumberOfErrorValues, ...);

// Indications
VOID NTAPI NdisMIndicateReceivePacket(NDIS_HANDLE MiniportAdapterHandle,
                                      PPNDIS_PACKET ReceivePackets,
                                      UINT NumberOfPackets);
VOID NTAPI NdisMSendComplete(NDIS_HANDLE MiniportAdapterHandle, PNDIS_PACKET Packet,
                             NDIS_STATUS Status);
VOID NTAPI NdisMIndicateStatus(NDIS_HANDLE MiniportAdapterHandle, NDIS_STATUS GeneralStatus,
                               PVOID StatusBuffer, UINT StatusBufferSize);
VOID NTAPI NdisMIndicateStatusComplete(NDIS_HANDLE MiniportAdapterHandle);
// A query or set the miniport answered NDIS_STATUS_PENDING ends here.
VOID NTAPI NdisMQueryInformationComplete(NDIS_HANDLE MiniportAdapterHandle, NDIS_STATUS Status);
VOID NTAPI NdisMSetInformationComplete(NDIS_HANDLE MiniportAdapterHandle, NDIS_STATUS Status);

}  // extern "C"

// The DDK's packet and buffer macros.

inline PNDIS_PACKET_OOB_DATA NDIS_OOB_DATA_FROM_PACKET(PNDIS_PACKET Packet) {
    return (PNDIS_PACKET_OOB_DATA)((PUCHAR)Packet + Packet->Private.NdisPacketOobOffset);
}

inline VOID NDIS_SET_PACKET_HEADER_SIZE(PNDIS_PACKET Packet, UINT HeaderSize) {
    NDIS_OOB_DATA_FROM_PACKET(Packet)->HeaderSize = HeaderSize;
}

inline VOID NDIS_SET_PACKET_STATUS(PNDIS_PACKET Packet, NDIS_STATUS Status) {
    NDIS_OOB_DATA_FROM_PACKET(Packet)->Status = Status;
}

inline NDIS_STATUS NDIS_GET_PACKET_STATUS(PNDIS_PACKET Packet) {
    return NDIS_OOB_DATA_FROM_PACKET(Packet)->Status;
}

inline UINT NDIS_GET_PACKET_HEADER_SIZE(PNDIS_PACKET Packet) {
    return NDIS_OOB_DATA_FROM_PACKET(Packet)->HeaderSize;
}

#define NDIS_PAGE_SIZE 4096u

inline UINT NDIS_BUFFER_TO_SPAN_PAGES(PNDIS_BUFFER Buffer) {
    if (Buffer->ByteCount == 0) return 1;
    ULONG_PTR va = (ULONG_PTR)Buffer->MappedSystemVa;
    ULONG_PTR first = va / NDIS_PAGE_SIZE;
    ULONG_PTR last = (va + Buffer->ByteCount - 1) / NDIS_PAGE_SIZE;
    return (UINT)(last - first + 1);
}

inline VOID NdisGetNextBuffer(PNDIS_BUFFER CurrentBuffer, PNDIS_BUFFER* NextBuffer) {
    *NextBuffer = CurrentBuffer->Next;
}

inline VOID NdisChainBufferAtFront(PNDIS_PACKET Packet, PNDIS_BUFFER Buffer) {
    PNDIS_BUFFER tail = Buffer;
    while (tail->Next != nullptr) tail = tail->Next;
    if (Packet->Private.Head == nullptr) Packet->Private.Tail = tail;
    tail->Next = Packet->Private.Head;
    Packet->Private.Head = Buffer;
    Packet->Private.ValidCounts = FALSE;
}

// Marks the packet's cached counts stale after its buffers changed length (the chain itself is
// unchanged): the next NdisQueryPacket recounts.
inline VOID NdisRecalculatePacketCounts(PNDIS_PACKET Packet) {
    PNDIS_BUFFER tail = Packet->Private.Head;
    if (tail != nullptr) {
        while (tail->Next != nullptr) tail = tail->Next;
        Packet->Private.Tail = tail;
    }
    Packet->Private.ValidCounts = FALSE;
}

inline VOID NdisQueryPacket(PNDIS_PACKET Packet, PUINT PhysicalBufferCount, PUINT BufferCount,
                            PNDIS_BUFFER* FirstBuffer, PUINT TotalPacketLength) {
    if (FirstBuffer != nullptr) *FirstBuffer = Packet->Private.Head;
    if (TotalPacketLength != nullptr || BufferCount != nullptr || PhysicalBufferCount != nullptr) {
        if (!Packet->Private.ValidCounts) {
            UINT total = 0, physical = 0, count = 0;
            for (PNDIS_BUFFER b = Packet->Private.Head; b != nullptr; b = b->Next) {
                UINT offset = 0, length = 0;
                NdisQueryBufferOffset(b, &offset, &length);
                total += length;
                physical += NDIS_BUFFER_TO_SPAN_PAGES(b);
                ++count;
            }
            Packet->Private.Count = count;
            Packet->Private.TotalLength = total;
            Packet->Private.PhysicalCount = physical;
            Packet->Private.ValidCounts = TRUE;
        }
        if (PhysicalBufferCount != nullptr) *PhysicalBufferCount = Packet->Private.PhysicalCount;
        if (BufferCount != nullptr) *BufferCount = Packet->Private.Count;
        if (TotalPacketLength != nullptr) *TotalPacketLength = Packet->Private.TotalLength;
    }
}

// The first buffer of the packet with its address and length, and the packet's total length
// (from the cached counts, as NdisQueryPacket gives it).
inline VOID NdisGetFirstBufferFromPacket(PNDIS_PACKET Packet, PNDIS_BUFFER* FirstBuffer,
                                         PVOID* FirstBufferVA, PUINT FirstBufferLength,
                                         PUINT TotalBufferLength) {
    NdisQueryPacket(Packet, nullptr, nullptr, FirstBuffer, TotalBufferLength);
    if (*FirstBuffer != nullptr) {
        NdisQueryBuffer(*FirstBuffer, FirstBufferVA, FirstBufferLength);
    } else {
        *FirstBufferVA = nullptr;
        *FirstBufferLength = 0;
    }
}
