#include "host/device/adapter_device.h"

#include <algorithm>
#include <cstring>

#include "host/wire/fcs.h"

namespace host::device {

namespace {

// Register map.
constexpr uint8_t kEepromAddress = 0x20;
constexpr uint8_t kEepromCommand = 0x23;
constexpr uint8_t kEepromRead = 0x02;
constexpr uint8_t kEepromDone = 0x04;
constexpr uint8_t kPhyAddress = 0x25;
constexpr uint8_t kPhyDataLow = 0x26;
constexpr uint8_t kPhyDataHigh = 0x27;
constexpr uint8_t kPhyCommand = 0x28;
constexpr uint8_t kPhyDone = 0x80;
constexpr uint8_t kPhyRead = 0x40;
constexpr uint8_t kPhyWrite = 0x20;
constexpr uint8_t kMacEnable = 0x01;        // register 0
constexpr uint8_t kAllMulticast = 0x02;     // register 0
constexpr uint8_t kPromiscuous = 0x04;      // register 2
constexpr uint8_t kMulticastHash = 0x08;
constexpr uint8_t kNodeAddress = 0x10;

}  // namespace

uint32_t EthernetCrc32(const uint8_t* data, size_t length) {
    return wire::FrameCheckSequence(data, length);
}

unsigned MulticastHashBit(const uint8_t address[6]) { return EthernetCrc32(address, 6) >> 26; }

std::array<uint16_t, 16> EepromFromAddress(const uint8_t address[6]) {
    std::array<uint16_t, 16> words{};
    for (int i = 0; i < 3; ++i)
        words[i] = static_cast<uint16_t>(address[2 * i] | (address[2 * i + 1] << 8));
    return words;
}

std::vector<uint8_t> BuildConfigurationSet(const std::vector<EndpointSpec>& endpoints,
                                           size_t padding) {
    std::vector<uint8_t> set = {9, 2, 0, 0, 1, 1, 0, 0xA0, 50};
    const std::vector<uint8_t> iface = {9, 4, 0, 0, static_cast<uint8_t>(endpoints.size()),
                                        0xFF, 0, 0, 0};
    set.insert(set.end(), iface.begin(), iface.end());
    for (const EndpointSpec& e : endpoints) {
        const bool interrupt = (e.attributes & 3) == 3;
        const uint16_t mps = interrupt ? 8 : 64;
        const std::vector<uint8_t> ep = {7, 5, e.address, e.attributes,
                                         static_cast<uint8_t>(mps & 0xFF),
                                         static_cast<uint8_t>(mps >> 8),
                                         static_cast<uint8_t>(interrupt ? 1 : 0)};
        set.insert(set.end(), ep.begin(), ep.end());
    }
    // Vendor-specific descriptors (type 0xFF) of at most 255 bytes each; a lone last byte is
    // left bare, as a truncated descriptor would be.
    while (padding >= 2) {
        size_t n = std::min<size_t>(padding, 255);
        if (padding - n == 1) --n;
        set.push_back(static_cast<uint8_t>(n));
        set.push_back(0xFF);
        set.insert(set.end(), n - 2, 0);
        padding -= n;
    }
    if (padding == 1) set.push_back(0);
    set[2] = static_cast<uint8_t>(set.size() & 0xFF);
    set[3] = static_cast<uint8_t>(set.size() >> 8);
    return set;
}

AdapterDevice::AdapterDevice(sim::Scheduler& scheduler, trace::Trace& trace,
                             std::string adapterName, DeviceConfig config)
    : scheduler_(scheduler),
      trace_(trace),
      adapterName_(std::move(adapterName)),
      config_(std::move(config)) {
    deviceDescriptor_ = {18, 1, 0x10, 0x01, 0xFF, 0x00, 0x00, 8, 0x6B, 0x1F,
                         0x01, 0x80, 0x01, 0x01, 0, 0, 0, 1};
    configuration_ = BuildConfigurationSet(config_.endpoints, config_.configPadding);
    for (const PhySpec& phySpec : config_.phys) {
        phys_.push_back(std::make_unique<PhyModel>(scheduler_, phySpec.phy, phySpec.link));
        PhyModel* phy = phys_.back().get();
        int side = -1;
        if (phySpec.link != nullptr) {
            side = phySpec.link->AddSide(wire::Link::Side{
                adapterName_ + ":" + std::to_string(phySpec.phy.address),
                [this](const wire::Frame& f) { ReceiveFrame(f); },
                [phy] { return phy->OnMedium() && phy->HasLink(); },
                [this](wire::Frame& f) { ReceiveFrame(f, &f); }});
        }
        phySides_.push_back(side);
    }
}

AdapterDevice::~AdapterDevice() {
    scheduler_.Cancel(eepromPending_);
    scheduler_.Cancel(phyPending_);
    for (size_t i = 0; i < phys_.size(); ++i)
        if (phySides_[i] >= 0) phys_[i]->Link()->RemoveSide(phySides_[i]);
}

PhyModel* AdapterDevice::Phy(uint8_t address) const {
    for (const auto& p : phys_)
        if (p->Config().address == (address & 0x1F)) return p.get();
    return nullptr;
}

void AdapterDevice::KeepWrites(size_t entries) {
    historyCapacity_ = entries == 0 ? 1 : entries;
    while (history_.size() > historyCapacity_) {
        history_.pop_front();
        ++historyDropped_;
    }
}

std::vector<uint8_t> AdapterDevice::WritesTo(uint8_t reg) const {
    std::vector<uint8_t> out;
    for (const RegisterWrite& w : history_)
        if (w.reg == reg) out.push_back(w.value);
    return out;
}

usb::ControlOutcome AdapterDevice::Control(const usb::Setup& s, uint8_t* data) {
    auto give = [&](const std::vector<uint8_t>& bytes) {
        const size_t n = std::min<size_t>(bytes.size(), s.wLength);
        if (n) std::memcpy(data, bytes.data(), n);
        return usb::ControlOutcome{usb::Result::Ok, n};
    };
    switch (s.bmRequestType) {
        case 0x80:
            if (s.bRequest == 6 && (s.wValue >> 8) == 1) return give(deviceDescriptor_);
            if (s.bRequest == 6 && (s.wValue >> 8) == 2 && (s.wValue & 0xFF) == 0)
                return give(configuration_);
            if (s.bRequest == 0) return give({static_cast<uint8_t>(remoteWakeup_ ? 0x02 : 0x00), 0});
            break;
        case 0x00:
            if (s.bRequest == 9 && s.wLength == 0) {
                configurationValue_ = static_cast<uint8_t>(s.wValue);
                return {usb::Result::Ok, 0};
            }
            // SET_FEATURE to the device: only remote wake-up (1) exists; selector 0 is no feature.
            if (s.bRequest == 3 && s.wLength == 0 && s.wValue == 1) {
                remoteWakeup_ = 1;
                return {usb::Result::Ok, 0};
            }
            break;
        case 0xC0:
            if (s.bRequest == 0xF0 && s.wIndex + s.wLength <= registers_.size()) {
                std::memcpy(data, &registers_[s.wIndex], s.wLength);
                return {usb::Result::Ok, s.wLength};
            }
            break;
        case 0x40:
            if (s.bRequest == 0xF1 && s.wIndex + s.wLength <= registers_.size() && s.wLength > 0) {
                for (size_t i = 0; i < s.wLength; ++i)
                    WriteRegister(static_cast<uint8_t>(s.wIndex + i), data[i]);
                const size_t first = s.wIndex, last = s.wIndex + s.wLength - 1;
                if (first <= kEepromCommand && kEepromCommand <= last) StartEepromCommand();
                if (first <= kPhyCommand && kPhyCommand <= last) StartPhyCommand();
                return {usb::Result::Ok, s.wLength};
            }
            break;
        default:
            break;
    }
    return {usb::Result::Stall, 0};
}

void AdapterDevice::WriteRegister(uint8_t reg, uint8_t value) {
    registers_[reg] = value;
    if (history_.size() >= historyCapacity_) {
        history_.pop_front();
        ++historyDropped_;
    }
    history_.push_back(RegisterWrite{scheduler_.Now(), reg, value});
}

void AdapterDevice::StartEepromCommand() {
    if ((registers_[kEepromCommand] & kEepromRead) == 0) return;
    registers_[kEepromCommand] &= static_cast<uint8_t>(~kEepromDone);
    scheduler_.Cancel(eepromPending_);
    eepromPending_ = scheduler_.After(kEepromReadUs, [this] {
        eepromPending_ = 0;
        const uint8_t address = registers_[kEepromAddress];
        const uint16_t word = address < config_.eeprom.size() ? config_.eeprom[address] : 0xFFFF;
        registers_[kEepromAddress + 1] = static_cast<uint8_t>(word & 0xFF);
        registers_[kEepromAddress + 2] = static_cast<uint8_t>(word >> 8);
        if (!faults_.eepromNeverDone) registers_[kEepromCommand] = kEepromDone;
    });
}

void AdapterDevice::StartPhyCommand() {
    const uint8_t command = registers_[kPhyCommand];
    if ((command & (kPhyRead | kPhyWrite)) == 0) return;
    registers_[kPhyCommand] = static_cast<uint8_t>(command & ~kPhyDone);
    phyQueue_.push_back(PhyCommand{registers_[kPhyAddress], registers_[kPhyDataLow],
                                   registers_[kPhyDataHigh], command});
    if (phyPending_ == 0) {
        phyPending_ = scheduler_.After(kPhyCommandUs, [this] { RunPhyCommand(); });
    }
}

void AdapterDevice::RunPhyCommand() {
    phyPending_ = 0;
    const PhyCommand job = phyQueue_.front();
    phyQueue_.erase(phyQueue_.begin());
    const uint8_t address = job.address & 0x1F;
    const uint8_t reg = job.command & 0x1F;
    PhyModel* phy = Phy(address);
    const bool read = (job.command & kPhyRead) != 0;
    uint16_t value;
    if (read) {
        value = phy ? phy->Read(reg) : 0xFFFF;
        registers_[kPhyDataLow] = static_cast<uint8_t>(value & 0xFF);
        registers_[kPhyDataHigh] = static_cast<uint8_t>(value >> 8);
        if (onPhyRead) onPhyRead(address, reg);
    } else {
        value = static_cast<uint16_t>(job.dataLow | (job.dataHigh << 8));
        if (phy) phy->Write(reg, value);
    }
    if (!phyQueue_.empty()) {
        phyPending_ = scheduler_.After(kPhyCommandUs, [this] { RunPhyCommand(); });
    } else if (!faults_.phyNeverDone) {
        registers_[kPhyCommand] |= kPhyDone;
    }
    if (trace_.Enabled("mdio")) {
        trace_.Emit("mdio", adapterName_,
                    trace::Json{{"op", read ? "read" : "write"},
                                {"phy", address},
                                {"reg", reg},
                                {"value", value}});
    }
}

usb::Result AdapterDevice::BulkOut(uint8_t endpoint, const uint8_t* data, size_t length) {
    (void)endpoint;
    // A 2-byte little-endian length, then the frame.
    if (length < 2) {
        ++frames_.txBadPrefix;
        return usb::Result::Ok;
    }
    size_t frameLength = data[0] | (data[1] << 8);
    if (frameLength > length - 2) {
        // Never read past what the transfer carried.
        ++frames_.txTruncated;
        frameLength = length - 2;
    }
    if ((registers_[0x00] & kMacEnable) == 0) {
        ++frames_.txMacOff;
        return usb::Result::Ok;
    }
    // The frame leaves through the first PHY that is on its medium with link.
    for (size_t i = 0; i < phys_.size(); ++i) {
        PhyModel& phy = *phys_[i];
        if (phySides_[i] < 0 || !phy.OnMedium() || !phy.HasLink()) continue;
        ++frames_.txFrames;
        phy.Link()->Send(phySides_[i], data + 2, frameLength, phy.SpeedMbps());
        return usb::Result::Ok;
    }
    ++frames_.txNoLink;
    return usb::Result::Ok;
}

bool AdapterDevice::Accepts(const wire::Frame& f) const {
    if (f.size() < 6) return false;
    if (registers_[0x02] & kPromiscuous) return true;
    const bool group = (f[0] & 0x01) != 0;
    if (!group) {
        for (int i = 0; i < 6; ++i)
            if (f[i] != registers_[kNodeAddress + i]) return false;
        return true;
    }
    bool broadcast = true;
    for (int i = 0; i < 6; ++i) broadcast = broadcast && f[i] == 0xFF;
    if (broadcast) return true;
    if (registers_[0x00] & kAllMulticast) return true;
    const unsigned bit = MulticastHashBit(f.data());
    return (registers_[kMulticastHash + bit / 8] >> (bit % 8)) & 1u;
}

void AdapterDevice::ReceiveFrame(const wire::Frame& f, wire::Frame* own) {
    ++frames_.rxFrames;
    uint8_t status = 0;
    if (!plannedStatus_.empty()) {
        status = plannedStatus_.front();
        plannedStatus_.pop_front();
    }
    if ((registers_[0x00] & kMacEnable) == 0) {
        ++frames_.rxMacOff;
        return;
    }
    if (!Accepts(f)) {
        ++frames_.rxFiltered;
        return;
    }
    if (receiveQueue_.size() >= kReceiveQueueFrames) {
        ++frames_.rxOverflow;
        return;
    }
    // The frame, its check sequence, then a 4-byte trailer: length (little-endian), status, 0.
    // Transfers delivered give their buffers back (BulkIn), so a steady stream allocates none.
    std::vector<uint8_t> transfer;
    if (!spareTransfers_.empty()) {
        transfer = std::move(spareTransfers_.back());
        spareTransfers_.pop_back();
    }
    const size_t size = f.size();
    if (own != nullptr) {
        transfer.swap(*own);  // `f` is the spare from here on
        transfer.resize(size + 8);
    } else {
        transfer.resize(size + 8);
        std::memcpy(transfer.data(), f.data(), size);
    }
    uint8_t* t = transfer.data();
    const uint32_t fcs = EthernetCrc32(t, size);
    t += size;
    for (int i = 0; i < 4; ++i) t[i] = static_cast<uint8_t>(fcs >> (8 * i));
    t[4] = static_cast<uint8_t>(size & 0xFF);
    t[5] = static_cast<uint8_t>(size >> 8);
    t[6] = status;
    t[7] = 0;
    receiveQueue_.push_back(std::move(transfer));
    NotifyDataReady();
}

bool AdapterDevice::BulkInReady(uint8_t endpoint) const {
    (void)endpoint;
    return !receiveQueue_.empty();
}

size_t AdapterDevice::BulkInLength(uint8_t endpoint) const {
    (void)endpoint;
    return receiveQueue_.empty() ? 0 : receiveQueue_.front().size();
}

size_t AdapterDevice::BulkIn(uint8_t endpoint, uint8_t* buffer, size_t capacity) {
    (void)endpoint;
    if (receiveQueue_.empty()) return 0;
    std::vector<uint8_t> t = std::move(receiveQueue_.front());
    receiveQueue_.pop_front();
    ++frames_.rxDelivered;
    const size_t n = std::min(capacity, t.size());
    std::memcpy(buffer, t.data(), n);
    spareTransfers_.push_back(std::move(t));
    return n;
}

}  // namespace host::device
