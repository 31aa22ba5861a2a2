#include "driver/requests/query.h"

NDIS_STATUS MiniportQueryInformation(NDIS_HANDLE MiniportAdapterContext, NDIS_OID Oid,
                                     PVOID InformationBuffer, ULONG InformationBufferLength,
                                     PULONG BytesWritten, PULONG BytesNeeded) {
    // The answers are not built yet: every object is refused.
    (void)MiniportAdapterContext;
    (void)Oid;
    (void)InformationBuffer;
    (void)InformationBufferLength;
    (void)BytesWritten;
    (void)BytesNeeded;
    return NDIS_STATUS_NOT_SUPPORTED;
}
