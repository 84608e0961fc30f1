// Finding a client's cards on the PCI buses. The scan is a walk over bus, device and
// function whose loop variables live in the client's QorFindRecord, so every call resumes
// one device past the card it found last. Only the first function of a device that
// answers is compared: it decides for the whole device.
#include "dbx.h"
#include "owners.h"
#include "registry.h"
#include "setup.h"

namespace {

constexpr USHORT kMaxPortBases = 4;
constexpr USHORT kMaxListLimit = QOR_LIST_LIMIT_MAX;
constexpr ULONG kHeaderBytes = 64; // the standard configuration header
constexpr USHORT kBuses = 256;
constexpr USHORT kDevicesPerBus = 32;
constexpr USHORT kFunctionsPerDevice = 8;
constexpr ULONG kSlotDeviceMask = 0x1F;
constexpr ULONG kSlotFunctionShift = 5;
constexpr ULONG kSlotFunctionMask = 0x7u << kSlotFunctionShift;

constexpr ULONG kCommandOffset = 4;
constexpr ULONG kLatencyTimerOffset = 13;
constexpr UCHAR kLatencyTimerMax = 0xFF;

constexpr USHORT kPlxVendorId = 0x10B5;
constexpr USHORT kPlx9050DeviceId = 0x9050;
constexpr USHORT kPlx9080DeviceId = 0x9080;
// A card family with two device IDs: a search for 0x3E62 finds 0x3E61 cards too.
constexpr USHORT kFamily3E62 = 0x3E62, kFamily3E61 = 0x3E61;
using qor::kFamily2B93;
using qor::kFamily2B94;

constexpr WCHAR kDosDevices[] = QOR_W("\\DosDevices\\");

// Copies the client's description template byte by byte (no runtime memcpy).
void CopyDesp(QorDesp *to, const QorDesp *from)
{
    auto *d = reinterpret_cast<UCHAR *>(to);
    const auto *s = reinterpret_cast<const UCHAR *>(from);
    for (ULONG i = 0; i < sizeof(QorDesp); ++i)
        d[i] = s[i];
}

// Fills the block after its allocation; false when an allocation or the FPGA file-name
// reader fails. The caller frees whatever was stored in the block.
bool BuildBlock(QorFindRecord *record, QorDriverBlock *block)
{
    block->Desp = static_cast<QorDesp *>(QorNewNpp(sizeof(QorDesp)));
    if (block->Desp == nullptr)
        return false;
    CopyDesp(block->Desp, record->Desp);
    for (ULONG kind = 0; kind < QOR_BUFFER_KINDS; ++kind) {
        block->BufferParam[kind] = record->BufferParam[kind];
        if (block->Desp->Buffers[kind].ListLimit > kMaxListLimit)
            block->Desp->Buffers[kind].ListLimit = kMaxListLimit;
    }
    block->DriverObject = record->DriverObject;
    block->RegistryPath = QorDupUcsToUcs(record->RegistryPath);
    if (block->RegistryPath == nullptr)
        return false;
    block->BaseName = QorDupWcsToUcs(record->BaseName);
    if (block->BaseName == nullptr)
        return false;
    qor::UcsOwner prefix(QorNewUcs(qor::kNameCapacity));
    if (!prefix)
        return false;
    QorCatWcs(prefix.get(), kDosDevices);
    QorCatWcs(prefix.get(), record->DosName);
    block->DosLinkPrefix = QorDupUcsToUcs(prefix.get());
    if (block->DosLinkPrefix == nullptr)
        return false;
    return record->DownloadFpga == 0 || QorReadFileReg(record);
}

void WriteConfig(const QorFindRecord *record, PVOID value, ULONG offset, ULONG length)
{
    HalSetBusDataByOffset(PCIConfiguration, record->BusNumber, record->SlotNumber, value, offset,
                          length);
}

// An S5933 card by its own IDs. The chip masters the bus for its DMA, so bus mastering is
// switched on when the configuration left it off.
bool MatchS5933(QorFindRecord *record)
{
    if (record->PciConfig.VendorID != record->VendorId || record->PciConfig.DeviceID != record->DeviceId) {
        record->LastStatus = static_cast<ULONG>(STATUS_NO_SUCH_DEVICE);
        return false;
    }
    const USHORT command = record->PciConfig.Command;
    if (!(command & PCI_ENABLE_BUS_MASTER)) {
        USHORT enabled = static_cast<USHORT>(command | PCI_ENABLE_BUS_MASTER);
        WriteConfig(record, &enabled, kCommandOffset, sizeof enabled);
    }
    return true;
}

// A PLX 9050 card: a plain PLX 9050 whose subsystem ID is the key, a card with its own
// IDs, or the second member of a two-ID family. A find of the 0x2B94 family by its own
// IDs leaves the ID found in DeviceId; the device setup records it and restores 0x2B94.
// A plain PLX 9050 found by its subsystem ID leaves DeviceId alone, so the scan goes on
// searching for the same key.
bool MatchPlx9050(QorFindRecord *record)
{
    const USHORT vendor = record->PciConfig.VendorID;
    const USHORT device = record->PciConfig.DeviceID;
    const USHORT key = record->DeviceId;
    if (vendor == kPlxVendorId && device == kPlx9050DeviceId &&
        record->PciConfig.u.type0.SubSystemID == key)
        return true;
    if (vendor != record->VendorId)
        return false;
    const bool own = device == key;
    const bool family3E = device == kFamily3E61 && key == kFamily3E62;
    const bool family2B = device == kFamily2B93 && key == kFamily2B94;
    if (!own && !family3E && !family2B)
        return false;
    if (key == kFamily2B94)
        record->DeviceId = device;
    return true;
}

// A PLX 9080 card: a plain PLX 9080 carrying both subsystem IDs, or a card with its own
// IDs. The chip bursts on the bus, so its latency timer is set to the longest.
bool MatchPlx9080(QorFindRecord *record)
{
    const USHORT vendor = record->PciConfig.VendorID;
    const USHORT device = record->PciConfig.DeviceID;
    const bool plain = vendor == kPlxVendorId && device == kPlx9080DeviceId &&
                       record->PciConfig.u.type0.SubVendorID == record->VendorId &&
                       record->PciConfig.u.type0.SubSystemID == record->DeviceId;
    if (!plain && !(vendor == record->VendorId && device == record->DeviceId))
        return false;
    UCHAR latency = kLatencyTimerMax;
    WriteConfig(record, &latency, kLatencyTimerOffset, sizeof latency);
    return true;
}

bool Matches(QorFindRecord *record)
{
    switch (record->ControllerType) {
    case QOR_CONTROLLER_S5933: return MatchS5933(record);
    case QOR_CONTROLLER_PLX9050: return MatchPlx9050(record);
    case QOR_CONTROLLER_PLX9080: return MatchPlx9080(record);
    default: return false;
    }
}

} // namespace

extern "C" {

BOOLEAN QORCALL QorFindDeviceBegin(QorFindRecord *record)
{
    if (record == nullptr)
        return FALSE;
    if (record->PortCount > kMaxPortBases)
        record->PortCount = kMaxPortBases;
    auto *block = static_cast<QorDriverBlock *>(QorNewNpp(sizeof(QorDriverBlock)));
    if (block == nullptr)
        return FALSE;
    if (!BuildBlock(record, block)) {
        QorDropDriver(block);
        record->DriverBlock = nullptr;
        return FALSE;
    }
    record->DriverBlock = block;
    record->LastStatus = static_cast<ULONG>(STATUS_NO_SUCH_DEVICE);
    record->CardCount = 0;
    record->BusNumber = 0;
    record->DeviceNumber = 0;
    return TRUE;
}

BOOLEAN QORCALL QorFindDeviceNext(QorFindRecord *record)
{
    // The loop variables are the record's fields; a device's loop ends by moving to the
    // next device at function 0, a bus's by moving to the next bus at device 0.
    for (; record->BusNumber < kBuses; record->DeviceNumber = 0, ++record->BusNumber) {
        bool busMissing = false;
        for (; record->DeviceNumber < kDevicesPerBus; record->FunctionNumber = 0, ++record->DeviceNumber) {
            record->SlotNumber = (record->SlotNumber & ~kSlotDeviceMask) | (record->DeviceNumber & kSlotDeviceMask);
            for (; record->FunctionNumber < kFunctionsPerDevice; ++record->FunctionNumber) {
                record->SlotNumber = (record->SlotNumber & ~kSlotFunctionMask) |
                                     ((ULONG(record->FunctionNumber) << kSlotFunctionShift) & kSlotFunctionMask);
                if (HalGetBusData(PCIConfiguration, record->BusNumber, record->SlotNumber,
                                  reinterpret_cast<PUCHAR>(record) + offsetof(QorFindRecord, PciConfig),
                                  kHeaderBytes) == 0) {
                    busMissing = true; // the bus does not exist: go on with the next one
                    break;
                }
                if (record->PciConfig.VendorID == PCI_INVALID_VENDORID)
                    continue; // no function here
                record->RevisionId = record->PciConfig.RevisionID;
                if (!Matches(record))
                    break; // the first function that answers decides for the device
                record->FunctionNumber = 0;
                ++record->DeviceNumber;
                return TRUE;
            }
            if (busMissing)
                break;
        }
    }
    return FALSE;
}

BOOLEAN QORCALL QorFindDeviceEnd(PVOID record) { return record != nullptr ? TRUE : FALSE; }

} // extern "C"
