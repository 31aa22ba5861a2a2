// The USB declarations of the Windows image: the published URB structures and IOCTLs, and the
// USBD helper routines (exported by USBD.SYS, declared without C++ linkage).
#pragma once

#include "platform/nt.h"

#include <usb.h>
#include <usbioctl.h>

extern "C" {
#include <usbdlib.h>
}
