// The world the platform routines act on. Exactly one world is current on a thread at a time; the
// exported NT, NDIS and USBD routines find their state through it.
#pragma once

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
kernel::Kernel& CurrentKernel();
ndis::Ndis& CurrentNdis();
}  // namespace host::world
