// A device whose EEPROM, register bank and PHY registers hold seeded garbage: every address on
// the management bus answers, with values that change from read to read or stay put. Start-up
// goes on past whatever discovery makes of it, the link poll runs its cycles over nonsense, a
// reset reprograms the media, and halt leaves nothing behind.
#include <gtest/gtest.h>

#include <memory>
#include <random>

#include "driver/frame/adapter_record.h"
#include "tests/unit/hostile/hostile_device.h"

namespace {

using hostile::ExpectCleanEnd;
using hostile::RunAdapter;
using hostile::Verdict;

constexpr uint64_t kSecond = 1'000'000;

struct Seen {
    UCHAR permanent[6] = {};
    UCHAR phyCount = 0;
    UCHAR addresses[MAX_PHYS] = {};
    UCHAR activeAddress = 0;
    ULONG adapterState = 0;
};

// Garbage everywhere, from one seed. With `changing`, every PHY read gives a fresh value;
// otherwise each PHY register keeps one value for the whole run.
Verdict RunOnGarbage(uint64_t seed, bool changing, std::array<uint16_t, 16>& eeprom, Seen& seen) {
    auto rng = std::make_shared<std::mt19937>(static_cast<uint32_t>(seed));
    for (auto& w : eeprom) w = static_cast<uint16_t>((*rng)());
    auto image = std::make_shared<std::array<uint16_t, 32 * 32>>();
    for (auto& r : *image) r = static_cast<uint16_t>((*rng)());
    auto prepare = [&](host::device::ScriptedDevice& d) {
        for (auto& r : d.registers) r = static_cast<uint8_t>((*rng)());
        d.eeprom = eeprom;
        if (changing)
            d.phyRead = [rng](uint8_t, uint8_t) { return static_cast<uint16_t>((*rng)()); };
        else
            d.phyRead = [image](uint8_t address, uint8_t reg) {
                return (*image)[(address & 31) * 32 + (reg & 31)];
            };
    };
    auto whileUp = [&](host::world::World& world, host::ndis::Adapter& a) {
        const auto& r = *static_cast<const AdapterRecord*>(a.context);
        for (int i = 0; i < 6; ++i) seen.permanent[i] = r.PermanentAddress[i];
        seen.phyCount = r.PhyCount;
        for (int i = 0; i < MAX_PHYS; ++i) seen.addresses[i] = r.PhyAddressTable[i];
        seen.activeAddress = r.ActivePhyAddress;
        // Two link-poll cycles over garbage, a reset, and two more.
        world.RunFor(7 * kSecond);
        EXPECT_EQ(world.Ndis().Reset(a), NDIS_STATUS_SUCCESS);
        seen.adapterState = r.AdapterState;
    };
    return RunAdapter(seed, prepare, 7 * kSecond, whileUp);
}

TEST(HostileRegistersTest, GarbageEepromAndPhysStartPollResetAndHaltCleanly) {
    size_t fullTables = 0;
    for (const bool changing : {true, false}) {
        for (uint64_t seed = 1; seed <= 25; ++seed) {
            std::array<uint16_t, 16> eeprom{};
            Seen seen;
            const Verdict v = RunOnGarbage(seed, changing, eeprom, seen);
            const std::string what = std::string(changing ? "changing" : "fixed") +
                                     " garbage, seed " + std::to_string(seed);
            ExpectCleanEnd(v, what);
            // The device answered every request: nothing here may stop start-up.
            ASSERT_EQ(v.init, NDIS_STATUS_SUCCESS) << what;
            // The permanent address is the EEPROM's first three words, low byte first, whatever
            // they hold.
            for (int i = 0; i < 6; ++i)
                EXPECT_EQ(seen.permanent[i], static_cast<UCHAR>(eeprom[i / 2] >> (8 * (i % 2))))
                    << what << " byte " << i;
            // At most four PHYs are recorded, all from the probed addresses 0..9.
            EXPECT_LE(seen.phyCount, MAX_PHYS) << what;
            for (int i = 0; i < seen.phyCount && i < MAX_PHYS; ++i)
                EXPECT_LE(seen.addresses[i], 9) << what;
            EXPECT_EQ(seen.adapterState, ADAPTER_RUNNING) << what;
            if (seen.phyCount == MAX_PHYS) ++fullTables;
            if (HasFailure()) return;
        }
    }
    // Garbage answers on every address: discovery must have met more PHYs than it can record.
    EXPECT_GT(fullTables, 0u);
}

}  // namespace
