// nicsim's pcap captures as a user meets them: written by a run of the default story, opened by
// tshark. The USB capture must decode as usbmon records (setup packets, URB ids, data) and agree
// with the JSON Lines trace of the same run; the wire capture must show the story's pings.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <fstream>
#include <map>
#include <set>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/nicsim_process.h"

namespace {

using testing_support::Nicsim;
using testing_support::Outcome;
using testing_support::Shell;

std::string TempPath(const std::string& name) { return testing_support::TempPath("nicsim_pcap_", name); }

std::string Read(const std::string& path) { return testing_support::ReadFile(path); }

bool HaveTshark() {
    static const bool have = Shell("tshark --version").status == 0;
    return have;
}

#define REQUIRE_TSHARK()                                                                       \
    if (!HaveTshark())                                                                         \
    GTEST_SKIP() << "tshark is not installed; scripts/setup.sh installs it (package tshark)"

std::vector<std::vector<std::string>> Rows(const std::string& text) {
    std::vector<std::vector<std::string>> rows;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        std::vector<std::string> fields;
        std::istringstream cells(line);
        for (std::string cell; std::getline(cells, cell, '\t');) fields.push_back(cell);
        if (!line.empty() && line.back() == '\t') fields.emplace_back();
        rows.push_back(fields);
    }
    return rows;
}

// tshark's fields for each record of a capture, one row per record, tab-separated.
std::vector<std::vector<std::string>> Decode(const std::string& file, const std::string& filter,
                                             const std::vector<std::string>& fields) {
    std::string command = "tshark -r " + file + " -T fields -E occurrence=f";
    if (!filter.empty()) command += " -Y '" + filter + "'";
    for (const auto& f : fields) command += " -e " + f;
    const Outcome o = Shell(command);
    EXPECT_EQ(o.status, 0) << command;
    return Rows(o.out);
}

std::vector<nlohmann::json> TraceLines(const std::string& path) {
    std::vector<nlohmann::json> lines;
    std::istringstream in(Read(path));
    for (std::string line; std::getline(in, line);) lines.push_back(nlohmann::json::parse(line));
    return lines;
}

// One run of the default story with every output, shared by the tests that read them. Its two
// media each get a capture named after the link.
struct DefaultRun {
    std::string usb = TempPath("default_usb.pcap"), wire = TempPath("default_wire.pcap"),
                eth0 = TempPath("default_wire-eth0.pcap"), phone = TempPath("default_wire-phone.pcap"),
                trace = TempPath("default.jsonl");
    Outcome outcome;
    DefaultRun() {
        outcome = Nicsim("run --quiet --pcap-usb " + usb + " --pcap-wire " + wire + " --trace " + trace);
    }
    ~DefaultRun() {
        for (const auto* path : {&usb, &wire, &eth0, &phone, &trace}) std::remove(path->c_str());
    }
};

const DefaultRun& Default() {
    static const DefaultRun run;
    return run;
}

TEST(NicsimPcap, UsbCaptureDecodesAsUsbmonWithTheVendorRegisterRequests) {
    REQUIRE_TSHARK();
    const DefaultRun& run = Default();
    ASSERT_EQ(run.outcome.status, 0) << run.outcome.out;

    // Nothing in the file is malformed for Wireshark's USB dissector.
    EXPECT_TRUE(Decode(run.usb, "_ws.malformed || _ws.expert.severity >= \"error\"", {"frame.number"}).empty());

    const auto rows = Decode(run.usb, "usb.urb_type == 0x53 && usb.transfer_type == 0x02",
                             {"usb.bmRequestType", "usb.setup.bRequest", "usb.setup.wValue",
                              "usb.setup.wIndex", "usb.setup.wLength", "usb.device_address",
                              "usb.bus_id", "usb.endpoint_address", "usb.data_fragment",
                              "usb.transfer_flags.short_not_ok"});
    std::map<std::string, int> requests;
    bool nodeAddressWrite = false, firstRead = false;
    for (const auto& r : rows) {
        ASSERT_EQ(r.size(), 10u);
        // Register reads take no short answer (no USBD_SHORT_TRANSFER_OK); the standard reads do.
        EXPECT_EQ(r[9], r[1] == "240" ? "1" : "0") << "bRequest " << r[1];
        ++requests[r[1]];
        EXPECT_EQ(r[5], "2");  // the only adapter is device 2 on bus 1
        EXPECT_EQ(r[6], "1");
        // Register reads (0xF0) are device-to-host on endpoint 0x80, writes (0xF1) the reverse.
        if (r[1] == "240") {
            EXPECT_EQ(r[0], "0xc0");
            EXPECT_EQ(r[7], "0x80");
        }
        if (r[1] == "241") {
            EXPECT_EQ(r[0], "0x40");
            EXPECT_EQ(r[7], "0x00");
        }
        // The station address from the EEPROM, written to registers 0x10..0x15 with its data on
        // the submission.
        if (r[1] == "241" && r[3] == "16" && r[4] == "6" && r[8] == "001122334455") nodeAddressWrite = true;
        // The first vendor request of start-up reads those six registers.
        if (r[1] == "240" && r[3] == "16" && r[4] == "6") firstRead = true;
    }
    EXPECT_GT(requests["240"], 0);
    EXPECT_GT(requests["241"], 0);
    EXPECT_TRUE(nodeAddressWrite);
    EXPECT_TRUE(firstRead);
    // The standard requests of configuration: GET_DESCRIPTOR, SET_CONFIGURATION.
    EXPECT_GE(requests["6"], 2);
    EXPECT_EQ(requests["9"], 1);

    // The capture, the JSON trace and the summary of the same run agree on every control
    // transfer (pipe resets are CLEAR_FEATURE in all three), and on the register bytes each read
    // returned: IN data travels with the completion.
    std::map<std::string, int> traced;
    std::vector<std::string> tracedReads;
    uint64_t summarised = 0;
    for (const auto& l : TraceLines(run.trace)) {
        if (l["ev"] == "summary") summarised = l["adapters"]["A"]["control_transfers"].get<uint64_t>();
        if (l["ev"] != "control") continue;
        ++traced[std::to_string(l["bRequest"].get<int>())];
        if (l["dir"] == "in") {
            EXPECT_EQ(l["short_ok"], l["bRequest"] != 0xF0) << l.dump();
        }
        if (l["bRequest"] == 0xF0) tracedReads.push_back(l["data"].get<std::string>());
    }
    EXPECT_EQ(requests, traced);
    EXPECT_EQ(summarised, rows.size());
    EXPECT_GE(requests["1"], 1) << "the pipe resets of a reset or halt";

    std::map<std::string, std::string> requestOf;  // frame number of a submission -> bRequest
    for (const auto& r : Decode(run.usb, "usb.urb_type == 0x53 && usb.transfer_type == 0x02",
                                {"frame.number", "usb.setup.bRequest"}))
        requestOf[r.at(0)] = r.at(1);
    std::vector<std::string> capturedReads;
    std::string deviceDescriptorLength;
    for (const auto& r : Decode(run.usb, "usb.urb_type == 0x43 && usb.transfer_type == 0x02",
                                {"usb.request_in", "usb.control.Response", "usb.bLength"})) {
        ASSERT_EQ(r.size(), 3u);
        if (requestOf[r[0]] == "240") capturedReads.push_back(r[1]);
        if (requestOf[r[0]] == "6" && deviceDescriptorLength.empty()) deviceDescriptorLength = r[2];
    }
    EXPECT_EQ(capturedReads, tracedReads);
    EXPECT_EQ(deviceDescriptorLength, "18");
}

TEST(NicsimPcap, EverySubmissionHasOneCompletionSharingItsUrbId) {
    REQUIRE_TSHARK();
    const DefaultRun& run = Default();
    ASSERT_EQ(run.outcome.status, 0) << run.outcome.out;
    const auto rows = Decode(run.usb, "", {"frame.number", "frame.time_epoch", "usb.urb_id", "usb.urb_type",
                                           "usb.transfer_type", "usb.endpoint_address", "usb.urb_status",
                                           "usb.urb_len", "usb.data_len"});
    struct Seen {
        int submits = 0, completions = 0;
        double submittedAt = -1;
        std::string type, endpoint;
    };
    std::map<std::string, Seen> urbs;
    size_t bulkInWithData = 0, bulkOutWithData = 0;
    // (submitted, completed) in microseconds of every control and bulk transfer the bus carried.
    std::multiset<std::pair<uint64_t, uint64_t>> carried;
    auto us = [](double seconds) { return static_cast<uint64_t>(std::llround(seconds * 1e6)); };
    for (const auto& r : rows) {
        ASSERT_EQ(r.size(), 9u);
        Seen& s = urbs[r[2]];
        const double at = std::stod(r[1]);
        if (r[3] == "'S'") {
            EXPECT_EQ(s.submits, 0) << "URB " << r[2] << " submitted twice";
            ++s.submits;
            s.submittedAt = at;
            s.type = r[4];
            s.endpoint = r[5];
            EXPECT_EQ(r[6], "-115") << "a submission is in progress";
            // OUT data is on the submission, an IN submission carries none.
            if (r[5] == "0x81") {
                EXPECT_EQ(r[8], "0");
            }
            if (r[4] == "0x03" && r[5] == "0x02" && r[8] != "0") ++bulkOutWithData;
        } else {
            ASSERT_EQ(r[3], "'C'");
            ++s.completions;
            EXPECT_EQ(s.submits, 1) << "URB " << r[2] << " completed before it was submitted";
            EXPECT_GE(at, s.submittedAt);
            EXPECT_EQ(r[4], s.type);
            EXPECT_EQ(r[5], s.endpoint);
            if (r[4] == "0x02" || r[4] == "0x03") carried.emplace(us(s.submittedAt), us(at));
            if (r[5] == "0x02") {
                EXPECT_EQ(r[8], "0");  // no OUT data again on completion
            }
            if (r[4] == "0x03" && r[5] == "0x81" && r[6] == "0") {
                EXPECT_EQ(r[7], r[8]);  // what was read is all there
                if (r[8] != "0") ++bulkInWithData;
            }
        }
    }
    ASSERT_GT(urbs.size(), 1000u);
    for (const auto& [id, s] : urbs) {
        EXPECT_EQ(s.submits, 1) << id;
        EXPECT_EQ(s.completions, 1) << id;
    }
    // The trace's transfer lines say when each transfer was submitted: the time of its
    // submission record in the capture, paired with the time of its completion record.
    size_t traced = 0, waited = 0;
    for (const auto& l : TraceLines(run.trace)) {
        if (l["ev"] != "control" && l["ev"] != "bulk") continue;
        ++traced;
        const std::pair<uint64_t, uint64_t> span{l["submitted_us"].get<uint64_t>(), l["t_us"].get<uint64_t>()};
        const auto hit = carried.find(span);
        EXPECT_NE(hit, carried.end()) << "no transfer of the capture was submitted at " << span.first
                                      << " us and completed at " << span.second << " us: " << l.dump(-1).substr(0, 200);
        if (hit != carried.end()) carried.erase(hit);
        if (span.second > span.first) ++waited;
    }
    EXPECT_GT(traced, 1000u);
    EXPECT_GT(waited, traced / 2);  // most requests wait for a frame boundary
    // The default story's frames: its burst and pings go out, the replies come in.
    EXPECT_GE(bulkOutWithData, 1000u);
    EXPECT_GE(bulkInWithData, 9u);
}

// The default story's two media each have a responder at 192.168.7.1 with its own MAC address;
// in one file Wireshark took them for one network with a duplicated address. Each link has its
// own capture now, and no file of the run makes Wireshark warn.
TEST(NicsimPcap, WireCapturesShowThePingsOfTheDefaultStoryOneFilePerLink) {
    REQUIRE_TSHARK();
    const DefaultRun& run = Default();
    ASSERT_EQ(run.outcome.status, 0) << run.outcome.out;
    EXPECT_FALSE(std::ifstream(run.wire).good()) << "several links write no file of the bare name";
    // Ping bursts 1 (4 pings) and 3 (2) go over the Ethernet cable, burst 2 (3) over the phone
    // line; each request is answered by the responder before the next.
    const std::pair<std::string, std::vector<int>> links[] = {{run.eth0, {1, 2, 3, 4, 1, 2}},
                                                              {run.phone, {1, 2, 3}}};
    for (const auto& [file, expected] : links) {
        const Outcome expert = Shell("tshark -r " + file + " -q -z expert");
        EXPECT_EQ(expert.status, 0);
        EXPECT_EQ(expert.out.find("Duplicate IP address"), std::string::npos) << file << "\n" << expert.out;
        const auto echoes = Decode(file, "icmp", {"frame.time_epoch", "icmp.type", "ip.src", "ip.dst", "icmp.seq"});
        ASSERT_EQ(echoes.size(), 2 * expected.size()) << file;
        std::vector<int> sequences;
        for (size_t i = 0; i < echoes.size(); i += 2) {
            const auto& request = echoes[i];
            const auto& reply = echoes[i + 1];
            EXPECT_EQ(request[1], "8");
            EXPECT_EQ(request[2], "192.168.7.2");
            EXPECT_EQ(request[3], "192.168.7.1");
            EXPECT_EQ(reply[1], "0");
            EXPECT_EQ(reply[2], "192.168.7.1");
            EXPECT_EQ(reply[3], "192.168.7.2");
            EXPECT_EQ(reply[4], request[4]);
            EXPECT_LE(std::stod(request[0]), std::stod(reply[0]));
            sequences.push_back(std::stoi(request[4]));
        }
        EXPECT_EQ(sequences, expected) << file;
        // Before each ping burst the adapter resolves the responder.
        EXPECT_GE(Decode(file, "arp.opcode == 2", {"frame.number"}).size(), 1u) << file;
    }

    // Every frame the trace saw cross a medium is in that link's capture, at the same virtual
    // time and with the same length.
    std::map<std::string, std::vector<std::string>> traced;
    for (const auto& l : TraceLines(run.trace))
        if (l["ev"] == "wire")
            traced[l["link"]].push_back(std::to_string(l["t_us"].get<uint64_t>()) + " " +
                                        std::to_string(l["length"].get<uint64_t>()));
    ASSERT_EQ(traced.size(), 2u);
    for (const auto& [link, file] : {std::pair{"eth0", run.eth0}, std::pair{"phone", run.phone}}) {
        std::vector<std::string> captured;
        for (const auto& f : Decode(file, "", {"frame.time_epoch", "frame.len"}))
            captured.push_back(std::to_string(static_cast<uint64_t>(std::stod(f.at(0)) * 1e6 + 0.5)) + " " + f.at(1));
        EXPECT_EQ(captured, traced[link]) << link;
    }
}

// "-" writes a capture to standard output, the same bytes a file gets, for a reader on a pipe.
TEST(NicsimPcap, DashWritesTheCaptureToStandardOutput) {
    REQUIRE_TSHARK();
    const std::string bin = NICSIM_BINARY, usb = TempPath("dash_usb.pcap"), wire = TempPath("dash_wire.pcap"),
                      trace = TempPath("dash.jsonl");
    ASSERT_EQ(Nicsim("run keepalive --quiet --until 5 --pcap-usb " + usb + " --pcap-wire " + wire).status, 0);
    const Outcome usbOut = Shell(bin + " run keepalive --until 5 --pcap-usb -");
    const Outcome wireOut = Shell(bin + " run keepalive --until 5 --pcap-wire -");
    EXPECT_EQ(usbOut.status, 0);
    EXPECT_EQ(wireOut.status, 0);
    EXPECT_GT(Read(usb).size(), 24u);
    EXPECT_EQ(usbOut.out, Read(usb));
    EXPECT_EQ(wireOut.out, Read(wire));
    const auto frames = Rows(Shell(bin + " run keepalive --trace " + trace + " --pcap-wire - | tshark -r - -T fields -e frame.len").out);
    size_t wires = 0;
    for (const auto& l : TraceLines(trace)) wires += l["ev"] == "wire";
    EXPECT_EQ(frames.size(), wires);
    EXPECT_GT(wires, 0u);
    for (const auto* path : {&usb, &wire, &trace}) std::remove(path->c_str());
}

TEST(NicsimPcap, SameSeedGivesTheSameCapturesByteForByte) {
    const std::string usbA = TempPath("a_usb.pcap"), usbB = TempPath("b_usb.pcap"),
                      usbC = TempPath("c_usb.pcap"), wireA = TempPath("a_wire.pcap"),
                      wireB = TempPath("b_wire.pcap");
    EXPECT_EQ(Nicsim("run two_adapters --quiet --pcap-usb " + usbA + " --pcap-wire " + wireA).status, 0);
    EXPECT_EQ(Nicsim("run two_adapters --quiet --pcap-usb " + usbB + " --pcap-wire " + wireB).status, 0);
    EXPECT_EQ(Nicsim("run two_adapters --quiet --seed 11 --pcap-usb " + usbC).status, 0);
    const std::string a = Read(usbA), b = Read(usbB), c = Read(usbC);
    ASSERT_GT(a.size(), 24u);  // more than the file header
    EXPECT_EQ(a, b);
    EXPECT_NE(a, c);
    const std::string wa = Read(wireA), wb = Read(wireB);
    EXPECT_GT(wa.size(), 24u);
    EXPECT_EQ(wa, wb);
    for (const auto* path : {&usbA, &usbB, &usbC, &wireA, &wireB}) std::remove(path->c_str());
}

TEST(NicsimPcap, AFileThatCannotBeWrittenIsAUsageError) {
    for (const char* option : {"--pcap-usb", "--pcap-wire"}) {
        const Outcome o = Nicsim(std::string("run --quiet ") + option + " " + TempPath("no/such/dir/x.pcap"));
        EXPECT_EQ(o.status, 2) << option << "\n" << o.out;
        EXPECT_NE(o.out.find("cannot write"), std::string::npos) << o.out;
    }
}

}  // namespace
