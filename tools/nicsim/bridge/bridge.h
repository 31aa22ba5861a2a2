// `nicsim bridge`: real traffic through the driver. The protocol side of each emulated adapter is
// a Linux TAP interface, so frames the host's network stack sends enter through MiniportSend,
// cross the emulated USB bus, the adapter model and the medium, and come back up through receive
// indications into another TAP interface. Virtual time follows the wall clock.
//
// Shapes of a bridge:
//   two --tap options:       two adapters on one cable, each with its own TAP (in its own
//                             network namespace, typically), talking through two driver instances;
//   --tap and --partner-tap: one adapter on its TAP; the far end of its cable is a second TAP;
//   --relay with two --tap:  no driver at all, a plain user-space copy between the two TAPs, to
//                             compare with.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "host/image/image_driver.h"
#include "tools/nicsim/run/run_files.h"
#include "tools/nicsim/scenario/scenario.h"

namespace nicsim {

struct BridgeOptions {
    std::vector<std::string> taps;  // "IF[@NETNS]", one per adapter, in adapter order
    std::string partnerTap;         // "IF[@NETNS]": the far end of the first link
    bool relay = false;
    std::vector<std::string> params;     // "[ADAPTER:]KEYWORD=VALUE" registry keywords
    std::vector<std::string> addresses;  // "[ADAPTER:]MAC" station addresses in the EEPROM
    std::string medium = "ethernet";     // of the built-in cable: "ethernet" or "phoneline"
    std::vector<std::string> flaps;      // "AT:FOR" seconds: the cable goes down at AT for FOR
    std::string usbTiming = "frame";     // "frame" or "full-speed"
    std::optional<uint64_t> seed;
    std::optional<double> durationSeconds;  // stop by itself after this much wall time
    // The shipped driver image to run instead of the built-in driver (--image), or null.
    std::shared_ptr<const host::image::ImageFile> image;
    unsigned mtu = 1500;
    size_t queueLimit = 64;  // frames waiting on a protocol side before its TAP is left unread
    OutputOptions outputs;         // the trace and the captures
    bool quiet = false;
    bool json = false;             // the summary as one JSON object on standard output, nothing else
    std::string junitPath;         // a JUnit XML report of the verdict, when not empty
    std::vector<std::string> commandArgs;  // the command line as given, without --seed, for the verdict
    std::string version;                   // of nicsim, for the verdict
};

// Exit status: 0 clean, 1 the verifier caught a violation, 2 a usage or set-up error (a TAP that
// cannot be opened, a bad option).
int RunBridge(const std::optional<Scenario>& scenario, const BridgeOptions& options);

}  // namespace nicsim
