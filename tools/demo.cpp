// The default scenario: the library is loaded as a driver, a client's I/O-control dispatch
// validates a stream of requests from a user program (well-formed and malformed alike)
// and serves digital and port I/O on a simulated card; the report shows what the library
// decided, what reached the card's registers and what the verifier saw.
#include <chrono>
#include <cstdio>
#include <cstring>
#include <map>
#include <random>
#include <string>

#include "control_device.h"
#include "qor_platform.h"
#include "qorsim.h"

namespace {

constexpr uint32_t kBridgeBase = 0xD000; // PortBase[0]
constexpr uint32_t kCardBase = 0xD100;   // PortBase[1]: the card's own registers
constexpr uint32_t kDigitalPort = 0x08;  // a 2-byte digital port inside them
constexpr USHORT kDigitalWidth = 2;
constexpr ULONG kPioRead = QOR_IOCTL_CODE(0x885);
constexpr ULONG kPioWrite = QOR_IOCTL_CODE(0x886);
constexpr ULONG kPortRead = QOR_IOCTL_CODE(0x8A1);
constexpr ULONG kPortWrite = QOR_IOCTL_CODE(0x8A2);

struct Tally {
    std::map<SHORT, unsigned> byStatus;
    unsigned accepted = 0, rejected = 0, served = 0;
};

// What a client driver's I/O-control dispatch does with one request.
void ClientDispatch(QorDevExt &ext, qorsim::IoctlRequest &request, Tally &tally)
{
    PIRP irp = request.irp();
    if (!QorIocCheckBufferLength(irp)) {
        ++tally.rejected;
        tally.byStatus[request.buffer_size() >= 2 ? request.library_status() : SHORT{1}]++;
        IofCompleteRequest(irp, IO_NO_INCREMENT);
        return;
    }
    ++tally.accepted;
    void *buffer = irp->AssociatedIrp.SystemBuffer;
    const ULONG port = ext.PortBase[1] + kDigitalPort;
    switch (IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl.IoControlCode) {
    case kPioRead: {
        auto *r = static_cast<QorPioRequest *>(buffer);
        r->Value = qor::PortRead16(port);
        QorIocPioRead(kDigitalWidth, r);
        break;
    }
    case kPioWrite: {
        auto *r = static_cast<QorPioRequest *>(buffer);
        if (QorIocPioWrite(kDigitalWidth, r, qor::PortRead16(port)))
            qor::PortWrite16(port, static_cast<USHORT>(r->Value));
        break;
    }
    case kPortRead: QorIocPortIoRead(&ext, 4, static_cast<QorPortIoRequest *>(buffer)); break;
    case kPortWrite: QorIocPortIoWrite(&ext, 4, static_cast<QorPortIoRequest *>(buffer)); break;
    default: break; // accepted codes this card does not serve complete with the status 0
    }
    ++tally.served;
    tally.byStatus[request.library_status()]++;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
}

const char *StatusName(SHORT s)
{
    switch (s) {
    case 1: return "(no room for a status)";
    case QorOk: return "QorOk";
    case QorErrUnknownRequest: return "QorErrUnknownRequest";
    case QorErrInputTooShort: return "QorErrInputTooShort";
    case QorErrOutputTooShort: return "QorErrOutputTooShort";
    case QorErrByteCount: return "QorErrByteCount";
    case QorErrBitIndex: return "QorErrBitIndex";
    case QorErrPortWidth: return "QorErrPortWidth";
    default: return "?";
    }
}

} // namespace

int RunDemo(unsigned requests)
{
    qorsim::Machine &sim = qorsim::machine();
    sim.reset();
    const auto started = std::chrono::steady_clock::now();

    std::printf("qorsim demo: %u I/O-control requests to one simulated card\n\n", requests);
    qorsim::LoadedDriver library("qorpelk", QOR_LIBRARY_ENTRY,
                                 "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\qorpelk");
    const NTSTATUS loaded = library.load();
    const auto opened = qorsim::send_file_request(u"\\DosDevices\\QORPELK", IRP_MJ_CREATE);
    const auto closed = qorsim::send_file_request(u"\\DosDevices\\QORPELK", IRP_MJ_CLOSE);
    std::printf("library    DriverEntry 0x%08lX; \\DosDevices\\QORPELK create 0x%08lX, close 0x%08lX\n",
                static_cast<unsigned long>(loaded), static_cast<unsigned long>(opened.status),
                static_cast<unsigned long>(closed.status));

    qorsim::RegisterFile bridge(0x40), card(0x20);
    sim.ports.claim(kBridgeBase, 0x40, &bridge, "bridge");
    sim.ports.claim(kCardBase, 0x20, &card, "card");
    QorDevExt ext{};
    ext.PortBase[0] = kBridgeBase;
    ext.PortBase[1] = kCardBase;
    ext.PortCount = 2;
    std::printf("card       registers at 0x%04X, port I/O base 0x%04X, digital port 0x%04X (%u bytes)\n\n",
                kBridgeBase, kCardBase, kCardBase + kDigitalPort, kDigitalWidth);

    // A user program's stream: mostly well-formed, some malformed in every way there is.
    std::mt19937 random(20261205);
    Tally tally;
    sim.ports.set_recording(false);
    uint16_t expectedPort = 0;
    unsigned mismatches = 0;
    for (unsigned i = 0; i < requests; ++i) {
        const unsigned kind = random() % 10;
        uint8_t input[32] = {};
        ULONG code = kPioWrite, inLen = 12, outLen = 2;
        if (kind < 4) { // write a byte, a word or a bit of the digital port
            QorPioRequest r{};
            r.ByteCount = static_cast<USHORT>(random() % 4); // 3 is too wide for the port
            r.BitIndex = static_cast<USHORT>(random() % 18); // 16 and 17 do not exist
            r.Value = random();
            std::memcpy(input, &r, sizeof r);
            if (r.ByteCount == 1)
                expectedPort = static_cast<uint16_t>((expectedPort & 0xFF00) | (r.Value & 0xFF));
            else if (r.ByteCount == 2)
                expectedPort = static_cast<uint16_t>(r.Value);
            else if (r.ByteCount == 0 && r.BitIndex < 16)
                expectedPort = static_cast<uint16_t>((expectedPort & ~(1u << r.BitIndex)) |
                                                     ((r.Value & 1) << r.BitIndex));
        } else if (kind < 7) {
            code = kPioRead, outLen = 12;
            QorPioRequest r{};
            r.ByteCount = 2;
            std::memcpy(input, &r, sizeof r);
        } else if (kind < 9) {
            code = random() % 2 ? kPortRead : kPortWrite, inLen = 10, outLen = code == kPortRead ? 10 : 2;
            QorPortIoRequest r{};
            r.Offset = static_cast<USHORT>(0x10 + 4 * (random() % 4));
            r.Width = random() % 8 ? 4 : 2; // now and then a width the card does not use
            r.Value = random();
            std::memcpy(input, &r, sizeof r);
        } else { // malformed
            const ULONG codes[] = {0, QOR_IOCTL_CODE(0x800), kPioRead, QOR_IOCTL_GET_DESP};
            code = codes[random() % 4];
            inLen = random() % 12;
            outLen = random() % 4;
        }
        qorsim::IoctlRequest request(code, input, inLen, outLen);
        ClientDispatch(ext, request, tally);
        if (code == kPioRead && request.status() == STATUS_SUCCESS && request.library_status() == QorOk) {
            QorPioRequest answer;
            std::memcpy(&answer, request.buffer(), sizeof answer);
            mismatches += answer.Value != expectedPort;
        }
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();

    std::printf("requests   %u accepted (%u served), %u rejected\n", tally.accepted, tally.served, tally.rejected);
    for (const auto &[status, count] : tally.byStatus)
        std::printf("           %6u  %4s %s\n", count, status == 1 ? "" : std::to_string(status).c_str(),
                    StatusName(status));
    std::printf("digital    port reads back what the merged writes left: %s (%u mismatches), now 0x%04X\n",
                mismatches == 0 ? "yes" : "NO", mismatches, card.peek(kDigitalPort, 2));
    std::printf("ports      %llu accesses, %.3f ms of simulated bus time\n",
                static_cast<unsigned long long>(sim.ports.access_count()), sim.clock.now_ns() / 1e6);

    sim.ports.set_recording(true);
    sim.ports.clear_trace();
    QorPioRequest bit{};
    bit.BitIndex = 15;
    bit.Value = 1;
    qorsim::IoctlRequest last(kPioWrite, &bit, sizeof bit, 2);
    ClientDispatch(ext, last, tally);
    std::printf("trace      setting bit 15 of the digital port:\n");
    for (const qorsim::PortAccess &a : sim.ports.trace())
        std::printf("           #%llu %s (%s)\n", static_cast<unsigned long long>(a.seq), qorsim::describe(a).c_str(),
                    sim.ports.owner(a.port).c_str());

    library.unload();
    sim.ports.release(&bridge);
    sim.ports.release(&card);
    const auto violations = sim.verifier.violations();
    const std::string leaks = sim.pool.leak_report();
    std::printf("\nverifier   %llu pool allocations, %zu blocks leaked, %zu violations, devices left %zu, links left %zu\n",
                static_cast<unsigned long long>(sim.pool.allocations()), sim.pool.live_blocks().size(),
                violations.size(), sim.objects.device_names().size(), sim.objects.link_names().size());
    for (const auto &v : violations)
        std::printf("           violation: %s\n", v.c_str());
    std::printf("%s", leaks.c_str());
    std::printf("host time  %.2f s (%.0f requests/s)\n", seconds, requests / seconds);
    const bool clean = violations.empty() && leaks.empty() && mismatches == 0 && NT_SUCCESS(loaded);
    std::printf("result     %s\n", clean ? "clean" : "PROBLEMS FOUND");
    return clean ? 0 : 1;
}
