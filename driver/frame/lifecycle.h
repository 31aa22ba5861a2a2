// Driver entry and the adapter lifecycle: registration with NDIS, initialise, halt, reset and
// shutdown, the four timers and the small trampolines the timers and media steps call.
#pragma once

#include "driver/frame/adapter_record.h"

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);

NDIS_STATUS NTAPI MiniportInitialize(PNDIS_STATUS OpenErrorStatus, PUINT SelectedMediumIndex,
                                     PNDIS_MEDIUM MediumArray, UINT MediumArraySize,
                                     NDIS_HANDLE MiniportAdapterHandle,
                                     NDIS_HANDLE WrapperConfigurationContext);
VOID NTAPI MiniportHalt(NDIS_HANDLE MiniportAdapterContext);
NDIS_STATUS NTAPI MiniportReset(PBOOLEAN AddressingReset, NDIS_HANDLE MiniportAdapterContext);
VOID NTAPI MiniportReturnPacket(NDIS_HANDLE MiniportAdapterContext, PNDIS_PACKET Packet);

// Registered as the shutdown handler and also run by halt. Passive level.
VOID NTAPI ShutdownAdapter(PVOID ShutdownContext);
ULONG PowerDownDevice(AdapterRecord* Adapter);
// MAC reset, media programming, the first receive (once per initialise), MAC mode and the link
// indication. 1, or 2 when no idle receive descriptor was left for the first read.
ULONG RestartMedia(AdapterRecord* Adapter);

// Timer handlers (dispatch level) and continuations.
VOID NTAPI OnMediaDelayTimer(PVOID SystemSpecific1, PVOID FunctionContext, PVOID SystemSpecific2,
                             PVOID SystemSpecific3);
VOID NTAPI OnLinkPollTimer(PVOID SystemSpecific1, PVOID FunctionContext, PVOID SystemSpecific2,
                           PVOID SystemSpecific3);
ULONG StepNone(AdapterRecord* Adapter);
ULONG ClearMediaBusy(AdapterRecord* Adapter);

#define LINK_POLL_MS 3000u
#define KEEP_ALIVE_MS 1000u
#define CHECK_FOR_HANG_SECONDS 4u
#define ADAPTER_ATTRIBUTES                                                         \
    (NDIS_ATTRIBUTE_IGNORE_PACKET_TIMEOUT | NDIS_ATTRIBUTE_IGNORE_REQUEST_TIMEOUT | \
     NDIS_ATTRIBUTE_INTERMEDIATE_DRIVER | NDIS_ATTRIBUTE_DESERIALIZE)
