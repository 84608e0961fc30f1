// The configuration file load and the FPGA handshake, against the drivers-directory files
// and the FPGA port model of the simulator.

#include <vector>

#include "support/model_fixture.h"
#include "fpga.h"
#include "models/fpga_port.h"

namespace {

using qorsim::FileOp;
using qorsim::Fault;
using qorsim::models::FpgaPort;

constexpr uint32_t kPort = 0xD040; // PortBase[2]: the configuration port
constexpr USHORT kNameCapacity = 256;
constexpr LONGLONG kOneMs = -10000;
constexpr uint64_t kClosingReads = 1000 + 1;

uint8_t ImageByte(size_t i) { return static_cast<uint8_t>(i * 7 + 3); } // includes 0x00 and 0xFF
std::vector<uint8_t> Image(size_t n) {
    std::vector<uint8_t> bytes(n);
    for (size_t i = 0; i < n; ++i)
        bytes[i] = ImageByte(i);
    return bytes;
}

class Fpga : public SimTest {
protected:
    FpgaPort card;
    QorDevExt ext{};

    void SetUp() override {
        SimTest::SetUp();
        ASSERT_TRUE(sim().ports.claim(kPort, FpgaPort::kLength, &card, "fpga"));
        ext.PortCount = 3;
        ext.PortBase[0] = 0xC000;
        ext.PortBase[1] = 0xC400;
        ext.PortBase[2] = kPort;
    }
    void TearDown() override {
        EXPECT_EQ(sim().handles.leak_report(), "");
        EXPECT_EQ(sim().files.open_files(), 0u);
        sim().ports.release(&card);
        SimTest::TearDown();
    }

    // The registry's file name as the enumeration holds it: a working string of 256 bytes.
    NTSTATUS Load(const std::u16string &name) {
        std::vector<WCHAR> buffer(kNameCapacity / 2, 0);
        std::copy(name.begin(), name.end(), buffer.begin());
        UNICODE_STRING fileName{static_cast<USHORT>(name.size() * 2), kNameCapacity, buffer.data()};
        return ZwCFOpenAndReadFile(&ext, &fileName);
    }

    std::vector<FileOp> FileOps() {
        std::vector<FileOp> ops;
        for (const auto &call : sim().files.calls())
            ops.push_back(call.op);
        return ops;
    }
};

TEST_F(Fpga, FirstAttemptOnASmallFile) {
    const std::vector<uint8_t> image = {0x00, 0xA5, 0xFF, 0x3C};
    sim().files.add(u"card.bit", image);
    card.complete_after(image.size());

    EXPECT_EQ(Load(u"CARD.BIT"), STATUS_SUCCESS);

    const uint32_t ready = FpgaPort::kReady, complete = ready | FpgaPort::kComplete | FpgaPort::kDone;
    EXPECT_EQ(accesses(), Seq({{In(4, kPort, ready)},
                               {Out(2, kPort, 0x0100), In(4, kPort, 0)},
                               {Out(2, kPort, 0x0000), In(4, kPort, ready)},
                               {Out(2, kPort, 0x00), In(4, kPort, ready), Out(2, kPort, 0xA5), In(4, kPort, ready),
                                Out(2, kPort, 0xFF), In(4, kPort, ready), Out(2, kPort, 0x3C), In(4, kPort, complete)},
                               Repeat(kClosingReads, In(4, kPort, complete))}));
    EXPECT_EQ(sim().clock.delays(), (std::vector<LONGLONG>{kOneMs, kOneMs, kOneMs}));
    EXPECT_EQ(card.attempts(), (std::vector<std::vector<uint8_t>>{image}));
    EXPECT_FALSE(card.program_held());

    // The open asks for a synchronous read of the file by its drivers-directory path; the
    // path buffer (name capacity + 60) lives only for the open, the data buffer only from
    // the read to the end of the download, and the file is closed before the port is used.
    const auto calls = sim().files.calls();
    ASSERT_EQ(FileOps(), (std::vector<FileOp>{FileOp::Open, FileOp::Query, FileOp::Read, FileOp::Close}));
    EXPECT_EQ(calls[0].path, u"\\SystemRoot\\system32\\drivers\\CARD.BIT");
    EXPECT_EQ(calls[0].access, 0x100001u);
    EXPECT_EQ(calls[0].object_attributes, 0x40u);
    EXPECT_EQ(calls[0].file_attributes, 0x80u);
    EXPECT_EQ(calls[0].share, 1u);
    EXPECT_EQ(calls[0].disposition, 1u);
    EXPECT_EQ(calls[0].options, 0x20u);
    EXPECT_EQ(calls[0].pool_bytes_live, kNameCapacity + 60u);
    EXPECT_EQ(calls[1].pool_bytes_live, 0u);
    EXPECT_EQ(calls[2].pool_bytes_live, image.size());
    EXPECT_EQ(calls[2].information, image.size());
    EXPECT_EQ(calls[3].port_accesses, 0u);
}

TEST_F(Fpga, NameTooLongForAPathIsNotOpened) {
    std::vector<WCHAR> longName(0x7FFF, u'a');
    UNICODE_STRING fileName{0xFFFE, 0xFFFE, longName.data()};
    EXPECT_EQ(ZwCFOpenAndReadFile(&ext, &fileName), STATUS_NO_SUCH_FILE);
    EXPECT_TRUE(sim().files.calls().empty()); // not even the bare directory
}

// Every row of the load's failure table, with what was taken and released.
// poolAllocations: attempts, failed ones included; file: the registry's file name.
struct LoadRow {
    const char *name;
    void (*setup)(qorsim::Machine &, FpgaPort &);
    size_t fileBytes;
    NTSTATUS status;
    std::vector<FileOp> ops;
    uint64_t poolAllocations;
    bool portUsed;
    const char16_t *file = u"card.bit";
};

void PrintTo(const LoadRow &row, std::ostream *os) { *os << row.name; }

class FpgaLoadFailure : public Fpga, public ::testing::WithParamInterface<LoadRow> {};

TEST_P(FpgaLoadFailure, ReleasesWhatItTook) {
    const LoadRow &row = GetParam();
    constexpr size_t kSize = 64;
    sim().files.add(u"card.bit", Image(row.fileBytes));
    card.complete_after(kSize);
    row.setup(sim(), card);

    EXPECT_EQ(Load(row.file), row.status);
    EXPECT_EQ(FileOps(), row.ops);
    EXPECT_EQ(sim().pool.allocations(), row.poolAllocations);
    EXPECT_TRUE(sim().pool.live_blocks().empty());
    EXPECT_EQ(sim().handles.open_count(), 0u);
    EXPECT_EQ(!accesses().empty(), row.portUsed);
}

constexpr auto kNoSetup = [](qorsim::Machine &, FpgaPort &) {};
const std::vector<FileOp> kOpenQueryClose = {FileOp::Open, FileOp::Query, FileOp::Close};
const std::vector<FileOp> kAllOps = {FileOp::Open, FileOp::Query, FileOp::Read, FileOp::Close};

INSTANTIATE_TEST_SUITE_P(
    Rows, FpgaLoadFailure,
    ::testing::Values(
        LoadRow{"path buffer not allocated", [](qorsim::Machine &m, FpgaPort &) { m.pool.fail_nth(1); }, 64,
                STATUS_INSUFFICIENT_RESOURCES, {}, 1, false},
        LoadRow{"no such file", [](qorsim::Machine &m, FpgaPort &) { m.files.remove(u"card.bit"); }, 64,
                STATUS_NO_SUCH_FILE, {FileOp::Open}, 1, false},
        LoadRow{"no such path", kNoSetup, 64, STATUS_NO_SUCH_FILE, {FileOp::Open}, 1, false, u"sub\\card.bit"},
        LoadRow{"open out of resources", [](qorsim::Machine &m, FpgaPort &) { m.faults.fail_nth(Fault::OpenFile, 1); },
                64, STATUS_NO_SUCH_FILE, {FileOp::Open}, 1, false},
        LoadRow{"size query failed", [](qorsim::Machine &m, FpgaPort &) { m.faults.fail_nth(Fault::QueryFile, 1); },
                64, STATUS_IO_DEVICE_ERROR, kOpenQueryClose, 1, false},
        LoadRow{"file empty", kNoSetup, 0, STATUS_UNSUCCESSFUL, kOpenQueryClose, 1, false},
        LoadRow{"data buffer not allocated", [](qorsim::Machine &m, FpgaPort &) { m.pool.fail_nth(2); }, 64,
                STATUS_INSUFFICIENT_RESOURCES, kOpenQueryClose, 2, false},
        LoadRow{"read failed", [](qorsim::Machine &m, FpgaPort &) { m.faults.fail_nth(Fault::ReadFile, 1); }, 64,
                STATUS_UNSUCCESSFUL, kAllOps, 2, false},
        LoadRow{"short read", [](qorsim::Machine &m, FpgaPort &) { m.files.limit_reads(63); }, 64,
                STATUS_UNSUCCESSFUL, kAllOps, 2, false},
        LoadRow{"download failed", [](qorsim::Machine &, FpgaPort &c) { c.error_after(1); }, 64, STATUS_UNSUCCESSFUL,
                kAllOps, 2, true},
        LoadRow{"success", kNoSetup, 64, STATUS_SUCCESS, kAllOps, 2, true}),
    RowName<::testing::TestParamInfo<LoadRow>>);

// How the download answers each behaviour of the card, on a 1000-byte image.
// bytesPerAttempt: each attempt sends a prefix of the image.
struct DownloadRow {
    const char *name;
    void (*setup)(FpgaPort &);
    BOOLEAN result;
    std::vector<size_t> bytesPerAttempt;
    bool heldAtEnd;
    size_t sleeps, readsAfterLastWrite;
};

void PrintTo(const DownloadRow &row, std::ostream *os) { *os << row.name; }

class FpgaDownload : public Fpga, public ::testing::WithParamInterface<DownloadRow> {};

TEST_P(FpgaDownload, FollowsTheHandshake) {
    const DownloadRow &row = GetParam();
    std::vector<uint8_t> image = Image(1000);
    row.setup(card);

    EXPECT_EQ(FPGA_Download(image.data(), ULONG(image.size()), &ext), row.result);

    ASSERT_EQ(card.attempts().size(), row.bytesPerAttempt.size());
    for (size_t a = 0; a < row.bytesPerAttempt.size(); ++a) {
        const auto &sent = card.attempts()[a];
        EXPECT_EQ(sent, std::vector<uint8_t>(image.begin(), image.begin() + row.bytesPerAttempt[a])) << "attempt " << a;
    }
    EXPECT_EQ(card.program_held(), row.heldAtEnd);
    EXPECT_EQ(sim().clock.delays(), std::vector<LONGLONG>(row.sleeps, kOneMs));
    const auto trace = accesses();
    size_t reads = 0;
    for (auto it = trace.rbegin(); it != trace.rend() && !it->write; ++it)
        ++reads;
    EXPECT_EQ(reads, row.readsAfterLastWrite);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, FpgaDownload,
    ::testing::Values(
        DownloadRow{"completes after the last byte", [](FpgaPort &c) { c.complete_after(1000); }, TRUE, {1000}, false,
                    3, 1 + kClosingReads},
        DownloadRow{"ready stays 1 while held", [](FpgaPort &c) { c.ready_while_held(true); }, FALSE, {}, true, 1, 0},
        DownloadRow{"ready stays 0 after release", [](FpgaPort &c) { c.ready_after_release(false); }, FALSE, {0},
                    false, 2, 0},
        DownloadRow{"completes early after byte 100", [](FpgaPort &c) { c.complete_after(100); }, TRUE, {100}, false,
                    3, 1 + kClosingReads},
        DownloadRow{"error after byte 10 in every attempt", [](FpgaPort &c) { c.error_after(10); }, FALSE,
                    {10, 10, 10, 10, 10}, false, 10, 1},
        DownloadRow{"completes only on the last closing read",
                    [](FpgaPort &c) { c.done_after_reads(1000, 1 + kClosingReads); }, TRUE, {1000}, false, 3,
                    1 + kClosingReads},
        DownloadRow{"completes one read too late",
                    [](FpgaPort &c) { c.done_after_reads(1000, 2 + kClosingReads); }, FALSE,
                    {1000, 1000, 1000, 1000, 1000}, false, 15, 1 + kClosingReads},
        DownloadRow{"start-up done alone after byte 100 is not completion",
                    [](FpgaPort &c) { c.done_after_reads(100, 1); }, TRUE, {1000}, false, 3, 1 + kClosingReads},
        DownloadRow{"status bits 4 to 31 set",
                    [](FpgaPort &c) {
                        c.set_unused_bits(0xFFFFFFF0);
                        c.complete_after(1000);
                    },
                    TRUE, {1000}, false, 3, 1 + kClosingReads}),
    RowName<::testing::TestParamInfo<DownloadRow>>);

// The busy wait after a byte is bounded: a byte that stays busy through the whole bound ends
// the attempt, without the closing reads, and the download retries from the program pulse.
TEST_F(Fpga, BusyWaitIsBounded) {
    constexpr uint64_t L = 10000; // reads of a busy byte before the attempt is given up
    struct { uint64_t busyReads; BOOLEAN result; size_t attempts, bytesPerAttempt; uint64_t statusReads; } cases[] = {
        {L - 1, TRUE, 1, 3, 1 + 2 + 3 * L + kClosingReads}, // clears on the last read allowed
        {L, FALSE, 5, 1, 1 + 5 * (2 + L)},
        {FpgaPort::kNever, FALSE, 5, 1, 1 + 5 * (2 + L)},
    };
    std::vector<uint8_t> image = Image(3);
    for (const auto &c : cases) {
        SCOPED_TRACE(::testing::Message() << "busy for " << c.busyReads << " reads");
        FpgaPort port;
        sim().ports.release(&card);
        ASSERT_TRUE(sim().ports.claim(kPort, FpgaPort::kLength, &port, "fpga"));
        port.complete_after(image.size());
        port.busy_after_each_byte(c.busyReads);

        EXPECT_EQ(FPGA_Download(image.data(), ULONG(image.size()), &ext), c.result);
        ASSERT_EQ(port.attempts().size(), c.attempts);
        for (const auto &sent : port.attempts()) {
            EXPECT_EQ(sent.size(), c.bytesPerAttempt);
        }
        EXPECT_EQ(port.status_reads(), c.statusReads);
        EXPECT_FALSE(port.program_held());
        sim().ports.release(&port);
        ASSERT_TRUE(sim().ports.claim(kPort, FpgaPort::kLength, &card, "fpga"));
    }
}

} // namespace
