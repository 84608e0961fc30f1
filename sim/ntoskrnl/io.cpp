// I/O manager of the simulated kernel: buffered I/O-control requests, request completion,
// device objects and symbolic links in the object namespace, driver loading.
#include <algorithm>
#include "qorsim.h"
#include "image_context.h"

#include <cstring>

namespace qorsim {

namespace {
constexpr uint32_t kRequestMagic = 0x51524551; // marks IRPs built by IoctlRequest
constexpr ULONG kDeviceTag = 0x69766544;       // "Devi": device objects and extensions
} // namespace

// ---- names --------------------------------------------------------------------------------
std::u16string to_u16(const std::string &ascii)
{
    return std::u16string(ascii.begin(), ascii.end());
}

std::string to_ascii(const std::u16string &wide)
{
    std::string s;
    for (char16_t c : wide)
        s += c < 0x80 ? static_cast<char>(c) : '?';
    return s;
}

std::u16string from_ucs(PCUNICODE_STRING string)
{
    if (string == nullptr || string->Buffer == nullptr)
        return {};
    return std::u16string(string->Buffer, string->Length / 2);
}

std::u16string upper_ascii(std::u16string text)
{
    for (char16_t &c : text)
        if (c >= u'a' && c <= u'z')
            c = static_cast<char16_t>(c - u'a' + u'A');
    return text;
}

std::u16string ObjectNamespace::key(const std::u16string &name) { return upper_ascii(name); }

PDEVICE_OBJECT ObjectNamespace::device(const std::u16string &name) const
{
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = devices_.find(key(name));
    return it == devices_.end() ? nullptr : it->second;
}

bool ObjectNamespace::has_device(PDEVICE_OBJECT device) const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return std::any_of(devices_.begin(), devices_.end(), [device](const auto &entry) { return entry.second == device; });
}

bool ObjectNamespace::has_link(const std::u16string &name) const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return links_.count(key(name)) != 0;
}

std::u16string ObjectNamespace::link_target(const std::u16string &name) const
{
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = links_.find(key(name));
    return it == links_.end() ? std::u16string() : it->second;
}

PDEVICE_OBJECT ObjectNamespace::resolve(const std::u16string &name) const
{
    const std::u16string target = has_link(name) ? link_target(name) : name;
    return device(target);
}

std::vector<std::u16string> ObjectNamespace::device_names() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<std::u16string> out;
    for (const auto &[name, device] : devices_)
        out.push_back(name);
    return out;
}

std::vector<std::u16string> ObjectNamespace::link_names() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<std::u16string> out;
    for (const auto &[name, target] : links_)
        out.push_back(name);
    return out;
}

bool ObjectNamespace::add_device(const std::u16string &name, PDEVICE_OBJECT device)
{
    std::lock_guard<std::mutex> lock(mutex_);
    return devices_.emplace(key(name), device).second;
}

void ObjectNamespace::remove_device(PDEVICE_OBJECT device)
{
    std::lock_guard<std::mutex> lock(mutex_);
    std::erase_if(devices_, [device](const auto &entry) { return entry.second == device; });
}

bool ObjectNamespace::add_link(const std::u16string &name, const std::u16string &target)
{
    std::lock_guard<std::mutex> lock(mutex_);
    return links_.emplace(key(name), target).second;
}

bool ObjectNamespace::remove_link(const std::u16string &name)
{
    std::lock_guard<std::mutex> lock(mutex_);
    return links_.erase(key(name)) != 0;
}

void ObjectNamespace::reset()
{
    std::lock_guard<std::mutex> lock(mutex_);
    devices_.clear();
    links_.clear();
}

// ---- requests -----------------------------------------------------------------------------
IoctlRequest::IoctlRequest(ULONG code, const void *input, ULONG inputLength, ULONG outputLength,
                           void *userOutput)
    : code_(code), output_length_(outputLength), magic_(kRequestMagic)
{
    if (userOutput == nullptr && outputLength != 0) {
        own_output_.assign(outputLength, 0);
        userOutput = own_output_.data();
    }
    user_output_ = static_cast<uint8_t *>(userOutput);
    // The system buffer: both lengths for a buffered request, the input alone for the
    // direct methods, nothing for METHOD_NEITHER.
    ULONG size = 0;
    switch (method()) {
    case METHOD_BUFFERED: size = inputLength > outputLength ? inputLength : outputLength; break;
    case METHOD_IN_DIRECT:
    case METHOD_OUT_DIRECT: size = inputLength; break;
    default: break;
    }
    buffer_.assign(size, 0);
    if (size != 0 && input != nullptr && inputLength != 0)
        std::memcpy(buffer_.data(), input, inputLength);
    irp_.Type = 6; // IO_TYPE_IRP
    irp_.Size = sizeof(IRP) + sizeof(IO_STACK_LOCATION);
    irp_.StackCount = 1;
    irp_.CurrentLocation = 1;
    irp_.RequestorMode = UserMode;
    irp_.AssociatedIrp.SystemBuffer = buffer();
    irp_.Tail.Overlay.CurrentStackLocation = &stack_[0];
    irp_.Tail.Overlay.DriverContext[0] = this;
    if (method() == METHOD_NEITHER) {
        stack_[0].Parameters.DeviceIoControl.Type3InputBuffer = const_cast<void *>(input);
        irp_.UserBuffer = user_output_;
    } else if (method() != METHOD_BUFFERED && outputLength != 0 && user_output_ != nullptr) {
        // The caller's output pages, described and locked for the driver.
        const uint32_t pages = SpanPages(reinterpret_cast<uintptr_t>(user_output_), outputLength);
        const size_t bytes = sizeof(MDL) + pages * sizeof(PFN_NUMBER);
        output_mdl_ = static_cast<PMDL>(::operator new(bytes));
        std::memset(output_mdl_, 0, bytes);
        output_mdl_->Size = static_cast<CSHORT>(bytes);
        output_mdl_->MdlFlags = MDL_PAGES_LOCKED;
        output_mdl_->StartVa = reinterpret_cast<PVOID>(reinterpret_cast<uintptr_t>(user_output_) & ~uintptr_t(kPageSize - 1));
        output_mdl_->ByteOffset = static_cast<ULONG>(reinterpret_cast<uintptr_t>(user_output_) & (kPageSize - 1));
        output_mdl_->ByteCount = outputLength;
        output_mdl_->MappedSystemVa = user_output_;
        irp_.MdlAddress = output_mdl_;
    }
    stack_[0].MajorFunction = IRP_MJ_DEVICE_CONTROL;
    stack_[0].Parameters.DeviceIoControl.OutputBufferLength = outputLength;
    stack_[0].Parameters.DeviceIoControl.InputBufferLength = inputLength;
    stack_[0].Parameters.DeviceIoControl.IoControlCode = code;
}

IoctlRequest::~IoctlRequest() { ::operator delete(output_mdl_); }

SHORT IoctlRequest::library_status() const
{
    SHORT s = 0;
    if (buffer_.size() >= 2)
        std::memcpy(&s, buffer_.data(), 2);
    return s;
}

int IoctlRequest::completions() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return completions_;
}

void IoctlRequest::note_completion()
{
    // The I/O manager's completion of a buffered request: the system buffer goes back for
    // a success or warning, IoStatus.Information bytes of it.
    const NTSTATUS status = irp_.IoStatus.Status;
    const ULONG_PTR information = irp_.IoStatus.Information;
    if (method() == METHOD_BUFFERED && !NT_ERROR(status) && information != 0) {
        if (information > output_length_)
            machine().verifier.violation("I/O-control request completed with more information than its output length");
        const size_t bytes = information < output_length_ ? information : output_length_;
        if (user_output_ != nullptr && bytes != 0) {
            std::memcpy(user_output_, buffer_.data(), bytes);
            copied_back_ = bytes;
        }
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        ++completions_;
    }
    completed_.notify_all();
}

bool IoctlRequest::wait_completed(uint64_t timeout_ms)
{
    std::unique_lock<std::mutex> lock(mutex_);
    return completed_.wait_for(lock, std::chrono::milliseconds(timeout_ms), [this] { return completions_ > 0; });
}

IoctlRequest *IoctlRequest::from_irp(PIRP irp)
{
    auto *request = static_cast<IoctlRequest *>(irp->Tail.Overlay.DriverContext[0]);
    return request != nullptr && request->magic_ == kRequestMagic && request->irp() == irp
               ? request
               : nullptr;
}

namespace {
// A create or close request as the I/O manager sends it.
struct FileIrp {
    IRP irp{};
    IO_STACK_LOCATION stack{};
    int completions = 0;
};
thread_local FileIrp *t_file_irp = nullptr;
} // namespace

FileRequestResult send_file_request(const std::u16string &name, UCHAR majorFunction)
{
    FileRequestResult result;
    PDEVICE_OBJECT device = machine().objects.resolve(name);
    if (device == nullptr)
        return result;
    PDRIVER_DISPATCH routine = device->DriverObject->MajorFunction[majorFunction];
    if (routine == nullptr) {
        result.status = STATUS_INVALID_PARAMETER; // IopInvalidDeviceRequest's answer
        return result;
    }
    FileIrp request;
    request.irp.Type = 6;
    request.irp.StackCount = 1;
    request.irp.CurrentLocation = 1;
    request.irp.Tail.Overlay.CurrentStackLocation = &request.stack;
    request.stack.MajorFunction = majorFunction;
    request.stack.DeviceObject = device;
    FileIrp *outer = t_file_irp;
    t_file_irp = &request;
    enter_image_context();
    const NTSTATUS returned = routine(device, &request.irp);
    check_no_spin_lock_held("a dispatch routine");
    t_file_irp = outer;
    result.delivered = true;
    result.status = returned == STATUS_PENDING ? returned : request.irp.IoStatus.Status;
    result.information = request.irp.IoStatus.Information;
    result.completions = request.completions;
    return result;
}

// ---- drivers ------------------------------------------------------------------------------
LoadedDriver::LoadedDriver(std::string name, PDRIVER_INITIALIZE entry, std::string registryPath)
    : name_(to_u16(name)), registry_path_(to_u16(registryPath)), entry_(entry)
{
    driver_.Type = 4; // IO_TYPE_DRIVER
    driver_.Size = sizeof(DRIVER_OBJECT);
    driver_.DriverInit = entry;
    registry_ucs_.Buffer = registry_path_.data();
    registry_ucs_.Length = static_cast<USHORT>(registry_path_.size() * 2);
    registry_ucs_.MaximumLength = registry_ucs_.Length;
}

LoadedDriver::~LoadedDriver()
{
    if (loaded_)
        unload();
}

NTSTATUS LoadedDriver::load()
{
    enter_image_context();
    const KIRQL old = current_irql();
    set_current_irql(PASSIVE_LEVEL);
    const NTSTATUS status = entry_(&driver_, &registry_ucs_);
    set_current_irql(old);
    loaded_ = NT_SUCCESS(status);
    return status;
}

void LoadedDriver::unload()
{
    enter_image_context();
    if (loaded_ && driver_.DriverUnload != nullptr)
        driver_.DriverUnload(&driver_);
    loaded_ = false;
}

} // namespace qorsim

using qorsim::machine;

extern "C" {

VOID FASTCALL IofCompleteRequest(PIRP Irp, CCHAR)
{
    if (qorsim::current_irql() > DISPATCH_LEVEL)
        machine().verifier.violation("IofCompleteRequest above DISPATCH_LEVEL");
    if (Irp->IoStatus.Status == STATUS_PENDING)
        machine().verifier.violation("IofCompleteRequest with STATUS_PENDING");
    if (Irp->CancelRoutine != nullptr)
        machine().verifier.violation("IofCompleteRequest with a cancel routine still set");
    if (auto *request = qorsim::IoctlRequest::from_irp(Irp))
        request->note_completion();
    else if (qorsim::t_file_irp != nullptr && &qorsim::t_file_irp->irp == Irp)
        ++qorsim::t_file_irp->completions;
    else
        machine().foreign_completions.push_back(Irp);
}

VOID NTAPI RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString)
{
    if (qorsim::current_irql() > DISPATCH_LEVEL)
        machine().verifier.violation("RtlInitUnicodeString above DISPATCH_LEVEL");
    USHORT n = 0;
    if (SourceString != nullptr)
        while (SourceString[n] != 0)
            ++n;
    DestinationString->Length = static_cast<USHORT>(n * 2);
    DestinationString->MaximumLength = SourceString ? static_cast<USHORT>(n * 2 + 2) : 0;
    DestinationString->Buffer = const_cast<PWSTR>(SourceString);
}

NTSTATUS NTAPI IoCreateDevice(PDRIVER_OBJECT DriverObject, ULONG DeviceExtensionSize,
                              PUNICODE_STRING DeviceName, ULONG DeviceType,
                              ULONG DeviceCharacteristics, BOOLEAN Exclusive, PDEVICE_OBJECT *DeviceObject)
{
    if (qorsim::current_irql() != PASSIVE_LEVEL)
        machine().verifier.violation("IoCreateDevice above PASSIVE_LEVEL");
    if (machine().faults.take(qorsim::Fault::CreateDevice))
        return STATUS_INSUFFICIENT_RESOURCES;
    const std::u16string name = qorsim::from_ucs(DeviceName);
    if (!name.empty() && machine().objects.device(name) != nullptr)
        return STATUS_OBJECT_NAME_COLLISION;
    // The extension ends where the driver said, not rounded up as NT rounds it: the pool's
    // guard right behind it catches a write past the extension that NT's padding would hide.
    auto *device = static_cast<PDEVICE_OBJECT>(
        machine().pool.allocate(NonPagedPool, sizeof(DEVICE_OBJECT) + DeviceExtensionSize, qorsim::kDeviceTag));
    if (device == nullptr)
        return STATUS_INSUFFICIENT_RESOURCES;
    std::memset(device, 0, sizeof(DEVICE_OBJECT) + DeviceExtensionSize);
    device->Type = 3; // IO_TYPE_DEVICE
    device->Size = static_cast<USHORT>(sizeof(DEVICE_OBJECT) + DeviceExtensionSize);
    device->ReferenceCount = 0;
    device->DriverObject = DriverObject;
    device->Flags = DO_DEVICE_INITIALIZING | (Exclusive ? DO_EXCLUSIVE : 0);
    device->Characteristics = DeviceCharacteristics;
    device->DeviceExtension = DeviceExtensionSize ? reinterpret_cast<PUCHAR>(device + 1) : nullptr;
    device->DeviceType = DeviceType;
    device->StackSize = 1;
    if (!name.empty())
        machine().objects.add_device(name, device);
    // New devices go to the head of the driver's list, as on NT.
    device->NextDevice = DriverObject->DeviceObject;
    DriverObject->DeviceObject = device;
    *DeviceObject = device;
    return STATUS_SUCCESS;
}

VOID NTAPI IoDeleteDevice(PDEVICE_OBJECT DeviceObject)
{
    if (qorsim::current_irql() != PASSIVE_LEVEL)
        machine().verifier.violation("IoDeleteDevice above PASSIVE_LEVEL");
    PDRIVER_OBJECT driver = DeviceObject->DriverObject;
    for (PDEVICE_OBJECT *link = &driver->DeviceObject; *link != nullptr; link = &(*link)->NextDevice) {
        if (*link == DeviceObject) {
            *link = DeviceObject->NextDevice;
            break;
        }
    }
    // An interrupt routine still connected with the device as its context would run on
    // freed memory.
    for (const qorsim::ConnectedInterrupt &c : machine().interrupts.connected())
        if (c.context == DeviceObject)
            machine().verifier.violation("IoDeleteDevice with an interrupt connected to the device");
    machine().timers.forget(DeviceObject);
    machine().objects.remove_device(DeviceObject);
    machine().pool.free(DeviceObject);
}

NTSTATUS NTAPI IoCreateSymbolicLink(PUNICODE_STRING SymbolicLinkName, PUNICODE_STRING DeviceName)
{
    if (qorsim::current_irql() != PASSIVE_LEVEL)
        machine().verifier.violation("IoCreateSymbolicLink above PASSIVE_LEVEL");
    if (machine().faults.take(qorsim::Fault::CreateSymbolicLink))
        return STATUS_INSUFFICIENT_RESOURCES;
    return machine().objects.add_link(qorsim::from_ucs(SymbolicLinkName), qorsim::from_ucs(DeviceName))
               ? STATUS_SUCCESS
               : STATUS_OBJECT_NAME_COLLISION;
}

NTSTATUS NTAPI IoDeleteSymbolicLink(PUNICODE_STRING SymbolicLinkName)
{
    if (qorsim::current_irql() != PASSIVE_LEVEL)
        machine().verifier.violation("IoDeleteSymbolicLink above PASSIVE_LEVEL");
    return machine().objects.remove_link(qorsim::from_ucs(SymbolicLinkName))
               ? STATUS_SUCCESS
               : STATUS_OBJECT_NAME_NOT_FOUND;
}

} // extern "C"
