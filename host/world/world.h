// One emulated world: the scheduler and its seed, the trace, the verifier, the kernel, the NDIS
// wrapper with its adapters and their USB devices. Constructing a world makes it current on this
// thread; destroying it restores the world that was current before.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "host/kernel/kernel.h"
#include "host/ndis/ndis.h"
#include "host/sim/faults.h"
#include "host/sim/scheduler.h"
#include "host/trace/trace.h"
#include "host/usb/usb_device.h"
#include "host/verifier/verifier.h"
#include "host/wire/link.h"
#include "host/wire/peer.h"

namespace host::image {
class ImageFile;
class ImageDriver;
}  // namespace host::image

namespace host::world {

class World {
public:
    explicit World(uint64_t seed = 1);
    ~World();
    World(const World&) = delete;
    World& operator=(const World&) = delete;

    sim::Scheduler& Scheduler() { return scheduler_; }
    trace::Trace& Trace() { return trace_; }
    verifier::Verifier& Verifier() { return verifier_; }
    sim::AllocFaults& Faults() { return faults_; }
    kernel::Kernel& Kernel() { return kernel_; }
    ndis::Ndis& Ndis() { return ndis_; }
    uint64_t Seed() const { return scheduler_.Seed(); }
    uint64_t NowUs() const { return scheduler_.Now(); }

    // Gives the world `cpus` processors (see kernel/processors.h), before the driver is loaded.
    // The protocol side then sends on as many processors at once.
    void SetProcessors(unsigned cpus);
    unsigned Processors() const { return kernel_.ProcessorCount(); }

    // Runs the shipped driver image `file` instead of the driver built into the program: this
    // world maps its own copy (image/image_driver.h). Before LoadDriver.
    void UseImage(std::shared_ptr<const image::ImageFile> file);
    // The image this world runs, or nullptr for the built-in driver.
    const image::ImageDriver* Image() const { return image_.get(); }
    // Where `code` lies in the image ("usbnic.sys RVA 0x1234 (MiniportSend+0x56)"), and whether in
    // code discarded since DriverEntry; empty when the world runs no image or it is not in it.
    std::string DescribeCode(const void* code, bool& discarded) const;

    // Loads the driver (DriverEntry) unless it is loaded already; returns its status.
    NTSTATUS LoadDriver();
    // Binds an adapter to a USB device the world keeps alive.
    ndis::Adapter& AddAdapter(const std::string& name, std::unique_ptr<usb::UsbDevice> device,
                              ndis::Registry registry = {});

    // A medium the world keeps alive for as long as the PHYs attached to it.
    wire::Link& AddLink(const std::string& name, wire::MediumKind kind,
                        wire::PartnerSettings partner = {});

    // A scripted partner on a link, kept alive with it.
    wire::Peer& AddPeer(wire::Link& link, wire::Peer::Kind kind, wire::Mac mac, wire::Ip4 ip);

    // Runs every event due up to `t_us` of virtual time.
    void RunUntil(uint64_t t_us) { scheduler_.RunUntil(t_us); }
    void RunFor(uint64_t us) { scheduler_.RunUntil(scheduler_.Now() + us); }

    // With several processors: runs every context that can run at this instant until none
    // can (blocked passive handlers stay blocked), so that state is looked at between
    // contexts, never in the middle of one. Nothing with one processor.
    void Settle();

    // Halts every adapter that was initialised and not halted (as the end of a run does).
    void HaltRemaining();

private:
    World* previous_;
    sim::Scheduler scheduler_;
    trace::Trace trace_;
    verifier::Verifier verifier_;
    sim::AllocFaults faults_;
    kernel::Kernel kernel_;
    // Destroyed in reverse: adapters and their buses first, then devices, then the links their
    // PHYs are attached to.
    std::vector<std::unique_ptr<wire::Link>> links_;
    std::vector<std::unique_ptr<wire::Peer>> peers_;
    std::vector<std::unique_ptr<usb::UsbDevice>> devices_;
    ndis::Ndis ndis_;
    std::unique_ptr<image::ImageDriver> image_;
    bool loaded_ = false;
    bool multiprocessorBus_ = false;
    NTSTATUS loadStatus_ = STATUS_UNSUCCESSFUL;
};

}  // namespace host::world
