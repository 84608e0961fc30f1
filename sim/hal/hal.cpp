// HAL resource assignment, address translation and interrupt vectors, the I/O manager's
// interrupt connections and I/O timers. Each operation that can fail on NT has a fault
// knob (qorsim::Fault).
#include "qorsim.h"
#include "image_context.h"

#include <cstring>
#include <sstream>

namespace qorsim {

namespace {
constexpr NTSTATUS kStatusConflictingAddresses = static_cast<NTSTATUS>(0xC0000018L);
constexpr NTSTATUS kStatusNotImplemented = static_cast<NTSTATUS>(0xC0000002L);
constexpr UCHAR kShareDeviceExclusive = 1, kShareShared = 3;
constexpr USHORT kPortIo = 0x1;                   // CM_RESOURCE_PORT_IO
constexpr UCHAR kResourceTypeMemory = 3;          // CmResourceTypeMemory
constexpr size_t kFullHeaderBytes = 16;           // up to the first partial descriptor

void RequirePassive(const char *operation)
{
    if (current_irql() != PASSIVE_LEVEL)
        machine().verifier.violation(std::string(operation) + " above PASSIVE_LEVEL");
}

// The card's resources as partial descriptors, grouped into full descriptors.
std::vector<std::vector<CM_PARTIAL_RESOURCE_DESCRIPTOR>> Resources(const PciFunction &function)
{
    std::vector<CM_PARTIAL_RESOURCE_DESCRIPTOR> ranges, interrupt;
    for (unsigned n = 0; n < 6; ++n) {
        const PciFunction::Bar &b = function.bar_info(n);
        if (!b.present)
            continue;
        CM_PARTIAL_RESOURCE_DESCRIPTOR d{};
        d.Type = b.io ? CmResourceTypePort : kResourceTypeMemory;
        d.ShareDisposition = kShareDeviceExclusive;
        d.Flags = b.io ? kPortIo : 0;
        d.u.Port.Start.QuadPart = function.bar(n) & (b.io ? ~0x3u : ~0xFu);
        d.u.Port.Length = b.length;
        ranges.push_back(d);
    }
    const ULONG line = function.interrupt_line();
    if (line != 0 && function.config()[61] != 0) {
        CM_PARTIAL_RESOURCE_DESCRIPTOR d{};
        d.Type = CmResourceTypeInterrupt;
        d.ShareDisposition = kShareShared;
        d.Flags = 0; // level-sensitive
        d.u.Interrupt.Level = line;
        d.u.Interrupt.Vector = line;
        d.u.Interrupt.Affinity = 0xFFFFFFFF;
        interrupt.push_back(d);
    }
    std::vector<std::vector<CM_PARTIAL_RESOURCE_DESCRIPTOR>> groups;
    if (function.interrupt_in_own_descriptor) {
        if (!ranges.empty())
            groups.push_back(ranges);
        if (!interrupt.empty())
            groups.push_back(interrupt);
    } else {
        ranges.insert(ranges.end(), interrupt.begin(), interrupt.end());
        if (!ranges.empty())
            groups.push_back(ranges);
    }
    return groups;
}
} // namespace

// ---- interrupts ------------------------------------------------------------------------
NTSTATUS Interrupts::connect(PKINTERRUPT *object, PKSERVICE_ROUTINE routine, PVOID context, ULONG vector,
                             KIRQL irql, bool shared)
{
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    for (const auto &c : connected_)
        if (c->vector == vector && !(c->shared && shared))
            return STATUS_INVALID_PARAMETER; // the vector is taken by an exclusive connection
    auto entry = std::make_unique<ConnectedInterrupt>(ConnectedInterrupt{nullptr, routine, context, vector, irql, shared});
    entry->object = reinterpret_cast<PKINTERRUPT>(entry.get());
    *object = entry->object;
    connected_.push_back(std::move(entry));
    return STATUS_SUCCESS;
}

bool Interrupts::disconnect(PKINTERRUPT object)
{
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    return std::erase_if(connected_, [object](const auto &c) { return c->object == object; }) != 0;
}

unsigned Interrupts::raise(ULONG vector)
{
    std::vector<ConnectedInterrupt> targets;
    {
        std::lock_guard<std::recursive_mutex> lock(mutex_);
        for (const auto &c : connected_)
            if (c->vector == vector)
                targets.push_back(*c);
    }
    unsigned claimed = 0;
    for (const ConnectedInterrupt &c : targets) {
        const KIRQL old = current_irql();
        set_current_irql(c.irql);
        const size_t held = spin_locks_held();
        enter_image_context();
        if (c.routine(c.object, c.context))
            ++claimed;
        check_no_spin_lock_held("an interrupt routine", held);
        set_current_irql(old);
    }
    return claimed;
}

std::vector<ConnectedInterrupt> Interrupts::connected() const
{
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    std::vector<ConnectedInterrupt> out;
    for (const auto &c : connected_)
        out.push_back(*c);
    return out;
}

std::string Interrupts::leak_report() const
{
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    std::ostringstream report;
    for (const auto &c : connected_)
        report << "interrupt still connected: vector 0x" << std::hex << c->vector << " context "
               << c->context << "\n";
    return report.str();
}

void Interrupts::reset()
{
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    connected_.clear();
}

// ---- I/O timers -----------------------------------------------------------------------
void IoTimers::initialize(PDEVICE_OBJECT device, PIO_TIMER_ROUTINE routine, PVOID context)
{
    std::lock_guard<std::mutex> lock(mutex_);
    timers_[device] = {routine, context};
}

void IoTimers::forget(PDEVICE_OBJECT device)
{
    std::lock_guard<std::mutex> lock(mutex_);
    timers_.erase(device);
}

PIO_TIMER_ROUTINE IoTimers::routine(PDEVICE_OBJECT device) const
{
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = timers_.find(device);
    return it == timers_.end() ? nullptr : it->second.first;
}

size_t IoTimers::count() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return timers_.size();
}

void IoTimers::reset()
{
    std::lock_guard<std::mutex> lock(mutex_);
    timers_.clear();
}

} // namespace qorsim

using qorsim::Fault;
using qorsim::machine;

extern "C" {

NTSTATUS NTAPI HalAssignSlotResources(PUNICODE_STRING, PUNICODE_STRING, PDRIVER_OBJECT, PDEVICE_OBJECT DeviceObject,
                                      INTERFACE_TYPE BusType, ULONG BusNumber, ULONG SlotNumber,
                                      PCM_RESOURCE_LIST *AllocatedResources)
{
    qorsim::RequirePassive("HalAssignSlotResources");
    if (BusType != PCIBus || AllocatedResources == nullptr)
        return STATUS_INVALID_PARAMETER;
    if (machine().faults.take(Fault::AssignSlotResources))
        return STATUS_INSUFFICIENT_RESOURCES;
    const qorsim::PciFunction *function =
        machine().pci.has_bus(BusNumber) ? machine().pci.find(BusNumber, SlotNumber) : nullptr;
    if (function == nullptr)
        return STATUS_NO_SUCH_DEVICE;
    const PDEVICE_OBJECT holder = machine().pci.assignee(BusNumber, SlotNumber);
    if (holder != nullptr && holder != DeviceObject)
        return qorsim::kStatusConflictingAddresses;

    const auto groups = qorsim::Resources(*function);
    size_t bytes = sizeof(ULONG);
    for (const auto &g : groups)
        bytes += qorsim::kFullHeaderBytes + g.size() * sizeof(CM_PARTIAL_RESOURCE_DESCRIPTOR);
    const size_t allocation = bytes < sizeof(CM_RESOURCE_LIST) ? sizeof(CM_RESOURCE_LIST) : bytes;
    auto *list = static_cast<uint8_t *>(machine().pool.allocate(NonPagedPool, allocation, qorsim::kResourceListTag));
    if (list == nullptr)
        return STATUS_INSUFFICIENT_RESOURCES;
    std::memset(list, 0, allocation);
    const ULONG count = static_cast<ULONG>(groups.size());
    std::memcpy(list, &count, sizeof count);
    uint8_t *at = list + sizeof(ULONG);
    for (const auto &g : groups) {
        CM_FULL_RESOURCE_DESCRIPTOR header{};
        header.InterfaceType = PCIBus;
        header.BusNumber = BusNumber;
        header.PartialResourceList.Version = 1;
        header.PartialResourceList.Revision = 1;
        header.PartialResourceList.Count = static_cast<ULONG>(g.size());
        std::memcpy(at, &header, qorsim::kFullHeaderBytes);
        at += qorsim::kFullHeaderBytes;
        std::memcpy(at, g.data(), g.size() * sizeof(CM_PARTIAL_RESOURCE_DESCRIPTOR));
        at += g.size() * sizeof(CM_PARTIAL_RESOURCE_DESCRIPTOR);
    }
    machine().pci.assign(BusNumber, SlotNumber, DeviceObject);
    *AllocatedResources = reinterpret_cast<PCM_RESOURCE_LIST>(list);
    return STATUS_SUCCESS;
}

// Only the release form is simulated: no requested resources gives back what the device
// holds.
NTSTATUS NTAPI IoAssignResources(PUNICODE_STRING, PUNICODE_STRING, PDRIVER_OBJECT, PDEVICE_OBJECT DeviceObject,
                                 PIO_RESOURCE_REQUIREMENTS_LIST RequestedResources,
                                 PCM_RESOURCE_LIST *AllocatedResources)
{
    qorsim::RequirePassive("IoAssignResources");
    if (AllocatedResources != nullptr)
        *AllocatedResources = nullptr;
    if (RequestedResources != nullptr)
        return qorsim::kStatusNotImplemented;
    machine().pci.release(DeviceObject);
    return STATUS_SUCCESS;
}

// I/O and memory bus addresses are the processor's addresses on this machine.
BOOLEAN NTAPI HalTranslateBusAddress(INTERFACE_TYPE InterfaceType, ULONG BusNumber, PHYSICAL_ADDRESS BusAddress,
                                     PULONG AddressSpace, PPHYSICAL_ADDRESS TranslatedAddress)
{
    if (qorsim::current_irql() != PASSIVE_LEVEL)
        machine().verifier.violation("HalTranslateBusAddress above PASSIVE_LEVEL");
    if (machine().faults.take(Fault::TranslateBusAddress))
        return FALSE;
    if (InterfaceType == PCIBus && !machine().pci.has_bus(BusNumber))
        return FALSE;
    if (AddressSpace == nullptr || TranslatedAddress == nullptr)
        return FALSE;
    *TranslatedAddress = BusAddress;
    return TRUE;
}

ULONG NTAPI HalGetInterruptVector(INTERFACE_TYPE, ULONG, ULONG BusInterruptLevel, ULONG, PKIRQL Irql,
                                  PKAFFINITY Affinity)
{
    if (qorsim::current_irql() != PASSIVE_LEVEL)
        machine().verifier.violation("HalGetInterruptVector above PASSIVE_LEVEL");
    *Irql = 0;
    *Affinity = 0;
    if (machine().faults.take(Fault::InterruptVector) || BusInterruptLevel == 0 ||
        BusInterruptLevel > qorsim::Interrupts::kMaxLevel)
        return 0;
    *Irql = static_cast<KIRQL>(qorsim::Interrupts::kProfileLevel - BusInterruptLevel);
    *Affinity = 1;
    return qorsim::Interrupts::kVectorBase + BusInterruptLevel;
}

NTSTATUS NTAPI IoConnectInterrupt(PKINTERRUPT *InterruptObject, PKSERVICE_ROUTINE ServiceRoutine,
                                  PVOID ServiceContext, PKSPIN_LOCK, ULONG Vector, KIRQL Irql,
                                  KIRQL SynchronizeIrql, KINTERRUPT_MODE, BOOLEAN ShareVector,
                                  KAFFINITY ProcessorEnableMask, BOOLEAN)
{
    qorsim::RequirePassive("IoConnectInterrupt");
    if (machine().faults.take(Fault::ConnectInterrupt))
        return STATUS_INSUFFICIENT_RESOURCES;
    const bool vectorKnown = Vector > qorsim::Interrupts::kVectorBase &&
                             Vector <= qorsim::Interrupts::kVectorBase + qorsim::Interrupts::kMaxLevel;
    if (InterruptObject == nullptr || ServiceRoutine == nullptr || !vectorKnown || Irql <= DISPATCH_LEVEL ||
        SynchronizeIrql < Irql || (ProcessorEnableMask & 1) == 0)
        return STATUS_INVALID_PARAMETER;
    return machine().interrupts.connect(InterruptObject, ServiceRoutine, ServiceContext, Vector, Irql,
                                        ShareVector != FALSE);
}

VOID NTAPI IoDisconnectInterrupt(PKINTERRUPT InterruptObject)
{
    qorsim::RequirePassive("IoDisconnectInterrupt");
    if (!machine().interrupts.disconnect(InterruptObject))
        machine().verifier.violation("IoDisconnectInterrupt of an interrupt object that is not connected");
}

NTSTATUS NTAPI IoInitializeTimer(PDEVICE_OBJECT DeviceObject, PIO_TIMER_ROUTINE TimerRoutine, PVOID Context)
{
    qorsim::RequirePassive("IoInitializeTimer");
    machine().timers.initialize(DeviceObject, TimerRoutine, Context);
    return STATUS_SUCCESS;
}

} // extern "C"
