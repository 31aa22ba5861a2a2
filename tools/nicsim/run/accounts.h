// The frame accounts of a run's summary: every frame an adapter was given or saw, counted where
// it went. Each account is an equation whose sides come from different places (the NDIS side,
// the USB bus, the device, the media), so a frame lost or counted twice anywhere shows as an
// account that does not balance. `nicsim run` and `nicsim bridge` print the same accounts.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "host/ndis/ndis.h"
#include "host/device/adapter_device.h"
#include "host/trace/trace.h"

namespace nicsim {

// The driver's keep-alive frame: to 00-00-00-00-00-00 from 00-00-00-00-00-01. No protocol sends
// it, so only the media see it.
bool IsKeepAlive(const host::wire::Frame& f);

// The counters of one adapter at the end of a run, as the summary record carries them.
// `keepalives` is the number of the driver's keep-alive frames that crossed a medium.
host::trace::Json AdapterAccounts(const host::ndis::Adapter& adapter, const host::device::AdapterDevice& device,
                                  uint64_t keepalives);

// The human summary's lines for one adapter's counters, one account per line; an account that
// does not balance says so on its line.
std::string AccountLines(const std::string& name, const host::trace::Json& counters);

// The accounts each adapter's counters are checked against.
size_t AccountCount();
// The line of every account of one adapter's counters that does not balance, as the human
// summary prints it (without the adapter's name); none when all balance.
std::vector<std::string> UnbalancedAccounts(const host::trace::Json& counters);

}  // namespace nicsim
