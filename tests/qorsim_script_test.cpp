// Scripted user programs: a broken script is refused with its line and what is wrong; a
// run counts every step whose outcome differs from its expectation, so that a CI job
// fails on a driver that answers wrongly.
#include <gtest/gtest.h>

#include "support/sim_fixture.h"
#include "control_device.h"
#include "default_machine.h"
#include "run.h"
#include "script.h"

#include <fstream>

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath);

namespace {

TEST(QorsimScript, BrokenScriptsNameTheLine)
{
    using namespace std::string_literals; // "..."s keeps a NUL inside the text
    struct Case { std::string text; const char *error; };
    const Case cases[] = {
        {"open a \\\\.\\AcqA0\nfrobnicate a\n", "s.qs:2: unknown step \"frobnicate\""},
        {"ioctl a 0xADC02040\n", "s.qs:1: ioctl: no handle named \"a\" is open here"},
        {"open a \\\\.\\AcqA0\nopen a \\\\.\\AcqA1\n", "s.qs:2: open: the handle \"a\" is open already"},
        {"open a\n", "s.qs:1: open: expected NAME DEVICE"},
        {"open a \\\\.\\AcqA0\n\n# comment\nioctl a 0xADC02040 in=u16:70000\n", "s.qs:4: in: 70000 is out of range (0 to 65535)"},
        {"open a \\\\.\\AcqA0\nioctl a 0xADC02040 status=QorOk\n", "s.qs:2: ioctl: status= needs out= of at least 2"},
        {"open a \\\\.\\AcqA0\nioctl a 0xADC02040 out=8 check=6:u32=1\n", "s.qs:2: ioctl: check= reads past out=8"},
        {"acquire \\\\.\\AcqA0\n", "s.qs:1: acquire: halves= is missing"},
        {"open a \\\\.\\AcqA0\nclose a\0 # the rest of the line\n"s, "s.qs:2: a control character (0x00) at column 8"},
        {"open a \\\\.\\AcqA0\x1b[0m\n", "s.qs:1: a control character (0x1B) at column 17"},
        {"acquire \\\\.\\AcqA0 halves=2 start=fn:0x845\n",
         "s.qs:1: acquire: start=fn:0x845 takes 0 bytes in and 8 out; the start request takes 22 in and 2 out"},
        {"acquire \\\\.\\AcqA0 halves=2 stop=0x12345678\n", "s.qs:1: acquire: stop=0x12345678 is no row of the library's"},
        {"acquire \\\\.\\AcqA0 halves=2 half=fn:0x7FF\n", "s.qs:1: acquire: half=0xADC01FFC is no row"},
        {"acquire \\\\.\\AcqA0 halves=2 buffer=4\n", "s.qs:1: buffer: 4 is out of range (0 to 3)"},
        {"acquire \\\\.\\AcqA0 halves=2 sart=fn:0x875\n", "s.qs:1: acquire: unknown option sart="},
        {"# nothing but a comment\n", "s.qs: no steps"},
    };
    for (const Case &c : cases) {
        std::vector<qortool::Step> steps;
        std::string error;
        EXPECT_FALSE(qortool::parse_script(c.text, "s.qs", &steps, &error)) << c.text;
        EXPECT_EQ(error.rfind(c.error, 0), 0u) << c.text << "gave: " << error;
    }
}

TEST(QorsimScript, RecordsArePackedLittleEndianInOrder)
{
    std::vector<qortool::Step> steps;
    std::string error;
    ASSERT_TRUE(qortool::parse_script("open a \\\\.\\X\nioctl a fn:0x8A2 in=i16:-2,u8:7,u32:0x01020304 out=2\n", "s.qs",
                                      &steps, &error))
        << error;
    ASSERT_EQ(steps.size(), 2u);
    EXPECT_EQ(steps[1].code, 0xADC02288u);
    EXPECT_EQ(steps[1].input, (std::vector<uint8_t>{0xFE, 0xFF, 0x07, 0x04, 0x03, 0x02, 0x01}));
    EXPECT_EQ(steps[1].line, 2);
}

class QorsimScriptRun : public SimTest {
protected:
    // Runs the script against the default machine and the sample driver; returns the
    // failures and the report.
    unsigned Run(const std::string &text, std::string *report)
    {
        std::vector<qortool::Step> steps;
        std::string error;
        EXPECT_TRUE(qortool::parse_script(text, "s.qs", &steps, &error)) << error;
        unsigned failures = 0;
        {
            qorsim::DefaultMachine board;
            qorsim::LoadedDriver library("qorpelk", QOR_LIBRARY_ENTRY, "");
            EXPECT_EQ(library.load(), STATUS_SUCCESS);
            qorsim::LoadedDriver driver("acqdrv", DriverEntry, qorsim::DefaultMachine::kServiceKeyAscii);
            EXPECT_EQ(driver.load(), STATUS_SUCCESS);
            qorsim::Process &app = sim().processes.create("script");
            char *buffer = nullptr;
            size_t size = 0;
            std::FILE *out = open_memstream(&buffer, &size);
            {
                qorsim::InProcess in(app);
                failures = qortool::run_script(steps, out, qortool::ScriptHooks{});
            }
            std::fclose(out);
            *report = std::string(buffer, size);
            std::free(buffer);
            sim().dpcs.drain();
            driver.unload();
            library.unload();
            sim().processes.end(app);
        }
        return failures;
    }
};

TEST_F(QorsimScriptRun, EveryUnmetExpectationCounts)
{
    std::string report;
    // Each line below answers differently from what it expects, but one.
    const unsigned failures = Run("open a \\\\.\\AcqA0\n"
                                  "ioctl a 0xADC02040 out=298 status=QorOk check=6:u16=3\n" // met: slot 3
                                  "ioctl a 0xADC02040 out=298 check=6:u16=4\n"              // the slot is 3
                                  "ioctl a 0xADC02040 out=298 returned=2\n"                 // 298 come back
                                  "ioctl a fn:0x7FF out=2\n"                                // refused
                                  "ioctl a fn:0x7FF out=2 expect=error:2\n"                 // refused with 87
                                  "open b \\\\.\\AcqZ9\n"                                   // no such device
                                  "close a\n",
                                  &report);
    EXPECT_EQ(failures, 5u) << report;
    EXPECT_NE(report.find("FAIL line 3"), std::string::npos) << report;
    EXPECT_NE(report.find("field at 6 is 3 (expected 4)"), std::string::npos) << report;
    EXPECT_EQ(report.find("FAIL line 2"), std::string::npos) << report;
    EXPECT_NE(report.find("ERROR_INVALID_PARAMETER (expected ERROR_FILE_NOT_FOUND)"), std::string::npos) << report;
}

// `qorsim run` as a driver writer calls it: its exit status and report.
class QorsimRun : public SimTest {
protected:
    std::string File(const std::string &name, const std::string &text)
    {
        const std::string path = ::testing::TempDir() + "qorsim_run_" + name;
        std::ofstream(path, std::ios::binary) << text;
        return path;
    }
    int Run(qortool::RunOptions options, std::string *report, std::string *errors = nullptr)
    {
        char *buffer = nullptr;
        size_t size = 0;
        options.report = open_memstream(&buffer, &size);
        options.progress = false;
        ::testing::internal::CaptureStderr();
        const int status = qortool::run_machine(options);
        const std::string err = ::testing::internal::GetCapturedStderr();
        std::fclose(options.report);
        *report = std::string(buffer, size);
        std::free(buffer);
        if (errors)
            *errors = err;
        return status;
    }
};

// Requests the sample driver pends until its card has moved the samples complete while the
// script waits, as they do for a built program; nothing is left behind.
TEST_F(QorsimRun, PendedRequestsOfAScriptComplete)
{
    struct Case { const char *name; const char *script; const char *shows; };
    const Case cases[] = {
        {"synchronous start, then stop",
         "open a \\\\.\\AcqA0\n"
         "ioctl a fn:0x875 in=i16:0,u32:1024,u32:0,u16:0,u16:0,u16:1,u16:1,u32:0 out=2 status=QorOk\n"
         "ioctl a fn:0x845 out=8 status=QorErrSynchronous\n" // nothing runs to stop
         "close a\n",
         "status -108"},
        {"two synchronous starts on two cards",
         "open a \\\\.\\AcqA0\nopen b \\\\.\\AcqA1\n"
         "ioctl a fn:0x875 in=i16:0,u32:4096,u32:0,u16:0,u16:0,u16:1,u16:1,u32:0 out=2 status=QorOk\n"
         "ioctl b fn:0x875 in=i16:0,u32:4096,u32:0,u16:0,u16:0,u16:1,u16:1,u32:0 out=2 status=QorOk\n"
         "close a\nclose b\n",
         "close b"},
        {"the acquisition with the sample codes named",
         "acquire \\\\.\\AcqA0 halves=3 describe=fn:0x810 mode=fn:0x865 start=fn:0x875 half=fn:0x855 "
         "progress=fn:0x835 stop=fn:0x845\n",
         "3 halves of 16384 samples, 0 lost"},
        {"a buffer the card does not fill",
         "acquire \\\\.\\AcqA0 halves=3 buffer=1 wait=50 expect=error\n", "stopped at \"wait for a half\""},
    };
    for (const Case &c : cases) {
        qortool::RunOptions options;
        options.machine = "default";
        options.program = File("pended.qs", c.script);
        std::string report;
        EXPECT_EQ(Run(options, &report), 0) << c.name << "\n" << report;
        EXPECT_NE(report.find(c.shows), std::string::npos) << c.name << "\n" << report;
        EXPECT_EQ(report.find("FAIL"), std::string::npos) << c.name << "\n" << report;
    }
}

TEST_F(QorsimRun, WithoutAProgramTheSampleProgramRuns)
{
    struct Case { const char *name; std::vector<std::string> args; int status; const char *shows; };
    const Case cases[] = {
        {"defaults", {}, 0, "acquire \\\\.\\AcqA0 halves=20"},
        {"device and halves", {"\\\\.\\AcqA1", "4"}, 0, "4 halves of 16384 samples, 0 lost"},
        {"a card without the buffer", {"\\\\.\\AcqB0", "4"}, 1, "FAIL line 1"},
    };
    for (const Case &c : cases) {
        qortool::RunOptions options;
        options.machine = "default";
        options.program_args = c.args;
        std::string report;
        EXPECT_EQ(Run(options, &report), c.status) << c.name << "\n" << report;
        EXPECT_NE(report.find(c.shows), std::string::npos) << c.name << "\n" << report;
    }
}

// Options that cannot be used are refused before the machine runs: no report is begun.
TEST_F(QorsimRun, UnusableOptionsAreRefusedBeforeTheRun)
{
    struct Case { const char *name; void (*set)(qortool::RunOptions &); const char *error; };
    const Case cases[] = {
        {"unknown card", [](qortool::RunOptions &o) { o.filter.cards = {"9:99.9"}; }, "--card 9:99.9: no card"},
        {"unknown register", [](qortool::RunOptions &o) { o.filter.registers = {"FOO"}; }, "--register FOO: no range"},
        {"a known and an unknown register", [](qortool::RunOptions &o) { o.filter.registers = {"MCSR", "MSCR"}; },
         "--register MSCR"},
        {"trace into a missing folder", [](qortool::RunOptions &o) { o.trace = "/nonexistent/run.trace"; },
         "--trace: /nonexistent/run.trace: the folder /nonexistent does not exist"},
        {"trace onto a folder", [](qortool::RunOptions &o) { o.trace = ::testing::TempDir(); }, "is a directory"},
        {"plot of another kind", [](qortool::RunOptions &o) { o.plot = ::testing::TempDir() + "run.jpg"; },
         "the picture is written as .svg or .png"},
        {"plot into a missing folder", [](qortool::RunOptions &o) { o.plot = "/nonexistent/run.svg"; },
         "--plot: /nonexistent/run.svg: the folder"},
        {"sample program with too many arguments",
         [](qortool::RunOptions &o) { o.program_args = {"\\\\.\\AcqA0", "4", "9"}; }, "--arg:"},
        {"sample program halves", [](qortool::RunOptions &o) { o.program_args = {"\\\\.\\AcqA0", "many"}; },
         "halves: \"many\" is not a number"},
        {"a device as the program", [](qortool::RunOptions &o) { o.program = "/dev/zero"; },
         "/dev/zero: is not a regular file"},
        {"a folder as the program", [](qortool::RunOptions &o) { o.program = "/"; }, "/: is a directory, not a file"},
        {"a device as the driver", [](qortool::RunOptions &o) { o.driver = "/dev/zero"; },
         "--driver: /dev/zero: is not a regular file"},
    };
    for (const Case &c : cases) {
        qortool::RunOptions options;
        options.machine = "default";
        c.set(options);
        std::string report, errors;
        EXPECT_EQ(Run(options, &report, &errors), 2) << c.name;
        EXPECT_NE(errors.find(c.error), std::string::npos) << c.name << ": " << errors;
        EXPECT_EQ(report, "") << c.name;
    }
    // The filters that name something of the machine run.
    qortool::RunOptions options;
    options.machine = "default";
    options.program = File("open.qs", "open a \\\\.\\AcqA0\nclose a\n");
    options.filter.cards = {"s5933", "2:04.0"};
    options.filter.registers = {"mcsr", "INTCSR", "8254"};
    std::string report;
    EXPECT_EQ(Run(options, &report), 0) << report;
}

} // namespace
