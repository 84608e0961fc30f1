// Buffer objects and event pairs: sizes from the registry, the contiguous allocation with
// its step-down, views in the opening processes, named events, and release on every path.

#include "support/card_fixture.h"
#include "dbx.h"

namespace {

class Buffers : public CardTest {
protected:
    void DropAll() {
        for (QorDbx *&dbx : ext.Buffers) {
            QorDropDbx(dbx);
            dbx = nullptr;
        }
        QorDropDsen(ext.DualIntEvents);
        QorDropDsen(ext.AuxEvent);
        ext.DualIntEvents = ext.AuxEvent = nullptr;
    }
    void TearDown() override {
        DropAll();
        EXPECT_EQ(sim().memory.contiguous_blocks(), 0u);
        EXPECT_EQ(sim().handles.leak_report(), "");
        CardTest::TearDown();
    }
};

TEST_F(Buffers, SizeSettingsBecomeWholePagesWithTwoHalves) {
    // kb 0: the value is absent.
    struct { const char *name; USHORT deviceId; ULONG kb; ULONG size; } cases[] = {
        {"1 KB takes a page", 0x1234, 1, 4096},
        {"41 KB rounds up to 44 KB", 0x1234, 41, 45056},
        {"absent value: object without memory", 0x1234, 0, 0},
        {"0x4D05: 1 MB step of 1024", 0x4D05, 1024, 8192},
        {"0x4D05: 1025 starts a second MB", 0x4D05, 1025, 12288},
        {"0x4D05: 4096", 0x4D05, 4096, 20480},
        {"0x4D05: 1", 0x4D05, 1, 8192},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        sim().registry.reset();
        if (c.kb)
            SetSizeKb(u"AI", c.kb);
        AskForBuffer(QOR_KIND_ANALOG_INPUT);
        find.DeviceId = c.deviceId;
        ASSERT_TRUE(QorSetupBuffer(&find));
        QorDbx *dbx = ext.Buffers[0];
        ASSERT_NE(dbx, nullptr);
        EXPECT_EQ(+dbx->Size, c.size);
        EXPECT_EQ(+dbx->ListLimit, c.size ? 16u : 0u) << "an object without memory stays all zero";
        if (c.size) {
            const ULONG phys = ULONG(MmGetPhysicalAddress(dbx->Whole.KernelAddr).QuadPart);
            EXPECT_EQ(+dbx->Whole.PhysAddr, phys);
            EXPECT_EQ(+dbx->Whole.Count, c.size);
            EXPECT_EQ(+dbx->Upper.PhysAddr, phys + c.size / 2);
            EXPECT_EQ(static_cast<PUCHAR>(dbx->Upper.KernelAddr), static_cast<PUCHAR>(dbx->Whole.KernelAddr) + c.size / 2);
            EXPECT_EQ(+dbx->Upper.Count, c.size / 2);
            EXPECT_LT(phys + c.size, 0x08000000u);
        } else {
            EXPECT_EQ(dbx->Whole.KernelAddr, nullptr);
        }
        DropAll();
    }
}

TEST_F(Buffers, OnlyKindsThatAskForABufferGetAnObject) {
    desp.Buffers[0] = QorDespBuffer{0x0001, {}, 16, 16}; // present but needs no buffer
    desp.Buffers[1] = QorDespBuffer{0x0003, {}, 16, 0};  // list limit 0
    desp.Buffers[2] = QorDespBuffer{0x0005, {}, 8, 1};   // bit 2 is enough
    desp.Buffers[3] = QorDespBuffer{0x0006, {}, 8, 1};   // not present
    desp.HasAuxEvent = 1;
    SetSizeKb(u"DI", 4);
    ASSERT_TRUE(QorSetupBuffer(&find));
    EXPECT_EQ(ext.Buffers[0], nullptr);
    EXPECT_EQ(ext.Buffers[1], nullptr);
    ASSERT_NE(ext.Buffers[2], nullptr);
    EXPECT_EQ(+ext.Buffers[2]->Size, 4096u);
    EXPECT_EQ(ext.Buffers[3], nullptr);
    EXPECT_EQ(ext.DualIntEvents, nullptr);
    EXPECT_NE(ext.AuxEvent, nullptr);
}

TEST_F(Buffers, ShortContiguousMemoryStepsDownBy40KB) {
    // largest: the biggest run the machine can give; size 0: the setup fails.
    struct { ULONG kb; uint32_t largest; std::vector<uint32_t> requests; ULONG size; } cases[] = {
        {100, 20480, {102400, 61440, 20480}, 20480},
        {100, 4096, {102400, 61440, 20480}, 0},
        {120, 4096, {122880, 81920, 40960}, 0},
        {40, 4096, {40960}, 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.kb);
        sim().memory.reset();
        sim().memory.set_contiguous_limit(c.largest);
        QorDbx *dbx = static_cast<QorDbx *>(QorNewNpp(sizeof(QorDbx)));
        ASSERT_NE(dbx, nullptr);
        dbx->Lock = 1; // as an object used before leaves it: the setup initialises the lock
        EXPECT_EQ(QorSetupDbxBuffer(dbx, 8, c.kb), c.size != 0);
        EXPECT_EQ(+dbx->Lock, 0u);
        EXPECT_EQ(sim().memory.contiguous_requests(), c.requests);
        EXPECT_EQ(+dbx->Size, c.size);
        if (c.size) {
            EXPECT_EQ(+dbx->Whole.Count, c.size);
            EXPECT_EQ(+dbx->Upper.Count, c.size / 2);
        }
        QorDropDbx(dbx);
    }
}

TEST_F(Buffers, AHugeSizeSettingFailsWithoutWrappingOrEndlessRetries) {
    sim().memory.set_contiguous_limit(4096);
    QorDbx *dbx = static_cast<QorDbx *>(QorNewNpp(sizeof(QorDbx)));
    EXPECT_FALSE(QorSetupDbxBuffer(dbx, 8, 0xFFFFFFFF));
    const auto requests = sim().memory.contiguous_requests();
    ASSERT_FALSE(requests.empty());
    // The first size 40 KB steps down from 0xFFFFFFFF KB that fits below 128 MB is
    // 131055 KB: 131056 KB in whole pages.
    EXPECT_EQ(requests.front(), 131056u * 1024);
    EXPECT_LE(requests.size(), 0x08000000u / 1024 / 40 + 1);
    // One step above 128 MB comes down to 128 MB exactly.
    EXPECT_FALSE(QorSetupDbxBuffer(dbx, 8, 131072 + 40));
    EXPECT_EQ(sim().memory.contiguous_requests().at(requests.size()), 131072u * 1024);
    QorDropDbx(dbx);
}

TEST_F(Buffers, EventNamesFollowPrefixAndIndex) {
    // ansi: the 16-byte field's text.
    struct { const char16_t *prefix; ULONG index; const char *ansi; } cases[] = {
        {u"Acq0", 5, "Acq05"},
        {u"Acq12", 3, "Acq123"},
        {u"ThirteenChars0", 1, "ThirteenChars01"}, // 15 characters and the NUL fill the field
    };
    for (const auto &c : cases) {
        UNICODE_STRING prefix;
        RtlInitUnicodeString(&prefix, c.prefix);
        PUNICODE_STRING name = QorCreateEventName(c.index, &prefix);
        ASSERT_NE(name, nullptr);
        EXPECT_EQ(qorsim::from_ucs(name), std::u16string(c.prefix) + std::u16string(1, char16_t(u'0' + c.index)));
        EXPECT_EQ(+name->MaximumLength, 256u);
        QorDeleteUcs(name);
        char field[16];
        std::memset(field, 'x', sizeof field);
        ASSERT_TRUE(QorGetAnsiEventName(c.index, &prefix, field));
        EXPECT_STREQ(field, c.ansi);
    }
}

TEST_F(Buffers, FailuresToMapOrNameLeaveNothingOpen) {
    AskForBuffer(QOR_KIND_ANALOG_OUTPUT);
    SetSizeKb(u"AO", 8);
    ASSERT_TRUE(QorSetupBuffer(&find));
    QorDbx *dbx = ext.Buffers[1];
    UNICODE_STRING prefix;
    RtlInitUnicodeString(&prefix, u"\\BaseNamedObjects\\Acq0");
    for (qorsim::Fault fault : {qorsim::Fault::OpenSection, qorsim::Fault::ReferenceObject, qorsim::Fault::MapView}) {
        sim().faults.fail_nth(fault, 1);
        EXPECT_FALSE(QorOpenDbxView(dbx));
        EXPECT_EQ(+dbx->UserAddress0, 0u);
        EXPECT_EQ(sim().handles.open_count(), 0u);
    }
    sim().faults.fail_nth(qorsim::Fault::CreateEvent, 1);
    EXPECT_FALSE(QorOpenDbxEvent(dbx, 1, &prefix));
    for (uint64_t n = 1; n <= 2; ++n) { // the two name strings
        sim().pool.fail_nth(n);
        EXPECT_FALSE(QorOpenDbxEvent(dbx, 1, &prefix));
        sim().pool.clear_faults();
    }
    EXPECT_EQ(sim().events.count(), 0u);
}

TEST_F(Buffers, EverySetupAllocationFailureIsReportedAndLeavesOnlyDroppableObjects) {
    AskForBuffer(QOR_KIND_ANALOG_INPUT);
    AskForBuffer(QOR_KIND_DIGITAL_OUTPUT);
    desp.HasDualInt = desp.HasAuxEvent = 1;
    SetSizeKb(u"AI", 8);
    SetSizeKb(u"DO", 4);
    const uint64_t before = sim().pool.allocations();
    ASSERT_TRUE(QorSetupBuffer(&find));
    const uint64_t allocations = sim().pool.allocations() - before;
    DropAll();
    int refused = 0;
    for (uint64_t n = 1; n <= allocations; ++n) {
        SCOPED_TRACE(n);
        sim().pool.fail_nth(n);
        refused += QorSetupBuffer(&find) ? 0 : 1;
        sim().pool.clear_faults();
        DropAll(); // what the failed device's drop does
        EXPECT_EQ(sim().pool.live_blocks().size(), 0u);
        EXPECT_EQ(sim().memory.contiguous_blocks(), 0u);
    }
    // The four objects refuse the setup; a failed registry read only leaves a kind
    // without memory.
    EXPECT_EQ(refused, 4);
}

} // namespace
