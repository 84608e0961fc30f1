// PLX 9050 functions against the chip model: reset and clear sequences, the interrupt
// enables, the dual-interrupt pair under its lock, and the user I/O pins.

#include <cstring>

#include "models/plx9050.h"
#include "support/model_fixture.h"

namespace {

using qorsim::models::Plx9050;

constexpr uint32_t kBase = 0xC000;
constexpr uint32_t kIntcsr = kBase + 0x4C, kCntrl = kBase + 0x50, kCntrlTop = kBase + 0x53;

class Plx9050Test : public ModelTest<Plx9050> {};

TEST_F(Plx9050Test, ClearControllerIsThreeByteWritesAndOneReset) {
    model.set_stored(Plx9050::kIntcsr, 0x5B);
    model.set_stored(Plx9050::kCntrl, 0xBF000000); // every top bit but the reset
    PLX90_ClearController(kBase);
    EXPECT_EQ(accesses(), (Accesses{Out(1, kIntcsr, 0), Out(1, kCntrlTop, 0x40), Out(1, kCntrlTop, 0)}));
    EXPECT_FALSE(model.local_bus_in_reset());

    sim().ports.clear_trace();
    PLX90_SoftReset(kBase);
    EXPECT_EQ(accesses(), (Accesses{Out(1, kCntrlTop, 0x40), Out(1, kCntrlTop, 0)}));
}

// before: stored enables and polarities; lint1Active shows as status bit 2.
struct SetIntCase { const char *name; USHORT which, enable; uint8_t before; bool lint1Active; uint8_t read, written; };

const SetIntCase kSetIntCases[] = {
    {"PCI on", 0, 1, 0x00, false, 0x00, 0x40},
    {"PCI off keeps the rest", 0, 0, 0xDB, false, 0xDB, 0x9B},
    {"LINTi1 on, active high", 1, 1, 0x00, false, 0x00, 0x03},
    {"LINTi1 off still sets active high", 1, 0, 0x01, false, 0x01, 0x02},
    {"LINTi2 on by any nonzero enable", 2, 0x100, 0x00, false, 0x00, 0x18},
    {"LINTi2 off", 2, 0, 0x5B, false, 0x5B, 0x53},
    {"unknown input writes the byte back", 3, 1, 0x5A, false, 0x5A, 0x5A},
    {"status goes back as read", 0, 1, 0x00, true, 0x04, 0x44},
};

class Plx9050SetInt : public Plx9050Test, public ::testing::WithParamInterface<SetIntCase> {};

TEST_P(Plx9050SetInt, ReadsAndWritesTheIntcsrLowByte) {
    const SetIntCase &c = GetParam();
    model.set_stored(Plx9050::kIntcsr, c.before);
    model.set_lint_asserted(1, c.lint1Active);
    PLX90_SetInt(kBase, c.which, c.enable);
    EXPECT_EQ(accesses(), (Accesses{In(1, kIntcsr, c.read), Out(1, kIntcsr, c.written)}));
}

INSTANTIATE_TEST_SUITE_P(Table, Plx9050SetInt, ::testing::ValuesIn(kSetIntCases),
                         RowName<::testing::TestParamInfo<SetIntCase>>);

// Sits between the port space and the chip and notes, for every access, whether the
// pair's spin lock was held: the DPC reads the same settings under that lock.
struct LockWatch : qorsim::PortDevice {
    qorsim::PortDevice *chip = nullptr;
    const KSPIN_LOCK *lock = nullptr;
    std::vector<bool> held;
    uint32_t read(uint32_t offset, unsigned width) override {
        held.push_back(*lock != 0);
        return chip->read(offset, width);
    }
    void write(uint32_t offset, unsigned width, uint32_t value) override {
        held.push_back(*lock != 0);
        chip->write(offset, width, value);
    }
};

// A device extension with its event pair, as an open device with dual interrupts has.
class Plx9050DualInt : public Plx9050Test {
protected:
    KEVENT event0{}, event1{};
    QorDsen dsen{};
    QorDevExt ext{};
    LockWatch watch;

    void SetUp() override {
        Plx9050Test::SetUp();
        sim().ports.release(&model);
        watch.chip = &model;
        watch.lock = &dsen.Lock;
        ASSERT_TRUE(sim().ports.claim(kBase, model.length(), &watch, "chip"));
        qorsim::initialize_event(&event0);
        qorsim::initialize_event(&event1);
        dsen.Event0 = &event0;
        dsen.Event1 = &event1;
        KeInitializeSpinLock(&dsen.Lock);
        ext.DualIntEvents = &dsen;
        ext.PortBase[0] = kBase;
    }
    void TearDown() override {
        sim().ports.release(&watch);
        sim().ports.claim(kBase, model.length(), &model, "chip");
        Plx9050Test::TearDown();
    }
};

// before: the INTCSR low byte read.
struct DualIntCase {
    const char *name;
    QorDualIntRequest request;
    uint8_t before, written, int1Enabled, int2Enabled;
};

const DualIntCase kDualIntCases[] = {
    {"both on, active high", {0x55, 1, 1, 0, 0x12, 1, 1, 0, 0x34}, 0x00, 0x5B, 1, 1},
    // Only the lowest bit of an enable reaches the chip; nonzero records it as enabled.
    {"enable 2 is recorded on but written off", {0, 2, 0, 0, 7, 3, 0, 0, 9}, 0x00, 0x48, 1, 1},
    {"both off still enables the PCI interrupt", {0, 0, 0, 0, 0, 0, 0, 0, 0}, 0x1B, 0x40, 0, 0},
    {"nonzero polarities, off enables", {0, 0, 0x80, 0, 1, 0, 0x10, 0, 2}, 0x09, 0x52, 0, 0},
    {"bit 7 and the status bits go back as read", {0, 1, 0, 0, 0, 0, 0, 0, 0}, 0xA4, 0xE5, 1, 0},
};

class Plx9050DualIntSet : public Plx9050DualInt, public ::testing::WithParamInterface<DualIntCase> {};

TEST_P(Plx9050DualIntSet, RecordsClearsEventsAndProgramsIntcsr) {
    const DualIntCase &c = GetParam();
    model.set_stored(Plx9050::kIntcsr, c.before & Plx9050::kIntcsrWritable);
    model.set_lint_asserted(1, c.before & Plx9050::kLint1Status);
    model.set_lint_asserted(2, c.before & Plx9050::kLint2Status);
    KeSetEvent(&event0, 0, FALSE);
    KeSetEvent(&event1, 0, FALSE);
    QorDualIntRequest request = c.request;
    request.Status = 0x777;

    PLX90_IocSetDualInt(&ext, &request);

    EXPECT_EQ(+request.Status, QorOk);
    EXPECT_EQ(accesses(), (Accesses{In(1, kIntcsr, c.before), Out(1, kIntcsr, c.written)}));
    EXPECT_FALSE(qorsim::event_signalled(&event0));
    EXPECT_FALSE(qorsim::event_signalled(&event1));
    EXPECT_EQ(+dsen.Int1Enabled, c.int1Enabled);
    EXPECT_EQ(+dsen.Int2Enabled, c.int2Enabled);
    EXPECT_EQ(+dsen.Int1Param, c.request.Int1Param);
    EXPECT_EQ(+dsen.Int2Param, c.request.Int2Param);
    EXPECT_EQ(watch.held, (std::vector<bool>{true, true})) << "the lock is held across the read-modify-write";
    EXPECT_EQ(+dsen.Lock, 0u); // released
    EXPECT_EQ(qorsim::current_irql(), PASSIVE_LEVEL);
}

INSTANTIATE_TEST_SUITE_P(Table, Plx9050DualIntSet, ::testing::ValuesIn(kDualIntCases),
                         RowName<::testing::TestParamInfo<DualIntCase>>);

TEST_F(Plx9050DualInt, GetAfterSetReportsTheChipAndTheLowByteOfTheRecordedParameters) {
    QorDualIntRequest set{};
    set.Int1Enable = 2; // recorded on, written off
    set.Int1Polarity = 9;
    set.Int1Param = 0xA1;
    set.Int2Enable = 1;
    set.Int2Polarity = 0;
    set.Int2Param = 0xB2;
    PLX90_IocSetDualInt(&ext, &set);
    dsen.Int1Param = 0x12A1; // recorded parameters are 16 bits; the get returns the low byte
    dsen.Int2Param = 0xFFB2;
    model.set_lint_asserted(2, true);
    sim().ports.clear_trace();

    QorDualIntRequest got;
    std::memset(&got, 0xEE, sizeof got);
    PLX90_IocGetDualInt(&ext, &got);

    EXPECT_EQ(accesses(), (Accesses{In(1, kIntcsr, 0x6A)})); // one read, nothing written
    EXPECT_EQ(watch.held.back(), true) << "the chip is read under the lock";
    EXPECT_EQ(+got.Status, QorOk);
    EXPECT_EQ(+got.Int1Enable, 0);
    EXPECT_EQ(+got.Int1Polarity, 1);
    EXPECT_EQ(+got.Int1Status, 0);
    EXPECT_EQ(+got.Int1Param, 0xA1);
    EXPECT_EQ(+got.Int2Enable, 1);
    EXPECT_EQ(+got.Int2Polarity, 0);
    EXPECT_EQ(+got.Int2Status, 1);
    EXPECT_EQ(+got.Int2Param, 0xB2);
    EXPECT_EQ(+dsen.Lock, 0u);
}

// cntrl: stored before
// inputsHigh: pins whose input is driven high
struct PinSetCase { const char *name; USHORT pin, value; uint32_t cntrl; uint8_t inputsHigh; uint16_t read, written; };

const PinSetCase kPinSetCases[] = {
    // All pins general-purpose outputs with data 1: pin 5 is pin 1, value 0x0E is 6.
    {"pin 5 value 0x0E changes pin 1 only", 5, 0x0E, 0x0FFF, 0, 0x0FFF, 0x0FF7},
    {"pin 0 from all zero", 0, 7, 0x0000, 0, 0x0000, 0x0007},
    {"pin 3 takes the low three bits", 3, 0x1F, 0x0000, 0, 0x0000, 0x0E00},
    {"bits above the pins go back as read", 2, 0, 0xF1C0, 0, 0xF1C0, 0xF000},
    // Pin 2 is a general-purpose input driven high: its data bit reads 1 and goes back.
    {"an input's level goes back as read", 1, 3, 0x0040, 1u << 2, 0x0140, 0x0158},
};

class Plx9050PinSet : public Plx9050Test, public ::testing::WithParamInterface<PinSetCase> {};

TEST_P(Plx9050PinSet, ReadModifyWritesTheLow16Bits) {
    const PinSetCase &c = GetParam();
    model.set_stored(Plx9050::kCntrl, c.cntrl);
    for (unsigned pin = 0; pin < Plx9050::kPins; ++pin)
        model.set_pin_input(pin, c.inputsHigh & (1u << pin));
    PLX90_SetUserIoPin(kBase, c.pin, c.value);
    EXPECT_EQ(accesses(), (Accesses{In(2, kCntrl, c.read), Out(2, kCntrl, c.written)}));
}

INSTANTIATE_TEST_SUITE_P(Table, Plx9050PinSet, ::testing::ValuesIn(kPinSetCases),
                         RowName<::testing::TestParamInfo<PinSetCase>>);

TEST_F(Plx9050Test, GetUserIoPinStoresTheDataBitOfThePin) {
    constexpr uint32_t kAllOutputs = 0x06DB; // function and direction bits of every pin
    struct { USHORT pin; uint32_t cntrl; USHORT expected; } cases[] = {
        {3, 1u << 11, 1}, {3, 0x0FFF & ~(1u << 11), 0}, {7, 1u << 11, 1}, {0, 1u << 2, 1}, {1, 0x0FFF & ~(1u << 5), 0},
    };
    for (const auto &c : cases) {
        model.set_stored(Plx9050::kCntrl, c.cntrl | kAllOutputs);
        sim().ports.clear_trace();
        USHORT out = 0xEEEE;
        PLX90_GetUserIoPin(kBase, c.pin, &out);
        EXPECT_EQ(out, c.expected) << "pin " << c.pin;
        EXPECT_EQ(accesses(), (Accesses{In(2, kCntrl, (c.cntrl | kAllOutputs) & 0xFFFF)}));
    }
}

} // namespace
