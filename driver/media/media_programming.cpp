#include "driver/media/media_programming.h"

ULONG ProgramMediaAtReset(AdapterRecord* Adapter) {
    Adapter->SpeedCode = SPEED_UNSET;
    Adapter->DuplexCode = DUPLEX_UNSET;
    if (Adapter->MediaChoiceMode == 0) return RESULT_FAILURE;
    // PHY programming (negotiation, forced media, per-kind registers) is not built yet: with no
    // medium programmed the restart reports failure, which its callers ignore.
    return RESULT_FAILURE;
}
