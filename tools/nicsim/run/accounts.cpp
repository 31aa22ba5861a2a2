#include "tools/nicsim/run/accounts.h"

#include <algorithm>
#include <initializer_list>
#include <utility>
#include <vector>

namespace nicsim {

using host::trace::Json;

bool IsKeepAlive(const host::wire::Frame& f) {
    static constexpr uint8_t kKeepAlive[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
    return f.size() >= 12 && std::equal(kKeepAlive, kKeepAlive + 12, f.begin());
}

Json AdapterAccounts(const host::ndis::Adapter& adapter, const host::device::AdapterDevice& device,
                     uint64_t keepalives) {
    const auto& bus = adapter.bus->Stats();
    const auto& sends = adapter.protocol.sends;
    const auto& frames = device.FrameStats();
    // The media's view of this adapter's PHYs, and of what the other sides of their links sent.
    host::wire::SideStats own{};
    uint64_t sentToUs = 0;
    for (size_t i = 0; i < device.Phys().size(); ++i) {
        const host::wire::Link* link = device.Phys()[i]->Link();
        const int side = device.LinkSide(i);
        if (link == nullptr || side < 0) continue;
        const host::wire::SideStats s = link->SideCounts(side);
        own.sent += s.sent;
        own.queueFull += s.queueFull;
        own.inFlight += s.inFlight;
        own.received += s.received;
        own.notReceived += s.notReceived;
        for (size_t other = 0; other < link->Sides(); ++other)
            if (static_cast<int>(other) != side) sentToUs += link->SideCounts(static_cast<int>(other)).sent;
    }
    return Json{{"sends_queued", sends.queued},
                {"sends_offered", sends.offered},
                {"sends_completed", sends.completed},
                {"sends_failed", sends.completedFailed},
                {"sends_refused", sends.failures},
                {"resources_answers", sends.resourcesAnswers},
                {"sends_pending", adapter.protocol.Outstanding()},
                {"sends_dropped", sends.dropped},
                {"sends_waiting", adapter.protocol.queue.size()},
                {"bulk_out_to_device", bus.bulkOutToDevice},
                {"frames_on_wire", frames.txFrames},
                {"tx_dropped_no_link", frames.txNoLink},
                {"tx_dropped_mac_off", frames.txMacOff},
                {"tx_malformed", frames.txBadPrefix},
                {"tx_crossed", own.sent},
                {"tx_medium_busy", own.queueFull},
                {"tx_in_flight", own.inFlight},
                {"keepalives", keepalives},
                {"rx_sent_by_partner", sentToUs},
                {"rx_not_received", own.notReceived},
                {"rx_from_wire", frames.rxFrames},
                {"rx_filtered", frames.rxFiltered},
                {"rx_mac_off", frames.rxMacOff},
                {"rx_overflow", frames.rxOverflow},
                {"rx_queued", device.ReceiveQueued()},
                {"rx_delivered", frames.rxDelivered},
                {"frames_indicated", adapter.protocol.receivedCount},
                {"status_indications", adapter.protocol.statuses.size()},
                {"control_transfers", bus.control},
                {"bulk_out", bus.bulkOut},
                {"bulk_in", bus.bulkIn},
                {"usb_cancelled", bus.cancelled},
                {"faults_injected", bus.faultsInjected}};
}

namespace {

struct Term {
    const char* name;
    const char* field;
};

// One account: the whole, counted in one place, and the parts it must equal.
struct Account {
    const char* label;
    const char* whole;
    std::vector<Term> terms;
};

// In the order the summary prints them.
const std::vector<Account>& Accounts() {
    static const std::vector<Account> accounts = {
        {"sends", "sends_queued",
         {{"completed", "sends_completed"},
          {"failed", "sends_failed"},
          {"refused", "sends_refused"},
          {"pending", "sends_pending"},
          {"given up", "sends_dropped"},
          {"waiting", "sends_waiting"}}},
        {"handed to the device", "bulk_out_to_device",
         {{"to a medium", "frames_on_wire"},
          {"no link", "tx_dropped_no_link"},
          {"MAC off", "tx_dropped_mac_off"},
          {"malformed", "tx_malformed"}}},
        {"to a medium", "frames_on_wire",
         {{"crossed", "tx_crossed"}, {"medium busy", "tx_medium_busy"}, {"in flight", "tx_in_flight"}}},
        {"sent to it", "rx_sent_by_partner",
         {{"taken off the medium", "rx_from_wire"}, {"not received (no link)", "rx_not_received"}}},
        {"taken off the medium", "rx_from_wire",
         {{"to the host", "rx_delivered"},
          {"filtered", "rx_filtered"},
          {"MAC off", "rx_mac_off"},
          {"overflow", "rx_overflow"},
          {"queued", "rx_queued"}}},
    };
    return accounts;
}

uint64_t Field(const Json& c, const char* field) { return c.value(field, uint64_t{0}); }

bool Balances(const Json& c, const Account& a) {
    uint64_t sum = 0;
    for (const Term& t : a.terms) sum += Field(c, t.field);
    return sum == Field(c, a.whole);
}

// "label W = a A + b B ...", flagged when the sides differ.
std::string Equation(const Json& c, const Account& a) {
    std::string line = std::string(a.label) + " " + std::to_string(Field(c, a.whole)) + " =";
    uint64_t sum = 0;
    bool first = true;
    for (const Term& t : a.terms) {
        line += std::string(first ? " " : " + ") + t.name + " " + std::to_string(Field(c, t.field));
        sum += Field(c, t.field);
        first = false;
    }
    if (sum != Field(c, a.whole)) line += "  (does not balance: " + std::to_string(sum) + ")";
    return line;
}

}  // namespace

std::string AccountLines(const std::string& name, const Json& c) {
    const auto& a = Accounts();
    const std::string indent(name.size() + 4, ' ');
    std::string out = "  " + name + ": " + Equation(c, a[0]) + "; offered " +
                      std::to_string(c.value("sends_offered", uint64_t{0})) + " times (" +
                      std::to_string(c.value("resources_answers", uint64_t{0})) +
                      " answered resources and were offered again)\n";
    out += indent + Equation(c, a[1]) + "\n";
    out += indent + Equation(c, a[2]) + " (keep-alive " + std::to_string(c.value("keepalives", uint64_t{0})) +
           " of those crossed)\n";
    out += indent + Equation(c, a[3]) + "\n";
    out += indent + Equation(c, a[4]) + "; indicated " +
           std::to_string(c.value("frames_indicated", uint64_t{0})) + "\n";
    return out;
}

size_t AccountCount() { return Accounts().size(); }

std::vector<std::string> UnbalancedAccounts(const Json& counters) {
    std::vector<std::string> out;
    for (const Account& a : Accounts())
        if (!Balances(counters, a)) out.push_back(Equation(counters, a));
    return out;
}

}  // namespace nicsim
