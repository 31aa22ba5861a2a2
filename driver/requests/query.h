// Query information: answers from constants and AdapterRecord fields, never waits, never pends.
#pragma once

#include "driver/frame/adapter_record.h"

// DISPATCH_LEVEL, no lock taken. On NDIS_STATUS_SUCCESS exactly the answer's bytes are copied to
// the start of InformationBuffer and BytesWritten gets their count; on NDIS_STATUS_INVALID_LENGTH
// nothing is copied and BytesNeeded gets the shortfall. Every other outcome (the refused objects
// answer NDIS_STATUS_NOT_SUPPORTED, unknown ones NDIS_STATUS_INVALID_OID) writes neither count.
NDIS_STATUS NTAPI MiniportQueryInformation(NDIS_HANDLE MiniportAdapterContext, NDIS_OID Oid,
                                           PVOID InformationBuffer, ULONG InformationBufferLength,
                                           PULONG BytesWritten, PULONG BytesNeeded);
