// Test support for the media side: an adapter model with PHYs on links, started through NDIS,
// halted and judged by the verifier at the end of every test, and the device writes of a run as
// one ordered list.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "tests/support/trace_queries.h"
#include "tests/support/world_fixture.h"

namespace testing_support {

class MediaTest : public WorldTest {
protected:
    host::wire::Link* Ethernet(bool up, host::wire::PartnerSettings partner = {}) {
        partner.up = up;
        return &world_.AddLink("eth" + std::to_string(links_++), host::wire::MediumKind::Ethernet,
                               partner);
    }
    host::wire::Link* PhoneLine(bool up) {
        auto& l = world_.AddLink("phone" + std::to_string(links_++),
                                 host::wire::MediumKind::PhoneLine);
        l.SetUp(up);
        return &l;
    }
    static host::device::PhySpec Phy(uint8_t address, uint32_t id,
                                     host::wire::Link* link = nullptr) {
        host::device::PhySpec s;
        s.phy.address = address;
        s.phy.id = id;
        s.link = link;
        return s;
    }
    // A PHY whose status register always reads `status` (link and negotiation bits as given).
    static host::device::PhySpec PinnedPhy(uint8_t address, uint32_t id, uint16_t status) {
        host::device::PhySpec s = Phy(address, id);
        s.phy.reg1 = status;
        return s;
    }

    // Binds and initialises adapter "A"; the test fails at once if initialise does.
    AdapterRecord* Start(std::vector<host::device::PhySpec> phys,
                         host::ndis::Registry registry = {}) {
        host::device::DeviceConfig config;
        config.phys = std::move(phys);
        adapter_ = &AddModelled("A", config, std::move(registry), &device_);
        EXPECT_EQ(world_.Ndis().Initialize(*adapter_), NDIS_STATUS_SUCCESS);
        return MutableRecordOf(*adapter_);
    }

    void Halt() {
        world_.Ndis().Halt(*adapter_);
        halted_ = true;
    }

    void TearDown() override {
        if (adapter_ != nullptr && !halted_) Halt();
        ExpectClean();
    }

    // Register writes and PHY writes in the order the device saw them: "7e=3000" is a register
    // write (first register, data stage), "phy1.0=0c00" a PHY register write (address, register,
    // value). PHY port writes show as the PHY writes they carry.
    std::vector<std::string> DeviceWrites() const {
        std::vector<std::string> out;
        for (const Json& l : recorder_.Lines()) {
            char text[64];
            if (l["ev"] == "control" && l["bRequest"] == 0xF1 && l["wIndex"] != 0x25) {
                std::snprintf(text, sizeof text, "%02x=%s", l["wIndex"].get<int>(),
                              l["data"].get<std::string>().c_str());
                out.push_back(text);
            } else if (l["ev"] == "mdio" && l["op"] == "write") {
                std::snprintf(text, sizeof text, "phy%d.%d=%04x", l["phy"].get<int>(),
                              l["reg"].get<int>(), l["value"].get<int>());
                out.push_back(text);
            }
        }
        return out;
    }

    // The values written to one PHY register, in order.
    std::vector<int> PhyWrites(int phy, int reg) const {
        std::vector<int> out;
        for (const Json& l : Mdio(recorder_, "write", phy, reg)) out.push_back(l["value"].get<int>());
        return out;
    }

    int links_ = 0;
    bool halted_ = false;
    host::ndis::Adapter* adapter_ = nullptr;
    host::device::AdapterDevice* device_ = nullptr;
};

}  // namespace testing_support
