#include "driver/requests/set.h"

NDIS_STATUS MiniportSetInformation(NDIS_HANDLE MiniportAdapterContext, NDIS_OID Oid,
                                   PVOID InformationBuffer, ULONG InformationBufferLength,
                                   PULONG BytesRead, PULONG BytesNeeded) {
    // Sets are not built yet: every object is refused and nothing is read.
    (void)MiniportAdapterContext;
    (void)Oid;
    (void)InformationBuffer;
    (void)InformationBufferLength;
    *BytesRead = 0;
    *BytesNeeded = 0;
    return NDIS_STATUS_NOT_SUPPORTED;
}
