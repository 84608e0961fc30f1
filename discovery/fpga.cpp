#include "fpga.h"

#include "owners.h"

namespace {

// The drivers directory the configuration file's name is relative to.
constexpr WCHAR kDriversDirectory[] = QOR_W("\\SystemRoot\\system32\\drivers\\");
// Room the path buffer has beyond the name's capacity: the directory and a terminator.
constexpr ULONG kPathExtraBytes = 60;
static_assert(sizeof(kDriversDirectory) == kPathExtraBytes, "58-byte directory and its NUL");
constexpr ULONG kLongestCountedString = 0xFFFE;

// Configuration port: control word written, status read.
constexpr USHORT kProgramHeld = 0x0100;     // program line held: FPGA in configuration reset
constexpr USHORT kProgramReleased = 0x0000; // program line released: FPGA takes data
constexpr ULONG kStatusReady = 1u << 0;
constexpr ULONG kStatusComplete = (1u << 1) | (1u << 2);
constexpr ULONG kStatusStartupDone = 1u << 2;
constexpr ULONG kStatusBusy = 1u << 3;

constexpr int kAttempts = 5;
constexpr LONG kSettleMilliseconds = 1;
constexpr ULONG kClosingReads = 1000;

// A nonpaged block that is not zero-filled: its contents are written before they are read.
PVOID NewUnfilledNpp(ULONG size) { return ExAllocatePoolWithTag(NonPagedPool, size, QOR_POOL_TAG); }

// An open file handle, closed on every path out of the scope, or earlier by Close().
class FileHandle {
public:
    FileHandle() = default;
    ~FileHandle() { Close(); }
    FileHandle(const FileHandle &) = delete;
    FileHandle &operator=(const FileHandle &) = delete;

    PHANDLE Receive() { return &handle_; }
    HANDLE Get() const { return handle_; }
    void Close()
    {
        if (handle_ != nullptr)
            ZwClose(handle_);
        handle_ = nullptr;
    }

private:
    HANDLE handle_ = nullptr;
};

// Opens the file by its path under the drivers directory. The path lives only for the open.
// Any failure of the open itself reports STATUS_NO_SUCH_FILE, whatever the cause.
NTSTATUS OpenConfigurationFile(PUNICODE_STRING fileName, FileHandle *file)
{
    const ULONG capacity = ULONG{fileName->MaximumLength} + kPathExtraBytes;
    qor::NppOwner buffer(NewUnfilledNpp(capacity));
    if (!buffer)
        return STATUS_INSUFFICIENT_RESOURCES;
    UNICODE_STRING directory;
    RtlInitUnicodeString(&directory, kDriversDirectory);
    UNICODE_STRING path;
    path.Buffer = buffer.as<WCHAR>();
    path.Length = 0;
    // A counted string holds at most 0xFFFE bytes. A name too long to follow the directory
    // in it names no file that can be opened; the bare directory must not be opened instead.
    path.MaximumLength = static_cast<USHORT>(capacity > kLongestCountedString ? kLongestCountedString : capacity);
    RtlAppendUnicodeStringToString(&path, &directory);
    if (!NT_SUCCESS(RtlAppendUnicodeStringToString(&path, fileName)))
        return STATUS_NO_SUCH_FILE;

    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &path, OBJ_CASE_INSENSITIVE, nullptr, nullptr);
    IO_STATUS_BLOCK io;
    const NTSTATUS status = ZwCreateFile(file->Receive(), SYNCHRONIZE | FILE_READ_DATA, &attributes, &io, nullptr,
                                         FILE_ATTRIBUTE_NORMAL, FILE_SHARE_READ, FILE_OPEN,
                                         FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0);
    if (!NT_SUCCESS(status)) {
        *file->Receive() = nullptr; // nothing to close
        return STATUS_NO_SUCH_FILE;
    }
    return STATUS_SUCCESS;
}

enum class ByteResult { Next, Complete, Error };

// Writes one configuration byte and waits, by a bounded tight poll, until the FPGA has
// taken it; then judges the status of the last read.
ByteResult SendByte(ULONG port, UCHAR byte)
{
    qor::PortWrite16(port, byte);
    ULONG status = qor::PortRead32(port);
    for (ULONG reads = 1; status & kStatusBusy; ++reads) {
        if (reads == qor::kFpgaBusyReadLimit)
            return ByteResult::Error; // the byte never went in: the configuration logic stalled
        status = qor::PortRead32(port);
    }
    if ((status & kStatusComplete) == kStatusComplete)
        return ByteResult::Complete;
    if ((status & kStatusReady) == 0)
        return ByteResult::Error;
    return ByteResult::Next;
}

enum class AttemptResult { Configured, Failed, CardNotResponding };

AttemptResult RunAttempt(ULONG port, const UCHAR *data, ULONG length)
{
    // Configuration reset: ready must drop while the program line is held...
    qor::PortWrite16(port, kProgramHeld);
    QorSleep(kSettleMilliseconds);
    if (qor::PortRead32(port) & kStatusReady) {
        qor::PortWrite16(port, kProgramHeld);
        return AttemptResult::CardNotResponding;
    }
    // ...and come back once it is released, when the FPGA has cleared its memory.
    qor::PortWrite16(port, kProgramReleased);
    QorSleep(kSettleMilliseconds);
    if ((qor::PortRead32(port) & kStatusReady) == 0) {
        qor::PortWrite16(port, kProgramReleased);
        return AttemptResult::CardNotResponding;
    }

    bool complete = false;
    for (ULONG i = 0; i < length && !complete; ++i) {
        switch (SendByte(port, data[i])) {
        case ByteResult::Complete: complete = true; break;
        case ByteResult::Error: return AttemptResult::Failed;
        case ByteResult::Next: break;
        }
    }

    // The start-up sequence runs on after the data; these reads give it the time.
    QorSleep(kSettleMilliseconds);
    for (ULONG i = 0; i < kClosingReads; ++i)
        (void)qor::PortRead32(port);
    const ULONG status = qor::PortRead32(port);
    return complete || (status & kStatusStartupDone) ? AttemptResult::Configured : AttemptResult::Failed;
}

} // namespace

extern "C" {

BOOLEAN QORCALL FPGA_Download(PUCHAR data, ULONG length, QorDevExt *devExt)
{
    const ULONG port = devExt->PortBase[2];
    (void)qor::PortRead32(port); // the status before the download means nothing
    for (int attempt = 0; attempt < kAttempts; ++attempt) {
        switch (RunAttempt(port, data, length)) {
        case AttemptResult::Configured: return TRUE;
        case AttemptResult::CardNotResponding: return FALSE;
        case AttemptResult::Failed: break;
        }
    }
    return FALSE;
}

NTSTATUS QORCALL ZwCFOpenAndReadFile(QorDevExt *devExt, PUNICODE_STRING fileName)
{
    FileHandle file;
    NTSTATUS status = OpenConfigurationFile(fileName, &file);
    if (!NT_SUCCESS(status))
        return status;

    IO_STATUS_BLOCK io;
    FILE_STANDARD_INFORMATION info;
    status = ZwQueryInformationFile(file.Get(), &io, &info, sizeof info, FileStandardInformation);
    if (!NT_SUCCESS(status))
        return status;
    const ULONG size = static_cast<ULONG>(info.EndOfFile.QuadPart);
    if (size == 0)
        return STATUS_UNSUCCESSFUL;

    qor::NppOwner data(NewUnfilledNpp(size));
    if (!data)
        return STATUS_INSUFFICIENT_RESOURCES;
    const NTSTATUS readStatus =
        ZwReadFile(file.Get(), nullptr, nullptr, nullptr, &io, data.get(), size, nullptr, nullptr);
    if (!NT_SUCCESS(readStatus) || io.Information != size)
        return STATUS_UNSUCCESSFUL;

    file.Close();
    return FPGA_Download(data.as<UCHAR>(), size, devExt) ? readStatus : STATUS_UNSUCCESSFUL;
}

} // extern "C"
