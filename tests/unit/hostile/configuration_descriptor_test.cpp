// Configuration descriptor sets no honest device returns: zero and overlong descriptor lengths,
// total lengths that lie either way, interfaces with too few, too many or no endpoints, zero
// packet sizes, and seeded garbage. Start-up either configures the device or fails cleanly;
// nothing is read outside the buffer the set was read into.
#include <gtest/gtest.h>

#include "tests/unit/hostile/hostile_device.h"

namespace {

using hostile::Bytes;
using hostile::ExpectCleanEnd;
using hostile::RunAdapter;
using hostile::Verdict;

// Offsets in the honest set: configuration header at 0, interface at 9, endpoints at 18, 25, 32.
constexpr size_t kInterface = 9;
constexpr size_t kEndpoint0 = 18;
constexpr size_t kEndpoint2 = 32;

Bytes Honest() {
    return host::device::ScriptedDevice::MakeConfiguration({{0x81, 2}, {0x02, 2}, {0x83, 3}});
}

void SetTotal(Bytes& set, uint16_t total) {
    set[2] = static_cast<uint8_t>(total);
    set[3] = static_cast<uint8_t>(total >> 8);
}

Verdict Configure(const Bytes& set, uint64_t seed = 1) {
    return RunAdapter(seed, [&](host::device::ScriptedDevice& d) { d.configuration = set; });
}

enum class Expect { Configured, FailsBeforeSelect, FailsAfterSelect };

struct Case {
    const char* name;
    std::function<Bytes()> make;
    Expect expect;
};

TEST(HostileConfigurationTest, MalformedSetsConfigureOrFailCleanly) {
    const std::vector<Case> cases = {
        {"honest set", [] { return Honest(); }, Expect::Configured},
        {"empty answer", [] { return Bytes{}; }, Expect::FailsBeforeSelect},
        {"header only, total claims the whole set",
         [] { Bytes s = Honest(); s.resize(9); return s; }, Expect::FailsBeforeSelect},
        {"configuration header of length 0",
         [] { Bytes s = Honest(); s[0] = 0; return s; }, Expect::FailsBeforeSelect},
        {"interface of length 0",
         [] { Bytes s = Honest(); s[kInterface] = 0; return s; }, Expect::FailsBeforeSelect},
        {"interface shorter than an interface descriptor",
         [] { Bytes s = Honest(); s[kInterface] = 5; return s; }, Expect::FailsBeforeSelect},
        {"interface running past the set",
         [] { Bytes s = Honest(); s.resize(kInterface + 5); SetTotal(s, static_cast<uint16_t>(s.size())); return s; },
         Expect::FailsBeforeSelect},
        {"first endpoint of length 0",
         [] { Bytes s = Honest(); s[kEndpoint0] = 0; return s; }, Expect::FailsAfterSelect},
        {"last endpoint claiming 200 bytes",
         [] { Bytes s = Honest(); s[kEndpoint2] = 200; return s; }, Expect::FailsAfterSelect},
        {"last endpoint of length 1",
         [] { Bytes s = Honest(); s[kEndpoint2] = 1; return s; }, Expect::FailsAfterSelect},
        {"total length 0", [] { Bytes s = Honest(); SetTotal(s, 0); return s; },
         Expect::FailsBeforeSelect},
        {"total length covering the header only",
         [] { Bytes s = Honest(); SetTotal(s, 9); return s; }, Expect::FailsBeforeSelect},
        {"total length 0xFFFF over an honest set",
         [] { Bytes s = Honest(); SetTotal(s, 0xFFFF); return s; }, Expect::Configured},
        {"total length 256 over an honest set",
         [] { Bytes s = Honest(); SetTotal(s, 256); return s; }, Expect::Configured},
        {"two endpoints where three are announced",
         [] { Bytes s = Honest(); s.resize(kEndpoint2); SetTotal(s, static_cast<uint16_t>(s.size())); return s; },
         Expect::FailsAfterSelect},
        {"four endpoints where three are announced",
         [] { Bytes s = host::device::ScriptedDevice::MakeConfiguration({{0x81, 2}, {0x02, 2}, {0x83, 3}, {0x04, 2}});
              s[kInterface + 4] = 3; return s; },
         Expect::FailsAfterSelect},
        {"no endpoints announced",
         [] { Bytes s = Honest(); s[kInterface + 4] = 0; return s; }, Expect::FailsBeforeSelect},
        {"255 endpoints announced",
         [] { Bytes s = Honest(); s[kInterface + 4] = 255; return s; }, Expect::FailsBeforeSelect},
        {"no interface at all",
         [] { Bytes s = {9, 2, 9, 0, 0, 1, 0, 0xA0, 50}; return s; }, Expect::FailsBeforeSelect},
        {"endpoints with a maximum packet size of 0",
         [] { Bytes s = Honest();
              for (size_t e = kEndpoint0; e <= kEndpoint2; e += 7) s[e + 4] = s[e + 5] = 0;
              return s; },
         Expect::Configured},
        {"endpoint descriptors of the wrong type",
         [] { Bytes s = Honest(); s[kEndpoint0 + 1] = 0x21; return s; }, Expect::FailsAfterSelect},
        {"interface after 216 bytes of vendor descriptors, ending at byte 255",
         [] { Bytes vendor(216, 0); vendor[0] = 216; vendor[1] = 0xFF;
              Bytes s = Honest(); s.insert(s.begin() + kInterface, vendor.begin(), vendor.end());
              SetTotal(s, static_cast<uint16_t>(s.size()));
              return s; },
         Expect::Configured},
        {"interface starting past byte 255",
         [] { Bytes vendor(250, 0); vendor[0] = 250; vendor[1] = 0xFF;
              Bytes s = Honest(); s.insert(s.begin() + kInterface, vendor.begin(), vendor.end());
              SetTotal(s, static_cast<uint16_t>(s.size()));
              return s; },
         Expect::FailsBeforeSelect},
    };
    for (const Case& c : cases) {
        const Bytes set = c.make();
        const Verdict v = Configure(set);
        ExpectCleanEnd(v, c.name);
        switch (c.expect) {
        case Expect::Configured:
            EXPECT_EQ(v.init, NDIS_STATUS_SUCCESS) << c.name;
            break;
        case Expect::FailsBeforeSelect:
            EXPECT_EQ(v.init, NDIS_STATUS_RESOURCES) << c.name;
            EXPECT_FALSE(v.selectReachedDevice) << c.name;
            break;
        case Expect::FailsAfterSelect:
            EXPECT_EQ(v.init, NDIS_STATUS_RESOURCES) << c.name;
            break;
        }
    }
}

// Seeded garbage: honest sets with bytes overwritten, cut short or lengthened, and sets of pure
// noise. Only the outcome's cleanliness is judged; which sets configure is the device's business.
TEST(HostileConfigurationTest, SeededGarbageNeverReadsOutsideTheSetOrLeaks) {
    std::mt19937 rng(8);
    size_t configured = 0, failed = 0;
    for (int i = 0; i < 400; ++i) {
        Bytes set = Honest();
        switch (i % 4) {
        case 0:  // a few bytes changed
            for (int k = 0, n = 1 + static_cast<int>(rng() % 4); k < n; ++k)
                set[rng() % set.size()] = static_cast<uint8_t>(rng());
            break;
        case 1:  // cut short, total length left as it was
            set.resize(rng() % set.size());
            break;
        case 2:  // vendor noise after the endpoints, total length anything
            for (size_t k = 0, n = rng() % 400; k < n; ++k) set.push_back(static_cast<uint8_t>(rng()));
            SetTotal(set, static_cast<uint16_t>(rng()));
            break;
        default:  // noise from the start
            set.resize(rng() % 300);
            for (auto& b : set) b = static_cast<uint8_t>(rng());
            break;
        }
        const Verdict v = Configure(set, 1 + static_cast<uint64_t>(i));
        ExpectCleanEnd(v, "garbage set " + std::to_string(i));
        (v.init == NDIS_STATUS_SUCCESS ? configured : failed)++;
        if (HasFailure()) break;
    }
    // The mix must reach both ends, or it tested only one of them.
    EXPECT_GT(configured, 0u);
    EXPECT_GT(failed, 0u);
}

}  // namespace
