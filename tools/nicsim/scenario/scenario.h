// Scenario files: what adapters, PHYs and links a run has and what happens when. Loading checks
// every key, type and value and names the JSON path of each error, for example
// `events[3].oid: unknown OID "OID_GEN_LINK_SPED"`.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "host/device/adapter_device.h"
#include "host/ndis/ndis.h"
#include "host/wire/frames.h"
#include "host/wire/link.h"
#include "host/wire/peer.h"

namespace nicsim {

using Json = nlohmann::ordered_json;

struct PhyDesc {
    host::device::PhyConfig phy;
    std::string link;  // empty: no partner
};

struct AdapterDesc {
    std::string name;
    std::array<uint16_t, 16> eeprom{};
    std::vector<host::device::EndpointSpec> endpoints{{0x81, 2}, {0x02, 2}, {0x83, 3}};
    size_t configPadding = 0;
    std::vector<PhyDesc> phys;
    host::ndis::Registry registry;
};

struct PeerDesc {
    host::wire::Peer::Kind kind = host::wire::Peer::Kind::Responder;
    host::wire::Mac mac{};
    host::wire::Ip4 ip{};
};

struct LinkDesc {
    std::string name;
    host::wire::MediumKind medium = host::wire::MediumKind::Ethernet;
    host::wire::PartnerSettings partner;
    std::optional<PeerDesc> peer;
    std::vector<std::pair<std::string, uint8_t>> between;  // adapter name, PHY address
};

struct EventDesc {
    size_t index = 0;  // position in the file, for messages
    uint64_t atUs = 0;
    std::string action;  // the "do" field
    std::string adapter;
    std::string link;
    std::vector<uint8_t> frame;  // send, receive
    uint32_t repeat = 1;
    uint32_t frames = 0, size = 0;  // traffic
    uint64_t intervalUs = 0;        // traffic, ping
    uint8_t status = 0;             // receive
    host::wire::Ip4 ip{}, to{};     // ping
    uint32_t count = 0;             // ping
    uint32_t oid = 0;               // query, set
    std::optional<uint32_t> length;  // query
    std::vector<uint8_t> data;       // set
    std::optional<bool> up;          // link
    std::optional<uint16_t> advertise;
    std::optional<bool> autoneg;
    std::optional<uint32_t> speed;
    std::optional<bool> fullDuplex;
    std::string fault;  // fault
    uint64_t nth = 1, faultCount = 1;
    uint64_t lateMs = 0;  // control-late, bulk-late
    std::string allocKind;
};

// The most processors a run may have.
inline constexpr unsigned kMaxCpus = 64;

// What one scenario may ask for; the loader refuses more before anything runs.
// Adapter n is USB device n + 2 on one bus (1 is the root hub) and device numbers end at 127.
inline constexpr size_t kMaxAdapters = 125;
inline constexpr size_t kMaxEvents = 100'000;
// A `send` or `receive` frame: an Ethernet header at least, and no more than the device's
// 16-bit receive length and a pcap record carry. A `receive` frame may be a runt that still has
// its destination address (the device filters on it and delivers it): the driver must drop it.
inline constexpr size_t kMinFrameBytes = 14;
inline constexpr size_t kMinRuntBytes = 6;
inline constexpr size_t kMaxFrameBytes = 65'535;
// Frames of all events together: every `send` repeat, `traffic` frame and `ping` echo.
inline constexpr uint64_t kMaxFramesInAll = 10'000'000;
// Bytes handed to the miniport at one instant: a `send` with its repeats, or a `traffic` burst
// with no interval. They are all queued at once, so this bounds the memory a run takes.
inline constexpr uint64_t kMaxBytesAtOnce = 64u << 20;
// A `set` buffer, as a query's `length`.
inline constexpr size_t kMaxInformationBytes = 65'536;

struct Scenario {
    std::string name;
    std::string description;
    uint64_t seed = 1;
    double durationS = 60;
    unsigned cpus = 1;  // emulated processors; 1 runs every context to its end in turn
    std::vector<AdapterDesc> adapters;
    std::vector<LinkDesc> links;
    std::vector<EventDesc> events;  // in time order, file order kept for equal times
    // Where it came from: a file's path as given, or "embedded NAME"; and the SHA-256 of its
    // text in hex. Filled by whoever read the text.
    std::string source;
    std::string sha256;
    std::string text;  // the JSON it was read from, for `explore --minimise`
    // What loads but is probably not what the author meant, each starting with its JSON path:
    // a registry keyword the driver never reads, no events.
    std::vector<std::string> warnings;
};

// The names of the fault plans a `fault` event may arm, in alphabetical order.
std::vector<std::string> FaultKinds();

// The SHA-256 of `text`, 64 lower-case hex digits.
std::string Sha256Hex(const std::string& text);

// The adapter model's configuration for one adapter of a scenario, each PHY attached to its
// link by name (`links` must hold every link the adapter names).
host::device::DeviceConfig DeviceConfigFor(const AdapterDesc& adapter,
                                           const std::map<std::string, host::wire::Link*>& links);

// Parses and checks a scenario. On failure returns nothing and fills `errors`, one message per
// problem, each starting with its JSON path ("$" for the document). A key twice in one object,
// a key of another action and anything past the limits above are errors too.
std::optional<Scenario> LoadScenario(const std::string& text, std::vector<std::string>& errors);

}  // namespace nicsim
