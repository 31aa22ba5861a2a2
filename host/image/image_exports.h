// What a driver image built for Windows imports, bound to the world: the NDIS, kernel, HAL and
// USBD routines by the names the DDK gives them, each with the DDK's calling convention on this
// architecture (the Microsoft x64 convention on x64; stdcall, fastcall or cdecl on x86).
//
// Most are the world's own exports, the routines the host-built driver calls. The others are what
// the DDK's macros and inline routines turn the driver's calls into, where the host headers keep
// the call itself: KeAcquireSpinLockRaiseToDpc and KeReleaseSpinLock for the NDIS spin locks,
// KeAcquireSpinLockAtDpcLevel and ExInterlockedInsertTailList on x64 (the Kef and Exf exports on
// x86), IoFreeMdl for NdisFreeBuffer, MmMapLockedPages and NDIS_BUFFER_TO_SPAN_PAGES for the buffer
// and packet macros, memcpy and memset for NdisMoveMemory and NdisZeroMemory. Each makes the
// checks the routine it stands for makes, so the verifier sees the image as it sees the host
// build (docs/verifier.md lists what it cannot see).
#pragma once

#include "host/loader/exports.h"

namespace host::image {

// The exports of NDIS.SYS, ntoskrnl.exe, HAL.dll and USBD.SYS as this world provides them. Built
// once; the table lives for the process.
const loader::ExportTable& WorldExports();

}  // namespace host::image
