#include "tools/nicsim/run/runner.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <iostream>
#include <map>
#include <set>
#include <memory>

#include <absl/container/flat_hash_map.h>

#include "host/world/crash_guard.h"
#include "host/world/world.h"
#include "tools/nicsim/run/accounts.h"
#include "tools/nicsim/run/frame_owners.h"
#include "tools/nicsim/scenario/oids.h"
#include "tools/nicsim/cli/printable.h"
#include "tools/nicsim/report/report.h"
#include "tools/nicsim/run/run_files.h"
#include "tools/nicsim/cli/seed_json.h"
#include "tools/nicsim/cli/standard_output.h"
#include "tools/nicsim/run/timeline.h"
#include "tools/nicsim/run/verdict.h"

namespace nicsim {

namespace {

using host::trace::Json;
using host::wire::Ip4;
using host::wire::Mac;

constexpr uint64_t kSecond = 1'000'000;

struct Burst;

// What the run knows about one adapter beyond the world's own record of it.
struct AdapterView {
    host::ndis::Adapter* adapter = nullptr;
    host::device::AdapterDevice* device = nullptr;
    Mac mac{};
    std::optional<Ip4> ip;  // learnt from its pings; the protocol side answers for it
    std::map<Ip4, Mac> arp;
    // The PHY the device carries frames on (on the medium, with link), as last reported.
    int carrierPhy = -2;  // -2 none reported yet, -1 none now
    int reportedPhy = -1;  // the last PHY that carried
    std::set<int> probed;  // PHY addresses whose identifier the driver read during initialise
    bool initialised = false;
    uint64_t keepalives = 0;  // the driver's keep-alive frames that crossed a medium
    // Bytes of the frames it put on a medium (keep-alive frames included) and of those it
    // indicated to the protocol, for the throughput of --json.
    uint64_t bytesSent = 0, bytesReceived = 0;
    // The burst of each of its packets in flight, by the packet id its protocol side gave it.
    FrameOwners<Burst> burstOfFrame;
};

struct Ping {
    std::string adapter;
    uint32_t number = 0;  // the adapter's first, second, ... burst of pings
    uint64_t startedUs = 0;
    Ip4 from{}, to{};
    uint32_t count = 0;
    uint64_t intervalUs = 0;
    uint16_t id = 0;
    // requested: echoes handed to the adapter; sent: those that crossed the medium within a
    // second; notSent: those that had not (still queued, refused, or dropped for want of a
    // link). Only a sent echo can be answered or lost; one that leaves later counts for neither.
    uint32_t requested = 0, sent = 0, replies = 0, lost = 0, notSent = 0, arpTries = 0;
    bool gaveUp = false;
    uint64_t rttMinUs = 0, rttMaxUs = 0, rttSumUs = 0;  // over the replies
    struct Echo {
        uint64_t at;
        bool left;
    };
    std::map<uint16_t, Echo> sentAt;  // echoes not yet answered nor given up
};

// A traffic burst. Its frames are made when the miniport is offered them, not when they are
// queued: a backlog of them holds none.
struct Burst final : host::ndis::FrameSource {
    size_t Make(uint64_t index, std::vector<uint8_t>& frame) const override {
        host::wire::WriteTestFrame(frame, dst, view->mac, stream, static_cast<uint32_t>(index), size);
        return 1 + index % 3;
    }

    std::string adapter;
    AdapterView* view = nullptr;
    uint32_t number = 0;  // the adapter's first, second, ... traffic burst
    uint64_t startedUs = 0;
    uint64_t intervalUs = 0;
    Mac dst{};
    uint32_t size = 0;
    uint32_t stream = 0;
    uint32_t frames = 0, offered = 0, completed = 0, refused = 0;
    // The frames are scheduled one at a time, each by the one before, with the tie-breaks the
    // burst reserved when it started: ordered as if all had been scheduled then.
    host::sim::Rng ties{0};
};

class Run {
public:
    Run(const Scenario& s, const RunOptions& o)
        : scenario_(s), options_(o), world_(o.seed.value_or(s.seed)) {
        world_.SetProcessors(o.cpus.value_or(s.cpus));
    }

    // Fills `outcome`, when given, with what the run found.
    int Go(RunOutcome* outcome = nullptr);

private:
    bool Build();
    void Schedule(const EventDesc& e);
    void Play(const EventDesc& e);
    void OnReceive(AdapterView& v, const host::ndis::ReceivedFrame& f);
    void SendArp(Ping& p);
    void SendEcho(Ping& p);
    // Marks the ping echo request `f`, seen crossing a medium from `adapter`, as sent.
    void EchoLeft(const std::string& adapter, const host::wire::Frame& f);
    void ScheduleFrame(Burst& b, uint32_t i);
    void NoteCarrier(AdapterView& v);
    void NoteInitialised(AdapterView& v);
    std::optional<Mac> PartnerMac(const AdapterView& v) const;
    // A `skipped` line: event `e` did nothing, for `reason`.
    void Skipped(const EventDesc& e, const char* reason);
    void Emit(std::string_view ev, const std::string& adapter, Json fields) {
        world_.Trace().Emit(ev, adapter, std::move(fields));
    }
    // Whether a line of `ev` reaches any sink: the lines that come again and again are not built
    // for a run that writes nothing (--quiet).
    bool Wants(std::string_view ev) { return world_.Trace().Enabled(ev); }
    AdapterView& View(const std::string& name) { return views_.at(name); }

    const Scenario& scenario_;
    RunOptions options_;
    // Before the world: the queued packets of a burst refer to it until the world is gone.
    std::vector<std::unique_ptr<Burst>> bursts_;
    host::world::World world_;
    std::map<std::string, AdapterView> views_;
    std::map<std::string, host::wire::Link*> links_;
    std::map<std::string, host::wire::Peer*> peers_;
    std::vector<std::unique_ptr<Ping>> pings_;
    // The run is over and its adapters are being halted. The halt runs the scheduler while a
    // send ends on another processor, and would otherwise play what still waited there: an event
    // held back behind a passive handler (a second halt among them), a burst's next frame, a
    // ping. None of that may reach an adapter that NDIS is halting.
    bool ended_ = false;
    std::vector<bool> played_;  // by event index: played, or skipped at its turn
};

bool Run::Build() {
    for (const LinkDesc& l : scenario_.links) {
        auto& link = world_.AddLink(l.name, l.medium, l.partner);
        links_[l.name] = &link;
        // The driver's keep-alive frames get a line of their own: no protocol sent them, so no other line tells of them. A ping's
        // echo request counts as sent only once it has crossed the medium.
        // A side's label ("A:0") names its adapter; the scripted partner's has no colon. Each
        // label is looked up once, on its first frame, not on every frame.
        struct Sender {
            std::string label;
            std::string adapter;        // empty for the scripted partner
            AdapterView* view = nullptr;  // null when no adapter of that name runs
        };
        link.AddTap([this, senders = std::vector<Sender>()](const host::wire::Link& on, const std::string& from,
                                                            const host::wire::Frame& f) mutable {
            const Sender* sender = nullptr;
            for (const Sender& s : senders)
                if (s.label == from) sender = &s;
            if (sender == nullptr) {
                Sender s{from, {}, nullptr};
                const size_t colon = from.find(':');
                if (colon != std::string::npos) {
                    s.adapter = from.substr(0, colon);
                    auto it = views_.find(s.adapter);
                    if (it != views_.end()) s.view = &it->second;
                }
                senders.push_back(std::move(s));
                sender = &senders.back();
            }
            if (sender->adapter.empty()) return;  // the scripted partner
            if (sender->view != nullptr) sender->view->bytesSent += f.size();
            if (IsKeepAlive(f)) {
                if (sender->view != nullptr) ++sender->view->keepalives;
                Emit("keepalive", sender->adapter, Json{{"link", on.Name()}, {"length", f.size()}});
                return;
            }
            if (!pings_.empty()) EchoLeft(sender->adapter, f);
        });
        if (l.peer) peers_[l.name] = &world_.AddPeer(link, l.peer->kind, l.peer->mac, l.peer->ip);
    }
    for (const AdapterDesc& a : scenario_.adapters) {
        const host::device::DeviceConfig config = DeviceConfigFor(a, links_);
        auto device = std::make_unique<host::device::AdapterDevice>(world_.Scheduler(), world_.Trace(),
                                                                    a.name, config);
        AdapterView v;
        v.device = device.get();
        v.adapter = &world_.AddAdapter(a.name, std::move(device), a.registry);
        if (options_.fullSpeedUsb) v.adapter->bus->SetTiming(host::usb::BusTiming::FullSpeed);
        for (int i = 0; i < 3; ++i) {
            v.mac[2 * i] = static_cast<uint8_t>(a.eeprom[i] & 0xFF);
            v.mac[2 * i + 1] = static_cast<uint8_t>(a.eeprom[i] >> 8);
        }
        auto override = a.registry.find("NetworkAddress");
        if (override != a.registry.end()) {
            if (const auto* text = std::get_if<std::string>(&override->second)) {
                Mac m{};
                if (host::wire::ParseMac(*text, m)) v.mac = m;
            }
        }
        views_[a.name] = std::move(v);
    }
    world_.Faults().onInjected = [this](host::sim::AllocKind kind, const host::sim::AllocSite*) {
        std::string adapter;
        const int id = world_.Kernel().CurrentAdapter();
        for (const auto& [name, v] : views_)
            if (v.adapter->id == id) adapter = name;
        Emit("fault", adapter, Json{{"fault", "alloc-fail"}, {"kind", std::string(host::sim::AllocKindName(kind))},
                                    {"state", "fired"}});
    };
    for (auto& [name, v] : views_) {
        AdapterView* view = &v;
        // Frames are looked at as they arrive and counted, not kept: a run's memory does not
        // grow with its traffic.
        v.adapter->protocol.keepReceived = false;
        v.adapter->protocol.onReceive = [this, view](const host::ndis::ReceivedFrame& f) {
            OnReceive(*view, f);
        };
        v.adapter->protocol.onSendDone = [view](uint64_t id, NDIS_STATUS status) {
            Burst* b = view->burstOfFrame.Take(id);
            if (b == nullptr) return;
            if (status == NDIS_STATUS_SUCCESS) ++b->completed;
            else ++b->refused;
        };
    }
    // What the device does with its PHYs is reported as it happens, not when the driver tells
    // NDIS: a move to another PHY carries frames from the moment that PHY has link, however long
    // the driver takes to indicate the connect.
    for (auto& [name, v] : views_) {
        AdapterView* view = &v;
        for (const auto& phy : v.device->Phys()) {
            const host::device::PhyModel* p = phy.get();
            phy->onLinkChange = [this, view, p](bool up) {
                // Every PHY's own link, on the medium or not: what the report draws per PHY.
                if (Wants("phy_link"))
                    Emit("phy_link", view->adapter->name,
                         Json{{"phy", p->Config().address}, {"up", up},
                              {"link", p->Link() != nullptr ? Json(p->Link()->Name()) : Json()}});
                NoteCarrier(*view);
            };
        }
        // The PHYs start-up probes are those whose identifier it reads.
        v.device->onPhyRead = [view](uint8_t phy, uint8_t reg) {
            if (!view->initialised && (reg == 2 || reg == 3) && view->device->Phy(phy) != nullptr)
                view->probed.insert(phy);
        };
    }
    // Runs before the other sinks see a line, so what it emits about the adapter's PHYs comes
    // ahead of the indication or handler return that made it known.
    world_.Trace().AddSink([this](const Json& line) {
        const std::string ev = line.value("ev", "");
        if (ev != "miniport" && ev != "indicate_status") return;
        auto it = views_.find(line.value("adapter", ""));
        if (it == views_.end()) return;
        AdapterView& v = it->second;
        const std::string call = line.value("call", "");
        if (!v.initialised &&
                   ((ev == "miniport" && call == "MiniportInitialize" && line.value("status", "") == "0x00000000") ||
                    ev == "indicate_status")) {
            // Start-up has chosen its medium once it indicates the link state or returns.
            NoteInitialised(v);
        } else if (ev == "miniport" && call == "MiniportHalt") {
            v.initialised = false;
            v.probed.clear();
            v.carrierPhy = -2;
        }
    }, {"miniport", "indicate_status"}, 0);  // no payloads: it reads the fields around them
    return true;
}

namespace {

// "; rtt min/avg/max 1.000/1.500/2.000 ms", as ping ends its summary; empty without a reply.
std::string RoundTrips(const Ping& p) {
    if (p.replies == 0) return "";
    char text[96];
    std::snprintf(text, sizeof text, "; rtt min/avg/max %.3f/%.3f/%.3f ms", p.rttMinUs / 1000.0,
                  p.rttSumUs / 1000.0 / p.replies, p.rttMaxUs / 1000.0);
    return text;
}

// The PHY by its address, identifier and the kind the driver knows it as.
Json DescribePhy(const host::device::PhyModel& phy) {
    char id[16];
    std::snprintf(id, sizeof id, "0x%X", phy.Config().id);
    const uint32_t i = phy.Config().id;
    const char* kind = phy.PhoneLine() ? "phoneline"
                       : (i == 0x406210 || i == 0x437410 || i == 0x225610 || i == 0x225410) ? "ethernet"
                                                                                             : "other";
    return Json{{"phy", phy.Config().address}, {"id", id}, {"medium", kind}};
}

}  // namespace

// The PHYs the driver found (read the identifier of) and the one it left on the medium.
void Run::NoteInitialised(AdapterView& v) {
    v.initialised = true;
    if (Wants("phys")) {
        Json found = Json::array();
        int chosen = -1;
        for (const auto& phy : v.device->Phys()) {
            if (v.probed.count(phy->Config().address)) found.push_back(DescribePhy(*phy));
            if (chosen < 0 && phy->OnMedium()) chosen = phy->Config().address;
        }
        Emit("phys", v.adapter->name, Json{{"found", found}, {"chosen", chosen >= 0 ? Json(chosen) : Json()}});
    }
    NoteCarrier(v);
}

void Run::NoteCarrier(AdapterView& v) {
    if (!v.initialised) return;  // start-up's own resets and power-downs are not news
    const host::device::PhyModel* carrier = nullptr;
    for (const auto& phy : v.device->Phys()) {
        if (phy->OnMedium() && phy->HasLink()) {
            carrier = phy.get();
            break;
        }
    }
    if (carrier == nullptr) {
        if (v.carrierPhy >= 0 && Wants("media")) Emit("media", v.adapter->name, Json{{"carrier", false}});
        if (v.carrierPhy != -2) v.carrierPhy = -1;
        return;
    }
    const int address = carrier->Config().address;
    if (address == v.carrierPhy) return;
    const bool first = v.carrierPhy == -2;
    const bool switched = !first && address != v.reportedPhy;
    v.carrierPhy = address;
    v.reportedPhy = address;
    if (!Wants("media")) return;
    Json fields = DescribePhy(*carrier);
    if (carrier->Link() != nullptr)
        fields["medium"] = carrier->Link()->Kind() == host::wire::MediumKind::PhoneLine ? "phoneline" : "ethernet";
    fields["carrier"] = true;
    fields["speed_mbps"] = carrier->SpeedMbps();
    fields["full_duplex"] = carrier->FullDuplex();
    fields["switch"] = switched;
    Emit("media", v.adapter->name, std::move(fields));
}

std::optional<Mac> Run::PartnerMac(const AdapterView& v) const {
    for (const auto& phy : v.device->Phys()) {
        if (!phy->OnMedium() || !phy->HasLink() || phy->Link() == nullptr) continue;
        auto peer = peers_.find(phy->Link()->Name());
        if (peer != peers_.end()) return peer->second->MacAddress();
        for (const auto& [name, other] : views_) {
            if (&other == &v) continue;
            for (const auto& op : other.device->Phys())
                if (op->Link() == phy->Link()) return other.mac;
        }
    }
    return std::nullopt;
}

void Run::OnReceive(AdapterView& v, const host::ndis::ReceivedFrame& f) {
    v.bytesReceived += f.bytes.size();
    if (auto arp = host::wire::ParseArp(f.bytes)) {
        v.arp[arp->senderIp] = arp->senderMac;
        if (arp->operation == 1 && v.ip && arp->targetIp == *v.ip)
            world_.Ndis().Send(*v.adapter, host::wire::ArpReply(v.mac, *v.ip, arp->senderMac, arp->senderIp));
        if (arp->operation == 2) {
            for (auto& p : pings_)
                if (p->adapter == v.adapter->name && p->to == arp->senderIp && p->requested == 0 &&
                    !p->gaveUp)
                    SendEcho(*p);
        }
        return;
    }
    if (auto echo = host::wire::ParseEcho(f.bytes)) {
        if (echo->request && v.ip && echo->to == *v.ip) {
            world_.Ndis().Send(*v.adapter, host::wire::IcmpEcho(echo->srcMac, v.mac, *v.ip, echo->from,
                                                                false, echo->id, echo->sequence, echo->data));
            return;
        }
        if (!echo->request) {
            for (auto& p : pings_) {
                if (p->adapter != v.adapter->name || p->id != echo->id) continue;
                auto sent = p->sentAt.find(echo->sequence);
                if (sent == p->sentAt.end()) continue;
                const uint64_t rtt = world_.NowUs() - sent->second.at;
                p->rttMinUs = p->replies == 0 ? rtt : std::min(p->rttMinUs, rtt);
                p->rttMaxUs = std::max(p->rttMaxUs, rtt);
                p->rttSumUs += rtt;
                ++p->replies;
                if (Wants("ping"))
                    Emit("ping", v.adapter->name,
                         Json{{"to", host::wire::IpText(p->to)},
                              {"burst", p->number},
                              {"seq", echo->sequence},
                              {"rtt_us", world_.NowUs() - sent->second.at}});
                p->sentAt.erase(sent);
            }
        }
    }
}

void Run::SendArp(Ping& p) {
    AdapterView& v = View(p.adapter);
    if (ended_ || p.requested > 0 || p.gaveUp || v.adapter->state != host::ndis::AdapterState::Initialized) return;
    if (++p.arpTries > 5) {
        p.gaveUp = true;
        Emit("ping", p.adapter, Json{{"to", host::wire::IpText(p.to)}, {"burst", p.number}, {"error", "no ARP reply"}});
        return;
    }
    world_.Ndis().Send(*v.adapter, host::wire::ArpRequest(v.mac, p.from, p.to));
    Ping* ping = &p;
    world_.Scheduler().After(kSecond, [this, ping] { SendArp(*ping); });
}

void Run::SendEcho(Ping& p) {
    AdapterView& v = View(p.adapter);
    if (ended_ || p.requested >= p.count || v.adapter->state != host::ndis::AdapterState::Initialized) return;
    auto mac = v.arp.find(p.to);
    if (mac == v.arp.end()) return;
    const uint16_t seq = static_cast<uint16_t>(++p.requested);
    p.sentAt[seq] = Ping::Echo{world_.NowUs(), false};
    // An echo without a reply a second later is lost, or never left the adapter, and said so on
    // its own line. A scenario phase event draws no tie-break, so the order of everything else
    // stays as it was.
    Ping* lost = &p;
    world_.Scheduler().At(world_.NowUs() + kSecond, [this, lost, seq] {
        auto it = lost->sentAt.find(seq);
        if (it == lost->sentAt.end()) return;
        const bool left = it->second.left;
        lost->sentAt.erase(it);
        ++(left ? lost->lost : lost->notSent);
        Json line{{"to", host::wire::IpText(lost->to)}, {"burst", lost->number}, {"seq", seq}};
        line[left ? "lost" : "not_sent"] = true;
        Emit("ping", lost->adapter, std::move(line));
    }, host::sim::Phase::Scenario);
    std::vector<uint8_t> payload(56);
    for (size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<uint8_t>(i);
    world_.Ndis().Send(*v.adapter, host::wire::IcmpEcho(mac->second, v.mac, p.from, p.to, true, p.id, seq, payload));
    Ping* ping = &p;
    if (p.requested < p.count) world_.Scheduler().After(p.intervalUs, [this, ping] { SendEcho(*ping); });
}

void Run::EchoLeft(const std::string& adapter, const host::wire::Frame& f) {
    auto echo = host::wire::ParseEcho(f);
    if (!echo || !echo->request) return;
    for (auto& p : pings_) {
        if (p->adapter != adapter || p->id != echo->id) continue;
        auto it = p->sentAt.find(echo->sequence);
        if (it == p->sentAt.end() || it->second.left) continue;
        it->second.left = true;
        ++p->sent;
    }
}

void Run::ScheduleFrame(Burst& burst, uint32_t i) {
    Burst* b = &burst;
    auto send = [this, b, i] {
        if (b->intervalUs != 0 && i + 1 < b->frames) ScheduleFrame(*b, i + 1);
        AdapterView* v = b->view;
        if (ended_ || v->adapter->state != host::ndis::AdapterState::Initialized) return;
        ++b->offered;
        // The protocol side answers the send inside the call: know the frame first.
        v->burstOfFrame.Set(v->adapter->protocol.nextId, b);
        world_.Ndis().Send(*v->adapter, *b, i);
    };
    const uint64_t at = b->startedUs + i * b->intervalUs;
    if (b->intervalUs == 0) world_.Scheduler().At(at, std::move(send));
    else world_.Scheduler().AtWithTie(at, b->ties.Next(), std::move(send));
}

void Run::Schedule(const EventDesc& e) {
    auto& ndis = world_.Ndis();
    std::function<bool()> gate;
    const bool passive = e.action == "initialize" || e.action == "reset" || e.action == "shutdown" ||
                         e.action == "halt";
    if (passive) {
        gate = [&ndis] { return !ndis.PassiveBusy(); };
    } else if (!e.adapter.empty() && (e.action == "send" || e.action == "query" || e.action == "set" ||
                                      e.action == "traffic" || e.action == "ping")) {
        host::ndis::Adapter* a = View(e.adapter).adapter;
        gate = [a] { return !a->passiveBusy; };
    }
    const EventDesc* event = &e;
    world_.Scheduler().At(e.atUs, [this, event] { Play(*event); }, host::sim::Phase::Scenario, gate);
}

void Run::Skipped(const EventDesc& e, const char* reason) {
    Emit("skipped", e.adapter, Json{{"event", e.index}, {"do", e.action}, {"reason", reason}});
}

namespace {

// Why an event for an adapter that is not running does nothing.
const char* NotRunning(host::ndis::AdapterState state) {
    switch (state) {
        case host::ndis::AdapterState::Bound: return "adapter not initialised";
        case host::ndis::AdapterState::Halted: return "adapter halted";
        case host::ndis::AdapterState::Failed: return "adapter failed to start";
        case host::ndis::AdapterState::Initialized: break;
    }
    return "adapter initialised";
}

}  // namespace

void Run::Play(const EventDesc& e) {
    if (e.index >= played_.size()) played_.resize(e.index + 1);
    played_[e.index] = true;
    if (ended_) return Skipped(e, "still waiting when the run ended");
    auto& ndis = world_.Ndis();
    AdapterView* v = e.adapter.empty() ? nullptr : &View(e.adapter);
    host::ndis::Adapter* a = v ? v->adapter : nullptr;
    const bool up = a && a->state == host::ndis::AdapterState::Initialized;
    const std::string& d = e.action;
    // Events that act through a running adapter say so when there is none.
    // (A traffic burst is not one: its frames go out once the adapter comes up.)
    const bool needsUp = d == "reset" || d == "shutdown" || d == "halt" || d == "send" ||
                         d == "ping" || d == "query" || d == "set";
    if (needsUp && !up) return Skipped(e, NotRunning(a->state));
    if (d == "fault") {
        Emit("fault", e.adapter.empty() ? std::string() : e.adapter,
             Json{{"event", e.index}, {"fault", e.fault}, {"state", "armed"}});
    }
    if (d == "initialize") {
        if (a->state == host::ndis::AdapterState::Bound) ndis.Initialize(*a);
        else Skipped(e, a->state == host::ndis::AdapterState::Initialized ? "adapter already initialised"
                                                                          : NotRunning(a->state));
    } else if (d == "reset") {
        ndis.Reset(*a);
    } else if (d == "shutdown") {
        ndis.Shutdown(*a);
    } else if (d == "halt") {
        ndis.Halt(*a);
    } else if (d == "send") {
        for (uint32_t i = 0; i < e.repeat; ++i) ndis.Send(*a, e.frame);
    } else if (d == "traffic") {
        auto partner = PartnerMac(*v);
        auto burst = std::make_unique<Burst>();
        burst->adapter = a->name;
        burst->stream = static_cast<uint32_t>(e.index);
        burst->frames = e.frames;
        burst->size = e.size;
        burst->startedUs = world_.NowUs();
        burst->number = 1 + static_cast<uint32_t>(std::count_if(
            bursts_.begin(), bursts_.end(), [&](const auto& b) { return b->adapter == a->name; }));
        burst->view = v;
        burst->intervalUs = e.intervalUs;
        burst->dst = partner.value_or(host::wire::kBroadcast);
        Burst* b = burst.get();
        bursts_.push_back(std::move(burst));
        if (e.intervalUs == 0) {
            // All at one instant: each frame must be queued before any runs.
            for (uint32_t i = 0; i < e.frames; ++i) ScheduleFrame(*b, i);
        } else {
            b->ties = world_.Scheduler().ReserveTies(e.frames);
            if (e.frames > 0) ScheduleFrame(*b, 0);
        }
        world_.Scheduler().At(world_.NowUs() + e.frames * e.intervalUs + 2 * kSecond, [this, b] {
            Emit("traffic", b->adapter,
                 Json{{"burst", b->number}, {"started_us", b->startedUs}, {"size", b->size},
                      {"frames", b->frames}, {"offered", b->offered}, {"completed", b->completed},
                      {"refused", b->refused}});
        });
    } else if (d == "receive") {
        auto peer = peers_.find(e.link);
        host::wire::Link* link = links_.at(e.link);
        for (auto& [name, view] : views_)
            for (const auto& phy : view.device->Phys())
                if (phy->Link() == link && e.status != 0) view.device->PlanReceiveStatus(e.status);
        if (peer != peers_.end()) peer->second->Send(e.frame);
    } else if (d == "ping") {
        v->ip = e.ip;
        auto ping = std::make_unique<Ping>();
        ping->adapter = a->name;
        ping->from = e.ip;
        ping->to = e.to;
        ping->count = e.count;
        ping->intervalUs = e.intervalUs;
        ping->id = static_cast<uint16_t>(0x4E00 + e.index);
        ping->startedUs = world_.NowUs();
        ping->number = 1 + static_cast<uint32_t>(std::count_if(
            pings_.begin(), pings_.end(), [&](const auto& p) { return p->adapter == a->name; }));
        pings_.push_back(std::move(ping));
        SendArp(*pings_.back());
    } else if (d == "query") {
        // Without a length the buffer is the answer's size; where the tool does not know it, it
        // asks as a protocol would: with an empty buffer, then with what the miniport needs.
        const auto known = AnswerSize(e.oid);
        const auto r = ndis.Query(*a, e.oid, e.length.value_or(known.value_or(0)));
        if (!e.length && !known && r.bytesNeeded != 0 &&
            r.status == NDIS_STATUS_INVALID_LENGTH)
            ndis.Query(*a, e.oid, r.bytesNeeded);
    } else if (d == "set") {
        ndis.Set(*a, e.oid, e.data);
    } else if (d == "link") {
        host::wire::Link* link = links_.at(e.link);
        host::wire::PartnerSettings p = link->Partner();
        if (e.up) p.up = *e.up;
        if (e.advertise) p.advertise = *e.advertise;
        if (e.autoneg) p.autoneg = *e.autoneg;
        if (e.speed) p.speedMbps = *e.speed;
        if (e.fullDuplex) p.fullDuplex = *e.fullDuplex;
        link->Update(p);
    } else if (d == "fault") {
        if (e.fault == "an-never-completes" || e.fault == "an-never-links") {
            host::wire::Link* link = links_.at(e.link);
            host::wire::PartnerSettings p = link->Partner();
            if (e.fault == "an-never-completes") p.anNeverCompletes = true;  // link, never "complete"
            else p.anDelayMs = 24u * 3'600'000u;  // a negotiation that does not end within a day
            link->Update(p);
            return;
        }
        using CF = host::usb::BusFaults::ControlFault;
        auto& faults = a->bus->Faults();
        const uint64_t lateUs = e.lateMs * 1000;
        if (e.fault == "control-stall") faults.ArmControl(CF::Stall, e.nth);
        else if (e.fault == "control-error") faults.ArmControl(CF::Error, e.nth);
        else if (e.fault == "control-silent") faults.ArmControl(CF::Silent, e.nth, e.faultCount);
        else if (e.fault == "control-late") faults.ArmControl(CF::Late, e.nth, 1, lateUs);
        else if (e.fault == "bulk-late") faults.ArmBulk(CF::Late, 1, e.faultCount, lateUs);
        else if (e.fault == "cancel-late") {
            faults.cancelLateCount = e.faultCount;
            faults.cancelLateUs = lateUs;
        }
        else if (e.fault == "bulk-in-error") a->bus->FailBulkIn(static_cast<uint32_t>(e.faultCount));
        else if (e.fault == "bulk-out-error") faults.bulkOutErrors += static_cast<uint32_t>(e.faultCount);
        else if (e.fault == "irp-complete-error") faults.irpCompleteError = true;
        else if (e.fault == "device-vanish") a->bus->Vanish();
        else if (e.fault == "eeprom-never-done") v->device->Faults().eepromNeverDone = true;
        else if (e.fault == "mdio-never-done") v->device->Faults().phyNeverDone = true;
        else if (e.fault == "alloc-fail") {
            std::optional<host::sim::AllocKind> kind;
            host::sim::ParseAllocKind(e.allocKind, kind);
            world_.Faults().Arm(kind, e.nth, a->id);
        }
    }
}

int Run::Go(RunOutcome* outcome) {
    // The run's own sink goes first (see Build); building the world writes no trace line.
    Build();
    // Captures outlive nothing they watch: they are closed before the world goes.
    RunFiles files(options_.outputs);
    std::string error;
    std::vector<std::string> linkNames;
    for (const auto& [name, link] : links_) linkNames.push_back(name);
    if (!files.Open(world_.Trace(), [this] { return world_.NowUs(); }, error) ||
        !files.OpenWire(linkNames, error)) {
        std::cerr << "nicsim: " << error << "\n";
        return 2;
    }
    ReportFile junit(options_.junitPath);
    if (!junit.Open(error)) {
        std::cerr << "nicsim: " << error << "\n";
        return 2;
    }
    ReportFile html(options_.htmlPath);
    if (!html.Open(error)) {
        std::cerr << "nicsim: " << error << "\n";
        return 2;
    }
    // The page is drawn from the same lines a trace file gets, the run record first.
    RunReport report;
    if (html.Asked())
        world_.Trace().AddSink([&report](const Json& l) { std::string ignored; report.OnLine(l, ignored); },
                               RunReport::Kinds());
    for (auto& [name, v] : views_) files.AttachBus(*v.adapter->bus);
    for (auto& [name, link] : links_) files.AttachLink(*link);
    // With a file on standard output, the people's part goes to standard error, as tcpdump -w -
    // does, so `nicsim run --trace - | jq` reads only the trace.
    std::FILE* const human = WritesStandardOutput(options_.outputs) ? stderr : stdout;
    Timeline timeline(human);
    if (!options_.quiet) {
        world_.Trace().AddSink([&timeline](const Json& l) { timeline.OnLine(l); }, Timeline::Kinds());
        world_.Trace().AddSink([&timeline](const Json& l) { timeline.OnLine(l); }, Timeline::FieldKinds(), 0);
    }
    const uint64_t seed = world_.Seed();
    const unsigned cpus = options_.cpus.value_or(scenario_.cpus);
    const uint64_t until = static_cast<uint64_t>(options_.untilSeconds.value_or(scenario_.durationS) * kSecond);
    const char* usbTiming = options_.fullSpeedUsb ? "full-speed" : "frame";
    // The record that makes a trace say what produced it; the timeline's header says the same.
    Json record{{"version", options_.version}, {"command", options_.commandLine},
                {"scenario", scenario_.name}, {"source", scenario_.source},
                {"sha256", scenario_.sha256}, {"seed", SeedJson(seed)}, {"cpus", cpus},
                {"usb_timing", usbTiming}, {"until_us", until}};
    // A trace that holds less than every line, or less than every payload, says so itself.
    if (!options_.outputs.traceEvents.empty()) record["trace_events"] = options_.outputs.traceEvents;
    if (options_.outputs.traceData == "none" || options_.outputs.traceData == "head")
        record["trace_data"] = options_.outputs.traceData;
    if (options_.image) record["image"] = options_.image->Path();
    if (options_.callsOnly) record["points"] = "calls";
    Emit("run", "", std::move(record));
    if (!options_.quiet) {
        std::fprintf(human, "nicsim %s: scenario \"%s\" (%s, sha256 %.12s), seed %llu, %u processor%s, USB "
                            "timing %s, until %.6g s\n",
                            options_.version.c_str(), Printable(scenario_.name).c_str(),
                            Printable(scenario_.source).c_str(),
                            scenario_.sha256.c_str(), static_cast<unsigned long long>(seed), cpus, cpus > 1 ? "s" : "",
                            usbTiming, until / 1e6);
        if (!scenario_.description.empty())
            std::fprintf(human, "  %s\n", Printable(scenario_.description).c_str());
    }
    const auto wallStart = std::chrono::steady_clock::now();
    // The end of every run: the summary record, the files closed, the verdict and the summary
    // lines. A run that crashed ends here too, without halting what is left (the world is not
    // run again after a fault).
    const auto finish = [&]() -> int {
        const auto& verifier = world_.Verifier();
        const size_t leaks = verifier.Count(host::verifier::check::kLeak);
        Json counters = Json::object();
        for (auto& [name, v] : views_) counters[name] = AdapterAccounts(*v.adapter, *v.device, v.keepalives);
        const uint64_t checks = verifier.Checks();
        Emit("summary", "", Json{{"violations", verifier.Count()}, {"leaks", leaks}, {"checks", checks},
                                 {"adapters", counters}});
        std::vector<OutputError> lost;
        files.Close(lost);
        if (html.Asked() && !html.Write(report.Html(), error)) lost.push_back({options_.htmlPath, error});
        const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - wallStart).count();
        Verdict verdict{"run", scenario_.name, seed, cpus, options_.fullSpeedUsb ? "full-speed" : "frame",
                        world_.NowUs() / 1e6, wall, verifier.Violations(), leaks, counters,
                        Json::array(), options_.replay, checks, lost, options_.version, {}, {}, Json::object()};
        verdict.source = scenario_.source;
        verdict.sha256 = scenario_.sha256;
        if (options_.json || junit.Asked()) {
            const auto ms = [](uint64_t us) { return us / 1000.0; };
            for (auto& p : pings_) {
                Json ping{{"adapter", p->adapter}, {"to", host::wire::IpText(p->to)},
                          {"burst", p->number}, {"started_s", p->startedUs / 1e6},
                          {"requested", p->requested}, {"sent", p->sent},
                          {"replies", p->replies}, {"lost", p->lost},
                          {"not_sent", p->notSent}, {"no_arp_reply", p->gaveUp}};
                // As ping prints them: null without a reply.
                ping["rtt_min_ms"] = p->replies ? Json(ms(p->rttMinUs)) : Json();
                ping["rtt_avg_ms"] = p->replies ? Json(ms(p->rttSumUs) / p->replies) : Json();
                ping["rtt_max_ms"] = p->replies ? Json(ms(p->rttMaxUs)) : Json();
                verdict.pings.push_back(std::move(ping));
            }
            const double seconds = world_.NowUs() / 1e6;
            for (const auto& [name, v] : views_)
                verdict.throughput[name] = Json{
                    {"sent_bytes", v.bytesSent},
                    {"received_bytes", v.bytesReceived},
                    {"sent_bytes_per_s", seconds > 0 ? v.bytesSent / seconds : 0.0},
                    {"received_bytes_per_s", seconds > 0 ? v.bytesReceived / seconds : 0.0}};
            if (options_.json)
                std::printf("%s\n", VerdictJson(verdict).dump(-1, ' ', false, Json::error_handler_t::replace).c_str());
        }
        if (!options_.quiet && !options_.json) {
            std::fprintf(human, "\nsummary: %.3f s of virtual time in %.3f s (seed %llu)\n", world_.NowUs() / 1e6, wall,
                         static_cast<unsigned long long>(seed));
            for (auto& [name, c] : counters.items()) std::fputs(PrintableLines(AccountLines(name, c)).c_str(), human);
            for (auto& p : pings_)
                std::fprintf(human, "  ping %s -> %s, burst %u from %.3f s: %u sent, %u replies, %u lost; "
                                    "%u requested, %u not sent within 1 s%s%s\n",
                             Printable(p->adapter).c_str(), host::wire::IpText(p->to).c_str(), p->number,
                             p->startedUs / 1e6,
                             p->sent, p->replies, p->lost, p->requested, p->notSent, p->gaveUp ? " (no ARP reply)" : "",
                             RoundTrips(*p).c_str());
            std::fprintf(human, "  violations: %zu, leaks: %zu (%llu checks)\n", verifier.Count(), leaks,
                         static_cast<unsigned long long>(checks));
            if (verifier.Count() > 0)
                std::fprintf(human, "  replay with: %s%s\n", Printable(options_.replay).c_str(),
                             Printable(options_.replayNote).c_str());
        }
        const int status = EndRun(verdict, std::move(lost),
                                  !options_.quiet || options_.json || WritesStandardOutput(options_.outputs), junit);
        if (outcome != nullptr) {
            outcome->status = status;
            outcome->violations = verifier.Violations();
            outcome->leaks = leaks;
            outcome->checks = checks;
            outcome->adapters = std::move(counters);
            outcome->virtualUs = world_.NowUs();
            outcome->events = world_.Scheduler().EventsRun();
        }
        return status;
    };
    // A fault of the driver ends the run as a violation, with everything written so far kept.
    host::world::CrashGuard crashGuard([&] {
        const int status = finish();
        if (options_.onCrash && outcome != nullptr) options_.onCrash(*outcome);
        std::fflush(nullptr);
        _exit(status == 0 ? 1 : status);
    });
    if (options_.image) world_.UseImage(options_.image);
    world_.Kernel().SetCallsOnly(options_.callsOnly);
    world_.LoadDriver();
    for (const EventDesc& e : scenario_.events) Schedule(e);

    // The progress line would break into a timeline written to the same terminal.
    const bool progress = !options_.quiet && human == stdout && isatty(STDERR_FILENO);
    auto lastShown = wallStart;
    while (world_.NowUs() < until) {
        world_.RunUntil(std::min(until, world_.NowUs() + kSecond));
        if (progress && std::chrono::steady_clock::now() - lastShown > std::chrono::milliseconds(500)) {
            lastShown = std::chrono::steady_clock::now();
            std::fprintf(stderr, "\r[nicsim] %.0f of %.0f virtual seconds", world_.NowUs() / 1e6, until / 1e6);
        }
    }
    if (progress) std::fprintf(stderr, "\r%60s\r", "");
    for (const EventDesc& e : scenario_.events)
        if (e.atUs > until) Skipped(e, "after the end of the run");
    ended_ = true;
    world_.HaltRemaining();
    // An event held back behind a passive handler that outlasted the run was neither played nor
    // due after the end: it is said once, as the others are.
    for (const EventDesc& e : scenario_.events)
        if (e.atUs <= until && (e.index >= played_.size() || !played_[e.index]))
            Skipped(e, "still waiting when the run ended");

    return finish();
}

}  // namespace

int RunScenario(const Scenario& scenario, const RunOptions& options) {
    Run run(scenario, options);
    return run.Go();
}

RunOutcome PlayScenario(const Scenario& scenario, RunOptions options) {
    options.quiet = true;
    options.json = false;
    options.outputs = OutputOptions{};
    options.junitPath.clear();
    options.htmlPath.clear();
    RunOutcome outcome;
    Run run(scenario, options);
    run.Go(&outcome);
    return outcome;
}

}  // namespace nicsim
