// Set information: packet filter, lookahead, multicast list and the power objects.
#pragma once

#include "driver/frame/adapter_record.h"

NDIS_STATUS MiniportSetInformation(NDIS_HANDLE MiniportAdapterContext, NDIS_OID Oid,
                                   PVOID InformationBuffer, ULONG InformationBufferLength,
                                   PULONG BytesRead, PULONG BytesNeeded);
