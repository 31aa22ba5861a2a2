#include "tools/nicsim/scenario/scenario.h"

#include <sha2.h>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <set>

#include "tools/nicsim/cli/input.h"
#include "tools/nicsim/scenario/oids.h"

namespace nicsim {

namespace {

// Walks a document, collecting one message per problem with its path.
class Checker {
public:
    explicit Checker(std::vector<std::string>& errors) : errors_(errors) {}

    void Error(const std::string& path, const std::string& message) {
        errors_.push_back(path + ": " + message);
    }
    // Legal, but probably not what the author meant.
    void Warn(const std::string& path, const std::string& message) { warnings.push_back(path + ": " + message); }
    std::vector<std::string> warnings;
    bool Ok() const { return errors_.empty(); }

    // Reports keys outside `allowed`, with the closest allowed one. `_comment` is allowed in
    // every object: the loader ignores it.
    void Keys(const std::string& path, const Json& object, const std::vector<std::string>& allowed) {
        for (auto it = object.begin(); it != object.end(); ++it) {
            if (it.key() == "_comment" || std::find(allowed.begin(), allowed.end(), it.key()) != allowed.end())
                continue;
            Error(path + "." + it.key(), "unknown key" + DidYouMean(it.key(), allowed));
        }
    }
    const Json* Object(const std::string& path, const Json& v) {
        if (!v.is_object()) {
            Error(path, "expected an object");
            return nullptr;
        }
        return &v;
    }
    // Numbers may be written as numbers or as strings ("0x..." hexadecimal, else decimal).
    // Whole numbers only, never wrapped or clamped into range.
    std::optional<uint64_t> Unsigned(const std::string& path, const Json& v, uint64_t max) {
        uint64_t value = 0;
        if (v.is_number_unsigned()) {
            value = v.get<uint64_t>();
        } else if (v.is_number_integer()) {
            Error(path, v.dump() + " must not be negative");
            return std::nullopt;
        } else if (v.is_number_float()) {
            // JSON integers beyond 64 bits arrive here too, as doubles.
            const double d = v.get<double>();
            if (d < 0) Error(path, v.dump() + " must not be negative");
            else if (max == UINT64_MAX ? d >= 0x1p64 : d > static_cast<double>(max)) OutOfRange(path, v.dump(), max);
            else Error(path, "expected a whole number, not " + v.dump());
            return std::nullopt;
        } else if (v.is_string()) {
            const std::string s = v.get<std::string>();
            const bool hex = s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X');
            const char* first = s.data() + (hex ? 2 : 0);
            const char* last = s.data() + s.size();
            const auto [end, ec] = std::from_chars(first, last, value, hex ? 16 : 10);
            if (first == last || end != last || (ec != std::errc() && ec != std::errc::result_out_of_range)) {
                Error(path, "\"" + s + "\" is not a number");
                return std::nullopt;
            }
            if (ec == std::errc::result_out_of_range) {
                OutOfRange(path, "\"" + s + "\"", max);
                return std::nullopt;
            }
        } else {
            Error(path, "expected a number");
            return std::nullopt;
        }
        if (value > max) {
            OutOfRange(path, std::to_string(value), max);
            return std::nullopt;
        }
        return value;
    }
    void OutOfRange(const std::string& path, const std::string& shown, uint64_t max) {
        if (max == UINT64_MAX) Error(path, shown + " does not fit 64 bits (at most " + std::to_string(max) + ")");
        else Error(path, shown + " is out of range (at most " + std::to_string(max) + ")");
    }
    std::optional<double> Seconds(const std::string& path, const Json& v) {
        if (!v.is_number()) {
            Error(path, "expected a number of seconds");
            return std::nullopt;
        }
        const double s = v.get<double>();
        if (!(s >= 0) || !std::isfinite(s) || s > kMaxSeconds) {
            Error(path, v.dump() + " is not a time from 0 to " + std::to_string(static_cast<long long>(kMaxSeconds)) +
                            " seconds");
            return std::nullopt;
        }
        return s;
    }
    std::optional<std::string> String(const std::string& path, const Json& v) {
        if (!v.is_string()) {
            Error(path, "expected a string");
            return std::nullopt;
        }
        return v.get<std::string>();
    }
    std::optional<bool> Bool(const std::string& path, const Json& v) {
        if (!v.is_boolean()) {
            Error(path, "expected true or false");
            return std::nullopt;
        }
        return v.get<bool>();
    }
    std::optional<std::vector<uint8_t>> Bytes(const std::string& path, const Json& v) {
        auto s = String(path, v);
        if (!s) return std::nullopt;
        if (s->size() % 2 != 0) {
            Error(path, "hex bytes need an even number of digits");
            return std::nullopt;
        }
        std::vector<uint8_t> out;
        for (size_t i = 0; i < s->size(); i += 2) {
            if (!std::isxdigit(static_cast<unsigned char>((*s)[i])) ||
                !std::isxdigit(static_cast<unsigned char>((*s)[i + 1]))) {
                Error(path, "\"" + *s + "\" is not lowercase hex bytes");
                return std::nullopt;
            }
            out.push_back(static_cast<uint8_t>(std::stoul(s->substr(i, 2), nullptr, 16)));
        }
        return out;
    }
    std::optional<host::wire::Mac> Mac(const std::string& path, const Json& v) {
        auto s = String(path, v);
        host::wire::Mac mac{};
        if (!s) return std::nullopt;
        if (!host::wire::ParseMac(*s, mac)) {
            Error(path, "\"" + *s + "\" is not a MAC address like 00:11:22:33:44:55");
            return std::nullopt;
        }
        return mac;
    }
    std::optional<host::wire::Ip4> Ip(const std::string& path, const Json& v) {
        auto s = String(path, v);
        host::wire::Ip4 ip{};
        if (!s) return std::nullopt;
        if (!host::wire::ParseIp(*s, ip)) {
            Error(path, "\"" + *s + "\" is not an IPv4 address");
            return std::nullopt;
        }
        return ip;
    }

private:
    std::vector<std::string>& errors_;
};

void LoadPhy(Checker& c, const std::string& path, const Json& v, PhyDesc& phy) {
    if (!c.Object(path, v)) return;
    c.Keys(path, v, {"address", "id", "revision", "link", "reg1"});
    if (!v.contains("address")) c.Error(path + ".address", "missing");
    else if (auto a = c.Unsigned(path + ".address", v["address"], 31)) phy.phy.address = static_cast<uint8_t>(*a);
    if (!v.contains("id")) c.Error(path + ".id", "missing");
    else if (auto id = c.Unsigned(path + ".id", v["id"], 0xFFFFFFFFu)) {
        if (*id & 0xF) c.Error(path + ".id", "the identifier has its revision bits (the low four) clear");
        phy.phy.id = static_cast<uint32_t>(*id);
    }
    if (v.contains("revision"))
        if (auto r = c.Unsigned(path + ".revision", v["revision"], 15)) phy.phy.revision = static_cast<uint8_t>(*r);
    if (v.contains("link"))
        if (auto l = c.String(path + ".link", v["link"])) phy.link = *l;
    if (v.contains("reg1"))
        if (auto r = c.Unsigned(path + ".reg1", v["reg1"], 0xFFFF)) phy.phy.reg1 = static_cast<uint16_t>(*r);
}

// The registry keywords the driver reads (driver/frame/parameters.cpp), NDIS's address override
// among them. Windows compares keywords without case, and so does the world's registry.
const std::vector<std::string>& RegistryKeywords() {
    static const std::vector<std::string> table = {"TxPacketDesc", "RxPacketDesc", "MediaType",
                                                   "HomeLan",      "AlivePara",    "NetworkAddress"};
    return table;
}

void LoadAdapter(Checker& c, const std::string& path, const Json& v, AdapterDesc& a) {
    if (!c.Object(path, v)) return;
    c.Keys(path, v, {"name", "eeprom", "eeprom_words", "usb", "phys", "registry"});
    if (!v.contains("name")) c.Error(path + ".name", "missing");
    else if (auto n = c.String(path + ".name", v["name"])) {
        if (n->empty() || n->find(':') != std::string::npos)
            c.Error(path + ".name", "a name is not empty and has no colon");
        a.name = *n;
    }
    const uint8_t defaultMac[6] = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55};
    a.eeprom = host::device::EepromFromAddress(defaultMac);
    if (v.contains("eeprom") && !v["eeprom"].is_null()) {
        if (auto mac = c.Mac(path + ".eeprom", v["eeprom"])) a.eeprom = host::device::EepromFromAddress(mac->data());
    }
    if (v.contains("eeprom_words") && !v["eeprom_words"].is_null()) {
        const Json& w = v["eeprom_words"];
        if (!w.is_array() || w.size() != 16) c.Error(path + ".eeprom_words", "expected 16 numbers");
        else
            for (size_t i = 0; i < 16; ++i)
                if (auto x = c.Unsigned(path + ".eeprom_words[" + std::to_string(i) + "]", w[i], 0xFFFF))
                    a.eeprom[i] = static_cast<uint16_t>(*x);
    }
    if (v.contains("usb")) {
        const std::string up = path + ".usb";
        const Json& u = v["usb"];
        if (c.Object(up, u)) {
            c.Keys(up, u, {"endpoints", "config_padding"});
            if (u.contains("endpoints")) {
                const Json& e = u["endpoints"];
                if (!e.is_array()) c.Error(up + ".endpoints", "expected a list of endpoint types");
                else {
                    a.endpoints.clear();
                    uint8_t in = 1, out = 2, other = 3;
                    for (size_t i = 0; i < e.size(); ++i) {
                        const std::string ep = up + ".endpoints[" + std::to_string(i) + "]";
                        auto t = c.String(ep, e[i]);
                        if (!t) continue;
                        if (*t == "bulk-in") a.endpoints.push_back({static_cast<uint8_t>(0x80 | in++), 2});
                        else if (*t == "bulk-out") a.endpoints.push_back({out++, 2});
                        else if (*t == "interrupt") a.endpoints.push_back({static_cast<uint8_t>(0x80 | (other++)), 3});
                        else c.Error(ep, "unknown endpoint type \"" + *t + "\" (bulk-in, bulk-out, interrupt)");
                    }
                }
            }
            if (u.contains("config_padding"))
                if (auto p = c.Unsigned(up + ".config_padding", u["config_padding"], 4096)) a.configPadding = *p;
        }
    }
    if (v.contains("phys")) {
        const Json& p = v["phys"];
        if (!p.is_array()) c.Error(path + ".phys", "expected a list");
        else {
            std::set<uint8_t> seen;
            for (size_t i = 0; i < p.size(); ++i) {
                PhyDesc phy;
                const std::string pp = path + ".phys[" + std::to_string(i) + "]";
                LoadPhy(c, pp, p[i], phy);
                if (!seen.insert(phy.phy.address).second) c.Error(pp + ".address", "two PHYs at one address");
                a.phys.push_back(phy);
            }
        }
    }
    if (v.contains("registry")) {
        const Json& r = v["registry"];
        if (!c.Object(path + ".registry", r)) return;
        for (auto it = r.begin(); it != r.end(); ++it) {
            if (it.key() == "_comment") continue;  // a note, not a keyword
            const std::string rp = path + ".registry." + it.key();
            // Any keyword is passed on, as a registry holds what it is given; one the driver never
            // reads changes nothing, and is most often a misspelt one.
            const auto read = std::find_if(RegistryKeywords().begin(), RegistryKeywords().end(), [&](const std::string& k) {
                return k.size() == it.key().size() &&
                       std::equal(k.begin(), k.end(), it.key().begin(), [](char x, char y) {
                           return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
                       });
            });
            if (read == RegistryKeywords().end())
                c.Warn(rp, "the driver reads no keyword \"" + it.key() + "\"" + DidYouMean(it.key(), RegistryKeywords()) +
                               "; it is set, and nothing reads it");
            if (it.value().is_number_unsigned()) {
                if (it.value().get<uint64_t>() > 0xFFFFFFFFu) c.Error(rp, "does not fit 32 bits");
                else a.registry[it.key()] = static_cast<uint32_t>(it.value().get<uint64_t>());
            } else if (it.value().is_string()) {
                a.registry[it.key()] = it.value().get<std::string>();
            } else {
                c.Error(rp, "expected a non-negative integer or a text");
            }
        }
    }
}

void LoadLink(Checker& c, const std::string& path, const Json& v, LinkDesc& l) {
    if (!c.Object(path, v)) return;
    c.Keys(path, v, {"name", "medium", "up", "advertise", "autoneg", "speed", "duplex", "an_delay_ms",
                     "peer", "between"});
    if (!v.contains("name")) c.Error(path + ".name", "missing");
    else if (auto n = c.String(path + ".name", v["name"])) l.name = *n;
    if (v.contains("medium")) {
        if (auto m = c.String(path + ".medium", v["medium"])) {
            if (*m == "ethernet") l.medium = host::wire::MediumKind::Ethernet;
            else if (*m == "phoneline") l.medium = host::wire::MediumKind::PhoneLine;
            else c.Error(path + ".medium", "unknown medium \"" + *m + "\" (ethernet, phoneline)");
        }
    }
    if (v.contains("up"))
        if (auto b = c.Bool(path + ".up", v["up"])) l.partner.up = *b;
    if (v.contains("advertise"))
        if (auto a = c.Unsigned(path + ".advertise", v["advertise"], 0xFFFF)) l.partner.advertise = static_cast<uint16_t>(*a);
    if (v.contains("autoneg"))
        if (auto b = c.Bool(path + ".autoneg", v["autoneg"])) l.partner.autoneg = *b;
    if (v.contains("speed")) {
        if (auto s = c.Unsigned(path + ".speed", v["speed"], 100)) {
            if (*s != 10 && *s != 100) c.Error(path + ".speed", "speed is 10 or 100");
            l.partner.speedMbps = static_cast<uint32_t>(*s);
        }
    }
    if (v.contains("duplex")) {
        if (auto d = c.String(path + ".duplex", v["duplex"])) {
            if (*d != "half" && *d != "full") c.Error(path + ".duplex", "duplex is \"half\" or \"full\"");
            l.partner.fullDuplex = *d == "full";
        }
    }
    if (v.contains("an_delay_ms"))
        if (auto d = c.Unsigned(path + ".an_delay_ms", v["an_delay_ms"], 600000)) l.partner.anDelayMs = static_cast<uint32_t>(*d);
    if (v.contains("peer") && v.contains("between")) c.Error(path, "a link has a peer or joins two adapters, not both");
    if (v.contains("peer")) {
        const std::string pp = path + ".peer";
        const Json& p = v["peer"];
        if (c.Object(pp, p)) {
            c.Keys(pp, p, {"kind", "mac", "ip"});
            PeerDesc peer;
            if (!p.contains("kind")) c.Error(pp + ".kind", "missing");
            else if (auto k = c.String(pp + ".kind", p["kind"])) {
                if (*k == "responder") peer.kind = host::wire::Peer::Kind::Responder;
                else if (*k == "sink") peer.kind = host::wire::Peer::Kind::Sink;
                else c.Error(pp + ".kind", "unknown peer kind \"" + *k + "\" (responder, sink)");
            }
            peer.mac = {0x02, 0x00, 0x00, 0x00, 0x00, 0xFE};
            if (p.contains("mac"))
                if (auto m = c.Mac(pp + ".mac", p["mac"])) peer.mac = *m;
            if (p.contains("ip"))
                if (auto ip = c.Ip(pp + ".ip", p["ip"])) peer.ip = *ip;
            l.peer = peer;
        }
    }
    if (v.contains("between")) {
        const Json& b = v["between"];
        if (!b.is_array() || b.size() != 2) c.Error(path + ".between", "expected two \"adapter:phy-address\" ends");
        else
            for (size_t i = 0; i < 2; ++i) {
                const std::string bp = path + ".between[" + std::to_string(i) + "]";
                auto s = c.String(bp, b[i]);
                if (!s) continue;
                const auto colon = s->find(':');
                if (colon == std::string::npos || colon == 0) {
                    c.Error(bp, "\"" + *s + "\" is not \"adapter:phy-address\"");
                    continue;
                }
                auto addr = c.Unsigned(bp, Json(s->substr(colon + 1)), 31);
                if (addr) l.between.emplace_back(s->substr(0, colon), static_cast<uint8_t>(*addr));
            }
    }
}

// The keys of each action besides "at" and "do", and of each fault plan besides "fault". These
// tables, like the others a scenario is checked against, are built when first asked for: a
// process that loads no scenario (`--version`, `--help`) does not build and destroy them.
const std::map<std::string, std::vector<std::string>>& ActionKeys() {
    static const std::map<std::string, std::vector<std::string>> table = {
        {"initialize", {"adapter"}},
        {"reset", {"adapter"}},
        {"shutdown", {"adapter"}},
        {"halt", {"adapter"}},
        {"send", {"adapter", "frame", "repeat"}},
        {"traffic", {"adapter", "frames", "size", "interval"}},
        {"receive", {"link", "frame", "status"}},
        {"ping", {"adapter", "ip", "to", "count", "interval"}},
        {"query", {"adapter", "oid", "length"}},
        {"set", {"adapter", "oid", "data"}},
        {"link", {"link", "up", "advertise", "autoneg", "speed", "duplex"}},
        {"fault", {"fault", "adapter", "link", "nth", "count", "kind", "ms"}},
    };
    return table;
}

const std::map<std::string, std::vector<std::string>>& FaultKeys() {
    static const std::map<std::string, std::vector<std::string>> table = {
        {"control-stall", {"adapter", "nth"}},
        {"control-error", {"adapter", "nth"}},
        {"control-silent", {"adapter", "nth", "count"}},
        {"control-late", {"adapter", "nth", "ms"}},
        {"bulk-late", {"adapter", "count", "ms"}},
        {"cancel-late", {"adapter", "count", "ms"}},
        {"bulk-in-error", {"adapter", "count"}},
        {"bulk-out-error", {"adapter", "count"}},
        {"irp-complete-error", {"adapter"}},
        {"alloc-fail", {"adapter", "kind", "nth"}},
        {"device-vanish", {"adapter"}},
        {"eeprom-never-done", {"adapter"}},
        {"mdio-never-done", {"adapter"}},
        {"an-never-completes", {"link"}},
        {"an-never-links", {"link"}},
    };
    return table;
}

std::vector<std::string> NamesOf(const std::map<std::string, std::vector<std::string>>& table) {
    std::vector<std::string> names;
    for (const auto& [name, keys] : table) names.push_back(name);
    return names;
}

std::string Joined(const std::vector<std::string>& words) {
    std::string out;
    for (const auto& w : words) out += (out.empty() ? "" : ", ") + w;
    return out;
}

bool Has(const std::vector<std::string>& words, const std::string& w) {
    return std::find(words.begin(), words.end(), w) != words.end();
}

// Refuses the keys an event of this action (and fault plan) does not take: a key that belongs
// to another action says which, an unknown one gets the closest key the action takes.
void EventKeys(Checker& c, const std::string& path, const Json& v, const std::string& action,
               const std::string& fault) {
    const auto faultKeys = FaultKeys().find(fault);
    const std::vector<std::string>& keys =
        faultKeys != FaultKeys().end() ? faultKeys->second : ActionKeys().at(action);
    std::vector<std::string> allowed = {"at", "do"};
    if (faultKeys != FaultKeys().end()) allowed.push_back("fault");
    allowed.insert(allowed.end(), keys.begin(), keys.end());
    const std::string who = faultKeys != FaultKeys().end() ? "fault \"" + fault + "\"" : "\"" + action + "\"";
    for (auto it = v.begin(); it != v.end(); ++it) {
        const std::string& k = it.key();
        if (k == "_comment" || Has(allowed, k)) continue;
        std::vector<std::string> owners;
        for (const auto& [other, otherKeys] : ActionKeys())
            if (Has(otherKeys, k)) owners.push_back(other);
        if (owners.empty()) {
            c.Error(path + "." + k, "unknown key" + DidYouMean(k, allowed));
        } else if (owners == std::vector<std::string>{"fault"}) {
            std::vector<std::string> plans;
            for (const auto& [plan, planKeys] : FaultKeys())
                if (Has(planKeys, k)) plans.push_back(plan);
            c.Error(path + "." + k, who + " takes no \"" + k + "\" (its keys: " + Joined(keys) + "; \"" + k +
                                        "\" goes with " + Joined(plans) + ")");
        } else {
            c.Error(path + "." + k, who + " takes no \"" + k + "\" (its keys: " + Joined(keys) + "; \"" + k +
                                        "\" goes with " + Joined(owners) + ")");
        }
    }
}

void LoadEvent(Checker& c, const std::string& path, const Json& v, EventDesc& e) {
    if (!c.Object(path, v)) return;
    if (!v.contains("at")) c.Error(path + ".at", "missing");
    else if (auto at = c.Seconds(path + ".at", v["at"])) e.atUs = static_cast<uint64_t>(std::llround(*at * 1e6));
    // Without a known action, only keys no action takes are errors yet.
    auto anyKeys = [] {
        std::vector<std::string> keys = {"at", "do"};
        for (const auto& [name, actionKeys] : ActionKeys())
            for (const auto& k : actionKeys)
                if (!Has(keys, k)) keys.push_back(k);
        return keys;
    };
    if (!v.contains("do")) {
        c.Keys(path, v, anyKeys());
        c.Error(path + ".do", "missing");
        return;
    }
    auto action = c.String(path + ".do", v["do"]);
    if (!action || !ActionKeys().count(*action)) {
        c.Keys(path, v, anyKeys());
        if (action) {
            const std::string hint = DidYouMean(*action, NamesOf(ActionKeys()));
            c.Error(path + ".do", "unknown action \"" + *action + "\"" +
                                      (hint.empty() ? " (one of: " + Joined(NamesOf(ActionKeys())) + ")" : hint));
        }
        return;
    }
    std::string fault;
    if (*action == "fault" && v.contains("fault") && v["fault"].is_string()) fault = v["fault"].get<std::string>();
    EventKeys(c, path, v, *action, fault);
    e.action = *action;
    auto need = [&](const char* key) {
        if (!v.contains(key)) c.Error(path + "." + key, "missing for \"" + e.action + "\"");
        return v.contains(key);
    };
    if (v.contains("adapter"))
        if (auto a = c.String(path + ".adapter", v["adapter"])) e.adapter = *a;
    if (v.contains("link"))
        if (auto l = c.String(path + ".link", v["link"])) e.link = *l;

    const std::string& a = e.action;
    if (a == "initialize" || a == "reset" || a == "shutdown" || a == "halt" || a == "send" ||
        a == "traffic" || a == "ping" || a == "query" || a == "set")
        need("adapter");
    if (a == "receive" || a == "link") need("link");
    // A frame the medium could carry: an Ethernet header at least, and what a length field of
    // 16 bits counts.
    auto frame = [&] {
        auto f = c.Bytes(path + ".frame", v["frame"]);
        const size_t least = a == "receive" ? kMinRuntBytes : kMinFrameBytes;
        if (f && (f->size() < least || f->size() > kMaxFrameBytes)) {
            c.Error(path + ".frame", "a frame of " + std::to_string(f->size()) + " bytes; a" +
                                         (a == "receive" ? " received" : "") + " frame has " +
                                         std::to_string(least) + " to " + std::to_string(kMaxFrameBytes) +
                                         " bytes");
            f.reset();
        }
        if (f) e.frame = *f;
        return f.has_value();
    };
    if (a == "send" && need("frame")) {
        const bool framed = frame();
        if (v.contains("repeat"))
            if (auto r = c.Unsigned(path + ".repeat", v["repeat"], 1000000)) e.repeat = static_cast<uint32_t>(*r);
        if (framed && uint64_t{e.repeat} * e.frame.size() > kMaxBytesAtOnce)
            c.Error(path + ".repeat", std::to_string(e.repeat) + " copies of a " + std::to_string(e.frame.size()) +
                                          "-byte frame, all at one instant, are more than " +
                                          std::to_string(kMaxBytesAtOnce) + " bytes (64 MiB)");
    }
    if (a == "traffic") {
        if (need("frames"))
            if (auto f = c.Unsigned(path + ".frames", v["frames"], 10000000)) e.frames = static_cast<uint32_t>(*f);
        e.size = 1514;
        if (v.contains("size")) {
            if (auto s = c.Unsigned(path + ".size", v["size"], 1514)) {
                if (*s < 60) c.Error(path + ".size", "a generated frame has at least 60 bytes");
                e.size = static_cast<uint32_t>(*s);
            }
        }
        e.intervalUs = 1000;
        if (v.contains("interval"))
            if (auto i = c.Seconds(path + ".interval", v["interval"])) e.intervalUs = static_cast<uint64_t>(std::llround(*i * 1e6));
        if (e.intervalUs == 0 && uint64_t{e.frames} * e.size > kMaxBytesAtOnce)
            c.Error(path + ".frames", std::to_string(e.frames) + " frames of " + std::to_string(e.size) +
                                          " bytes with no interval, all at one instant, are more than " +
                                          std::to_string(kMaxBytesAtOnce) + " bytes (64 MiB)");
        if (static_cast<double>(e.frames) * static_cast<double>(e.intervalUs) > kMaxSeconds * 1e6)
            c.Error(path + ".interval", "the burst would last beyond " +
                                            std::to_string(static_cast<long long>(kMaxSeconds)) +
                                            " seconds, the longest a run lasts");
    }
    if (a == "receive" && need("frame")) {
        frame();
        if (v.contains("status"))
            if (auto s = c.Unsigned(path + ".status", v["status"], 255)) e.status = static_cast<uint8_t>(*s);
    }
    if (a == "ping") {
        if (need("ip"))
            if (auto ip = c.Ip(path + ".ip", v["ip"])) e.ip = *ip;
        if (need("to"))
            if (auto to = c.Ip(path + ".to", v["to"])) e.to = *to;
        e.count = 1;
        if (v.contains("count"))
            if (auto n = c.Unsigned(path + ".count", v["count"], 100000)) e.count = static_cast<uint32_t>(*n);
        e.intervalUs = 1000000;
        if (v.contains("interval"))
            if (auto i = c.Seconds(path + ".interval", v["interval"])) e.intervalUs = static_cast<uint64_t>(std::llround(*i * 1e6));
    }
    if ((a == "query" || a == "set") && need("oid")) {
        const Json& o = v["oid"];
        // A name, or a number (a string of digits is decimal, "0x..." hexadecimal).
        const bool named = o.is_string() && !o.get<std::string>().empty() &&
                           !std::isdigit(static_cast<unsigned char>(o.get<std::string>()[0]));
        if (named) {
            auto oid = OidByName(o.get<std::string>());
            if (!oid) c.Error(path + ".oid", "unknown OID \"" + o.get<std::string>() + "\"" +
                                                 DidYouMean(o.get<std::string>(), OidNames()));
            else e.oid = *oid;
        } else if (auto n = c.Unsigned(path + ".oid", o, 0xFFFFFFFFu)) {
            e.oid = static_cast<uint32_t>(*n);
        }
        if (a == "query" && v.contains("length"))
            if (auto l = c.Unsigned(path + ".length", v["length"], kMaxInformationBytes)) e.length = static_cast<uint32_t>(*l);
        if (a == "set" && need("data"))
            if (auto d = c.Bytes(path + ".data", v["data"])) {
                if (d->size() > kMaxInformationBytes)
                    c.Error(path + ".data", std::to_string(d->size()) + " bytes; a set buffer has at most " +
                                                std::to_string(kMaxInformationBytes));
                e.data = *d;
            }
    }
    if (a == "link") {
        if (v.contains("up"))
            if (auto b = c.Bool(path + ".up", v["up"])) e.up = *b;
        if (v.contains("advertise"))
            if (auto x = c.Unsigned(path + ".advertise", v["advertise"], 0xFFFF)) e.advertise = static_cast<uint16_t>(*x);
        if (v.contains("autoneg"))
            if (auto b = c.Bool(path + ".autoneg", v["autoneg"])) e.autoneg = *b;
        if (v.contains("speed")) {
            auto s = c.Unsigned(path + ".speed", v["speed"], 100);
            if (s && *s != 10 && *s != 100) c.Error(path + ".speed", "speed is 10 or 100");
            if (s) e.speed = static_cast<uint32_t>(*s);
        }
        if (v.contains("duplex")) {
            auto d = c.String(path + ".duplex", v["duplex"]);
            if (d && *d != "half" && *d != "full") c.Error(path + ".duplex", "duplex is \"half\" or \"full\"");
            if (d) e.fullDuplex = *d == "full";
        }
    }
    if (a == "fault" && need("fault")) {
        if (auto f = c.String(path + ".fault", v["fault"])) {
            e.fault = *f;
            const auto plan = FaultKeys().find(*f);
            if (plan == FaultKeys().end()) {
                const std::string hint = DidYouMean(*f, NamesOf(FaultKeys()));
                c.Error(path + ".fault", "unknown fault \"" + *f + "\"" +
                                             (hint.empty() ? " (one of: " + Joined(NamesOf(FaultKeys())) + ")" : hint));
            } else {
                need(Has(plan->second, "link") ? "link" : "adapter");
            }
        }
        if (v.contains("nth"))
            if (auto n = c.Unsigned(path + ".nth", v["nth"], 1u << 30)) e.nth = std::max<uint64_t>(1, *n);
        if (v.contains("count"))
            if (auto n = c.Unsigned(path + ".count", v["count"], 1u << 30)) e.faultCount = *n;
        const bool late = e.fault == "control-late" || e.fault == "bulk-late" || e.fault == "cancel-late";
        if ((late || e.fault == "control-silent") && e.faultCount == 0)
            c.Error(path + ".count", "\"" + e.fault + "\" hits at least one request");
        if (late && need("ms"))
            if (auto ms = c.Unsigned(path + ".ms", v["ms"], 86'400'000)) e.lateMs = *ms;
        if (e.fault == "alloc-fail") {
            e.allocKind = "any";
            if (v.contains("kind"))
                if (auto k = c.String(path + ".kind", v["kind"])) {
                    std::optional<host::sim::AllocKind> kind;
                    if (!host::sim::ParseAllocKind(*k, kind)) c.Error(path + ".kind", "unknown allocation kind \"" + *k + "\"");
                    e.allocKind = *k;
                }
        }
    }
}

}  // namespace

std::vector<std::string> FaultKinds() { return NamesOf(FaultKeys()); }

namespace {

// The keys of the document itself. Paths name them bare ("seed"), any other key "$.key".
const std::vector<std::string>& TopKeys() {
    static const std::vector<std::string> table = {"$schema", "name",     "description", "seed", "duration_s",
                                                   "cpus",    "adapters", "links",       "events"};
    return table;
}

// Watches the parser for a key twice in one object (which a DOM would quietly collapse to one
// value) and for nesting deeper than any scenario has, naming the JSON path of each.
class ParseWatch {
public:
    // Nesting of the deepest scenario (a PHY's values, a fault's count) is 4; the margin leaves
    // room for `_comment` values and later keys, and bounds what the watch keeps.
    static constexpr size_t kMaxDepth = 32;
    struct TooDeep {};

    explicit ParseWatch(std::vector<std::string>& errors) : errors_(errors) {}

    bool operator()(int, Json::parse_event_t event, Json& parsed) {
        using E = Json::parse_event_t;
        switch (event) {
            case E::object_start:
            case E::array_start:
                if (levels_.size() >= kMaxDepth) {
                    errors_.push_back(ChildPath() + ": nested deeper than " + std::to_string(kMaxDepth) +
                                      " levels; no scenario value is");
                    throw TooDeep{};
                }
                levels_.push_back(Level{ChildPath(), event == E::object_start, {}, {}, 0});
                break;
            case E::key: {
                Level& top = levels_.back();
                top.key = parsed.get<std::string>();
                if (!top.keys.insert(top.key).second)
                    errors_.push_back(top.path + ": key \"" + top.key + "\" appears twice; a key appears once in an object");
                break;
            }
            case E::object_end:
            case E::array_end:
                levels_.pop_back();
                NextElement();
                break;
            case E::value:
                NextElement();
                break;
        }
        return true;
    }

private:
    struct Level {
        std::string path;
        bool object;
        std::set<std::string> keys;
        std::string key;  // objects: the key being read
        size_t index;     // arrays: the element being read
    };
    // The path of the value about to start, as the loader names it ("adapters[0].name").
    std::string ChildPath() const {
        if (levels_.empty()) return "$";
        const Level& top = levels_.back();
        if (!top.object) return top.path + "[" + std::to_string(top.index) + "]";
        if (top.path == "$" && std::find(TopKeys().begin(), TopKeys().end(), top.key) != TopKeys().end()) return top.key;
        return top.path + "." + top.key;
    }
    void NextElement() {
        if (!levels_.empty() && !levels_.back().object) ++levels_.back().index;
    }
    std::vector<std::string>& errors_;
    std::vector<Level> levels_;
};

}  // namespace

std::optional<Scenario> LoadScenario(const std::string& text, std::vector<std::string>& errors) {
    Json doc;
    std::vector<std::string> structure;
    ParseWatch watch(structure);
    try {
        doc = Json::parse(text, std::ref(watch));
    } catch (const ParseWatch::TooDeep&) {
        errors.insert(errors.end(), structure.begin(), structure.end());
        return std::nullopt;
    } catch (const Json::exception& e) {
        // Syntax errors, and numbers no double holds (out_of_range), alike.
        errors.push_back(std::string("$: not valid JSON: ") + e.what());
        return std::nullopt;
    }
    Checker c(errors);
    for (const auto& e : structure) errors.push_back(e);
    Scenario s;
    if (!c.Object("$", doc)) return std::nullopt;
    c.Keys("$", doc, TopKeys());
    if (doc.contains("$schema")) c.String("$schema", doc["$schema"]);
    if (doc.contains("name"))
        if (auto n = c.String("name", doc["name"])) s.name = *n;
    if (doc.contains("description"))
        if (auto d = c.String("description", doc["description"])) s.description = *d;
    if (doc.contains("seed"))
        if (auto seed = c.Unsigned("seed", doc["seed"], UINT64_MAX)) s.seed = *seed;
    if (doc.contains("duration_s"))
        if (auto d = c.Seconds("duration_s", doc["duration_s"])) s.durationS = *d;
    if (doc.contains("cpus")) {
        if (auto n = c.Unsigned("cpus", doc["cpus"], kMaxCpus)) {
            if (*n == 0) c.Error("cpus", "at least 1 processor");
            else s.cpus = static_cast<unsigned>(*n);
        }
    }

    std::set<std::string> adapterNames, linkNames;
    // A scenario is about at least one adapter; without one, a run would load the driver and
    // stop, a success that checked nothing.
    if (!doc.contains("adapters") || (doc["adapters"].is_array() && doc["adapters"].empty()))
        c.Error("adapters", std::string(doc.contains("adapters") ? "empty" : "missing") +
                                "; a scenario has at least one adapter (see `nicsim show default`)");
    if (doc.contains("adapters")) {
        if (!doc["adapters"].is_array()) c.Error("adapters", "expected a list");
        else {
            if (doc["adapters"].size() > kMaxAdapters)
                c.Error("adapters", std::to_string(doc["adapters"].size()) + " adapters; a scenario has at most " +
                                        std::to_string(kMaxAdapters) +
                                        " (adapter n is USB device n + 2 on one bus, and device numbers end at 127)");
            for (size_t i = 0; i < doc["adapters"].size(); ++i) {
                AdapterDesc a;
                const std::string p = "adapters[" + std::to_string(i) + "]";
                LoadAdapter(c, p, doc["adapters"][i], a);
                if (!a.name.empty() && !adapterNames.insert(a.name).second)
                    c.Error(p + ".name", "two adapters named \"" + a.name + "\"");
                s.adapters.push_back(std::move(a));
            }
        }
    }
    if (doc.contains("links")) {
        if (!doc["links"].is_array()) c.Error("links", "expected a list");
        else
            for (size_t i = 0; i < doc["links"].size(); ++i) {
                LinkDesc l;
                const std::string p = "links[" + std::to_string(i) + "]";
                LoadLink(c, p, doc["links"][i], l);
                if (!l.name.empty() && !linkNames.insert(l.name).second)
                    c.Error(p + ".name", "two links named \"" + l.name + "\"");
                s.links.push_back(std::move(l));
            }
    }
    // Cross references: PHY links, cable ends, event targets.
    for (size_t i = 0; i < s.adapters.size(); ++i)
        for (size_t k = 0; k < s.adapters[i].phys.size(); ++k) {
            const std::string& l = s.adapters[i].phys[k].link;
            if (!l.empty() && !linkNames.count(l))
                c.Error("adapters[" + std::to_string(i) + "].phys[" + std::to_string(k) + "].link",
                        "no link named \"" + l + "\"");
        }
    for (size_t i = 0; i < s.links.size(); ++i)
        for (size_t k = 0; k < s.links[i].between.size(); ++k) {
            // Named apart rather than bound as a pair: the lambdas below capture them, which
            // clang 14 (the fuzz build) does not allow for structured bindings.
            const std::string& adapter = s.links[i].between[k].first;
            const uint8_t address = s.links[i].between[k].second;
            const std::string p = "links[" + std::to_string(i) + "].between[" + std::to_string(k) + "]";
            auto a = std::find_if(s.adapters.begin(), s.adapters.end(),
                                  [&](const AdapterDesc& d) { return d.name == adapter; });
            if (a == s.adapters.end()) {
                c.Error(p, "no adapter named \"" + adapter + "\"");
                continue;
            }
            auto phy = std::find_if(a->phys.begin(), a->phys.end(),
                                    [&](const PhyDesc& d) { return d.phy.address == address; });
            if (phy == a->phys.end()) c.Error(p, "adapter \"" + adapter + "\" has no PHY at " + std::to_string(address));
            else if (!phy->link.empty() && phy->link != s.links[i].name)
                c.Error(p, "that PHY is already on link \"" + phy->link + "\"");
            else phy->link = s.links[i].name;
        }
    // A link without a scripted peer is a cable: two ends, each a different PHY. (A peer's
    // medium may carry more PHYs, as a hub does.)
    std::map<std::string, std::vector<std::string>> cableEnds;
    for (const LinkDesc& l : s.links) {
        if (l.peer) continue;
        auto& ends = cableEnds[l.name];
        for (const auto& [adapter, address] : l.between) {
            const std::string end = adapter + ":" + std::to_string(address);
            if (std::find(ends.begin(), ends.end(), end) == ends.end()) ends.push_back(end);
        }
    }
    for (size_t i = 0; i < s.links.size(); ++i) {
        const auto& b = s.links[i].between;
        if (b.size() == 2 && b[0] == b[1])
            c.Error("links[" + std::to_string(i) + "].between[1]",
                    "\"" + b[1].first + ":" + std::to_string(b[1].second) +
                        "\" is the other end too; a cable joins two PHYs, not a PHY to itself");
    }
    for (size_t i = 0; i < s.adapters.size(); ++i)
        for (size_t k = 0; k < s.adapters[i].phys.size(); ++k) {
            const PhyDesc& phy = s.adapters[i].phys[k];
            auto ends = cableEnds.find(phy.link);
            if (ends == cableEnds.end()) continue;
            const std::string label = s.adapters[i].name + ":" + std::to_string(phy.phy.address);
            if (std::find(ends->second.begin(), ends->second.end(), label) != ends->second.end()) continue;
            const bool between = std::any_of(s.links.begin(), s.links.end(), [&](const LinkDesc& l) {
                return l.name == phy.link && !l.between.empty();
            });
            if (between || ends->second.size() >= 2) {
                std::string joined;
                for (const auto& e : ends->second) joined += (joined.empty() ? "" : " and ") + e;
                c.Error("adapters[" + std::to_string(i) + "].phys[" + std::to_string(k) + "].link",
                        "link \"" + phy.link + "\" is a cable between " + joined +
                            "; a link without a peer joins at most two PHYs");
                continue;
            }
            ends->second.push_back(label);
        }
    if (doc.contains("events")) {
        if (!doc["events"].is_array()) c.Error("events", "expected a list");
        else if (doc["events"].size() > kMaxEvents)
            c.Error("events", std::to_string(doc["events"].size()) + " events; a scenario has at most " +
                                  std::to_string(kMaxEvents));
        else
            for (size_t i = 0; i < doc["events"].size(); ++i) {
                EventDesc e;
                e.index = i;
                const std::string p = "events[" + std::to_string(i) + "]";
                LoadEvent(c, p, doc["events"][i], e);
                if (!e.adapter.empty() && !adapterNames.count(e.adapter))
                    c.Error(p + ".adapter", "no adapter named \"" + e.adapter + "\"");
                if (!e.link.empty() && !linkNames.count(e.link))
                    c.Error(p + ".link", "no link named \"" + e.link + "\"");
                else if (e.action == "receive" && cableEnds.count(e.link))
                    c.Error(p + ".link", "link \"" + e.link +
                                             "\" has no scripted peer to send the frame; \"receive\" needs a link with a \"peer\"");
                s.events.push_back(std::move(e));
            }
    }
    uint64_t frames = 0;
    for (const EventDesc& e : s.events) {
        if (e.action == "send") frames += e.repeat;
        else if (e.action == "traffic") frames += e.frames;
        else if (e.action == "ping") frames += e.count;
    }
    if (frames > kMaxFramesInAll)
        c.Error("events", "the events send " + std::to_string(frames) +
                              " frames in all (send repeats, traffic frames and ping counts); a scenario sends at most " +
                              std::to_string(kMaxFramesInAll));
    if (s.events.empty())
        c.Warn("events", std::string(doc.contains("events") ? "empty" : "missing") +
                             ": `run` loads the driver and calls none of its handlers (`bridge` initialises "
                             "the adapters itself)");
    if (!c.Ok()) return std::nullopt;
    std::stable_sort(s.events.begin(), s.events.end(),
                     [](const EventDesc& x, const EventDesc& y) { return x.atUs < y.atUs; });
    s.warnings = std::move(c.warnings);
    return s;
}

host::device::DeviceConfig DeviceConfigFor(const AdapterDesc& adapter,
                                           const std::map<std::string, host::wire::Link*>& links) {
    host::device::DeviceConfig config;
    config.eeprom = adapter.eeprom;
    config.endpoints = adapter.endpoints;
    config.configPadding = adapter.configPadding;
    for (const PhyDesc& p : adapter.phys) {
        host::device::PhySpec phySpec;
        phySpec.phy = p.phy;
        phySpec.link = p.link.empty() ? nullptr : links.at(p.link);
        config.phys.push_back(phySpec);
    }
    return config;
}

std::string Sha256Hex(const std::string& text) {
    // libmd's SHA-256: a plain function over a context on the stack, with nothing to set up when
    // the program starts.
    SHA2_CTX ctx;
    SHA256Init(&ctx);
    SHA256Update(&ctx, reinterpret_cast<const uint8_t*>(text.data()), text.size());
    uint8_t digest[SHA256_DIGEST_LENGTH];
    SHA256Final(digest, &ctx);
    static constexpr char kHex[] = "0123456789abcdef";
    std::string hex;
    hex.reserve(2 * sizeof digest);
    for (const uint8_t byte : digest) {
        hex += kHex[byte >> 4];
        hex += kHex[byte & 15];
    }
    return hex;
}

}  // namespace nicsim
