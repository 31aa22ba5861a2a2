#include "host/wire/frames.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>

namespace host::wire {

namespace {

void Put16(std::vector<uint8_t>& v, uint16_t x) {
    v.push_back(static_cast<uint8_t>(x >> 8));
    v.push_back(static_cast<uint8_t>(x & 0xFF));
}
uint16_t Get16(std::span<const uint8_t> v, size_t at) {
    return static_cast<uint16_t>((v[at] << 8) | v[at + 1]);
}
uint32_t Get32(std::span<const uint8_t> v, size_t at) {
    return (static_cast<uint32_t>(v[at]) << 24) | (v[at + 1] << 16) | (v[at + 2] << 8) | v[at + 3];
}
template <size_t N>
void PutBytes(std::vector<uint8_t>& v, const std::array<uint8_t, N>& a) {
    v.insert(v.end(), a.begin(), a.end());
}
template <size_t N>
std::array<uint8_t, N> GetBytes(std::span<const uint8_t> v, size_t at) {
    std::array<uint8_t, N> a{};
    for (size_t i = 0; i < N; ++i) a[i] = v[at + i];
    return a;
}
uint8_t PatternByte(uint32_t stream, uint32_t sequence, size_t i) {
    return static_cast<uint8_t>((stream * 131u + sequence * 31u + i * 7u + (i >> 8)) & 0xFF);
}

}  // namespace

bool ParseMac(const std::string& text, Mac& mac) {
    unsigned v[6];
    char sep1 = 0;
    if (text.size() != 17) return false;
    sep1 = text[2];
    if (sep1 != ':' && sep1 != '-') return false;
    for (int i = 0; i < 6; ++i) {
        if (i > 0 && text[3 * i - 1] != sep1) return false;
        if (!std::isxdigit(static_cast<unsigned char>(text[3 * i])) ||
            !std::isxdigit(static_cast<unsigned char>(text[3 * i + 1])))
            return false;
        v[i] = static_cast<unsigned>(std::stoul(text.substr(3 * i, 2), nullptr, 16));
        mac[i] = static_cast<uint8_t>(v[i]);
    }
    return true;
}

bool ParseIp(const std::string& text, Ip4& ip) {
    unsigned a, b, c, d;
    char tail;
    if (std::sscanf(text.c_str(), "%u.%u.%u.%u%c", &a, &b, &c, &d, &tail) != 4) return false;
    if (a > 255 || b > 255 || c > 255 || d > 255) return false;
    ip = {static_cast<uint8_t>(a), static_cast<uint8_t>(b), static_cast<uint8_t>(c),
          static_cast<uint8_t>(d)};
    return true;
}

std::string MacText(const Mac& m) {
    char buf[18];
    std::snprintf(buf, sizeof buf, "%02x:%02x:%02x:%02x:%02x:%02x", m[0], m[1], m[2], m[3], m[4],
                  m[5]);
    return buf;
}

std::string IpText(const Ip4& ip) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%u.%u.%u.%u", ip[0], ip[1], ip[2], ip[3]);
    return buf;
}

uint16_t InternetChecksum(const uint8_t* data, size_t length) {
    uint32_t sum = 0;
    for (size_t i = 0; i + 1 < length; i += 2) sum += (data[i] << 8) | data[i + 1];
    if (length & 1) sum += data[length - 1] << 8;
    while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
    return static_cast<uint16_t>(~sum);
}

std::vector<uint8_t> EthernetFrame(const Mac& dst, const Mac& src, uint16_t type,
                                   const std::vector<uint8_t>& payload) {
    std::vector<uint8_t> f;
    f.reserve(14 + payload.size());
    PutBytes(f, dst);
    PutBytes(f, src);
    Put16(f, type);
    f.insert(f.end(), payload.begin(), payload.end());
    return f;
}

static std::vector<uint8_t> Arp(uint16_t op, const Mac& sMac, const Ip4& sIp, const Mac& tMac,
                                const Ip4& tIp) {
    std::vector<uint8_t> p;
    Put16(p, 1);       // Ethernet
    Put16(p, 0x0800);  // IPv4
    p.push_back(6);
    p.push_back(4);
    Put16(p, op);
    PutBytes(p, sMac);
    PutBytes(p, sIp);
    PutBytes(p, tMac);
    PutBytes(p, tIp);
    return EthernetFrame(op == 1 ? kBroadcast : tMac, sMac, kEtherTypeArp, p);
}

std::vector<uint8_t> ArpRequest(const Mac& senderMac, const Ip4& senderIp, const Ip4& targetIp) {
    return Arp(1, senderMac, senderIp, Mac{}, targetIp);
}

std::vector<uint8_t> ArpReply(const Mac& senderMac, const Ip4& senderIp, const Mac& targetMac,
                              const Ip4& targetIp) {
    return Arp(2, senderMac, senderIp, targetMac, targetIp);
}

std::vector<uint8_t> IcmpEcho(const Mac& dst, const Mac& src, const Ip4& from, const Ip4& to,
                              bool request, uint16_t id, uint16_t sequence,
                              const std::vector<uint8_t>& data) {
    std::vector<uint8_t> icmp;
    icmp.push_back(request ? 8 : 0);
    icmp.push_back(0);
    Put16(icmp, 0);
    Put16(icmp, id);
    Put16(icmp, sequence);
    icmp.insert(icmp.end(), data.begin(), data.end());
    const uint16_t icmpSum = InternetChecksum(icmp.data(), icmp.size());
    icmp[2] = static_cast<uint8_t>(icmpSum >> 8);
    icmp[3] = static_cast<uint8_t>(icmpSum & 0xFF);

    std::vector<uint8_t> ip;
    ip.push_back(0x45);
    ip.push_back(0);
    Put16(ip, static_cast<uint16_t>(20 + icmp.size()));
    Put16(ip, sequence);  // identification
    Put16(ip, 0);
    ip.push_back(64);  // TTL
    ip.push_back(1);   // ICMP
    Put16(ip, 0);
    PutBytes(ip, from);
    PutBytes(ip, to);
    const uint16_t ipSum = InternetChecksum(ip.data(), 20);
    ip[10] = static_cast<uint8_t>(ipSum >> 8);
    ip[11] = static_cast<uint8_t>(ipSum & 0xFF);
    ip.insert(ip.end(), icmp.begin(), icmp.end());
    return EthernetFrame(dst, src, kEtherTypeIpv4, ip);
}

std::optional<ParsedArp> ParseArp(std::span<const uint8_t> f) {
    if (f.size() < 42 || Get16(f, 12) != kEtherTypeArp) return std::nullopt;
    if (Get16(f, 14) != 1 || Get16(f, 16) != 0x0800 || f[18] != 6 || f[19] != 4)
        return std::nullopt;
    ParsedArp a;
    a.operation = Get16(f, 20);
    a.senderMac = GetBytes<6>(f, 22);
    a.senderIp = GetBytes<4>(f, 28);
    a.targetMac = GetBytes<6>(f, 32);
    a.targetIp = GetBytes<4>(f, 38);
    return a;
}

std::optional<ParsedEcho> ParseEcho(std::span<const uint8_t> f) {
    if (f.size() < 14 + 20 + 8 || Get16(f, 12) != kEtherTypeIpv4) return std::nullopt;
    const size_t ip = 14;
    if ((f[ip] >> 4) != 4) return std::nullopt;
    const size_t ihl = (f[ip] & 0x0F) * 4u;
    const size_t total = Get16(f, ip + 2);
    if (ihl < 20 || total < ihl + 8 || ip + total > f.size() || f[ip + 9] != 1) return std::nullopt;
    if (InternetChecksum(&f[ip], ihl) != 0) return std::nullopt;
    const size_t icmp = ip + ihl;
    if (InternetChecksum(&f[icmp], total - ihl) != 0) return std::nullopt;
    if (f[icmp] != 8 && f[icmp] != 0) return std::nullopt;
    ParsedEcho e;
    e.request = f[icmp] == 8;
    e.srcMac = GetBytes<6>(f, 6);
    e.from = GetBytes<4>(f, ip + 12);
    e.to = GetBytes<4>(f, ip + 16);
    e.id = Get16(f, icmp + 4);
    e.sequence = Get16(f, icmp + 6);
    e.data.assign(f.begin() + static_cast<long>(icmp + 8), f.begin() + static_cast<long>(ip + total));
    return e;
}

// Test-frame payload byte i (counted from the end of the Ethernet header) is
// stream*131 + sequence*31 + 7*i + (i >> 8), modulo 256. Within one 256-byte block of i the
// bytes step by 7, and 7 is odd, so every run of them is a run of the sequence 0, 7, 14, ...
// (mod 256) started at the right place: one table of that sequence, twice over so that no run
// wraps, lets a block be written with memcpy and checked with memcmp. The start is found with
// 7's inverse modulo 256 (183, since 7 * 183 = 1281 = 5 * 256 + 1).
namespace {

struct SevenSteps {
    uint8_t bytes[512];
    constexpr SevenSteps() : bytes{} {
        for (unsigned k = 0; k < 512; ++k) bytes[k] = static_cast<uint8_t>(k * 7u);
    }
};
constexpr SevenSteps kSevenSteps;

// Where payload byte `i` of (stream, sequence) starts in kSevenSteps; the bytes from there to the
// end of i's 256-byte block follow it in the table.
const uint8_t* PatternRun(uint32_t stream, uint32_t sequence, size_t i) {
    const unsigned first = PatternByte(stream, sequence, i);
    return &kSevenSteps.bytes[(first * 183u) & 0xFF];
}

void Store32(uint8_t* at, uint32_t x) {
    at[0] = static_cast<uint8_t>(x >> 24);
    at[1] = static_cast<uint8_t>(x >> 16);
    at[2] = static_cast<uint8_t>(x >> 8);
    at[3] = static_cast<uint8_t>(x);
}

}  // namespace

std::vector<uint8_t> TestFrame(const Mac& dst, const Mac& src, uint32_t stream, uint32_t sequence,
                               size_t size) {
    std::vector<uint8_t> f;
    WriteTestFrame(f, dst, src, stream, sequence, size);
    return f;
}

void WriteTestFrame(std::vector<uint8_t>& f, const Mac& dst, const Mac& src, uint32_t stream,
                    uint32_t sequence, size_t size) {
    if (size < 14 + 12) size = 14 + 12;
    f.resize(size);
    uint8_t* out = f.data();
    std::memcpy(out, dst.data(), 6);
    std::memcpy(out + 6, src.data(), 6);
    out[12] = static_cast<uint8_t>(kEtherTypeTest >> 8);
    out[13] = static_cast<uint8_t>(kEtherTypeTest & 0xFF);
    uint8_t* payload = out + 14;
    Store32(payload, stream);
    Store32(payload + 4, sequence);
    Store32(payload + 8, static_cast<uint32_t>(size));
    for (size_t i = 12, n = size - 14; i < n;) {
        const size_t run = std::min(n, (i | 0xFF) + 1) - i;
        std::memcpy(payload + i, PatternRun(stream, sequence, i), run);
        i += run;
    }
}

std::optional<TestFrameInfo> CheckTestFrame(std::span<const uint8_t> f) {
    if (f.size() < 26 || Get16(f, 12) != kEtherTypeTest) return std::nullopt;
    const uint32_t stream = Get32(f, 14), sequence = Get32(f, 18), size = Get32(f, 22);
    if (size != f.size()) return std::nullopt;
    const uint8_t* payload = f.data() + 14;
    for (size_t i = 12, n = f.size() - 14; i < n;) {
        const size_t run = std::min(n, (i | 0xFF) + 1) - i;
        if (std::memcmp(payload + i, PatternRun(stream, sequence, i), run) != 0) return std::nullopt;
        i += run;
    }
    return TestFrameInfo{stream, sequence};
}

}  // namespace host::wire
