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
kernel::Kernel& CurrentKernel();
ndis::Ndis& CurrentNdis();
}  // namespace host::world
