// Which chip each controller type clears, when, and that a card without ports is left alone.

#include "support/sim_fixture.h"
#include "reset.h"

namespace {

class ControllerReset : public SimTest {};

TEST_F(ControllerReset, ClearsTheChipOfTheControllerType) {
    constexpr uint32_t kBase = 0xC000;
    struct {
        USHORT type;
        USHORT portCount;
        ULONG opening;
        size_t accesses; // port accesses the clear makes
        uint32_t firstPort;
    } cases[] = {
        {QOR_CONTROLLER_S5933, 1, 1, 4, kBase + 0x28},
        {QOR_CONTROLLER_S5933, 1, 0, 4, kBase + 0x28},
        {QOR_CONTROLLER_PLX9050, 1, 1, 3, kBase + 0x4C},
        {QOR_CONTROLLER_PLX9050, 1, 0, 0, 0}, // closing and dropping leave a 9050 alone
        {QOR_CONTROLLER_PLX9080, 1, 0, 1 + 100 + 1 + 10, kBase + 0x6F},
        {5, 1, 1, 0, 0},
        {QOR_CONTROLLER_S5933, 0, 1, 0, 0}, // no port base stored: nothing to clear
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(::testing::Message() << "type " << c.type << " ports " << c.portCount << " opening " << c.opening);
        sim().ports.clear_trace();
        QorDevExt ext{};
        ext.ControllerType = c.type;
        ext.PortCount = c.portCount;
        ext.PortBase[0] = c.portCount ? kBase : 0;
        QorControllerReset(&ext, c.opening);
        const auto trace = accesses();
        ASSERT_EQ(trace.size(), c.accesses);
        if (!trace.empty()) {
            EXPECT_EQ(trace.front().port, c.firstPort);
        }
    }
}

} // namespace
