// Kernel and HAL declarations the driver codes against: the published NT type names, structure
// shapes and routine names. The emulated world supplies the implementations; a build against the
// real DDK would take these from wdm.h instead.
#pragma once

#include <stddef.h>
#include <stdint.h>

typedef void VOID;
typedef void* PVOID;
typedef char CHAR;
typedef CHAR CCHAR;
typedef uint8_t UCHAR;
typedef UCHAR* PUCHAR;
typedef uint16_t USHORT;
typedef USHORT* PUSHORT;
typedef int16_t SHORT;
typedef uint32_t ULONG;
typedef ULONG* PULONG;
typedef int32_t LONG;
typedef LONG* PLONG;
typedef uint32_t UINT;
typedef UINT* PUINT;
// 64-bit integers are 8-byte aligned inside structures, as the Microsoft ABI aligns them on
// both machines; the i386 System V ABI would give them 4 (LARGE_INTEGER, KTIMER's due time, a
// packet's out-of-band times).
typedef int64_t LONGLONG __attribute__((aligned(8)));
typedef uint64_t ULONGLONG __attribute__((aligned(8)));
typedef uintptr_t ULONG_PTR;
typedef UCHAR BOOLEAN;
typedef BOOLEAN* PBOOLEAN;
typedef char16_t WCHAR;
typedef WCHAR* PWSTR;
typedef LONG NTSTATUS;
typedef UCHAR KIRQL;
typedef KIRQL* PKIRQL;
typedef ULONG_PTR KSPIN_LOCK;
typedef KSPIN_LOCK* PKSPIN_LOCK;

#define TRUE 1
#define FALSE 0

// Calling conventions, as the DDK declares each routine. NTAPI is that of every routine the
// system exports and of every one it calls back (driver entry, dispatch, completion and cancel
// routines, NDIS handlers, timer and shutdown routines): __stdcall on 32-bit Windows, the
// Microsoft x64 convention on 64-bit Windows, which this compiler gives as ms_abi. FASTCALL is the
// kernel's register convention on x86 (the first two arguments in ECX and EDX: IofCallDriver, the
// Kf, Kef and Exf routines); x64 has no other. __cdecl is that of a routine with a variable
// argument list on x86 (NdisWriteErrorLogEntry); on x64 it too is the Microsoft one, whose
// argument list is read with __builtin_ms_va_list.
#if defined(__x86_64__)
#define NTAPI __attribute__((ms_abi))
#define FASTCALL __attribute__((ms_abi))
#ifndef __cdecl
#define __cdecl __attribute__((ms_abi))
#endif
#elif defined(__i386__)
#define NTAPI __attribute__((stdcall))
#define FASTCALL __attribute__((fastcall))
#ifndef __cdecl
#define __cdecl __attribute__((cdecl))
#endif
#else
#error "the platform declarations know the x86 and x64 calling conventions only"
#endif

// Code placement: a routine that runs only at driver load goes in the discardable "INIT"
// section, one that runs only at passive level may go in pageable "PAGE" code. The host keeps
// everything in one place.
#define CODE_SEGMENT(name)

// An unlocked access to a field other processors share. The emulated world may switch to
// another processor's context here, so that such accesses interleave as on real hardware, and
// checks that the field does not lie in memory the driver has already freed; on Windows it is
// nothing.
extern "C" void HostSharedAccessPoint(const void* Field);
#define SHARED_ACCESS_POINT(field) HostSharedAccessPoint(field)

#define POINTER_ALIGNMENT alignas(sizeof(void*))

typedef union _LARGE_INTEGER {
    struct {
        ULONG LowPart;
        LONG HighPart;
    } u;
    LONGLONG QuadPart;
} LARGE_INTEGER, *PLARGE_INTEGER;

typedef union _ULARGE_INTEGER {
    struct {
        ULONG LowPart;
        ULONG HighPart;
    } u;
    ULONGLONG QuadPart;
} ULARGE_INTEGER, *PULARGE_INTEGER;

typedef struct _LIST_ENTRY {
    struct _LIST_ENTRY* Flink;
    struct _LIST_ENTRY* Blink;
} LIST_ENTRY, *PLIST_ENTRY;

typedef struct _UNICODE_STRING {
    USHORT Length;
    USHORT MaximumLength;
    PWSTR Buffer;
} UNICODE_STRING, *PUNICODE_STRING;

// IRQLs
#define PASSIVE_LEVEL 0
#define APC_LEVEL 1
#define DISPATCH_LEVEL 2

// NT status codes used at this boundary.
#define STATUS_SUCCESS ((NTSTATUS)0x00000000L)
#define STATUS_TIMEOUT ((NTSTATUS)0x00000102L)
#define STATUS_PENDING ((NTSTATUS)0x00000103L)
#define STATUS_UNSUCCESSFUL ((NTSTATUS)0xC0000001L)
#define STATUS_MORE_PROCESSING_REQUIRED ((NTSTATUS)0xC0000016L)
#define STATUS_INSUFFICIENT_RESOURCES ((NTSTATUS)0xC000009AL)
#define STATUS_IO_TIMEOUT ((NTSTATUS)0xC00000B5L)
#define STATUS_CANCELLED ((NTSTATUS)0xC0000120L)
#define STATUS_DEVICE_NOT_CONNECTED ((NTSTATUS)0xC000009DL)
#define STATUS_INVALID_PARAMETER ((NTSTATUS)0xC000000DL)

#define NT_SUCCESS(Status) (((NTSTATUS)(Status)) >= 0)

typedef enum _POOL_TYPE { NonPagedPool = 0, PagedPool = 1 } POOL_TYPE;

typedef enum _EVENT_TYPE { NotificationEvent = 0, SynchronizationEvent = 1 } EVENT_TYPE;

typedef enum _KWAIT_REASON { Executive = 0, Suspended = 5 } KWAIT_REASON;

typedef CCHAR KPROCESSOR_MODE;
#define KernelMode 0
#define UserMode 1

typedef struct _DISPATCHER_HEADER {
    UCHAR Type;
    // The DDK's flag bytes (timer, thread and debug flags, the object's size), bit-fields there;
    // nothing here reads them.
    UCHAR Reserved[3];
    LONG SignalState;
    LIST_ENTRY WaitListHead;
} DISPATCHER_HEADER;

typedef struct _KEVENT {
    DISPATCHER_HEADER Header;
} KEVENT, *PKEVENT;

typedef struct _IO_STATUS_BLOCK {
    union {
        NTSTATUS Status;
        PVOID Pointer;
    };
    ULONG_PTR Information;
} IO_STATUS_BLOCK, *PIO_STATUS_BLOCK;

struct _IRP;
struct _DEVICE_OBJECT;
struct _DRIVER_OBJECT;

typedef NTSTATUS(NTAPI* PIO_COMPLETION_ROUTINE)(struct _DEVICE_OBJECT* DeviceObject,
                                                struct _IRP* Irp, PVOID Context);
typedef NTSTATUS (NTAPI* PDRIVER_DISPATCH)(struct _DEVICE_OBJECT* DeviceObject, struct _IRP* Irp);
typedef VOID (NTAPI* PDRIVER_CANCEL)(struct _DEVICE_OBJECT* DeviceObject, struct _IRP* Irp);

#define IRP_MJ_CREATE 0x00
#define IRP_MJ_CLOSE 0x02
#define IRP_MJ_DEVICE_CONTROL 0x0e
#define IRP_MJ_INTERNAL_DEVICE_CONTROL 0x0f
#define IRP_MJ_MAXIMUM_FUNCTION 0x1b

#define SL_PENDING_RETURNED 0x01
#define SL_INVOKE_ON_CANCEL 0x20
#define SL_INVOKE_ON_SUCCESS 0x40
#define SL_INVOKE_ON_ERROR 0x80

typedef struct _IO_STACK_LOCATION {
    UCHAR MajorFunction;
    UCHAR MinorFunction;
    UCHAR Flags;
    UCHAR Control;
    union {
        struct {
            POINTER_ALIGNMENT ULONG OutputBufferLength;
            POINTER_ALIGNMENT ULONG InputBufferLength;
            POINTER_ALIGNMENT ULONG IoControlCode;
            PVOID Type3InputBuffer;
        } DeviceIoControl;
        struct {
            PVOID Argument1;
            PVOID Argument2;
            PVOID Argument3;
            PVOID Argument4;
        } Others;
    } Parameters;
    struct _DEVICE_OBJECT* DeviceObject;
    PVOID FileObject;
    PIO_COMPLETION_ROUTINE CompletionRoutine;
    PVOID Context;
} IO_STACK_LOCATION, *PIO_STACK_LOCATION;

typedef struct _KDEVICE_QUEUE_ENTRY {
    LIST_ENTRY DeviceListEntry;
    ULONG SortKey;
    BOOLEAN Inserted;
} KDEVICE_QUEUE_ENTRY;

typedef struct _KDEVICE_QUEUE {
    SHORT Type;
    SHORT Size;
    LIST_ENTRY DeviceListHead;
    KSPIN_LOCK Lock;
    union {
        BOOLEAN Busy;
        ULONG_PTR ReservedHint;  // x64: the DDK's Reserved and Hint bit-fields
    };
} KDEVICE_QUEUE;

typedef struct _WAIT_CONTEXT_BLOCK {
    KDEVICE_QUEUE_ENTRY WaitQueueEntry;
    PVOID DeviceRoutine;
    PVOID DeviceContext;
    ULONG NumberOfMapRegisters;
    PVOID DeviceObject;
    PVOID CurrentIrp;
    PVOID BufferChainingDpc;
} WAIT_CONTEXT_BLOCK;

typedef struct _KAPC {
    UCHAR Type;
    UCHAR SpareByte0;
    UCHAR Size;
    UCHAR SpareByte1;
    ULONG SpareLong0;
    PVOID Thread;
    LIST_ENTRY ApcListEntry;
    PVOID KernelRoutine;
    PVOID RundownRoutine;
    PVOID NormalRoutine;
    PVOID NormalContext;
    PVOID SystemArgument1;
    PVOID SystemArgument2;
    CCHAR ApcStateIndex;
    KPROCESSOR_MODE ApcMode;
    BOOLEAN Inserted;
} KAPC;

typedef struct _KDPC {
    UCHAR Type;
    UCHAR Importance;
    USHORT Number;
    LIST_ENTRY DpcListEntry;
    PVOID DeferredRoutine;
    PVOID DeferredContext;
    PVOID SystemArgument1;
    PVOID SystemArgument2;
    PVOID DpcData;
} KDPC, *PKDPC;

// The DDK's I/O request packet, whole: the image reads its stack location through
// Tail.Overlay.CurrentStackLocation (IoGetNextIrpStackLocation) and the world allocates the stack
// locations right behind it.
typedef struct _IRP {
    SHORT Type;
    USHORT Size;
    PVOID MdlAddress;
    ULONG Flags;
    union {
        struct _IRP* MasterIrp;
        LONG IrpCount;
        PVOID SystemBuffer;
    } AssociatedIrp;
    LIST_ENTRY ThreadListEntry;
    IO_STATUS_BLOCK IoStatus;
    KPROCESSOR_MODE RequestorMode;
    BOOLEAN PendingReturned;
    CHAR StackCount;
    CHAR CurrentLocation;
    BOOLEAN Cancel;
    KIRQL CancelIrql;
    CCHAR ApcEnvironment;
    UCHAR AllocationFlags;
    PIO_STATUS_BLOCK UserIosb;
    PKEVENT UserEvent;
    union {
        struct {
            PVOID UserApcRoutine;
            PVOID UserApcContext;
        } AsynchronousParameters;
        LARGE_INTEGER AllocationSize;
    } Overlay;
    PDRIVER_CANCEL CancelRoutine;
    PVOID UserBuffer;
    union {
        struct {
            union {
                KDEVICE_QUEUE_ENTRY DeviceQueueEntry;
                PVOID DriverContext[4];
            };
            PVOID Thread;
            CHAR* AuxiliaryBuffer;
            struct {
                LIST_ENTRY ListEntry;
                union {
                    struct _IO_STACK_LOCATION* CurrentStackLocation;
                    ULONG PacketType;
                };
            };
            PVOID OriginalFileObject;
        } Overlay;
        KAPC Apc;
        PVOID CompletionKey;
    } Tail;
} IRP, *PIRP;

typedef struct _DRIVER_OBJECT {
    SHORT Type;
    SHORT Size;
    struct _DEVICE_OBJECT* DeviceObject;
    ULONG Flags;
    PVOID DriverStart;
    ULONG DriverSize;
    PVOID DriverSection;
    PVOID DriverExtension;
    UNICODE_STRING DriverName;
    PUNICODE_STRING HardwareDatabase;
    PVOID FastIoDispatch;
    PVOID DriverInit;
    PVOID DriverStartIo;
    PVOID DriverUnload;
    PDRIVER_DISPATCH MajorFunction[IRP_MJ_MAXIMUM_FUNCTION + 1];
} DRIVER_OBJECT, *PDRIVER_OBJECT;

// The DDK's device object, whole: the image reads StackSize (to size the IRPs it allocates) from
// the device object the world gives it.
typedef struct _DEVICE_OBJECT {
    SHORT Type;
    USHORT Size;
    LONG ReferenceCount;
    struct _DRIVER_OBJECT* DriverObject;
    struct _DEVICE_OBJECT* NextDevice;
    struct _DEVICE_OBJECT* AttachedDevice;
    struct _IRP* CurrentIrp;
    PVOID Timer;
    ULONG Flags;
    ULONG Characteristics;
    PVOID Vpb;
    PVOID DeviceExtension;
    ULONG DeviceType;
    CCHAR StackSize;
    union {
        LIST_ENTRY ListEntry;
        WAIT_CONTEXT_BLOCK Wcb;
    } Queue;
    ULONG AlignmentRequirement;
    KDEVICE_QUEUE DeviceQueue;
    KDPC Dpc;
    ULONG ActiveThreadCount;
    PVOID SecurityDescriptor;
    KEVENT DeviceLock;
    USHORT SectorSize;
    USHORT Spare1;
    PVOID DeviceObjectExtension;
    PVOID Reserved;
} DEVICE_OBJECT, *PDEVICE_OBJECT;

// Inline forms of the DDK's IRP macros.
inline PIO_STACK_LOCATION IoGetNextIrpStackLocation(PIRP Irp) {
    return Irp->Tail.Overlay.CurrentStackLocation - 1;
}

inline PIO_STACK_LOCATION IoGetCurrentIrpStackLocation(PIRP Irp) {
    return Irp->Tail.Overlay.CurrentStackLocation;
}

inline VOID IoMarkIrpPending(PIRP Irp) { IoGetCurrentIrpStackLocation(Irp)->Control |= SL_PENDING_RETURNED; }

inline VOID IoSetCompletionRoutine(PIRP Irp, PIO_COMPLETION_ROUTINE Routine, PVOID Context,
                                   BOOLEAN InvokeOnSuccess, BOOLEAN InvokeOnError,
                                   BOOLEAN InvokeOnCancel) {
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(Irp);
    next->CompletionRoutine = Routine;
    next->Context = Context;
    next->Control = 0;
    if (InvokeOnSuccess) next->Control |= SL_INVOKE_ON_SUCCESS;
    if (InvokeOnError) next->Control |= SL_INVOKE_ON_ERROR;
    if (InvokeOnCancel) next->Control |= SL_INVOKE_ON_CANCEL;
}

extern "C" {

// I/O manager
PIRP NTAPI IoAllocateIrp(CCHAR StackSize, BOOLEAN ChargeQuota);
VOID NTAPI IoFreeIrp(PIRP Irp);
PIRP NTAPI IoBuildDeviceIoControlRequest(ULONG IoControlCode, PDEVICE_OBJECT DeviceObject,
                                         PVOID InputBuffer, ULONG InputBufferLength,
                                         PVOID OutputBuffer, ULONG OutputBufferLength,
                                         BOOLEAN InternalDeviceIoControl, PKEVENT Event,
                                         PIO_STATUS_BLOCK IoStatusBlock);
NTSTATUS FASTCALL IofCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp);
BOOLEAN NTAPI IoCancelIrp(PIRP Irp);
VOID FASTCALL IofCompleteRequest(PIRP Irp, CCHAR PriorityBoost);

// Dispatcher objects
VOID NTAPI KeInitializeEvent(PKEVENT Event, EVENT_TYPE Type, BOOLEAN State);
LONG NTAPI KeSetEvent(PKEVENT Event, LONG Increment, BOOLEAN Wait);
NTSTATUS NTAPI KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason,
                                     KPROCESSOR_MODE WaitMode,
                                     BOOLEAN Alertable, PLARGE_INTEGER Timeout);

// Pool
PVOID NTAPI ExAllocatePoolWithTag(POOL_TYPE PoolType, size_t NumberOfBytes, ULONG Tag);
VOID NTAPI ExFreePool(PVOID P);

// Spin locks and IRQL
VOID NTAPI KeInitializeSpinLock(PKSPIN_LOCK SpinLock);
KIRQL FASTCALL KfRaiseIrql(KIRQL NewIrql);
VOID FASTCALL KfLowerIrql(KIRQL NewIrql);
KIRQL NTAPI KeGetCurrentIrql(void);
VOID FASTCALL KefAcquireSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock);
VOID FASTCALL KefReleaseSpinLockFromDpcLevel(PKSPIN_LOCK SpinLock);

// Interlocked counters
LONG InterlockedIncrement(LONG volatile* Addend);
LONG InterlockedDecrement(LONG volatile* Addend);
LONG InterlockedCompareExchange(LONG volatile* Destination, LONG Exchange, LONG Comparand);

// Interlocked lists
PLIST_ENTRY FASTCALL ExfInterlockedInsertTailList(PLIST_ENTRY ListHead, PLIST_ENTRY ListEntry,
                                                  PKSPIN_LOCK Lock);
PLIST_ENTRY FASTCALL ExfInterlockedRemoveHeadList(PLIST_ENTRY ListHead, PKSPIN_LOCK Lock);

}  // extern "C"

// The portable names of the IRQL, spin-lock and interlocked-list routines: on 32-bit Windows the
// DDK makes them macros over the Kf, Kef and Exf exports, as here; on 64-bit Windows they are
// exports (or intrinsics) of their own.
inline VOID KeRaiseIrql(KIRQL NewIrql, PKIRQL OldIrql) { *OldIrql = KfRaiseIrql(NewIrql); }
inline VOID KeLowerIrql(KIRQL NewIrql) { KfLowerIrql(NewIrql); }
inline VOID KeAcquireSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock) {
    KefAcquireSpinLockAtDpcLevel(SpinLock);
}
inline VOID KeReleaseSpinLockFromDpcLevel(PKSPIN_LOCK SpinLock) {
    KefReleaseSpinLockFromDpcLevel(SpinLock);
}
inline PLIST_ENTRY ExInterlockedInsertTailList(PLIST_ENTRY ListHead, PLIST_ENTRY ListEntry,
                                               PKSPIN_LOCK Lock) {
    return ExfInterlockedInsertTailList(ListHead, ListEntry, Lock);
}
inline PLIST_ENTRY ExInterlockedRemoveHeadList(PLIST_ENTRY ListHead, PKSPIN_LOCK Lock) {
    return ExfInterlockedRemoveHeadList(ListHead, Lock);
}

// Spin locks taken from any IRQL up to DISPATCH_LEVEL, as the DDK's macros build them.
inline VOID KeAcquireSpinLock(PKSPIN_LOCK SpinLock, PKIRQL OldIrql) {
    KeRaiseIrql(DISPATCH_LEVEL, OldIrql);
    KeAcquireSpinLockAtDpcLevel(SpinLock);
}

inline VOID KeReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql) {
    KeReleaseSpinLockFromDpcLevel(SpinLock);
    KeLowerIrql(NewIrql);
}

inline NTSTATUS IoCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    return IofCallDriver(DeviceObject, Irp);
}

inline VOID InitializeListHead(PLIST_ENTRY ListHead) {
    ListHead->Flink = ListHead->Blink = ListHead;
}

inline BOOLEAN IsListEmpty(const LIST_ENTRY* ListHead) { return ListHead->Flink == ListHead; }

// Builds a four-character pool tag from its characters in memory order, as the DDK's
// multi-character literals do on a little-endian machine.
constexpr ULONG MAKE_POOL_TAG(char a, char b, char c, char d) {
    return (ULONG)(UCHAR)a | ((ULONG)(UCHAR)b << 8) | ((ULONG)(UCHAR)c << 16) |
           ((ULONG)(UCHAR)d << 24);
}

#define CONTAINING_RECORD(address, type, field) \
    ((type*)((PUCHAR)(address) - offsetof(type, field)))
