#include "tools/nicsim/bridge/bridge.h"

#include <poll.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <iostream>
#include <map>
#include <memory>

#include "host/world/world.h"
#include "tools/nicsim/run/accounts.h"
#include "tools/nicsim/cli/input.h"
#include "tools/nicsim/cli/printable.h"
#include "tools/nicsim/run/run_files.h"
#include "tools/nicsim/cli/standard_output.h"
#include "tools/nicsim/bridge/tap.h"
#include "tools/nicsim/run/verdict.h"

namespace nicsim {

namespace {

using host::trace::Json;
using Clock = std::chrono::steady_clock;

constexpr uint64_t kSecond = 1'000'000;
constexpr size_t kMaxFrame = 1514;  // an Ethernet frame without its check sequence
constexpr NDIS_STATUS kMediaConnect = 0x4001000B;
constexpr NDIS_STATUS kMediaDisconnect = 0x4001000C;

// Set by the signal handlers, read by the loop between polls (a signal also ends the poll).
volatile std::sig_atomic_t g_stop = 0;
volatile std::sig_atomic_t g_linkDown = 0;
volatile std::sig_atomic_t g_linkUp = 0;

extern "C" void OnSignal(int sig) {
    if (sig == SIGUSR1) g_linkDown = 1;
    else if (sig == SIGUSR2) g_linkUp = 1;
    else g_stop = 1;
}

void InstallSignals() {
    struct sigaction sa {};
    sa.sa_handler = OnSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = 0;  // no SA_RESTART: the poll must return to look at the flags
    for (int sig : {SIGINT, SIGTERM, SIGUSR1, SIGUSR2}) sigaction(sig, &sa, nullptr);
}

// "[ADAPTER:]REST": the adapter part is present when the text before the first ':' names one.
// (A MAC address has colons too, so only a known adapter name counts.)
std::pair<std::string, std::string> SplitAdapter(const std::string& text, const Scenario& s) {
    const auto colon = text.find(':');
    if (colon != std::string::npos) {
        const std::string head = text.substr(0, colon);
        for (const auto& a : s.adapters)
            if (a.name == head) return {head, text.substr(colon + 1)};
    }
    return {"", text};
}

host::ndis::RegistryValue ParseRegistryValue(const std::string& v) {
    if (!v.empty() && v.find_first_not_of("0123456789") == std::string::npos && v.size() < 10)
        return static_cast<uint32_t>(std::stoul(v));
    return v;  // text: NDIS reads it as hexadecimal where a keyword asks for a hex integer
}

// Two adapters (or one) with a single Ethernet or phone-line PHY each, on one cable.
Scenario BuiltInWorld(size_t adapters, const std::string& medium) {
    Scenario s;
    s.name = "bridge";
    s.description = "adapters on one cable, their protocol sides on TAP interfaces";
    const bool phone = medium == "phoneline";
    LinkDesc link;
    link.name = "cable";
    link.medium = phone ? host::wire::MediumKind::PhoneLine : host::wire::MediumKind::Ethernet;
    s.links.push_back(link);
    for (size_t i = 0; i < adapters; ++i) {
        AdapterDesc a;
        a.name = std::string(1, static_cast<char>('A' + i));
        const uint8_t mac[6] = {0x02, 0x00, 0x00, 0x00, 0x00, static_cast<uint8_t>(0x0A + i)};
        a.eeprom = host::device::EepromFromAddress(mac);
        PhyDesc phy;
        phy.phy.address = 0;
        phy.phy.id = phone ? 0x6B90 : 0x225410;
        phy.link = "cable";
        a.phys.push_back(phy);
        s.adapters.push_back(a);
    }
    return s;
}

struct Side {
    host::ndis::Adapter* adapter = nullptr;
    host::device::AdapterDevice* device = nullptr;
    std::unique_ptr<Tap> tap;
    uint64_t oversize = 0;   // frames from the kernel longer than the medium carries
    size_t deepestQueue = 0;
    uint64_t keepalives = 0;  // the driver's keep-alive frames that crossed the medium
    bool carrier = false;
};

class Bridge {
public:
    Bridge(Scenario scenario, const BridgeOptions& o)
        : scenario_(std::move(scenario)), options_(o), world_(o.seed.value_or(scenario_.seed)),
          human_(WritesStandardOutput(o.outputs) ? stderr : stdout) {}
    int Go();

private:
    bool Build(std::string& error);
    void Note(const std::string& text);
    void WatchProtocolTap(Side& side);
    void WatchPartnerTap();
    void SetMedia(bool up, const char* why);
    void PlayEvent(const EventDesc& e);
    bool KeepRunning();
    Json PrintSummary(double wallSeconds);

    Scenario scenario_;
    BridgeOptions options_;
    host::world::World world_;
    // Where the lines for people go: standard error when a file takes standard output.
    std::FILE* human_;
    std::vector<std::unique_ptr<Side>> sides_;
    std::vector<host::wire::Link*> links_;
    std::map<std::string, host::wire::Link*> linkByName_;
    std::unique_ptr<Tap> partner_;
    int partnerSide_ = -1;
    Clock::time_point start_;
    // The trace and captures watch the world: declared after it, so they go first.
    std::unique_ptr<RunFiles> files_;
};

void Bridge::Note(const std::string& text) {
    if (options_.quiet) return;
    std::fprintf(human_, "[%11.6f] %s\n", world_.NowUs() / 1e6, Printable(text).c_str());
    std::fflush(human_);
}

bool Bridge::Build(std::string& error) {
    for (const LinkDesc& l : scenario_.links) {
        auto& link = world_.AddLink(l.name, l.medium, l.partner);
        links_.push_back(&link);
        linkByName_[l.name] = &link;
    }
    for (size_t i = 0; i < options_.taps.size(); ++i) {
        const AdapterDesc& a = scenario_.adapters[i];
        const host::device::DeviceConfig config = DeviceConfigFor(a, linkByName_);
        auto side = std::make_unique<Side>();
        auto device = std::make_unique<host::device::AdapterDevice>(world_.Scheduler(), world_.Trace(),
                                                                    a.name, config);
        side->device = device.get();
        side->adapter = &world_.AddAdapter(a.name, std::move(device), a.registry);
        if (options_.usbTiming == "full-speed")
            side->adapter->bus->SetTiming(host::usb::BusTiming::FullSpeed);
        std::string name, netns;
        Tap::ParseName(options_.taps[i], name, netns);
        side->tap = Tap::Open(name, netns, options_.mtu, error);
        if (!side->tap) return false;
        sides_.push_back(std::move(side));
    }
    for (auto* link : links_) {
        link->AddTap([this](const host::wire::Link&, const std::string& from, const host::wire::Frame& f) {
            if (!IsKeepAlive(f)) return;
            for (auto& s : sides_)
                if (from.compare(0, s->adapter->name.size() + 1, s->adapter->name + ":") == 0) ++s->keepalives;
        });
    }
    if (!options_.partnerTap.empty()) {
        std::string name, netns;
        Tap::ParseName(options_.partnerTap, name, netns);
        partner_ = Tap::Open(name, netns, options_.mtu, error);
        if (!partner_) return false;
    }
    return true;
}

// Frames from the kernel go to MiniportSend through the protocol side's queue. The TAP is read
// only while that queue is short: beyond that the frames wait in the kernel's own queue, which
// drops as a busy interface does, so TCP sees a real bottleneck instead of an ever longer queue.
void Bridge::WatchProtocolTap(Side& side) {
    Side* s = &side;
    host::ndis::Protocol& protocol = side.adapter->protocol;
    protocol.keepReceived = false;
    protocol.onReceive = [s](const host::ndis::ReceivedFrame& f) {
        s->tap->Write(f.bytes.data(), f.bytes.size());
    };
    protocol.onStatus = [this, s](NDIS_STATUS status) {
        if (status != kMediaConnect && status != kMediaDisconnect) return;
        const bool up = status == kMediaConnect;
        s->carrier = up;
        s->tap->SetCarrier(up);
        Note(s->adapter->name + ": media " + (up ? "connect" : "disconnect") + ", carrier " +
             (up ? "on" : "off") + " on " + s->tap->Label());
    };
    auto& ndis = world_.Ndis();
    world_.Scheduler().WatchFd(
        side.tap->Fd(),
        [this, s, &protocol]() -> short {
            const bool open = s->adapter->state == host::ndis::AdapterState::Initialized &&
                              protocol.queue.size() < options_.queueLimit;
            return open ? POLLIN : 0;
        },
        [this, s, &protocol, &ndis](short) {
            std::vector<uint8_t> frame;
            while (protocol.queue.size() < options_.queueLimit && s->tap->Read(frame)) {
                if (frame.size() > kMaxFrame || frame.size() < 14) {
                    ++s->oversize;
                    continue;
                }
                ndis.Send(*s->adapter, frame);
                s->deepestQueue = std::max(s->deepestQueue, protocol.queue.size());
            }
        });
}

// The far end of the first link is a TAP: what the adapter puts on the medium goes to the kernel,
// and what the kernel sends arrives on the medium at the link's speed.
void Bridge::WatchPartnerTap() {
    host::wire::Link* link = links_.front();
    Tap* tap = partner_.get();
    partnerSide_ = link->AddSide(host::wire::Link::Side{
        "peer", [tap](const host::wire::Frame& f) { tap->Write(f.data(), f.size()); }, nullptr, nullptr});
    tap->SetCarrier(link->Partner().up);
    world_.Scheduler().WatchFd(tap->Fd(), {}, [this, link, tap](short) {
        std::vector<uint8_t> frame;
        for (int i = 0; i < 64 && tap->Read(frame); ++i) {
            if (frame.size() > kMaxFrame || frame.size() < 14) continue;
            uint32_t speed = 100;
            if (link->Kind() == host::wire::MediumKind::PhoneLine) speed = 1;
            else if (!link->Partner().autoneg) speed = link->Partner().speedMbps;
            link->Send(partnerSide_, std::move(frame), speed);
        }
    });
}

void Bridge::SetMedia(bool up, const char* why) {
    Note(std::string("every medium ") + (up ? "up" : "down") + " (" + why + ")");
    for (auto* link : links_) link->SetUp(up);
    if (partner_) partner_->SetCarrier(up);
}

void Bridge::PlayEvent(const EventDesc& e) {
    auto& ndis = world_.Ndis();
    host::ndis::Adapter* a = nullptr;
    for (auto& s : sides_)
        if (s->adapter->name == e.adapter) a = s->adapter;
    const bool up = a && a->state == host::ndis::AdapterState::Initialized;
    if (e.action == "link") {
        host::wire::Link* link = linkByName_.at(e.link);
        host::wire::PartnerSettings p = link->Partner();
        if (e.up) p.up = *e.up;
        if (e.advertise) p.advertise = *e.advertise;
        if (e.autoneg) p.autoneg = *e.autoneg;
        if (e.speed) p.speedMbps = *e.speed;
        if (e.fullDuplex) p.fullDuplex = *e.fullDuplex;
        if (e.up) Note("link " + e.link + (*e.up ? " up" : " down") + " (scenario)");
        link->Update(p);
        if (partner_ && link == links_.front()) partner_->SetCarrier(p.up);
    } else if (e.action == "reset") {
        if (up) ndis.Reset(*a);
    } else if (e.action == "set") {
        if (up) ndis.Set(*a, e.oid, e.data);
    } else if (e.action == "query") {
        if (up) ndis.Query(*a, e.oid, e.length.value_or(64));
    }
}

bool Bridge::KeepRunning() {
    if (g_stop) return false;
    if (g_linkDown) {
        g_linkDown = 0;
        SetMedia(false, "SIGUSR1");
    }
    if (g_linkUp) {
        g_linkUp = 0;
        SetMedia(true, "SIGUSR2");
    }
    if (options_.durationSeconds &&
        std::chrono::duration<double>(Clock::now() - start_).count() >= *options_.durationSeconds)
        return false;
    return true;
}

Json Bridge::PrintSummary(double wallSeconds) {
    const auto& verifier = world_.Verifier();
    const size_t leaks = verifier.Count(host::verifier::check::kLeak);
    Json counters = Json::object();
    for (auto& s : sides_) {
        const auto& tap = s->tap->Stats();
        Json c = AdapterAccounts(*s->adapter, *s->device, s->keepalives);
        c.update(Json{{"tap", s->tap->Label()},
                      {"tap_frames_in", tap.framesIn},
                      {"tap_bytes_in", tap.bytesIn},
                      {"tap_frames_out", tap.framesOut},
                      {"tap_bytes_out", tap.bytesOut},
                      {"tap_write_failures", tap.writeFailures},
                      {"oversize", s->oversize},
                      {"deepest_queue", s->deepestQueue}});
        counters[s->adapter->name] = std::move(c);
    }
    world_.Trace().Emit("summary", "",
                        Json{{"violations", verifier.Count()}, {"leaks", leaks}, {"checks", verifier.Checks()},
                             {"adapters", counters}});
    if (options_.quiet) return counters;
    std::fprintf(human_, "\nsummary: %.3f s of virtual time in %.3f s of wall time (seed %llu, usb timing %s)\n",
                         world_.NowUs() / 1e6, wallSeconds, static_cast<unsigned long long>(world_.Seed()),
                         options_.usbTiming.c_str());
    for (auto& item : counters.items()) {
        const std::string& name = item.key();
        const Json& c = item.value();
        auto n = [&c](const char* field) { return c[field].get<unsigned long long>(); };
        const unsigned long long toNdis = n("sends_queued") + n("oversize");
        std::fprintf(human_, "  %s on %s: from the kernel %llu frames (%llu bytes) = to NDIS %llu + oversize %llu%s; "
                             "to the kernel %llu frames (%llu bytes), kernel refused %llu; deepest queue %llu\n",
                     Printable(name).c_str(), c["tap"].get<std::string>().c_str(), n("tap_frames_in"), n("tap_bytes_in"),
                     n("sends_queued"), n("oversize"),
                     toNdis == n("tap_frames_in") ? "" : ("  (does not balance: " + std::to_string(toNdis) + ")").c_str(),
                     n("tap_frames_out"), n("tap_bytes_out"), n("tap_write_failures"), n("deepest_queue"));
        std::fputs(PrintableLines(AccountLines(name, c)).c_str(), human_);
    }
    if (partner_) {
        const auto& t = partner_->Stats();
        std::fprintf(human_, "  partner %s: from the kernel %llu frames (%llu bytes), to the kernel %llu frames "
                             "(%llu bytes)\n",
                             partner_->Label().c_str(), static_cast<unsigned long long>(t.framesIn),
                             static_cast<unsigned long long>(t.bytesIn), static_cast<unsigned long long>(t.framesOut),
                             static_cast<unsigned long long>(t.bytesOut));
    }
    std::fprintf(human_, "  violations: %zu, leaks: %zu (%llu checks)\n", verifier.Count(), leaks,
                 static_cast<unsigned long long>(verifier.Checks()));
    for (const auto& v : verifier.Violations())
        std::fprintf(human_, "    %s: %s\n", v.check.c_str(), Printable(v.detail).c_str());
    return counters;
}

int Bridge::Go() {
    // The files are opened before anything touches the network, and the trace sees the build.
    files_ = std::make_unique<RunFiles>(options_.outputs);
    std::string error;
    if (!files_->Open(world_.Trace(), [this] { return world_.NowUs(); }, error)) {
        std::cerr << "nicsim: " << error << "\n";
        return 2;
    }
    ReportFile junit(options_.junitPath);
    if (!junit.Open(error)) {
        std::cerr << "nicsim: " << error << "\n";
        return 2;
    }
    if (!Build(error)) {
        std::cerr << "nicsim bridge: " << error << "\n";
        return 2;
    }
    for (auto& s : sides_) files_->AttachBus(*s->adapter->bus);
    std::vector<std::string> linkNames;
    for (auto* link : links_) linkNames.push_back(link->Name());
    if (!files_->OpenWire(linkNames, error)) {
        std::cerr << "nicsim: " << error << "\n";
        return 2;
    }
    for (auto* link : links_) files_->AttachLink(*link);
    InstallSignals();
    start_ = Clock::now();
    if (options_.image) world_.UseImage(options_.image);
    world_.LoadDriver();
    for (auto& s : sides_) WatchProtocolTap(*s);
    if (partner_) WatchPartnerTap();
    if (!options_.quiet) {
        std::fprintf(human_, "nicsim bridge: %zu adapter(s), usb timing %s, seed %llu; Ctrl-C stops, "
                             "SIGUSR1 takes the media down, SIGUSR2 brings them up\n",
                             sides_.size(), options_.usbTiming.c_str(),
                             static_cast<unsigned long long>(world_.Seed()));
        for (auto& s : sides_)
            std::fprintf(human_, "  %s: protocol side on %s\n", Printable(s->adapter->name).c_str(),
                         s->tap->Label().c_str());
        if (partner_)
            std::fprintf(human_, "  %s: far end of %s\n", partner_->Label().c_str(),
                         Printable(links_.front()->Name()).c_str());
        std::fflush(human_);
    }
    auto& ndis = world_.Ndis();
    for (auto& s : sides_) {
        const NDIS_STATUS status = ndis.Initialize(*s->adapter);
        char text[96];
        std::snprintf(text, sizeof text, ": MiniportInitialize 0x%08X", static_cast<unsigned>(status));
        Note(s->adapter->name + text);
        if (status != NDIS_STATUS_SUCCESS) continue;
        // The TAP takes the address the miniport reports as current, override included.
        const auto q = ndis.Query(*s->adapter, OID_802_3_CURRENT_ADDRESS, 6);
        if (q.status == NDIS_STATUS_SUCCESS && q.bytesWritten == 6) {
            const uint8_t* m = q.buffer.data();
            std::snprintf(text, sizeof text, ": station address %02x:%02x:%02x:%02x:%02x:%02x", m[0], m[1],
                          m[2], m[3], m[4], m[5]);
            if (!s->tap->SetAddress(m)) std::snprintf(text, sizeof text, ": cannot give %s its address",
                                                      s->tap->Label().c_str());
            Note(s->adapter->name + text);
        }
    }
    for (const EventDesc& e : scenario_.events) {
        if (e.action == "link" || e.action == "reset" || e.action == "set" || e.action == "query") {
            const EventDesc* event = &e;
            world_.Scheduler().At(e.atUs, [this, event] { PlayEvent(*event); }, host::sim::Phase::Scenario);
        }
    }
    for (const std::string& f : options_.flaps) {
        const auto [at, length] = *ParseFlap(f);  // RunBridge refused any other
        const uint64_t downAt = static_cast<uint64_t>(at * kSecond);
        world_.Scheduler().At(downAt, [this] { SetMedia(false, "--flap-at"); }, host::sim::Phase::Scenario);
        world_.Scheduler().At(downAt + static_cast<uint64_t>(length * kSecond),
                              [this] { SetMedia(true, "--flap-at"); }, host::sim::Phase::Scenario);
    }

    world_.Scheduler().RunRealTime([this] { return KeepRunning(); });

    Note("stopping: halting every adapter");
    for (auto& s : sides_) world_.Scheduler().UnwatchFd(s->tap->Fd());
    if (partner_) world_.Scheduler().UnwatchFd(partner_->Fd());
    world_.HaltRemaining();
    for (auto& s : sides_) s->tap->SetCarrier(false);
    const double wall = std::chrono::duration<double>(Clock::now() - start_).count();
    const Json counters = PrintSummary(wall);
    std::vector<OutputError> lost;
    files_->Close(lost);
    const auto& verifier = world_.Verifier();
    std::vector<std::string> command = options_.commandArgs;
    if (command.empty()) command = {"nicsim", "bridge"};
    command.insert(command.end(), {"--seed", std::to_string(world_.Seed())});
    Verdict verdict{"bridge", scenario_.name, world_.Seed(), 1, options_.usbTiming,
                    world_.NowUs() / 1e6, wall, verifier.Violations(),
                    verifier.Count(host::verifier::check::kLeak), counters, Json::array(),
                    ShellCommand(command), verifier.Checks(), lost, options_.version, {}, {}, Json::object()};
    verdict.source = scenario_.source;
    verdict.sha256 = scenario_.sha256;
    if (options_.json)
        std::printf("%s\n", VerdictJson(verdict).dump(-1, ' ', false, Json::error_handler_t::replace).c_str());
    return EndRun(verdict, std::move(lost), true, junit);
}

// The plain relay: two TAPs and a copy loop, on the same pacing loop and descriptors as the
// bridge, so what it moves is what user space alone costs.
int RunRelay(const BridgeOptions& options) {
    std::string error;
    std::unique_ptr<Tap> taps[2];
    for (int i = 0; i < 2; ++i) {
        std::string name, netns;
        Tap::ParseName(options.taps[i], name, netns);
        taps[i] = Tap::Open(name, netns, options.mtu, error);
        if (!taps[i]) {
            std::cerr << "nicsim bridge: " << error << "\n";
            return 2;
        }
        taps[i]->SetCarrier(true);
    }
    InstallSignals();
    host::sim::Scheduler scheduler(options.seed.value_or(1));
    for (int i = 0; i < 2; ++i) {
        Tap* from = taps[i].get();
        Tap* to = taps[1 - i].get();
        scheduler.WatchFd(from->Fd(), {}, [from, to](short) {
            std::vector<uint8_t> frame;
            for (int n = 0; n < 64 && from->Read(frame); ++n) to->Write(frame.data(), frame.size());
        });
    }
    if (!options.quiet) {
        std::printf("nicsim bridge --relay: %s <-> %s; Ctrl-C stops\n", taps[0]->Label().c_str(),
                    taps[1]->Label().c_str());
        std::fflush(stdout);
    }
    const auto start = Clock::now();
    scheduler.RunRealTime([&] {
        if (g_stop) return false;
        return !options.durationSeconds ||
               std::chrono::duration<double>(Clock::now() - start).count() < *options.durationSeconds;
    });
    if (!options.quiet) {
        std::printf("\nsummary: relay ran %.3f s\n",
                    std::chrono::duration<double>(Clock::now() - start).count());
        for (auto& t : taps)
            std::printf("  %s: from the kernel %llu frames (%llu bytes), to the kernel %llu frames "
                        "(%llu bytes), kernel refused %llu\n",
                        t->Label().c_str(), static_cast<unsigned long long>(t->Stats().framesIn),
                        static_cast<unsigned long long>(t->Stats().bytesIn),
                        static_cast<unsigned long long>(t->Stats().framesOut),
                        static_cast<unsigned long long>(t->Stats().bytesOut),
                        static_cast<unsigned long long>(t->Stats().writeFailures));
    }
    return 0;
}

}  // namespace

int RunBridge(const std::optional<Scenario>& scenario, const BridgeOptions& options) {
    for (const auto& t : options.taps) {
        std::string name, netns;
        if (!Tap::ParseName(t, name, netns)) {
            std::cerr << "nicsim bridge: bad TAP name \"" << t << "\" (IF or IF@NETNS)\n";
            return 2;
        }
    }
    if (options.relay) {
        if (options.json || !options.junitPath.empty()) {
            std::cerr << "nicsim bridge: --relay runs no driver and has no verdict; --json and --junit "
                         "go with a bridge through the driver\n";
            return 2;
        }
        if (options.taps.size() != 2) {
            std::cerr << "nicsim bridge: --relay needs two --tap options\n";
            return 2;
        }
        return RunRelay(options);
    }
    const bool partner = !options.partnerTap.empty();
    if (options.taps.empty() || options.taps.size() > 2 || (partner && options.taps.size() != 1)) {
        std::cerr << "nicsim bridge: give two --tap options (two adapters on one cable), or one "
                     "--tap and a --partner-tap\n";
        return 2;
    }
    if (options.usbTiming != "frame" && options.usbTiming != "full-speed") {
        std::cerr << "nicsim bridge: --usb-timing is \"frame\" or \"full-speed\"\n";
        return 2;
    }
    Scenario s = scenario ? *scenario : BuiltInWorld(options.taps.size(), options.medium);
    if (s.adapters.size() < options.taps.size() || s.links.empty()) {
        std::cerr << "nicsim bridge: the scenario has " << s.adapters.size() << " adapter(s) and "
                  << s.links.size() << " link(s); the bridge needs one adapter per --tap and a link\n";
        return 2;
    }
    for (const std::string& p : options.params) {
        auto [adapter, rest] = SplitAdapter(p, s);
        const auto eq = rest.find('=');
        if (eq == std::string::npos || eq == 0) {
            std::cerr << "nicsim bridge: --param wants [ADAPTER:]KEYWORD=VALUE, not \"" << p << "\"\n";
            return 2;
        }
        for (auto& a : s.adapters)
            if (adapter.empty() || a.name == adapter)
                a.registry[rest.substr(0, eq)] = ParseRegistryValue(rest.substr(eq + 1));
    }
    // An address without an adapter name goes to the next adapter in order.
    size_t nextUnnamed = 0;
    for (const std::string& text : options.addresses) {
        auto [adapter, rest] = SplitAdapter(text, s);
        if (adapter.empty()) {
            if (nextUnnamed >= s.adapters.size()) {
                std::cerr << "nicsim bridge: more --address options than adapters\n";
                return 2;
            }
            adapter = s.adapters[nextUnnamed++].name;
        }
        host::wire::Mac mac{};
        if (!host::wire::ParseMac(rest, mac)) {
            std::cerr << "nicsim bridge: --address wants [ADAPTER:]MAC, not \"" << text << "\"\n";
            return 2;
        }
        for (auto& a : s.adapters)
            if (a.name == adapter) a.eeprom = host::device::EepromFromAddress(mac.data());
    }
    for (const std::string& f : options.flaps) {
        if (!ParseFlap(f)) {
            std::cerr << "nicsim bridge: --flap-at wants AT[:FOR] in seconds (AT from 0 to 10000000, FOR above 0 "
                         "up to 10000000), not \"" << f << "\"\n";
            return 2;
        }
    }
    Bridge bridge(std::move(s), options);
    return bridge.Go();
}

}  // namespace nicsim
