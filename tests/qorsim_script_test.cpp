// Scripted user programs: a broken script is refused with its line and what is wrong; a
// run counts every step whose outcome differs from its expectation, so that a CI job
// fails on a driver that answers wrongly.
#include <gtest/gtest.h>

#include "support/sim_fixture.h"
#include "control_device.h"
#include "default_machine.h"
#include "script.h"

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath);

namespace {

TEST(QorsimScript, BrokenScriptsNameTheLine)
{
    struct Case { const char *text; const char *error; };
    const Case cases[] = {
        {"open a \\\\.\\AcqA0\nfrobnicate a\n", "s.qs:2: unknown step \"frobnicate\""},
        {"ioctl a 0xADC02040\n", "s.qs:1: ioctl: no handle named \"a\" is open here"},
        {"open a \\\\.\\AcqA0\nopen a \\\\.\\AcqA1\n", "s.qs:2: open: the handle \"a\" is open already"},
        {"open a\n", "s.qs:1: open: expected NAME DEVICE"},
        {"open a \\\\.\\AcqA0\n\n# comment\nioctl a 0xADC02040 in=u16:70000\n", "s.qs:4: in: 70000 is out of range (0 to 65535)"},
        {"open a \\\\.\\AcqA0\nioctl a 0xADC02040 status=QorOk\n", "s.qs:2: ioctl: status= needs out= of at least 2"},
        {"open a \\\\.\\AcqA0\nioctl a 0xADC02040 out=8 check=6:u32=1\n", "s.qs:2: ioctl: check= reads past out=8"},
        {"acquire \\\\.\\AcqA0\n", "s.qs:1: acquire: halves= is missing"},
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

} // namespace
