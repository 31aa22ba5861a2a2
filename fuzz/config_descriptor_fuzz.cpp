// Configuration descriptor sets as the device returns them, fed to start-up (ConfigureUsbDevice
// and everything after it). Start-up must either succeed, and then run and halt cleanly, or fail
// with NDIS_STATUS_RESOURCES and leave nothing behind; no byte outside the 255-byte buffer the
// set was read into may be parsed (the verifier's overrun check and AddressSanitizer watch).
#include <cstddef>
#include <cstdint>
#include <vector>

#include "fuzz/fuzz_checks.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 1024) return -1;  // a device answers at most what was asked; 255 bytes is read
    fuzz::OneAdapter f;
    f.device->configuration.assign(data, data + size);
    const NDIS_STATUS s = f.world.Ndis().Initialize(*f.adapter);
    fuzz::Require(s == NDIS_STATUS_SUCCESS || s == NDIS_STATUS_RESOURCES,
                  "initialise answered neither success nor resources");
    if (s == NDIS_STATUS_SUCCESS) {
        // Configured: traffic over whatever pipes the set described, then halt. (The device
        // decides which endpoint a pipe reaches; the driver does not examine directions.)
        f.device->QueueBulkIn({0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 0, 0, 0, 0, 0, 0, 0, 0});
        f.world.Ndis().Send(*f.adapter, std::vector<uint8_t>(60, 0xA5));
        f.world.RunFor(20'000);
        fuzz::RequireNoViolation(f.world);
        f.world.Ndis().Halt(*f.adapter);
    }
    fuzz::RequireCleanEnd(f.world, *f.adapter);
    return 0;
}
