// Media programming at every restart: the active PHY is reset and programmed, speed and duplex
// settled, the link tested and the PHY kind's own registers written. Passive level.
#pragma once

#include "driver/frame/adapter_record.h"

// 1 when a medium was programmed, 2 when there was no usable medium.
ULONG ProgramMediaAtReset(AdapterRecord* Adapter);
