// Decoded port traces: each access on the default machine's cards is named by card,
// register and the meaning of its bits, and the filters select by card and register.
#include <gtest/gtest.h>

#include "support/sim_fixture.h"
#include "default_machine.h"
#include "trace_decode.h"

namespace {

class TraceDecode : public SimTest {};

TEST_F(TraceDecode, NamesRegistersAndBits)
{
    qorsim::DefaultMachine board;
    const auto regions = qorsim::port_regions(board.built());
    struct Case { bool write; unsigned width; uint32_t port, value; const char *card, *reg, *meaning; };
    const Case cases[] = {
        // S5933 at 0xE000: FIFO and mailbox resets, an interrupt acknowledged by its byte.
        {true, 4, 0xE03C, 0x0E000000, "0:03.0", "MCSR", "reset outgoing FIFO, reset incoming FIFO, reset mailbox flags"},
        {false, 4, 0xE038, 0x00844000, "0:03.0", "INTCSR", "interrupt on write transfer complete, write transfer complete, interrupt asserted"},
        {true, 1, 0xE03A, 0x04, "0:03.0", "INTCSR[2]", "write transfer complete"},
        {true, 4, 0xE424, 0x00100000, "0:12.0", "MWAR", ""},
        // PLX 9050 at 0xD000, its card registers at 0xD100 (8254 at +0x10).
        {true, 1, 0xD04C, 0x49, "2:04.0", "INTCSR", "LINT1 enabled, LINT2 enabled, PCI interrupt enabled"},
        {true, 1, 0xD113, 0x36, "2:04.0", "8254 CONTROL", "counter 0, low then high byte, mode 3, binary"},
        {true, 1, 0xD111, 0x10, "2:04.0", "8254 COUNTER1", ""},
        // PLX 9080 at 0xC000: its DMA command bytes and modes.
        {true, 1, 0xC0A8, 0x03, "2:06.2", "DMACSR0", "enable, start"},
        {true, 4, 0xC080, 0x00000600, "2:06.2", "DMAMODE0", "scatter-gather, done interrupt"},
        {true, 4, 0xC090, 0x0000100B, "2:06.2", "DMADPR0", "descriptor in PCI memory, end of chain, local to PCI"},
        {true, 1, 0xC06F, 0x40, "2:06.2", "CNTRL[3]", "software reset"},
        // The FPGA configuration port of the first S5933 card.
        {true, 2, 0xE060, 0x0100, "0:03.0", "FPGA CONTROL", "hold the program line (configuration reset)"},
        {false, 4, 0xE060, 0x00000007, "0:03.0", "FPGA STATUS", "ready, complete, done"},
        // No card there.
        {false, 1, 0x0300, 0xFF, "", "port 0x0300", "no card answers"},
    };
    for (const Case &c : cases) {
        const qorsim::PortAccess a{0, 1500, c.write, c.width, c.port, c.value};
        const qorsim::DecodedAccess d = qorsim::decode_access(a, regions);
        EXPECT_EQ(d.card, c.card) << qorsim::describe(a);
        EXPECT_EQ(d.reg, c.reg) << qorsim::describe(a);
        EXPECT_EQ(d.meaning, c.meaning) << qorsim::describe(a);
    }
    EXPECT_EQ(qorsim::format_access(qorsim::PortAccess{0, 12500, true, 4, 0xE03C, 0x0E000000},
                                    qorsim::decode_access(qorsim::PortAccess{0, 0, true, 4, 0xE03C, 0x0E000000}, regions)),
              "      0.0125 ms  0:03.0   s5933     MCSR <- 0x0E000000: reset outgoing FIFO, reset incoming FIFO, reset mailbox flags");
}

TEST_F(TraceDecode, FiltersSelectCardsAndRegisters)
{
    qorsim::DefaultMachine board;
    const auto regions = qorsim::port_regions(board.built());
    const std::vector<qorsim::PortAccess> trace = {
        {0, 0, true, 4, 0xE03C, 0x0E000000}, // 0:03.0 MCSR
        {1, 0, true, 1, 0xE03F, 0x0E},       // 0:03.0 MCSR[3]
        {2, 0, false, 4, 0xE038, 0},         // 0:03.0 INTCSR
        {3, 0, true, 4, 0xE43C, 0},          // 0:12.0 MCSR
        {4, 0, true, 1, 0xD04C, 0x41},       // 2:04.0 INTCSR
        {5, 0, true, 1, 0xC0A8, 1},          // 2:06.2 DMACSR0
    };
    struct Case { std::vector<std::string> cards, registers; size_t lines; };
    const Case cases[] = {
        {{}, {}, 6},
        {{"0:03.0"}, {"MCSR"}, 2},
        {{"plx9050", "plx9080"}, {}, 2},
        {{"AcqC"}, {}, 1},        // a part of the card's name
        {{"9:99.9"}, {}, 0},
    };
    for (const Case &c : cases) {
        std::FILE *out = std::fopen("/dev/null", "w");
        ASSERT_NE(out, nullptr);
        const qorsim::TraceFilter filter{c.cards, c.registers};
        EXPECT_EQ(qorsim::write_trace(out, trace, regions, filter), c.lines)
            << (c.cards.empty() ? "" : c.cards[0]) << " / " << (c.registers.empty() ? "" : c.registers[0]);
        std::fclose(out);
    }
}

} // namespace
