// A traffic burst offered faster than the bus carries it, through the real binary: the backlog
// waits in the sending adapter's queue, nicsim's memory must not grow with it, and the frames that
// do leave must be the burst's, in order, in a capture a pcap reader takes.
#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "host/wire/frames.h"
#include "tests/support/nicsim_process.h"

namespace {

using testing_support::ScratchDir;

// A sends `frames` 1514-byte frames to B, 10 us apart, from the second second: far more than
// the adapter takes.
std::string Backlog(uint64_t frames, double duration) {
    nlohmann::json s = {
        {"name", "backlog"},
        {"duration_s", duration},
        {"adapters", {{{"name", "A"}, {"eeprom", "02:00:00:00:00:0a"}, {"phys", {{{"address", 0}, {"id", "0x225410"}}}}},
                      {{"name", "B"}, {"eeprom", "02:00:00:00:00:0b"}, {"phys", {{{"address", 0}, {"id", "0x406210"}}}}}}},
        {"links", {{{"name", "cable"}, {"medium", "ethernet"}, {"up", true}, {"between", {"A:0", "B:0"}}}}},
        {"events", {{{"at", 0}, {"do", "initialize"}, {"adapter", "A"}},
                    {{"at", 0}, {"do", "initialize"}, {"adapter", "B"}},
                    {{"at", 2}, {"do", "traffic"}, {"adapter", "A"}, {"frames", frames}, {"size", 1514},
                     {"interval", 0.00001}}}}};
    return s.dump();
}

// Runs nicsim with `args`; returns its peak resident memory in KiB (wait4's, of that child alone).
long PeakKib(const std::vector<std::string>& args) {
    std::vector<char*> argv{const_cast<char*>(NICSIM_BINARY)};
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        execv(NICSIM_BINARY, argv.data());
        _exit(127);
    }
    int status = 0;
    rusage usage{};
    EXPECT_EQ(wait4(pid, &status, 0, &usage), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "nicsim exit status " << status;
    return usage.ru_maxrss;
}

nlohmann::json TrafficLine(const std::string& trace) {
    std::istringstream in(testing_support::ReadFile(trace));
    for (std::string line; std::getline(in, line);) {
        auto j = nlohmann::json::parse(line);
        if (j.value("ev", "") == "traffic") return j;
    }
    return {};
}

uint32_t Le32(const std::string& s, size_t at) {
    uint32_t v;
    std::memcpy(&v, s.data() + at, 4);
    return v;  // the file is in this machine's byte order, as its magic says
}

TEST(NicsimBacklog, AMillionFramesOfferedFasterThanTheBusTakesKeepMemoryFlat) {
    ScratchDir dir;
    std::ofstream(dir / "small.json") << Backlog(100'000, 5.1);
    std::ofstream(dir / "large.json") << Backlog(1'000'000, 14.1);
    const long small = PeakKib({"run", dir / "small.json", "--quiet"});
    const long large = PeakKib({"run", dir / "large.json", "--quiet", "--trace", dir / "t.jsonl",
                                "--trace-events", "traffic"});
    // The burst was all offered, and most of it was still waiting when the summary was taken.
    const auto traffic = TrafficLine(dir / "t.jsonl");
    ASSERT_FALSE(traffic.is_null()) << "no traffic line in the trace";
    EXPECT_EQ(traffic["offered"], 1'000'000);
    EXPECT_LT(traffic["completed"].get<uint64_t>(), 500'000u) << traffic;
    EXPECT_GT(traffic["completed"].get<uint64_t>(), 0u) << traffic;
#ifndef NICSIM_SANITIZED_BUILD
    EXPECT_LE(large, 64 * 1024) << "peak resident memory in KiB";
    // 900,000 more frames waiting may not cost 10 bytes each.
    EXPECT_LT(large - small, 8 * 1024) << "KiB: " << small << " with 10^5 frames, " << large << " with 10^6";
#else
    (void)small;
    (void)large;
#endif
}

// The frames that leave the backlog, as the wire capture holds them (the classic pcap format):
// A's burst in order, each addressed B <- A, 1514 bytes, intact.
TEST(NicsimBacklog, FramesLeaveTheBacklogInOrderIntoAPcapCapture) {
    ScratchDir dir;
    std::ofstream(dir / "s.json") << Backlog(3'000, 2.05);
    ASSERT_EQ(PeakKib({"run", dir / "s.json", "--quiet", "--pcap-wire", dir / "w.pcap"}) > 0, true);
    const std::string pcap = testing_support::ReadFile(dir / "w.pcap");
    ASSERT_GE(pcap.size(), 24u);
    EXPECT_EQ(Le32(pcap, 0), 0xA1B2C3D4u);       // microsecond timestamps
    EXPECT_EQ(Le32(pcap, 4), 2u | (4u << 16));    // version 2.4
    EXPECT_EQ(Le32(pcap, 8), 0u);                 // time zone offset
    EXPECT_EQ(Le32(pcap, 12), 0u);                // timestamp accuracy
    EXPECT_EQ(Le32(pcap, 16), 65535u);            // snapshot length
    EXPECT_EQ(Le32(pcap, 20), 1u);                // LINKTYPE_ETHERNET
    const std::vector<uint8_t> fromA{0x02, 0, 0, 0, 0, 0x0a};
    const std::vector<uint8_t> toB{0x02, 0, 0, 0, 0, 0x0b};
    uint32_t next = 0;
    uint64_t lastUs = 0;
    size_t at = 24;
    while (at + 16 <= pcap.size()) {
        const uint64_t us = uint64_t{Le32(pcap, at)} * 1'000'000 + Le32(pcap, at + 4);
        const uint32_t kept = Le32(pcap, at + 8), length = Le32(pcap, at + 12);
        ASSERT_LE(at + 16 + kept, pcap.size()) << "record at " << at << " runs past the end";
        EXPECT_GE(us, lastUs);
        lastUs = us;
        std::vector<uint8_t> frame(pcap.begin() + at + 16, pcap.begin() + at + 16 + kept);
        at += 16 + kept;
        if (frame.size() < 12 || !std::equal(fromA.begin(), fromA.end(), frame.begin() + 6)) continue;
        ASSERT_EQ(kept, length);
        ASSERT_EQ(length, 1514u);
        EXPECT_TRUE(std::equal(toB.begin(), toB.end(), frame.begin()));
        const auto info = host::wire::CheckTestFrame(frame);
        ASSERT_TRUE(info) << "frame " << next << " of the burst was altered";
        ASSERT_EQ(info->sequence, next) << "frames out of order";
        ++next;
    }
    EXPECT_EQ(at, pcap.size()) << "a truncated record at the end";
    // Some of the burst left in the 50 ms, far from all of it: the rest was still queued.
    EXPECT_GT(next, 20u);
    EXPECT_LT(next, 3000u);
}

}  // namespace
