// Machine files: a broken file is refused with the file, line and field named; a good one
// builds the cards, registry, files, sources and faults it describes.
#include <gtest/gtest.h>

#include "support/sim_fixture.h"
#include "machine_file.h"

#include <sys/stat.h>
#include <unistd.h>

#include <fstream>

namespace {

// A minimal good machine; the table below breaks one thing in it at a time.
const char *kGood = R"({
  "name": "one card",
  "cards": [
    {
      "bus": 0, "device": 3,
      "vendor_id": "0x10E8", "device_id": "0x5A01",
      "bridge": "s5933",
      "bars": [ { "io": "0xE000", "length": 64, "model": "bridge" } ],
      "interrupt": 10
    }
  ]
})";

std::string Replace(std::string text, const std::string &from, const std::string &to)
{
    const size_t at = text.find(from);
    EXPECT_NE(at, std::string::npos) << from;
    return at == std::string::npos ? text : text.replace(at, from.size(), to);
}

// message: expected after "m.json:LINE: ".
struct BadFile { const char *what; std::string text; int line; const char *message; };

TEST(MachineFile, BrokenFilesNameTheLineAndTheField)
{
    const BadFile cases[] = {
        {"syntax", Replace(kGood, "\"bus\": 0,", "\"bus\": 0"), 5, "syntax error while parsing object"},
        {"bridge", Replace(kGood, "\"s5933\"", "\"s5934\""), 7,
         "cards[0].bridge: expected one of s5933, plx9050, plx9080, none, got \"s5934\""},
        {"misspelt field", Replace(kGood, "\"interrupt\"", "\"interupt\""), 9, "cards[0].interupt: unknown field"},
        {"length", Replace(kGood, "\"length\": 64", "\"length\": 48"), 8, "cards[0].bars[0].length: expected a power of two"},
        {"too short for the chip", Replace(kGood, "\"length\": 64", "\"length\": 32"), 8,
         "cards[0].bars[0].length: the s5933 registers need 64 ports"},
        {"alignment", Replace(kGood, "\"0xE000\"", "\"0xE020\""), 8, "cards[0].bars[0].io: the base must be aligned"},
        {"missing id", Replace(kGood, "\"device_id\": \"0x5A01\",", ""), 4, "cards[0].device_id: missing"},
        {"fault count", Replace(kGood, "\"cards\"", "\"faults\": [ { \"kind\": \"pool\", \"nth\": 0 } ],\n  \"cards\""), 3,
         "faults[0].nth: counts from 1"},
        {"registry value", Replace(kGood, "\"cards\"", "\"registry\": { \"Parameters\": { \"AI\": true } },\n  \"cards\""), 3,
         "registry.Parameters.AI: expected a number (REG_DWORD) or a string (REG_SZ)"},
        {"file contents", Replace(kGood, "\"cards\"", "\"files\": [ { \"name\": \"a.bin\" } ],\n  \"cards\""), 3,
         "files[0]: give exactly one of"},
        {"same function", Replace(kGood, "10\n    }", "10\n    },\n    { \"bus\": 0, \"device\": 3, \"vendor_id\": 1, \"device_id\": 2 }"),
         11, "cards[1]: bus 0 device 3 function 0 is taken by cards[0]"},
        {"overlapping ports", Replace(kGood, "10\n    }", "10\n    },\n    { \"bus\": 0, \"device\": 4, \"vendor_id\": 1, "
                                      "\"device_id\": 2,\n      \"bars\": [ { \"io\": \"0xE020\", \"length\": 32 } ] }"),
         12, "cards[1].bars[0].io: ports overlap those of cards[0].bars[0]"},
        {"pattern", Replace(kGood, "\"interrupt\": 10", "\"interrupt\": 10, \"source\": { \"pattern\": \"saw\" }"), 9,
         "cards[0].source.pattern: expected one of sequence, sine, square, triangle"},
        {"FIFO on an S5933 card", Replace(kGood, "\"interrupt\": 10", "\"interrupt\": 10, \"fifo\": { \"depth\": 64 }"), 9,
         "cards[0].fifo: only a PLX 9050 card has an add-on FIFO"},
        {"FIFO without a register range",
         Replace(Replace(Replace(kGood, "\"s5933\"", "\"plx9050\""), "\"length\": 64", "\"length\": 128"),
                 "\"interrupt\": 10", "\"interrupt\": 10, \"fifo\": { \"depth\": 64 }"),
         9, "cards[0].fifo: the FIFO answers in the card's register range"},
        {"FIFO level above its depth",
         Replace(Replace(Replace(kGood, "\"s5933\"", "\"plx9050\""), "\"length\": 64, \"model\": \"bridge\"",
                         "\"length\": 128, \"model\": \"registers\""),
                 "\"interrupt\": 10", "\"interrupt\": 10, \"fifo\": { \"depth\": 64, \"level\": 65 }"),
         9, "cards[0].fifo.level"},
        {"ports inside another range", Replace(kGood, "10\n    }", "10\n    },\n    { \"bus\": 0, \"device\": 4, \"vendor_id\": 1, "
                                      "\"device_id\": 2,\n      \"bars\": [ { \"io\": \"0xD000\", \"length\": 4 }, "
                                      "{ \"io\": \"0xE03C\", \"length\": 4 } ] }"),
         12, "cards[1].bars[1].io: ports overlap those of cards[0].bars[0]"},
        {"ports around another range", Replace(kGood, "10\n    }", "10\n    },\n    { \"bus\": 0, \"device\": 4, \"vendor_id\": 1, "
                                      "\"device_id\": 2,\n      \"bars\": [ { \"io\": \"0xE000\", \"length\": 256 } ] }"),
         12, "cards[1].bars[0].io: ports overlap those of cards[0].bars[0]"},
        {"same key twice", Replace(kGood, "\"bus\": 0,", "\"bus\": 0, \"bus\": 1,"), 5, "cards[0].bus: given twice in the same object"},
        {"same key twice at the top", Replace(kGood, "\"name\": \"one card\",", "\"name\": \"a\",\n  \"name\": \"b\","), 3,
         "name: given twice"},
        {"nested too deep", Replace(kGood, "\"interrupt\": 10", "\"interrupt\": " + std::string(40, '[') + std::string(40, ']')),
         9, "nested deeper than 16 levels"},
        {"NUL in a string", Replace(kGood, "\"one card\"", std::string("\"one\0card\"", 10)), 2, "control character U+0000"},
        {"file out of the folder",
         Replace(kGood, "\"cards\"", "\"files\": [ { \"name\": \"p\", \"path\": \"../../../../../../etc/passwd\" } ],\n  \"cards\""), 3,
         "files[0].path: \"../../../../../../etc/passwd\" leads out of the machine file's folder"},
        {"file by absolute path",
         Replace(kGood, "\"cards\"", "\"files\": [ { \"name\": \"p\", \"path\": \"/etc/passwd\" } ],\n  \"cards\""), 3,
         "files[0].path: expected a path relative to the machine file's folder"},
        {"a folder as a file",
         Replace(kGood, "\"cards\"", "\"files\": [ { \"name\": \"p\", \"path\": \".\" } ],\n  \"cards\""), 3,
         "files[0].path: " },
    };
    for (const BadFile &c : cases) {
        qorsim::MachineSpec desc;
        std::string error;
        EXPECT_FALSE(qorsim::parse_machine(c.text, "m.json", ".", &desc, &error)) << c.what;
        const std::string where = "m.json:" + std::to_string(c.line) + ":";
        EXPECT_EQ(error.rfind(where, 0), 0u) << c.what << ": " << error;
        EXPECT_NE(error.find(c.message), std::string::npos) << c.what << ": " << error;
    }
}

// Files that are no machine file are refused by what they are, before a byte is parsed.
TEST(MachineFile, WhatIsNoFileIsRefusedByWhatItIs)
{
    const std::string dir = ::testing::TempDir() + "machine_file_inputs";
    mkdir(dir.c_str(), 0755);
    const std::string fifo = dir + "/fifo.json", big = dir + "/big.json";
    unlink(fifo.c_str());
    ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
    std::ofstream(big) << "{\"description\": \"" << std::string(qorsim::kMaxMachineFileBytes, 'x') << "\"}";
    struct Case { std::string path; const char *message; };
    const Case cases[] = {
        {dir, ": is a directory, not a file"},
        {"/dev/zero", ": is not a regular file"},
        {fifo, ": is not a regular file"},
        {big, ": is 2097171 bytes; at most 2097152 are read"},
        {dir + "/missing.json", ": cannot read the file: No such file or directory"},
    };
    for (const Case &c : cases) {
        qorsim::MachineSpec desc;
        std::string error;
        EXPECT_FALSE(qorsim::load_machine_file(c.path, &desc, &error)) << c.path;
        EXPECT_EQ(error.rfind(c.path + c.message, 0), 0u) << c.path << ": " << error;
    }
    unlink(fifo.c_str());
    unlink(big.c_str());
}

// Files of the drivers folder are read from the machine file's folder and below it only.
TEST(MachineFile, FilesComeFromTheMachineFilesFolder)
{
    const std::string dir = ::testing::TempDir() + "machine_file_folder";
    mkdir(dir.c_str(), 0755);
    mkdir((dir + "/images").c_str(), 0755);
    std::ofstream(dir + "/images/fpga.bin", std::ios::binary) << "abc";
    unlink((dir + "/images/out").c_str());
    ASSERT_EQ(symlink("/etc", (dir + "/images/out").c_str()), 0);
    struct Case { const char *path; bool ok; };
    const Case cases[] = {
        {"images/fpga.bin", true},
        {"./images/../images/fpga.bin", true},
        {"images/out/passwd", false}, // a link that leads out
        {"../machine_file_folder/images/fpga.bin", true},
        {"..", false},
    };
    for (const Case &c : cases) {
        std::ofstream(dir + "/m.json") << "{ \"files\": [ { \"name\": \"f.bin\", \"path\": \"" << c.path << "\" } ] }";
        qorsim::MachineSpec desc;
        std::string error;
        EXPECT_EQ(qorsim::load_machine_file(dir + "/m.json", &desc, &error), c.ok) << c.path << ": " << error;
        if (c.ok) {
            ASSERT_EQ(desc.files.size(), 1u);
            EXPECT_EQ(desc.files[0].contents, (std::vector<uint8_t>{'a', 'b', 'c'})) << c.path;
        } else {
            EXPECT_NE(error.find(dir + "/m.json:1: files[0].path: "), std::string::npos) << error;
        }
    }
    unlink((dir + "/images/out").c_str());
}

// Ten thousand cards with ranges side by side are taken; one more whose range meets the
// first card's is refused by its own line. (How fast belongs to the benchmarks.)
TEST(MachineFile, ManyCardsAreCheckedAgainstEachOther)
{
    std::string text = "{ \"cards\": [\n";
    for (unsigned i = 0; i < 10000; ++i)
        text += "{ \"bus\": " + std::to_string(i / 256) + ", \"device\": " + std::to_string(i / 8 % 32) +
                ", \"function\": " + std::to_string(i % 8) + ", \"vendor_id\": 1, \"device_id\": 2, \"bars\": [ { \"io\": " +
                std::to_string(0x4000 + 4 * i) + ", \"length\": 4 } ] },\n";
    qorsim::MachineSpec desc;
    std::string error;
    EXPECT_TRUE(qorsim::parse_machine(text.substr(0, text.size() - 2) + "\n] }", "m.json", ".", &desc, &error)) << error;
    EXPECT_EQ(desc.cards.size(), 10000u);
    text += "{ \"bus\": 100, \"device\": 0, \"vendor_id\": 1, \"device_id\": 2, \"bars\": [ { \"io\": 16388, \"length\": 4 } ] }\n] }";
    EXPECT_FALSE(qorsim::parse_machine(text, "m.json", ".", &desc, &error));
    EXPECT_EQ(error, "m.json:10002: cards[10000].bars[0].io: ports overlap those of cards[1].bars[0]");
}

class BuiltMachineTest : public SimTest {};


TEST_F(BuiltMachineTest, BuildsWhatTheFileDescribes)
{
    const char *text = R"({
  "driver": "mydrv",
  "buses": [5],
  "cards": [
    { "bus": 1, "device": 2, "function": 1, "vendor_id": "0x10B5", "device_id": "0x9050",
      "subsystem_vendor_id": "0x1A2B", "subsystem_id": "0x9051", "multifunction": true, "bridge": "plx9050",
      "bars": [ { "memory": "0xFEB00000", "length": 128 }, { "io": "0xD000", "length": 128, "model": "bridge" } ],
      "interrupt": 11 }
  ],
  "registry": { "Parameters": { "AI": 64, "FPGA": "x.bin" }, "": { "Start": 3 } },
  "files": [ { "name": "x.bin", "hex": "01 02 ff" } ]
})";
    qorsim::MachineSpec desc;
    std::string error;
    ASSERT_TRUE(qorsim::parse_machine(text, "m.json", ".", &desc, &error)) << error;
    qorsim::BuiltMachine built(desc);

    EXPECT_TRUE(sim().pci.has_bus(5));
    qorsim::PciFunction *f = sim().pci.find(1, 2 | (1 << 5));
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(f->read(0, 4), 0x905010B5u);
    EXPECT_EQ(f->read(44, 4), 0x90511A2Bu);
    EXPECT_EQ(f->read(14, 1) & 0x80, 0x80u);
    EXPECT_EQ(f->interrupt_line(), 11);
    EXPECT_EQ(f->bar(0), 0xFEB00000u);
    EXPECT_EQ(f->bar(1), 0xD001u);
    // The 9050 answers at its INTCSR through the I/O BAR.
    EXPECT_EQ(sim().ports.owner(0xD04C), "plx9050");

    qorsim::RegistryValue v;
    const std::u16string key = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\mydrv";
    ASSERT_TRUE(sim().registry.find(key + u"\\Parameters", u"AI", &v));
    EXPECT_EQ(v.type, ULONG(REG_DWORD));
    ASSERT_TRUE(sim().registry.find(key, u"Start", &v));
    EXPECT_TRUE(sim().files.contains(u"x.bin"));
}

// The sequence a card writes, from any count (across the 16-bit wrap), at any byte
// alignment and any length: every sample is its running number and nothing outside the
// samples asked for is touched. Natively the vector loop writes whole passes of 64
// samples; under qemu the word loop does.
TEST_F(BuiltMachineTest, SequenceSamplesRunOnAcrossTheWrapAtAnyAlignment)
{
    for (uint32_t start : {0u, 0xFFC0u - 5, 0x1FFFFu})
        for (uint32_t offset : {0u, 1u, 2u, 3u})
            for (uint32_t count : {1u, 2u, 63u, 64u, 65u, 131u, 300u}) {
                SCOPED_TRACE("from " + std::to_string(start) + " at +" + std::to_string(offset) + ", " +
                             std::to_string(count) + " samples");
                qorsim::models::SignalSource source;
                source.skip(start);
                std::vector<uint8_t> bytes(2 * count + 8, 0xEE);
                source.fill(bytes.data() + offset, 2 * count, 2);
                EXPECT_EQ(source.produced(), start + count);
                for (uint32_t i = 0; i < count; ++i) {
                    const uint16_t s = static_cast<uint16_t>(bytes[offset + 2 * i] | bytes[offset + 2 * i + 1] << 8);
                    ASSERT_EQ(s, static_cast<uint16_t>(start + i)) << "sample " << i;
                }
                for (uint32_t b = 0; b < bytes.size(); ++b) {
                    if (b < offset || b >= offset + 2 * count) {
                        ASSERT_EQ(bytes[b], 0xEE) << "byte " << b << " outside the samples";
                    }
                }
            }
}

TEST_F(BuiltMachineTest, PeriodicSourcesSwingAroundMidScale)
{
    // Over one period of 16-bit samples every pattern reaches mid-scale plus and minus its amplitude.
    for (const char *pattern : {"sine", "square", "triangle"}) {
        qorsim::models::SignalSource source;
        source.pattern = pattern[1] == 'i' ? qorsim::models::SignalSource::Pattern::Sine
                         : pattern[1] == 'q' ? qorsim::models::SignalSource::Pattern::Square
                                               : qorsim::models::SignalSource::Pattern::Triangle;
        source.period = 64;
        source.amplitude = 1000;
        uint8_t bytes[2 * 64];
        source.fill(bytes, sizeof bytes, 2);
        int64_t low = 0xFFFF, high = 0;
        for (int i = 0; i < 64; ++i) {
            const int64_t s = bytes[2 * i] | (bytes[2 * i + 1] << 8);
            low = std::min(low, s);
            high = std::max(high, s);
        }
        EXPECT_EQ(low, 0x7FFF - 1000) << pattern;
        EXPECT_EQ(high, 0x7FFF + 1000) << pattern;
        EXPECT_EQ(source.produced(), 64u);
    }
}

} // namespace
