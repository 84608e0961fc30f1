// The shipped images on the simulated machine: qorpelk.sys and acqdrv.sys loaded as NT
// loads them, the sample driver serving a program through the library's image, a failed
// probe raised through the image's own exception frame, and images the loader refuses.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <iterator>

#include "support/sample_machine_fixture.h"
#include "acqdrv_ioctl.h"
#include "qorpelk.h"
#include "image_context.h"
#include "qorwin32.h"

namespace {

constexpr DWORD kInvalidUserBuffer = 1784; // STATUS_INVALID_USER_BUFFER as a program sees it

class Loader : public SampleMachineTest {
protected:
    qorsim::Process *program = nullptr;
    void SetUp() override
    {
        SampleMachineTest::SetUp();
        if (!IsSkipped() && !HasFatalFailure())
            program = &CreateProgram("program");
    }
    bool InImage(const qorsim::DriverImage &image, const void *address)
    {
        const auto a = reinterpret_cast<uintptr_t>(address);
        return a >= image.base() && a - image.base() < image.size();
    }
};

TEST_F(Loader, BothImagesEnumerateTheCardsAndServeAProgram)
{
    qorsim::DriverImage &lib = library->image(), &drv = driver->image();
    EXPECT_GE(lib.base(), 0x80000000u) << "images belong in system space";
    EXPECT_GE(drv.base(), lib.base() + lib.size());
    EXPECT_TRUE(lib.init_discarded() && drv.init_discarded());

    // acqdrv.sys's library calls reach qorpelk.sys's code, its kernel calls the simulator.
    size_t fromLibrary = 0;
    for (const qorsim::ImageImport &import : drv.imports()) {
        if (import.module == "qorpelk.sys") {
            ++fromLibrary;
            EXPECT_EQ(import.bound, lib.export_address(import.name)) << import.name;
        } else {
            EXPECT_FALSE(InImage(lib, import.bound)) << import.module << "!" << import.name;
        }
    }
    EXPECT_EQ(fromLibrary, 40u);
    void *open = lib.export_address("QorOpenDevice");
    ASSERT_NE(open, nullptr);
    EXPECT_EQ(qorsim::describe_address(reinterpret_cast<uintptr_t>(open) + 3).rfind("qorpelk.sys+0x", 0), 0u);
    EXPECT_NE(qorsim::describe_address(reinterpret_cast<uintptr_t>(open) + 3).find("(QorOpenDevice+0x3)"),
              std::string::npos);

    EXPECT_NE(sim().objects.device(u"\\Device\\QorPelk"), nullptr) << "the library's own device";
    for (const char16_t *link : {u"\\DosDevices\\AcqA0", u"\\DosDevices\\AcqB0", u"\\DosDevices\\AcqC0"})
        EXPECT_NE(sim().objects.resolve(link), nullptr) << "a card the enumeration found";

    qorsim::InProcess in(*program);
    HANDLE h = Open("\\\\.\\AcqA0");
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    QorDesp desp{};
    DWORD n = 0;
    ASSERT_TRUE(DeviceIoControl(h, ACQ_IOCTL_GET_DESP, nullptr, 0, &desp, sizeof desp, &n, nullptr));
    EXPECT_EQ(n, sizeof desp);
    EXPECT_EQ(desp.Status, QorOk);
    EXPECT_STREQ(desp.Buffers[0].EventName, "AcqA00");
    EXPECT_EQ(desp.OpenCount, 0) << "no other open";
    ASSERT_NE(desp.Buffers[0].UserAddress0, 0u);
    auto *ext = static_cast<QorDevExt *>(sim().objects.resolve(u"\\DosDevices\\AcqA0")->DeviceExtension);
    static_cast<uint16_t *>(ext->Buffers[0]->Whole.KernelAddr)[3] = 0xCAFE;
    EXPECT_EQ(reinterpret_cast<uint16_t *>(desp.Buffers[0].UserAddress0)[3], 0xCAFE)
        << "the program sees the card's buffer at the address the image reported";
    EXPECT_TRUE(CloseHandle(h));
    EXPECT_EQ(ext->Opened, 0);
}

// MmProbeAndLockPages raises for pages it cannot lock; the library's image catches it with
// its hand-built frame on fs:[0] and unwinds through RtlUnwind: the request is refused,
// nothing stays locked and the thread's handler chain is empty again.
TEST_F(Loader, AFailedProbeIsCaughtByTheImagesOwnFrame)
{
    qorsim::InProcess in(*program);
    HANDLE h = Open("\\\\.\\AcqC0");
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    ASSERT_TRUE(qorsim::has_thread_block());
    EXPECT_EQ(qorsim::exception_list(), reinterpret_cast<void *>(-1));
    for (int attempt = 0; attempt < 3; ++attempt) { // the frame is pushed and popped each time
        sim().faults.fail_nth(qorsim::Fault::ProbeAndLock, 1);
        AcqScatterRequest request{};
        request.Buffer = 0x10000000u; // a user address: the driver's checks let it through to the probe
        request.Bytes = 2 * 4096;
        DWORD n = 0;
        EXPECT_FALSE(DeviceIoControl(h, ACQ_IOCTL_SCATTER(0), &request, sizeof request, &request, 2, &n, nullptr));
        EXPECT_EQ(GetLastError(), kInvalidUserBuffer);
        EXPECT_EQ(sim().mdls.live(), 0u);
        EXPECT_EQ(qorsim::exception_list(), reinterpret_cast<void *>(-1)) << "a record left on the chain";
    }
    EXPECT_TRUE(CloseHandle(h));
}

// What the verifier reports of an image's calls names the place in the image: a pool
// block by the call that allocated it, a violation by the call that made it.
TEST_F(Loader, ReportsNameTheCallingRoutineInTheImage)
{
    void *block = QorNewNpp(24); // qorpelk.sys's code, through its export
    ASSERT_NE(block, nullptr);
    std::string site;
    for (const qorsim::PoolBlock &b : sim().pool.live_blocks())
        if (b.address == block)
            site = b.site;
    EXPECT_EQ(site.rfind("called from qorpelk.sys+0x", 0), 0u) << site;
    EXPECT_NE(site.find("(QorNewNpp+0x"), std::string::npos) << site;
    QorDeleteNpp(block);

    // A counted string whose header and buffer are no pool blocks: two frees refused.
    char16_t text[4] = {};
    UNICODE_STRING notPool{0, sizeof text, text};
    QorDeleteUcs(&notPool);
    const auto violations = sim().verifier.violations();
    ASSERT_EQ(violations.size(), 2u);
    EXPECT_NE(violations[0].find("which is no live pool block (called from qorpelk.sys+0x"), std::string::npos)
        << violations[0];
    EXPECT_NE(violations[0].find("(QorDeleteUcs+0x"), std::string::npos) << violations[0];
    sim().verifier.reset();
}

// After DriverEntry the INIT pages are gone: code that still reaches them is stopped with
// the address named.
TEST_F(Loader, AnAccessToDiscardedInitIsStoppedAndNamed)
{
    const qorsim::DriverImage &lib = library->image();
    uint32_t initRva = 0;
    for (const qorsim::ImageSection &s : lib.sections())
        if (s.name == "INIT")
            initRva = s.rva;
    ASSERT_NE(initRva, 0u);
    const volatile uint8_t *init = reinterpret_cast<const uint8_t *>(lib.base() + initRva + 0x10);
    EXPECT_EXIT((void)*init, ::testing::ExitedWithCode(3), "discarded INIT section at 0x[0-9a-f]+ \\(qorpelk\\.sys\\+0x");
}

// ---- images the loader refuses ----------------------------------------------------------

std::vector<uint8_t> ReadImage(const std::string &file)
{
    std::ifstream in(ImagePath(file), std::ios::binary);
    return std::vector<uint8_t>((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

void Rename(std::vector<uint8_t> &bytes, const std::string &from, const std::string &to)
{
    const std::string needle = from + '\0';
    auto at = std::search(bytes.begin(), bytes.end(), needle.begin(), needle.end());
    ASSERT_NE(at, bytes.end()) << from;
    std::copy(to.begin(), to.end(), at);
}

class LoaderRefusal : public SimTest {};

TEST_F(LoaderRefusal, ABrokenImageIsRefusedWithWhatIsWrong)
{
    QOR_NEED_IMAGES();
    struct Row {
        const char *name, *file;
        void (*damage)(std::vector<uint8_t> &);
        const char *expected;
    };
    const Row rows[] = {
        {"a routine the kernel lacks", "qorpelk.sys", [](auto &b) { Rename(b, "KeSetEvent", "KeSetEvenX"); },
         "ntoskrnl.exe!KeSetEvenX"},
        {"a module nothing provides", "qorpelk.sys", [](auto &b) { Rename(b, "HAL.dll", "HAX.dll"); },
         "HAX.dll!HalAssignSlotResources (HAX.dll is not loaded)"},
        {"the library not loaded first", "acqdrv.sys", [](auto &) {}, "qorpelk.sys!QorOpenDevice (qorpelk.sys is not loaded)"},
        {"no MZ header", "qorpelk.sys", [](auto &b) { b[0] = 'X'; }, "no MZ header"},
        {"another processor's image", "qorpelk.sys",
         [](auto &b) {
             const uint32_t pe = b[0x3C] | b[0x3D] << 8;
             b[pe + 4] = 0x64, b[pe + 5] = 0x86;
         },
         "not an i386 image"},
        {"a file cut short", "qorpelk.sys", [](auto &b) { b.resize(0x1000); }, "past the end of the file"},
    };
    // Where the first image would go: refused images must leave it free.
    void *first = qorsim::image_space_reserve(4096);
    ASSERT_NE(first, nullptr);
    qorsim::image_space_release(first, 4096);
    for (const Row &row : rows) {
        std::vector<uint8_t> bytes = ReadImage(row.file);
        row.damage(bytes);
        std::string error;
        EXPECT_EQ(qorsim::DriverImage::load(row.file, bytes, &error), nullptr) << row.name;
        EXPECT_NE(error.find(row.expected), std::string::npos) << row.name << ": " << error;
        EXPECT_EQ(error.rfind(std::string(row.file) + ": ", 0), 0u) << row.name << ": " << error;
    }
    void *again = qorsim::image_space_reserve(4096);
    EXPECT_EQ(again, first) << "a refused image left its pages mapped";
    qorsim::image_space_release(again, 4096);
}

} // namespace
