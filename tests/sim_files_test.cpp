// The simulator's drivers-directory files: open by full path, size query, whole-file and
// short reads, handle closing and the verifier's rules.
#include <gtest/gtest.h>

#include "support/sim_fixture.h"

namespace {

class SimFiles : public SimTest {
protected:
    HANDLE handle = nullptr;
    IO_STATUS_BLOCK io{};

    NTSTATUS Open(const char16_t *path)
    {
        UNICODE_STRING name;
        RtlInitUnicodeString(&name, path);
        OBJECT_ATTRIBUTES attributes;
        InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE, nullptr, nullptr);
        return ZwCreateFile(&handle, SYNCHRONIZE | FILE_READ_DATA, &attributes, &io, nullptr, FILE_ATTRIBUTE_NORMAL,
                            FILE_SHARE_READ, FILE_OPEN, FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0);
    }
};

TEST_F(SimFiles, OpensQueriesReadsAndCloses)
{
    sim().files.add(u"Card.Bit", {1, 2, 3, 4, 5});
    ASSERT_EQ(Open(u"\\SYSTEMROOT\\System32\\Drivers\\card.bit"), STATUS_SUCCESS);
    EXPECT_EQ(io.Information, ULONG_PTR(FILE_OPENED));

    FILE_STANDARD_INFORMATION info{};
    ASSERT_EQ(ZwQueryInformationFile(handle, &io, &info, sizeof info, FileStandardInformation), STATUS_SUCCESS);
    EXPECT_EQ(info.EndOfFile.QuadPart, 5);
    EXPECT_EQ(info.AllocationSize.QuadPart, 4096);

    uint8_t buffer[8] = {};
    sim().files.limit_reads(2); // a short read first, then the rest from the file position
    ASSERT_EQ(ZwReadFile(handle, nullptr, nullptr, nullptr, &io, buffer, sizeof buffer, nullptr, nullptr),
              STATUS_SUCCESS);
    EXPECT_EQ(io.Information, 2u);
    sim().files.limit_reads(qorsim::FileStore::kNoReadLimit);
    ASSERT_EQ(ZwReadFile(handle, nullptr, nullptr, nullptr, &io, buffer + 2, sizeof buffer - 2, nullptr, nullptr),
              STATUS_SUCCESS);
    EXPECT_EQ(io.Information, 3u);
    EXPECT_EQ(std::vector<uint8_t>(buffer, buffer + 5), (std::vector<uint8_t>{1, 2, 3, 4, 5}));
    EXPECT_EQ(ZwReadFile(handle, nullptr, nullptr, nullptr, &io, buffer, sizeof buffer, nullptr, nullptr),
              STATUS_END_OF_FILE);

    EXPECT_EQ(sim().files.open_files(), 1u);
    EXPECT_EQ(ZwClose(handle), STATUS_SUCCESS);
    EXPECT_EQ(sim().files.open_files(), 0u);
    EXPECT_EQ(sim().handles.leak_report(), "");
}

TEST_F(SimFiles, MissingNamesAndOtherDirectories)
{
    sim().files.add(u"card.bit", {1});
    EXPECT_EQ(Open(u"\\SystemRoot\\system32\\drivers\\other.bit"), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(Open(u"\\SystemRoot\\system32\\card.bit"), STATUS_OBJECT_PATH_NOT_FOUND);
    EXPECT_EQ(Open(u"\\SystemRoot\\system32\\drivers\\x\\card.bit"), STATUS_OBJECT_PATH_NOT_FOUND);
    EXPECT_EQ(sim().handles.open_count(), 0u);
}

TEST_F(SimFiles, LeftOpenHandleIsReported)
{
    sim().files.add(u"card.bit", {1});
    ASSERT_EQ(Open(u"\\SystemRoot\\system32\\drivers\\card.bit"), STATUS_SUCCESS);
    EXPECT_NE(sim().handles.leak_report().find("file"), std::string::npos);
    ZwClose(handle);
}

TEST_F(SimFiles, FileOperationsAbovePassiveLevelAreViolations)
{
    sim().files.add(u"card.bit", {1});
    qorsim::set_current_irql(DISPATCH_LEVEL);
    const NTSTATUS status = Open(u"\\SystemRoot\\system32\\drivers\\card.bit");
    qorsim::set_current_irql(PASSIVE_LEVEL);
    ASSERT_EQ(status, STATUS_SUCCESS);
    ZwClose(handle);
    const auto violations = sim().verifier.violations();
    ASSERT_EQ(violations.size(), 1u);
    EXPECT_EQ(violations[0], "ZwCreateFile above PASSIVE_LEVEL");
    sim().verifier.reset();
}

} // namespace
