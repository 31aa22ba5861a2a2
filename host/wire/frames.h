// Ethernet, ARP, IPv4 and ICMP framing for scripted peers and the protocol side, and the
// checkable payload of generated traffic.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <span>
#include <vector>

namespace host::wire {

using Mac = std::array<uint8_t, 6>;
using Ip4 = std::array<uint8_t, 4>;

inline constexpr Mac kBroadcast{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
inline constexpr uint16_t kEtherTypeIpv4 = 0x0800;
inline constexpr uint16_t kEtherTypeArp = 0x0806;
// Generated test traffic: a local experimental EtherType.
inline constexpr uint16_t kEtherTypeTest = 0x88B5;

// "00:11:22:33:44:55" or with dashes; false on anything else.
bool ParseMac(const std::string& text, Mac& mac);
bool ParseIp(const std::string& text, Ip4& ip);
std::string MacText(const Mac& mac);
std::string IpText(const Ip4& ip);

uint16_t InternetChecksum(const uint8_t* data, size_t length);

std::vector<uint8_t> EthernetFrame(const Mac& dst, const Mac& src, uint16_t type,
                                   const std::vector<uint8_t>& payload);
std::vector<uint8_t> ArpRequest(const Mac& senderMac, const Ip4& senderIp, const Ip4& targetIp);
std::vector<uint8_t> ArpReply(const Mac& senderMac, const Ip4& senderIp, const Mac& targetMac,
                              const Ip4& targetIp);
std::vector<uint8_t> IcmpEcho(const Mac& dst, const Mac& src, const Ip4& from, const Ip4& to,
                              bool request, uint16_t id, uint16_t sequence,
                              const std::vector<uint8_t>& data);

struct ParsedArp {
    uint16_t operation;  // 1 request, 2 reply
    Mac senderMac;
    Ip4 senderIp;
    Mac targetMac;
    Ip4 targetIp;
};
std::optional<ParsedArp> ParseArp(std::span<const uint8_t> frame);

struct ParsedEcho {
    bool request;
    Mac srcMac;
    Ip4 from;
    Ip4 to;
    uint16_t id;
    uint16_t sequence;
    std::vector<uint8_t> data;
};
// An ICMP echo request or reply with valid IPv4 and ICMP checksums.
std::optional<ParsedEcho> ParseEcho(std::span<const uint8_t> frame);

// Generated traffic: `size` bytes in all, addressed dst <- src, carrying the stream id and the
// sequence number, then bytes derived from both so that any change of a byte is seen.
std::vector<uint8_t> TestFrame(const Mac& dst, const Mac& src, uint32_t stream, uint32_t sequence,
                               size_t size);
// The same frame written into `frame` (its buffer reused): a sender of a steady stream allocates
// nothing per frame.
void WriteTestFrame(std::vector<uint8_t>& frame, const Mac& dst, const Mac& src, uint32_t stream,
                    uint32_t sequence, size_t size);
struct TestFrameInfo {
    uint32_t stream;
    uint32_t sequence;
};
// The stream and sequence of an intact test frame; nothing when it is not one or was altered.
std::optional<TestFrameInfo> CheckTestFrame(std::span<const uint8_t> frame);

}  // namespace host::wire
