// The Win32 calls of a user program, for programs that run in a simulated process: a
// device opened by its \\.\ name, buffered I/O-control requests sent to its driver as the
// I/O manager sends them, named events opened and waited on.
#include "qorsim.h"
#include "address_space.h"
#include "image_context.h"
#include "virtual_time.h"

#include <cstring>

namespace qorsim {
namespace {

struct UserObject {
    enum class Kind { Device, Event } kind;
    PDEVICE_OBJECT device = nullptr;
    PKEVENT event = nullptr;
    Process *process = nullptr;
};

std::mutex g_user_mutex;
std::map<uintptr_t, UserObject> g_user_handles;
uintptr_t g_next_user_handle = 0x1000;
thread_local ULONG t_last_error = 0;

HANDLE AddHandle(const UserObject &object)
{
    std::lock_guard<std::mutex> lock(g_user_mutex);
    const uintptr_t h = g_next_user_handle += 4;
    g_user_handles[h] = object;
    return reinterpret_cast<HANDLE>(h);
}

bool FindHandle(HANDLE handle, UserObject *out)
{
    std::lock_guard<std::mutex> lock(g_user_mutex);
    auto it = g_user_handles.find(reinterpret_cast<uintptr_t>(handle));
    if (it == g_user_handles.end() || it->second.process != machine().processes.current())
        return false; // a handle is valid only in the process that opened it
    *out = it->second;
    return true;
}

ULONG ErrorOf(NTSTATUS status)
{
    switch (status) {
    case STATUS_INVALID_PARAMETER: return 87;        // ERROR_INVALID_PARAMETER
    case STATUS_OBJECT_NAME_NOT_FOUND: return 2;     // ERROR_FILE_NOT_FOUND
    case STATUS_INSUFFICIENT_RESOURCES: return 1450; // ERROR_NO_SYSTEM_RESOURCES
    case STATUS_INVALID_DEVICE_REQUEST: return 1;    // ERROR_INVALID_FUNCTION
    case STATUS_CANCELLED: return 995;               // ERROR_OPERATION_ABORTED
    case STATUS_DEVICE_BUSY: return 170;             // ERROR_BUSY
    case STATUS_INVALID_USER_BUFFER: return 1784;    // ERROR_INVALID_USER_BUFFER
    case STATUS_ACCESS_DENIED: return 5;             // ERROR_ACCESS_DENIED
    default: return 31;                              // ERROR_GEN_FAILURE
    }
}

// "\\.\Name" is the DOS device name "\DosDevices\Name".
std::u16string DeviceName(const char *name)
{
    std::string n = name;
    if (n.rfind("\\\\.\\", 0) == 0)
        n = "\\DosDevices\\" + n.substr(4);
    return to_u16(n);
}

void ReleaseUserObject(HANDLE handle, const UserObject &object)
{
    if (object.kind == UserObject::Kind::Event) {
        machine().events.release(object.event);
        return;
    }
    // A device deleted while the handle was open (its driver was unloaded regardless)
    // gets no more requests: the handle only goes away.
    if (!machine().objects.has_device(object.device))
        return;
    {
        InProcess in(*object.process);
        // The handle was the file object's only one: the cleanup (the driver cancels the
        // requests still pending on it), then the close, both to the device it was opened on.
        for (UCHAR major : {UCHAR{IRP_MJ_CLEANUP}, UCHAR{IRP_MJ_CLOSE}}) {
            if (object.device->DriverObject->MajorFunction[major] == nullptr)
                continue;
            auto request = std::make_unique<IoctlRequest>(0, nullptr, 0, 0);
            PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(request->irp());
            stack->MajorFunction = major;
            stack->DeviceObject = object.device;
            stack->FileObject = reinterpret_cast<struct _FILE_OBJECT *>(handle);
            call_dispatch(object.device, request->irp());
            machine().irps.release(std::move(request));
        }
    }
    // The file object is gone: its reference on the device with it, and an unload that
    // waited for the last handle goes ahead.
    __atomic_sub_fetch(&object.device->ReferenceCount, 1, __ATOMIC_SEQ_CST);
    unload_if_pending(object.device->DriverObject);
}

} // namespace

size_t user_handle_count()
{
    std::lock_guard<std::mutex> lock(g_user_mutex);
    return g_user_handles.size();
}

void reset_user_handles()
{
    std::lock_guard<std::mutex> lock(g_user_mutex);
    g_user_handles.clear();
}

} // namespace qorsim

using namespace qorsim;

extern "C" {

HANDLE NTAPI CreateFileA(const char *name, ULONG, ULONG, PVOID, ULONG, ULONG, HANDLE)
{
    const std::u16string path = DeviceName(name);
    PDEVICE_OBJECT device = machine().objects.resolve(path);
    // The file object references the device before the create goes to the driver, as the
    // I/O manager's parse does. An exclusive device takes one file object at a time: the
    // reference is taken only from none, in one step, so two opens at once cannot both
    // pass; the I/O manager refuses the other without a request to the driver.
    if (device != nullptr) {
        if (device->Flags & DO_EXCLUSIVE) {
            decltype(device->ReferenceCount) none = 0;
            if (!__atomic_compare_exchange_n(&device->ReferenceCount, &none, 1, false, __ATOMIC_SEQ_CST,
                                             __ATOMIC_SEQ_CST)) {
                t_last_error = 5; // ERROR_ACCESS_DENIED
                return reinterpret_cast<HANDLE>(-1);
            }
        } else {
            __atomic_add_fetch(&device->ReferenceCount, 1, __ATOMIC_SEQ_CST);
        }
    }
    const FileRequestResult r = send_file_request(path, IRP_MJ_CREATE);
    if (!r.delivered || !NT_SUCCESS(r.status)) {
        if (device != nullptr) {
            __atomic_sub_fetch(&device->ReferenceCount, 1, __ATOMIC_SEQ_CST);
            unload_if_pending(device->DriverObject);
        }
        t_last_error = r.delivered ? ErrorOf(r.status) : 2;
        return reinterpret_cast<HANDLE>(-1);
    }
    return AddHandle(UserObject{UserObject::Kind::Device, device, nullptr, machine().processes.current()});
}

int NTAPI DeviceIoControl(HANDLE handle, ULONG code, PVOID in, ULONG inLength, PVOID out, ULONG outLength,
                           PULONG returned, PVOID)
{
    UserObject object;
    if (!FindHandle(handle, &object) || object.kind != UserObject::Kind::Device) {
        t_last_error = 6;
        return 0;
    }
    // The I/O manager probes the caller's buffers before any driver sees the request: the
    // input of every method but METHOD_NEITHER is copied into a system buffer, a buffered
    // output is written back, a direct output is locked. A buffer outside the program's
    // user memory (a system address, NULL with a length, an unmapped page) fails with
    // STATUS_ACCESS_VIOLATION, which a program sees as ERROR_NOACCESS.
    if ((code & 3) != METHOD_NEITHER &&
        ((inLength != 0 && !user_space_accessible(reinterpret_cast<uintptr_t>(in), inLength)) ||
         (outLength != 0 && !user_space_accessible(reinterpret_cast<uintptr_t>(out), outLength)))) {
        t_last_error = 998; // ERROR_NOACCESS
        return 0;
    }
    PDRIVER_DISPATCH dispatch = object.device->DriverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL];
    if (dispatch == nullptr) {
        t_last_error = 1; // ERROR_INVALID_FUNCTION
        return 0;
    }
    // The IRP lives until the driver completes it, however long the caller waits.
    auto owned = std::make_unique<IoctlRequest>(code, in, in ? inLength : 0, outLength, out);
    IoctlRequest &request = *owned;
    IoGetCurrentIrpStackLocation(request.irp())->DeviceObject = object.device;
    // Each handle stands for a file object of its own: a driver's cleanup tells its
    // requests apart by it. The value is never dereferenced.
    IoGetCurrentIrpStackLocation(request.irp())->FileObject = reinterpret_cast<struct _FILE_OBJECT *>(handle);
    const NTSTATUS returnedStatus = call_dispatch(object.device, request.irp());
    // A pended request is completed later, by a DPC on another processor.
    bool completed = request.completed();
    if (returnedStatus == STATUS_PENDING && !completed) {
        virtual_time().step_out(); // the card must run for the DPC to complete it
        completed = request.wait_completed(60000);
        virtual_time().step_in();
        if (!completed)
            machine().verifier.violation("a pended I/O-control request was never completed");
    }
    if (!completed) {
        // Not completed (the driver's fault, reported): the caller sees the status the
        // dispatch routine returned and no data; the driver keeps the IRP.
        machine().irps.release(std::move(owned));
        t_last_error = ErrorOf(returnedStatus == STATUS_PENDING || NT_SUCCESS(returnedStatus) ? STATUS_UNSUCCESSFUL
                                                                                               : returnedStatus);
        return 0;
    }
    const NTSTATUS status = request.status();
    const ULONG information = static_cast<ULONG>(request.information());
    machine().irps.release(std::move(owned));
    if (returned)
        *returned = information;
    // The system buffer went back into `out` at completion, for a request that did not fail.
    if (!NT_SUCCESS(status)) {
        t_last_error = ErrorOf(status);
        return 0;
    }
    return 1;
}

HANDLE NTAPI OpenEventA(ULONG, int, const char *name)
{
    PKEVENT event = machine().events.open_user(to_u16(name));
    if (event == nullptr) {
        t_last_error = 2;
        return nullptr;
    }
    return AddHandle(UserObject{UserObject::Kind::Event, nullptr, event, machine().processes.current()});
}

ULONG NTAPI WaitForSingleObject(HANDLE handle, ULONG milliseconds)
{
    UserObject object;
    if (!FindHandle(handle, &object) || object.kind != UserObject::Kind::Event) {
        t_last_error = 6;
        return 0xFFFFFFFF;
    }
    const uint64_t timeout = milliseconds == 0xFFFFFFFF ? 3600000 : milliseconds;
    return wait_event_for(object.event, timeout) ? 0 : 258;
}

int NTAPI CloseHandle(HANDLE handle)
{
    UserObject object;
    {
        std::lock_guard<std::mutex> lock(g_user_mutex);
        auto it = g_user_handles.find(reinterpret_cast<uintptr_t>(handle));
        // A handle is valid only in the process that opened it.
        if (it == g_user_handles.end() || it->second.process != machine().processes.current()) {
            t_last_error = 6;
            return 0;
        }
        object = it->second;
        g_user_handles.erase(it);
    }
    ReleaseUserObject(handle, object);
    return 1;
}

ULONG NTAPI GetLastError(void) { return t_last_error; }

void NTAPI Sleep(ULONG milliseconds)
{
    constexpr uint64_t kNsPerMs = 1000000;
    virtual_time().sleep_ns(uint64_t(milliseconds) * kNsPerMs);
}

// Private memory of the program: pages of simulated RAM mapped at a user address, as a
// device's DMA reaches them through an MDL. Only whole allocations are committed and
// released.
PVOID NTAPI VirtualAlloc(PVOID address, ULONG bytes, ULONG type, ULONG protect)
{
    constexpr ULONG kCommitReserve = 0x1000 | 0x2000, kReadWrite = 0x04;
    if (address != nullptr || bytes == 0 || type != kCommitReserve || protect != kReadWrite) {
        t_last_error = 87;
        return nullptr;
    }
    const uintptr_t user = machine().processes.current()->allocate_private(bytes);
    if (user == 0)
        t_last_error = 8; // ERROR_NOT_ENOUGH_MEMORY
    return reinterpret_cast<PVOID>(user);
}

int NTAPI VirtualFree(PVOID address, ULONG bytes, ULONG type)
{
    constexpr ULONG kRelease = 0x8000;
    if (bytes != 0 || type != kRelease || !machine().processes.current()->free_private(reinterpret_cast<uintptr_t>(address))) {
        t_last_error = 87;
        return 0;
    }
    return 1;
}

} // extern "C"

namespace qorsim {

void close_user_handles(Process *process)
{
    std::vector<std::pair<uintptr_t, UserObject>> closed;
    {
        std::lock_guard<std::mutex> lock(g_user_mutex);
        for (auto it = g_user_handles.begin(); it != g_user_handles.end();) {
            if (it->second.process == process) {
                closed.push_back(*it);
                it = g_user_handles.erase(it);
            } else {
                ++it;
            }
        }
    }
    for (const auto &[handle, object] : closed)
        ReleaseUserObject(reinterpret_cast<HANDLE>(handle), object);
}

} // namespace qorsim

