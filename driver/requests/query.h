// Query information: answers from constants and AdapterRecord fields, never waits, never pends.
#pragma once

#include "driver/frame/adapter_record.h"

NDIS_STATUS MiniportQueryInformation(NDIS_HANDLE MiniportAdapterContext, NDIS_OID Oid,
                                     PVOID InformationBuffer, ULONG InformationBufferLength,
                                     PULONG BytesWritten, PULONG BytesNeeded);
