// A Linux TAP interface: the door through which Ethernet frames of the host's own network stack
// enter and leave the emulated world. The interface may live in a named network namespace
// (/var/run/netns/NAME, as `ip netns add` makes them): it is created from inside that namespace,
// so the host's other interfaces never see it. Frames are read and written whole, without the
// packet-information header, on a non-blocking descriptor.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace nicsim {

struct TapStats {
    uint64_t framesIn = 0, bytesIn = 0;    // read from the kernel
    uint64_t framesOut = 0, bytesOut = 0;  // written to the kernel
    uint64_t writeFailures = 0;            // the kernel refused a frame (queue full, down)
};

class Tap {
public:
    // "IF" or "IF@NETNS".
    static bool ParseName(const std::string& text, std::string& name, std::string& netns);

    // Creates (or attaches to) the TAP interface `name`, inside `netns` when not empty, sets its
    // MTU and brings it up with no carrier. Returns null and fills `error` on failure.
    static std::unique_ptr<Tap> Open(const std::string& name, const std::string& netns,
                                     unsigned mtu, std::string& error);
    ~Tap();
    Tap(const Tap&) = delete;
    Tap& operator=(const Tap&) = delete;

    int Fd() const { return fd_; }
    const std::string& Name() const { return name_; }
    const std::string& Netns() const { return netns_; }
    // "IF" or "IF@NETNS", for messages.
    std::string Label() const { return netns_.empty() ? name_ : name_ + "@" + netns_; }

    // Reads one frame; false when none is waiting.
    bool Read(std::vector<uint8_t>& frame);
    // Writes one frame; false (and counted) when the kernel refuses it.
    bool Write(const uint8_t* data, size_t length);
    // Carrier as the interface's users see it (the `carrier` file, NO-CARRIER in `ip link`).
    // Uses TUNSETCARRIER; on kernels without it, takes the interface administratively down and
    // up instead.
    bool SetCarrier(bool up);
    // The interface's own Ethernet address: the station address of the adapter it stands for,
    // so frames the kernel sends carry the source address the medium's far end answers.
    bool SetAddress(const uint8_t mac[6]);
    const TapStats& Stats() const { return stats_; }

private:
    Tap() = default;
    bool SetFlags(bool up);

    int fd_ = -1;
    int control_ = -1;  // a socket in the interface's namespace, for its ioctls
    std::string name_, netns_;
    bool carrierIoctl_ = true;
    TapStats stats_;
    std::vector<uint8_t> buffer_;  // room for the largest frame the kernel may hand over
};

}  // namespace nicsim
