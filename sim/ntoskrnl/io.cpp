// I/O manager of the simulated kernel: buffered I/O-control requests, request completion,
// device objects and symbolic links in the object namespace, driver loading.
#include <algorithm>
#include "qorsim.h"
#include "culprit.h"
#include "image_context.h"

#include <cstdio>
#include <cstring>
#include <map>

namespace qorsim {

namespace {
constexpr uint32_t kRequestMagic = 0x51524551; // marks IRPs built by IoctlRequest
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
    if (!devices_.emplace(key(name), device).second)
        return false;
    spelled_[device] = name;
    return true;
}

void ObjectNamespace::remove_device(PDEVICE_OBJECT device)
{
    std::lock_guard<std::mutex> lock(mutex_);
    std::erase_if(devices_, [device](const auto &entry) { return entry.second == device; });
    spelled_.erase(device);
}

std::u16string ObjectNamespace::name_of(PDEVICE_OBJECT device) const
{
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = spelled_.find(device);
    return it == spelled_.end() ? std::u16string() : it->second;
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
    spelled_.clear();
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
    bool overlong = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (stack_[0].MajorFunction == IRP_MJ_DEVICE_CONTROL && method() == METHOD_BUFFERED && !NT_ERROR(status) &&
            information != 0) {
            overlong = information > output_length_;
            const size_t bytes = information < output_length_ ? information : output_length_;
            if (user_output_ != nullptr && bytes != 0) {
                std::memcpy(user_output_, buffer_.data(), bytes);
                copied_back_ = bytes;
            }
        }
        ++completions_;
    }
    if (overlong)
        machine().verifier.violation("I/O-control request completed with more information than its output length");
    completed_.notify_all();
}

void IoctlRequest::detach_caller()
{
    std::lock_guard<std::mutex> lock(mutex_);
    own_output_.assign(output_length_, 0);
    user_output_ = own_output_.empty() ? nullptr : own_output_.data();
    if (method() == METHOD_NEITHER)
        irp_.UserBuffer = user_output_;
    if (output_mdl_ != nullptr)
        output_mdl_->MappedSystemVa = user_output_;
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

FileRequestResult send_file_request(const std::u16string &name, UCHAR majorFunction)
{
    FileRequestResult result;
    PDEVICE_OBJECT device = machine().objects.resolve(name);
    if (device == nullptr)
        return result;
    if (device->DriverObject->MajorFunction[majorFunction] == nullptr) {
        result.status = STATUS_INVALID_PARAMETER; // IopInvalidDeviceRequest's answer
        return result;
    }
    auto request = std::make_unique<IoctlRequest>(0, nullptr, 0, 0);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(request->irp());
    stack->MajorFunction = majorFunction;
    stack->DeviceObject = device;
    const NTSTATUS returned = call_dispatch(device, request->irp());
    result.delivered = true;
    result.status = returned == STATUS_PENDING ? returned : request->status();
    result.information = request->information();
    result.completions = request->completions();
    machine().irps.release(std::move(request));
    return result;
}

// ---- the dispatch of a request and the rules around it -------------------------------------
namespace {
const char *MajorName(UCHAR major)
{
    switch (major) {
    case IRP_MJ_CREATE: return "IRP_MJ_CREATE";
    case IRP_MJ_CLOSE: return "IRP_MJ_CLOSE";
    case IRP_MJ_DEVICE_CONTROL: return "IRP_MJ_DEVICE_CONTROL";
    case IRP_MJ_CLEANUP: return "IRP_MJ_CLEANUP";
    default: return "IRP_MJ_?";
    }
}

std::string RequestText(UCHAR major, ULONG code)
{
    std::string text = std::string("an ") + MajorName(major) + " request";
    if (major == IRP_MJ_DEVICE_CONTROL) {
        char c[24];
        std::snprintf(c, sizeof c, " (code 0x%08lX)", static_cast<unsigned long>(code));
        text += c;
    }
    return text;
}

std::string StatusText(NTSTATUS status)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%08lX", static_cast<unsigned long>(status));
    return text;
}

int Completions(PIRP irp)
{
    const IoctlRequest *request = IoctlRequest::from_irp(irp);
    return request ? request->completions() : 0;
}
} // namespace

NTSTATUS call_dispatch(PDEVICE_OBJECT device, PIRP irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    const UCHAR major = stack->MajorFunction;
    const ULONG code = major == IRP_MJ_DEVICE_CONTROL ? stack->Parameters.DeviceIoControl.IoControlCode : 0;
    PDRIVER_DISPATCH routine = device->DriverObject->MajorFunction[major];
    const KIRQL irql = current_irql();
    const size_t locksBefore = spin_locks_held();
    machine().irps.sent(HeldIrp{irp, device, reinterpret_cast<const void *>(routine), major, code,
                                machine().clock.now_ns()});
    RunningRoutine running("dispatch routine", reinterpret_cast<const void *>(routine), device, major);
    enter_image_context();
    const NTSTATUS returned = routine(device, irp);
    Verifier &verifier = machine().verifier;
    check_no_spin_lock_held("a dispatch routine", locksBefore);
    if (current_irql() != irql) {
        verifier.violation_of_routine("a dispatch routine returned at " + irql_name(current_irql()) +
                                      ", having been called at " + irql_name(irql));
        set_current_irql(irql);
    }
    const std::string request = RequestText(major, code);
    // The stack location stays readable after the completion: the simulator's IRPs are
    // not freed while their sender holds them.
    const bool marked = (stack->Control & SL_PENDING_RETURNED) != 0;
    if (returned == STATUS_PENDING) {
        if (!marked)
            verifier.violation_of_routine("a dispatch routine returned STATUS_PENDING for " + request +
                                          " without marking it pending (IoMarkIrpPending)");
        return returned;
    }
    if (marked)
        verifier.violation_of_routine("a dispatch routine marked " + request + " pending (IoMarkIrpPending) but returned " +
                                      StatusText(returned) + ", not STATUS_PENDING");
    if (Completions(irp) == 0) {
        verifier.violation_of_routine("a dispatch routine returned " + StatusText(returned) + " for " + request +
                                      " without completing it or marking it pending");
        machine().irps.reported(irp);
    } else if (!marked && irp->IoStatus.Status != returned) {
        verifier.violation_of_routine("a dispatch routine returned " + StatusText(returned) + " for " + request +
                                      " that it completed with " + StatusText(irp->IoStatus.Status));
    }
    return returned;
}

void IrpTable::sent(const HeldIrp &irp)
{
    std::lock_guard<std::mutex> lock(mutex_);
    Entry &e = entries_[irp.irp];
    e = Entry{};
    e.irp = irp;
}

void IrpTable::reported(PIRP irp)
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (auto it = entries_.find(irp); it != entries_.end())
        it->second.reported = true;
}

bool IrpTable::was_reported(PIRP irp) const
{
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = entries_.find(irp);
    return it != entries_.end() && it->second.reported;
}

namespace {
constexpr size_t kRetiredRequests = 64;
}

void IrpTable::release(std::unique_ptr<IoctlRequest> request)
{
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = entries_.find(request->irp());
    if (it != entries_.end() && !it->second.completed && request->completions() == 0) {
        request->detach_caller();
        it->second.owned = std::move(request); // the driver still holds it
        return;
    }
    if (it != entries_.end())
        entries_.erase(it);
    retired_.push_back(std::move(request));
    if (retired_.size() > kRetiredRequests)
        retired_.erase(retired_.begin());
}

void IrpTable::completed(PIRP irp)
{
    std::unique_ptr<IoctlRequest> done;
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = entries_.find(irp);
    if (it == entries_.end())
        return;
    it->second.completed = true;
    if (it->second.owned) {
        retired_.push_back(std::move(it->second.owned));
        if (retired_.size() > kRetiredRequests)
            retired_.erase(retired_.begin());
        entries_.erase(it);
    }
}

std::vector<HeldIrp> IrpTable::held() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<HeldIrp> out;
    for (const auto &[irp, e] : entries_)
        if (!e.completed)
            out.push_back(e.irp);
    return out;
}

std::string IrpTable::leak_report() const
{
    std::string out;
    for (const HeldIrp &h : held())
        out += RequestText(h.major, h.code) + " sent to " + name_code_address(h.routine) + " for " +
               device_label(h.device) + " at " + virtual_time_text(h.sent_ns) + " was never completed\n";
    return out;
}

void IrpTable::reset()
{
    std::lock_guard<std::mutex> lock(mutex_);
    entries_.clear();
    retired_.clear();
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
        finish_unload();
}

NTSTATUS LoadedDriver::load()
{
    enter_image_context();
    const KIRQL old = current_irql();
    set_current_irql(PASSIVE_LEVEL);
    NTSTATUS status;
    {
        RunningRoutine running("DriverEntry", reinterpret_cast<const void *>(entry_), nullptr);
        enter_image_context();
        status = entry_(&driver_, &registry_ucs_);
    }
    set_current_irql(old);
    loaded_ = NT_SUCCESS(status);
    return status;
}

namespace {
std::mutex g_unload_mutex;
std::map<PDRIVER_OBJECT, LoadedDriver *> g_pending_unloads;

bool HandlesOpen(PDRIVER_OBJECT driver)
{
    for (PDEVICE_OBJECT d = driver->DeviceObject; d != nullptr; d = d->NextDevice)
        if (__atomic_load_n(&d->ReferenceCount, __ATOMIC_SEQ_CST) != 0)
            return true;
    return false;
}
} // namespace

void LoadedDriver::unload()
{
    if (loaded_ && HandlesOpen(&driver_)) {
        std::lock_guard<std::mutex> lock(g_unload_mutex);
        unload_pending_ = true;
        g_pending_unloads[&driver_] = this;
        return;
    }
    finish_unload();
}

void LoadedDriver::finish_unload()
{
    {
        std::lock_guard<std::mutex> lock(g_unload_mutex);
        g_pending_unloads.erase(&driver_);
        unload_pending_ = false;
    }
    if (!loaded_)
        return;
    loaded_ = false;
    // A request the driver still holds would complete into a driver that is gone.
    for (const HeldIrp &h : machine().irps.held()) {
        if (h.device->DriverObject != &driver_ || machine().irps.was_reported(h.irp))
            continue;
        machine().irps.reported(h.irp);
        machine().verifier.violation_of_routine(RequestText(h.major, h.code) + " sent to " + name_code_address(h.routine) +
                                                " for " + device_label(h.device) + " at " +
                                                virtual_time_text(h.sent_ns) + " is still held by the driver at its unload");
    }
    if (driver_.DriverUnload != nullptr) {
        RunningRoutine running("unload routine", reinterpret_cast<const void *>(driver_.DriverUnload), nullptr);
        enter_image_context();
        driver_.DriverUnload(&driver_);
    }
}

void unload_if_pending(PDRIVER_OBJECT driver)
{
    LoadedDriver *pending = nullptr;
    {
        std::lock_guard<std::mutex> lock(g_unload_mutex);
        auto it = g_pending_unloads.find(driver);
        if (it == g_pending_unloads.end() || HandlesOpen(driver))
            return;
        pending = it->second;
    }
    pending->finish_unload();
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
    if (auto *request = qorsim::IoctlRequest::from_irp(Irp)) {
        // NT stops here with MULTIPLE_IRP_COMPLETE_REQUESTS: the IRP may be another
        // request's by now.
        if (request->completions() != 0) {
            machine().verifier.violation("MULTIPLE_IRP_COMPLETE_REQUESTS: IofCompleteRequest of an IRP that was completed already");
            return;
        }
        request->note_completion();
        machine().irps.completed(Irp);
    } else {
        for (PIRP done : machine().foreign_completions)
            if (done == Irp) {
                machine().verifier.violation("MULTIPLE_IRP_COMPLETE_REQUESTS: IofCompleteRequest of an IRP that was completed already");
                return;
            }
        machine().foreign_completions.push_back(Irp);
    }
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
