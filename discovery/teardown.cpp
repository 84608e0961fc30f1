// Undoing a card's setup, and the client driver's whole enumeration at unload. Each step
// runs whatever the previous one gave; what a step releases is cleared in the extension,
// so a device object that a failed drop left in place can be dropped again without
// disconnecting an interrupt or freeing an event pair twice.
#include "owners.h"
#include "reset.h"

#include "dbx.h"
#include "views.h"

extern "C" {

VOID QORCALL QorDropDevice(PDEVICE_OBJECT device)
{
    auto *ext = static_cast<QorDevExt *>(device->DeviceExtension);
    QorDriverBlock *block = ext->DriverBlock;

    QorControllerReset(ext, 0);
    if (ext->InterruptObject != nullptr) {
        IoDisconnectInterrupt(ext->InterruptObject);
        ext->InterruptObject = nullptr;
    }
    // No requested resources: the slot's resources go back to the system.
    IoAssignResources(block->RegistryPath, nullptr, block->DriverObject, device, nullptr, nullptr);
    // Views still mapped go before their pages are freed.
    qor::ForgetViews(ext);
    for (ULONG kind = 0; kind < QOR_BUFFER_KINDS; ++kind) {
        QorDropDbx(ext->Buffers[kind]);
        ext->Buffers[kind] = nullptr;
    }
    if (ext->DualIntEvents != nullptr) {
        QorDropDsen(ext->DualIntEvents);
        ext->DualIntEvents = nullptr;
    }
    if (ext->AuxEvent != nullptr) {
        QorDropDsen(ext->AuxEvent);
        ext->AuxEvent = nullptr;
    }

    // The link name is rebuilt from the prefix and the card's own index.
    qor::UcsOwner linkName(QorNewUcs(qor::kNameCapacity));
    if (!linkName)
        return;
    qor::UcsOwner number(QorNewUcs(qor::kNumberCapacity));
    if (!number)
        return;
    QorCatUcs(linkName.get(), block->DosLinkPrefix);
    RtlIntegerToUnicodeString(ext->CardIndex, 10, number.get());
    QorCatUcs(linkName.get(), number.get());
    IoDeleteSymbolicLink(linkName.get());
    IoDeleteDevice(device);
}

namespace {
// True while a device object of the block's driver still points at the block: a drop of
// that device (retried after a failed one) reads the block.
bool BlockInUse(const QorDriverBlock *block)
{
    if (block->DriverObject == nullptr)
        return false;
    for (PDEVICE_OBJECT device = block->DriverObject->DeviceObject; device != nullptr; device = device->NextDevice) {
        const auto *ext = static_cast<const QorDevExt *>(device->DeviceExtension);
        if (ext != nullptr && ext->DriverBlock == block)
            return true;
    }
    return false;
}
} // namespace

VOID QORCALL QorDropDriver(QorDriverBlock *block)
{
    if (block == nullptr || BlockInUse(block))
        return;
    QorDeleteUcs(block->RegistryPath);
    QorDeleteUcs(block->BaseName);
    QorDeleteUcs(block->DosLinkPrefix);
    QorDeleteNpp(block->Desp);
    QorDeleteNpp(block);
}

VOID QORCALL QorUnloadDriver(PDRIVER_OBJECT driver)
{
    PDEVICE_OBJECT device = driver->DeviceObject;
    if (device == nullptr)
        return; // no card: the client frees its driver block with QorDropDriver
    QorDriverBlock *block = static_cast<QorDevExt *>(device->DeviceExtension)->DriverBlock;
    while (device != nullptr) {
        PDEVICE_OBJECT next = device->NextDevice; // taken before the device goes
        QorDropDevice(device);
        device = next;
    }
    // A device whose drop failed stays on the driver's list, its extension pointing at the
    // block: the block stays too (QorDropDriver keeps a block in use), so that a second
    // unload finds it through that device and finishes the teardown.
    QorDropDriver(block);
}

} // extern "C"
