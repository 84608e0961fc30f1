// Turning a found PCI function into a card device: device object and link, the slot's
// resources as the HAL assigns them (translated I/O bases, a connected shared interrupt),
// the PLX 9050 register-window fix, buffer objects and, when asked, the FPGA
// configuration. A card that fails a step is dropped again whole.
#include "setup.h"

#include "dbx.h"
#include "fpga.h"
#include "owners.h"

namespace {

constexpr WCHAR kDevicePrefix[] = QOR_W("\\Device\\");
using qor::kFamily2B93;
using qor::kFamily2B94;
using qor::kNameCapacity;
using qor::kNumberCapacity;

// A PCI function has six base address registers, so at most six I/O ranges.
constexpr ULONG kMaxIoRanges = 6;

// The FPGA download uses PortBase[0] (the S5933 MCSR at +0x3C) and PortBase[2] (the
// configuration port).
constexpr USHORT kFpgaPortBases = 3;
constexpr ULONG kMcsrOffset = 0x3C;
// MCSR bits 24 to 27: add-on reset, both FIFO status resets, mailbox flag reset.
constexpr ULONG kMcsrAddOnResets = 0x0F000000;

// PLX 9050: a register window whose I/O base has bit 7 set is moved.
constexpr ULONG kPlx9050BadWindowBit = 0x80;
constexpr ULONG kPlx9050WindowShift = 0x100;
constexpr ULONG kBarIoSpace = 0x1;
constexpr ULONG kBar1Offset = 16 + 4 * 1;
constexpr USHORT kPlx9050RelocationBases = 2;

constexpr NTSTATUS kPortTranslationFailed = QOR_STATUS_PORT_TRANSLATION_FAILED;
constexpr NTSTATUS kBufferSetupFailed = QOR_STATUS_BUFFER_SETUP_FAILED;

QorDevExt *Ext(QorFindRecord *record) { return record->DevExt; }

void Fail(QorFindRecord *record, NTSTATUS status) { record->LastStatus = static_cast<ULONG>(status); }

void ZeroExtension(QorDevExt *ext)
{
    auto *bytes = reinterpret_cast<UCHAR *>(ext);
    for (ULONG i = 0; i < sizeof(QorDevExt); ++i)
        bytes[i] = 0;
}

// The PLX 9050 answers unreliably through an I/O register window whose base has bit 7
// set. BAR1 (the window) is moved: behind the second I/O range when BAR5 is a memory
// range, onto BAR5 when BAR5 is an I/O range; PortBase[0] follows. Without a second
// stored base, the first case has no translated address to put the window at, and the
// window stays where the HAL put it.
void RelocatePlx9050Window(QorFindRecord *record, const ULONG *translated, ULONG translatedCount)
{
    QorDevExt *ext = Ext(record);
    const ULONG bar5 = record->PciConfig.u.type0.BaseAddresses[5];
    ULONG bar1;
    if (!(bar5 & kBarIoSpace)) {
        if (ext->PortCount < kPlx9050RelocationBases)
            return;
        bar1 = record->PciConfig.u.type0.BaseAddresses[2] + kPlx9050WindowShift;
        ext->PortBase[0] = ext->PortBase[1] + kPlx9050WindowShift;
    } else {
        bar1 = bar5;
        ext->PortBase[0] = translated[translatedCount - 1];
    }
    record->PciConfig.u.type0.BaseAddresses[1] = bar1;
    HalSetBusDataByOffset(PCIConfiguration, ext->BusNumber, ext->SlotNumber, &bar1, kBar1Offset,
                          sizeof bar1);
}

// Walks every full descriptor and its partial descriptors in order until a step fails.
bool WalkResources(QorFindRecord *record, PCM_RESOURCE_LIST list, ULONG *translated, ULONG *translatedCount)
{
    QorDevExt *ext = Ext(record);
    auto *full = &list->List[0];
    for (ULONG f = 0; f < list->Count; ++f) {
        const ULONG count = full->PartialResourceList.Count;
        PCM_PARTIAL_RESOURCE_DESCRIPTOR partial = full->PartialResourceList.PartialDescriptors;
        for (ULONG p = 0; p < count; ++p, ++partial) {
            switch (partial->Type) {
            case CmResourceTypePort:
                if (*translatedCount >= kMaxIoRanges)
                    break;
                if (!QorSetupIoPort(record, &translated[*translatedCount], partial)) {
                    Fail(record, kPortTranslationFailed);
                    return false;
                }
                // The first range is the bridge chip's registers, which the reset needs
                // even when the client asked for no port bases.
                if (*translatedCount == 0)
                    ext->PortBase[0] = translated[0];
                if (ext->PortCount < record->PortCount)
                    ext->PortBase[ext->PortCount++] = translated[*translatedCount];
                ++*translatedCount;
                break;
            case CmResourceTypeInterrupt:
                // A PCI function has one interrupt pin; a further interrupt descriptor
                // would replace (and lose) the connection already made.
                if (ext->InterruptObject != nullptr)
                    break;
                if (!QorSetupInterrupt(record, partial)) {
                    Fail(record, STATUS_SHARED_IRQ_BUSY);
                    return false;
                }
                break;
            default: break;
            }
        }
        // The next full descriptor follows the last partial descriptor of this one.
        full = reinterpret_cast<PCM_FULL_RESOURCE_DESCRIPTOR>(partial);
    }
    return true;
}

} // namespace

extern "C" {

BOOLEAN QORCALL QorEnumDevice(QorFindRecord *record)
{
    if (!QorSetupDevExt(record))
        return FALSE;
    if (!QorSetupResource(record)) {
        QorDropDevice(record->DeviceObject);
        return FALSE;
    }
    if (!QorSetupBuffer(record)) {
        Fail(record, kBufferSetupFailed);
        QorDropDevice(record->DeviceObject);
        return FALSE;
    }
    if (record->DownloadFpga) {
        QorDevExt *ext = Ext(record);
        if (ext->PortCount < kFpgaPortBases) {
            // Without a stored configuration port the reset and the download would
            // address ports near 0, which belong to other hardware.
            Fail(record, STATUS_INVALID_PARAMETER);
            QorDropDevice(record->DeviceObject);
            return FALSE;
        }
        qor::PortWrite32(ext->PortBase[0] + kMcsrOffset, kMcsrAddOnResets);
        qor::PortWrite32(ext->PortBase[0] + kMcsrOffset, 0);
        if (!NT_SUCCESS(ZwCFOpenAndReadFile(ext, record->FpgaFileName))) {
            QorDropDevice(record->DeviceObject);
            return FALSE;
        }
    }
    ++record->CardCount;
    return TRUE;
}

BOOLEAN QORCALL QorSetupDevExt(QorFindRecord *record)
{
    qor::UcsOwner deviceName(QorNewUcs(kNameCapacity));
    qor::UcsOwner linkName(QorNewUcs(kNameCapacity));
    qor::UcsOwner number(QorNewUcs(kNumberCapacity));
    if (!deviceName || !linkName || !number)
        return FALSE;
    QorDriverBlock *block = record->DriverBlock;
    QorCatUcs(linkName.get(), block->DosLinkPrefix);
    QorCatWcs(deviceName.get(), kDevicePrefix);
    QorCatWcs(deviceName.get(), record->DeviceName);
    RtlIntegerToUnicodeString(record->CardCount, 10, number.get());
    QorCatUcs(deviceName.get(), number.get());
    QorCatUcs(linkName.get(), number.get());

    PDEVICE_OBJECT device = nullptr;
    if (!NT_SUCCESS(IoCreateDevice(record->DriverObject, sizeof(QorDevExt), deviceName.get(),
                                   QOR_DEVICE_TYPE, 0, FALSE, &device)))
        return FALSE;
    IoCreateSymbolicLink(linkName.get(), deviceName.get()); // a card without a link still works

    record->DeviceObject = device;
    device->Flags |= DO_BUFFERED_IO;
    auto *ext = static_cast<QorDevExt *>(device->DeviceExtension);
    record->DevExt = ext;
    ZeroExtension(ext);
    ext->DeviceObject = device;
    ext->BusNumber = record->BusNumber;
    ext->ControllerType = record->ControllerType;
    ext->CardIndex = record->CardCount;
    ext->SlotNumber = record->SlotNumber;
    ext->RevisionId = record->RevisionId;
    ext->DriverBlock = block;
    if (record->DeviceId == kFamily2B94 || record->DeviceId == kFamily2B93) {
        ext->ActualDeviceId = record->DeviceId;
        record->DeviceId = kFamily2B94; // the scan goes on looking for the whole family
    }
    if (record->DpcRoutine != nullptr)
        KeInitializeDpc(&device->Dpc, record->DpcRoutine, device);
    if (record->TimerRoutine != nullptr) {
        IoInitializeTimer(device, record->TimerRoutine, nullptr);
        block->HasTimer = 1;
    } else {
        block->HasTimer = 0;
    }
    return TRUE;
}

BOOLEAN QORCALL QorSetupResource(QorFindRecord *record)
{
    QorDevExt *ext = Ext(record);
    ext->PortCount = 0;
    PCM_RESOURCE_LIST list = nullptr;
    if (!NT_SUCCESS(HalAssignSlotResources(record->RegistryPath, nullptr, record->DriverObject,
                                           record->DeviceObject, PCIBus, record->BusNumber,
                                           record->SlotNumber, &list)) ||
        list == nullptr) {
        Fail(record, STATUS_INSUFFICIENT_RESOURCES);
        return FALSE;
    }
    // Every translated I/O range, stored in PortBase or not, in list order.
    ULONG translated[kMaxIoRanges] = {};
    ULONG translatedCount = 0;
    const bool ok = WalkResources(record, list, translated, &translatedCount);
    if (ext->ControllerType == QOR_CONTROLLER_PLX9050 && (ext->PortBase[0] & kPlx9050BadWindowBit))
        RelocatePlx9050Window(record, translated, translatedCount);
    QorDeleteNpp(list);
    return ok ? TRUE : FALSE;
}

BOOLEAN QORCALL QorSetupIoPort(QorFindRecord *record, PULONG translated,
                               PCM_PARTIAL_RESOURCE_DESCRIPTOR port)
{
    ULONG addressSpace = 1; // I/O space
    PHYSICAL_ADDRESS address;
    address.QuadPart = 0;
    const BOOLEAN ok = HalTranslateBusAddress(PCIBus, Ext(record)->BusNumber, port->u.Port.Start,
                                              &addressSpace, &address);
    *translated = static_cast<ULONG>(address.QuadPart);
    return ok;
}

BOOLEAN QORCALL QorSetupInterrupt(QorFindRecord *record, PCM_PARTIAL_RESOURCE_DESCRIPTOR interrupt)
{
    QorDevExt *ext = Ext(record);
    ext->InterruptLevel = interrupt->u.Interrupt.Level;
    KIRQL irql = 0;
    KAFFINITY affinity = 0;
    ext->InterruptVector = HalGetInterruptVector(PCIBus, ext->BusNumber, interrupt->u.Interrupt.Level,
                                                 interrupt->u.Interrupt.Vector, &irql, &affinity);
    PKINTERRUPT object = nullptr;
    const NTSTATUS status =
        IoConnectInterrupt(&object, record->InterruptRoutine, record->DeviceObject, nullptr,
                           ext->InterruptVector, irql, irql, LevelSensitive, TRUE, affinity, FALSE);
    if (!NT_SUCCESS(status))
        return FALSE;
    ext->InterruptObject = object;
    return TRUE;
}

} // extern "C"
