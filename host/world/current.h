// The world the platform routines act on. Exactly one world is current on a thread at a time; the
// exported NT, NDIS and USBD routines find their state through it.
#pragma once

#include "host/kernel/export_abi.h"

namespace host::kernel {
class Kernel;
}
namespace host::ndis {
class Ndis;
}

namespace host::world {
class World;

World& Current();
// The current world, or null when there is none (a signal handler asks, not a platform routine).
World* CurrentOrNull();

namespace detail {
// The current world's kernel and NDIS, which every exported routine reaches on every call: kept
// beside the current world so that reaching them is one thread-local load and no call.
struct Platform {
    kernel::Kernel* kernel = nullptr;
    ndis::Ndis* ndis = nullptr;
};
extern constinit thread_local Platform t_platform;
[[noreturn]] WORLD_OUTLINE void NoWorld();
}  // namespace detail

inline kernel::Kernel& CurrentKernel() {
    kernel::Kernel* k = detail::t_platform.kernel;
    if (k == nullptr) detail::NoWorld();
    return *k;
}
inline ndis::Ndis& CurrentNdis() {
    ndis::Ndis* n = detail::t_platform.ndis;
    if (n == nullptr) detail::NoWorld();
    return *n;
}
}  // namespace host::world
