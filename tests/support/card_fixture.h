// A card as the enumeration leaves it, without the PCI and device-object parts: a device
// extension, the client's driver block and description copy, and the registry path its
// Parameters key hangs under. Tests set the description and registry, then call the
// buffer setup as the enumeration does.
#pragma once

#include <cstring>

#include "support/sim_fixture.h"
#include "qorpelk.h"

class CardTest : public SimTest {
protected:
    static constexpr const char16_t *kServiceKey = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\acqdrv";

    QorDevExt ext{};
    QorDesp desp{};
    QorDriverBlock block{};
    QorFindRecord find{};
    UNICODE_STRING registryPath{};

    void SetUp() override {
        SimTest::SetUp();
        RtlInitUnicodeString(&registryPath, kServiceKey);
        block.Desp = &desp;
        find.DevExt = &ext;
        find.DriverBlock = &block;
        find.RegistryPath = &registryPath;
        ext.DriverBlock = &block;
    }

    // A buffer kind asked for by the description: present, needs a buffer, list limit.
    void AskForBuffer(int kind, USHORT sampleBits = 16, USHORT listLimit = 16, USHORT extraFlags = 0) {
        desp.Buffers[kind].Flags = static_cast<USHORT>(0x0003 | extraFlags);
        desp.Buffers[kind].SampleBits = sampleBits;
        desp.Buffers[kind].ListLimit = listLimit;
    }

    void SetSizeKb(const char16_t *valueName, ULONG kb) {
        sim().registry.set_dword(std::u16string(kServiceKey) + u"\\Parameters", valueName, kb);
    }
};
