// Files under \SystemRoot\system32\drivers: the store a test fills, and ZwCreateFile,
// ZwQueryInformationFile and ZwReadFile on it. ZwClose (sim/machine/memory.cpp) closes a file
// handle through the handle table, which hands the file object back to the store.
#include "qorsim.h"

#include <algorithm>
#include <cstring>

namespace qorsim {

std::u16string FileStore::key(const std::u16string &name) { return upper_ascii(name); }

void FileStore::add(const std::u16string &name, std::vector<uint8_t> contents)
{
    std::lock_guard<std::mutex> lock(mutex_);
    files_[key(name)] = std::move(contents);
}

bool FileStore::remove(const std::u16string &name)
{
    std::lock_guard<std::mutex> lock(mutex_);
    return files_.erase(key(name)) != 0;
}

bool FileStore::contains(const std::u16string &name) const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return files_.count(key(name)) != 0;
}

void FileStore::limit_reads(uint32_t bytes)
{
    std::lock_guard<std::mutex> lock(mutex_);
    read_limit_ = bytes;
}

uint32_t FileStore::read_limit() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return read_limit_;
}

std::vector<FileCall> FileStore::calls() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return calls_;
}

size_t FileStore::open_files() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return open_.size();
}

FileStore::OpenFile *FileStore::open(const std::u16string &path, NTSTATUS *status)
{
    const std::u16string wanted = key(path);
    const std::u16string directory = key(kDirectory);
    if (wanted.compare(0, directory.size(), directory) != 0) {
        *status = STATUS_OBJECT_PATH_NOT_FOUND; // not in the drivers directory
        return nullptr;
    }
    const std::u16string name = wanted.substr(directory.size());
    if (name.find(u'\\') != std::u16string::npos) {
        *status = STATUS_OBJECT_PATH_NOT_FOUND; // the directory has no subdirectories
        return nullptr;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = files_.find(name);
    if (it == files_.end()) { // the directory itself is no file of the store either
        *status = STATUS_OBJECT_NAME_NOT_FOUND;
        return nullptr;
    }
    auto file = std::make_unique<OpenFile>();
    file->path = path;
    file->contents = it->second;
    open_.push_back(std::move(file));
    *status = STATUS_SUCCESS;
    return open_.back().get();
}

bool FileStore::close(OpenFile *file)
{
    std::u16string path;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = std::find_if(open_.begin(), open_.end(), [file](const auto &f) { return f.get() == file; });
        if (it == open_.end())
            return false;
        path = (*it)->path;
        open_.erase(it);
    }
    note(FileCall{FileOp::Close, path, STATUS_SUCCESS, 0});
    return true;
}

void FileStore::note(FileCall call)
{
    call.pool_bytes_live = machine().pool.live_bytes();
    call.port_accesses = machine().ports.access_count();
    std::lock_guard<std::mutex> lock(mutex_);
    calls_.push_back(std::move(call));
}

void FileStore::reset()
{
    std::lock_guard<std::mutex> lock(mutex_);
    files_.clear();
    open_.clear();
    calls_.clear();
    read_limit_ = kNoReadLimit;
}

} // namespace qorsim

using qorsim::FileCall;
using qorsim::FileOp;
using qorsim::FileStore;
using qorsim::machine;

namespace {

constexpr uint64_t kClusterBytes = 4096; // allocation unit the size query reports

// File operations wait for the file system: passive level only.
void RequirePassive(const char *operation)
{
    if (qorsim::current_irql() != PASSIVE_LEVEL)
        machine().verifier.violation(std::string(operation) + " above PASSIVE_LEVEL");
}

// The open file behind a handle, or null when the handle is no open file.
FileStore::OpenFile *FileOf(HANDLE handle)
{
    qorsim::ObjectKind kind;
    void *object;
    if (!machine().handles.lookup(handle, machine().processes.current(), &kind, &object) || kind != qorsim::ObjectKind::File)
        return nullptr;
    return static_cast<FileStore::OpenFile *>(object);
}

NTSTATUS Finish(PIO_STATUS_BLOCK io, NTSTATUS status, ULONG_PTR information)
{
    io->Status = status;
    io->Information = information;
    return status;
}

} // namespace

extern "C" {

NTSTATUS NTAPI ZwCreateFile(PHANDLE FileHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes,
                            PIO_STATUS_BLOCK IoStatusBlock, PLARGE_INTEGER AllocationSize, ULONG FileAttributes,
                            ULONG ShareAccess, ULONG CreateDisposition, ULONG CreateOptions, PVOID EaBuffer,
                            ULONG EaLength)
{
    RequirePassive("ZwCreateFile");
    FileCall call{FileOp::Open, qorsim::from_ucs(ObjectAttributes->ObjectName), STATUS_SUCCESS, 0};
    call.access = DesiredAccess;
    call.object_attributes = ObjectAttributes->Attributes;
    call.file_attributes = FileAttributes;
    call.share = ShareAccess;
    call.disposition = CreateDisposition;
    call.options = CreateOptions;

    if (CreateDisposition != FILE_OPEN || ObjectAttributes->RootDirectory != nullptr || AllocationSize != nullptr
        || EaBuffer != nullptr || EaLength != 0)
        machine().verifier.violation("ZwCreateFile: only the open of an existing file by its full path is modelled");

    const bool synchronous = (CreateOptions & (FILE_SYNCHRONOUS_IO_ALERT | FILE_SYNCHRONOUS_IO_NONALERT)) != 0;
    FileStore::OpenFile *file = nullptr;
    if (machine().faults.take(qorsim::Fault::OpenFile))
        call.status = STATUS_INSUFFICIENT_RESOURCES;
    else if (synchronous && (DesiredAccess & SYNCHRONIZE) == 0) // synchronous I/O waits on the file object
        call.status = STATUS_INVALID_PARAMETER;
    else
        file = machine().files.open(call.path, &call.status);

    if (file != nullptr) {
        file->access = DesiredAccess;
        file->synchronous = synchronous;
        *FileHandle = machine().handles.open(qorsim::ObjectKind::File, file, machine().processes.current());
        call.information = FILE_OPENED;
    }
    Finish(IoStatusBlock, call.status, call.information);
    const NTSTATUS status = call.status;
    machine().files.note(std::move(call));
    return status;
}

NTSTATUS NTAPI ZwQueryInformationFile(HANDLE FileHandle, PIO_STATUS_BLOCK IoStatusBlock, PVOID FileInformation,
                                      ULONG Length, FILE_INFORMATION_CLASS FileInformationClass)
{
    RequirePassive("ZwQueryInformationFile");
    FileStore::OpenFile *file = FileOf(FileHandle);
    if (file == nullptr)
        return STATUS_INVALID_HANDLE;
    FileCall call{FileOp::Query, file->path, STATUS_SUCCESS, 0};
    if (machine().faults.take(qorsim::Fault::QueryFile)) {
        call.status = STATUS_IO_DEVICE_ERROR;
    } else if (FileInformationClass != FileStandardInformation) {
        call.status = STATUS_INVALID_INFO_CLASS; // the only class modelled
    } else if (Length < sizeof(FILE_STANDARD_INFORMATION)) {
        call.status = STATUS_INFO_LENGTH_MISMATCH;
    } else {
        FILE_STANDARD_INFORMATION info{};
        const uint64_t size = file->contents.size();
        info.AllocationSize.QuadPart = LONGLONG((size + kClusterBytes - 1) / kClusterBytes * kClusterBytes);
        info.EndOfFile.QuadPart = LONGLONG(size);
        info.NumberOfLinks = 1;
        std::memcpy(FileInformation, &info, sizeof info);
        call.information = sizeof info;
    }
    Finish(IoStatusBlock, call.status, call.information);
    const NTSTATUS status = call.status;
    machine().files.note(std::move(call));
    return status;
}

NTSTATUS NTAPI ZwReadFile(HANDLE FileHandle, HANDLE Event, PVOID ApcRoutine, PVOID, PIO_STATUS_BLOCK IoStatusBlock,
                          PVOID Buffer, ULONG Length, PLARGE_INTEGER ByteOffset, PULONG Key)
{
    RequirePassive("ZwReadFile");
    FileStore::OpenFile *file = FileOf(FileHandle);
    if (file == nullptr)
        return STATUS_INVALID_HANDLE;
    if (Event != nullptr || ApcRoutine != nullptr || Key != nullptr)
        machine().verifier.violation("ZwReadFile: only a plain synchronous read is modelled");
    FileCall call{FileOp::Read, file->path, STATUS_SUCCESS, 0};
    if ((file->access & FILE_READ_DATA) == 0) {
        call.status = STATUS_ACCESS_DENIED;
    } else if (ByteOffset == nullptr && !file->synchronous) {
        call.status = STATUS_INVALID_PARAMETER; // no file position to read from
    } else if (machine().faults.take(qorsim::Fault::ReadFile)) {
        call.status = STATUS_IO_DEVICE_ERROR;
    } else {
        const uint64_t size = file->contents.size();
        const uint64_t from = ByteOffset != nullptr ? uint64_t(ByteOffset->QuadPart) : file->position;
        if (from >= size) {
            call.status = STATUS_END_OF_FILE;
        } else {
            const uint64_t count = std::min<uint64_t>({Length, size - from, machine().files.read_limit()});
            std::memcpy(Buffer, file->contents.data() + from, size_t(count));
            file->position = from + count;
            call.information = ULONG_PTR(count);
        }
    }
    Finish(IoStatusBlock, call.status, call.information);
    const NTSTATUS status = call.status;
    machine().files.note(std::move(call));
    return status;
}

} // extern "C"
