// libFuzzer target: requests built from fuzz bytes go through the sample driver's real
// dispatch on the default machine, from two processes, among opens, closes, stale
// handles, injected faults, card transfers and interrupts. Every input ends with the
// sample program's duties done (its handles closed), the driver and the library unloaded,
// and the simulator's accounting checked: pool, handles, MDLs, interrupt connections,
// contiguous memory, devices, links and the verifier. Anything left is a crash.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "acqapp.h"
#include "acqdrv_ioctl.h"
#include "control_device.h"
#include "default_machine.h"

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath);

// LeakSanitizer cannot stop the world under qemu's user-mode emulator; the simulator's
// own accounting below is the leak check.
extern "C" const char *__asan_default_options() { return "detect_leaks=0"; }

namespace {

// Reads the fuzz input front to back; past its end every read is 0.
class Bytes {
public:
    Bytes(const uint8_t *data, size_t size) : data_(data), size_(size) {}
    bool empty() const { return at_ >= size_; }
    uint8_t u8() { return at_ < size_ ? data_[at_++] : 0; }
    // Little-endian; the low byte is read first (the operands of | are not sequenced).
    uint16_t u16()
    {
        const uint8_t low = u8();
        return static_cast<uint16_t>(low | (u8() << 8));
    }
    uint32_t u32()
    {
        const uint16_t low = u16();
        return low | (static_cast<uint32_t>(u16()) << 16);
    }
    void fill(uint8_t *out, size_t n)
    {
        for (size_t i = 0; i < n; ++i)
            out[i] = u8();
    }

private:
    const uint8_t *data_;
    size_t size_, at_ = 0;
};

constexpr const char *kCards[] = {"\\\\.\\AcqA0", "\\\\.\\AcqA1", "\\\\.\\AcqB0", "\\\\.\\AcqC0", "\\\\.\\AcqX9"};
constexpr size_t kSlots = 6;
// Requests longer than this are cut to it: the system buffer is allocated at the larger
// length, and lengths above 65535 still reach the driver's checks as such.
constexpr uint32_t kMaxLength = 0x11000;

// The functions of the driver's codes and of the length table's other rows, so that most
// requests pass the length check and reach the driver's own code.
constexpr uint16_t kFunctions[] = {
    0x810, 0x825, 0x829, 0x826, 0x82B, 0x830, 0x835, 0x839, 0x836, 0x83A, 0x845, 0x849, 0x846, 0x84A, 0x855, 0x859, 0x856,
    0x85A, 0x865, 0x869, 0x866, 0x86A, 0x875, 0x879, 0x876, 0x87A, 0x885, 0x88A, 0x891, 0x892, 0x8A1,
    0x8A2, 0x8B1, 0x8B2, 0x8C5, 0x918, 0x91A,
};

struct Slot {
    HANDLE handle = INVALID_HANDLE_VALUE;
    qorsim::Process *process = nullptr;
    bool open = false;
};

[[noreturn]] void Fail(const char *what, const std::string &detail)
{
    std::fprintf(stderr, "acqdrv_fuzz: %s\n%s\n", what, detail.c_str());
    std::abort();
}

void Check(const char *what, const std::string &report)
{
    if (!report.empty())
        Fail(what, report);
}

// The programs' request buffer, in user space: the I/O manager probes it as NT's does.
uint8_t *const g_buffer = reinterpret_cast<uint8_t *>(qorsim::user_space_allocate(kMaxLength + 16));

void Request(Bytes &in, Slot &slot)
{
    const uint8_t shape = in.u8();
    ULONG code;
    if (shape & 0x80)
        code = in.u32(); // any code at all
    else
        code = QOR_IOCTL_CODE(kFunctions[in.u8() % (sizeof kFunctions / sizeof kFunctions[0])]);
    static constexpr uint32_t kLengths[] = {0, 1, 2, 4, 8, 10, 12, 14, 16, 22, 298, 299, 0xFFFF, 0x10000, 0x10002};
    uint32_t inLength = (shape & 0x10) ? in.u16() : kLengths[in.u8() % 15];
    uint32_t outLength = (shape & 0x20) ? in.u16() : kLengths[in.u8() % 15];
    inLength = inLength > kMaxLength ? kMaxLength : inLength;
    outLength = outLength > kMaxLength ? kMaxLength : outLength;
    std::memset(g_buffer, 0, inLength > outLength ? inLength : outLength);
    in.fill(g_buffer, inLength < 32 ? inLength : 32); // the record's fields
    // A synchronous start would wait for a card that nobody runs here: starts are made
    // asynchronous (the SyncMode field), everything else stays as the bytes say.
    const ULONG function = QOR_IOCTL_FUNCTION(code);
    if ((function & 0xFF0) == 0x870 && inLength >= offsetof(QorContRequest, SyncMode) + 2)
        reinterpret_cast<QorContRequest *>(g_buffer)->SyncMode = 0;
    const bool nullIn = (shape & 0x40) != 0;
    const bool nullOut = (shape & 0x08) != 0;
    DWORD returned = 0;
    qorsim::InProcess process(*slot.process);
    // A scatter-gather transfer aimed, as the bytes say, into memory the program owns: the
    // chain is built over its pages and the 9080 walks it.
    constexpr uint32_t kOwnBytes = 4 * 4096;
    void *own = nullptr;
    if ((function & 0xFF0) == 0x820 && (shape & 0x04) && inLength >= sizeof(AcqScatterRequest)) {
        own = VirtualAlloc(nullptr, kOwnBytes, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
        auto *request = reinterpret_cast<AcqScatterRequest *>(g_buffer);
        const uint32_t offset = request->Buffer % kOwnBytes;
        request->Buffer = static_cast<ULONG>(reinterpret_cast<uintptr_t>(own) + offset);
        request->Bytes %= kOwnBytes - offset + 1;
    }
    DeviceIoControl(slot.handle, code, nullIn ? nullptr : g_buffer, inLength, nullOut ? nullptr : g_buffer,
                    outLength, &returned, nullptr);
    if (own != nullptr)
        VirtualFree(own, 0, MEM_RELEASE);
}

void RunInput(const uint8_t *data, size_t size)
{
    qorsim::Machine &m = qorsim::machine();
    m.reset();
    m.ports.set_recording(false); // nothing here reads the port trace
    Bytes in(data, size);
    {
        qorsim::DefaultMachine board;
        qorsim::LoadedDriver library("qorpelk", QOR_LIBRARY_ENTRY, "");
        if (library.load() != STATUS_SUCCESS)
            Fail("the library did not load", "");
        qorsim::LoadedDriver driver("acqdrv", DriverEntry, qorsim::DefaultMachine::kServiceKeyAscii);
        // Faults injected before the load reach the driver's setup.
        if (in.u8() & 1)
            m.faults.fail_nth(static_cast<qorsim::Fault>(in.u8() % static_cast<int>(qorsim::Fault::Count)),
                              1 + in.u8() % 8);
        const bool loaded = driver.load() == STATUS_SUCCESS;
        m.faults.clear();
        qorsim::Process *processes[2] = {&m.processes.create("a"), &m.processes.create("b")};
        Slot slots[kSlots];
        for (unsigned step = 0; loaded && step < 64 && !in.empty(); ++step) {
            const uint8_t op = in.u8();
            Slot &slot = slots[in.u8() % kSlots];
            switch (op % 8) {
            case 0: // open, from either process
                if (!slot.open) {
                    slot.process = processes[in.u8() & 1];
                    qorsim::InProcess process(*slot.process);
                    slot.handle = CreateFileA(kCards[in.u8() % 5], GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                              OPEN_EXISTING, 0, nullptr);
                    slot.open = slot.handle != INVALID_HANDLE_VALUE;
                }
                break;
            case 1: // close; the handle stays in the slot, stale
                if (slot.open) {
                    CloseHandle(slot.handle);
                    slot.open = false;
                }
                break;
            case 2:
            case 3:
                if (slot.process != nullptr)
                    Request(in, slot); // on an open or a stale handle
                break;
            case 4: // a fault in one of the next operations of a kind
                m.faults.fail_nth(static_cast<qorsim::Fault>(in.u8() % static_cast<int>(qorsim::Fault::Count)),
                                  1 + in.u8() % 4);
                break;
            case 5: { // a card's pending bus-master transfer runs, and interrupts
                auto cards = board.acquisition_cards();
                auto *card = cards[in.u8() % cards.size()];
                const auto direction = (in.u8() & 1) ? qorsim::models::AcquisitionCard::Direction::Output
                                                     : qorsim::models::AcquisitionCard::Direction::Input;
                card->run_transfer(direction);
                break;
            }
            case 6: { // a PLX card's local inputs change, and its line is raised
                const uint8_t lines = in.u8();
                board.plx9050().set_lint_asserted(1, lines & 1);
                board.plx9050().set_lint_asserted(2, lines & 2);
                const auto &cards = board.cards();
                cards[in.u8() % cards.size()].pci->raise_interrupt();
                break;
            }
            case 7:
                m.dpcs.drain();
                break;
            }
        }
        m.faults.clear();
        for (Slot &slot : slots) {
            if (slot.open) {
                CloseHandle(slot.handle);
                slot.open = false;
            }
        }
        m.dpcs.drain();
        driver.unload();
        library.unload();
        m.processes.end(*processes[0]);
        m.processes.end(*processes[1]);
    }
    Check("pool left after unload", m.pool.leak_report());
    Check("kernel handles left", m.handles.leak_report());
    Check("MDLs left", m.mdls.leak_report());
    Check("interrupts still connected", m.interrupts.leak_report());
    if (m.memory.contiguous_blocks() != 0)
        Fail("contiguous memory left", std::to_string(m.memory.contiguous_blocks()) + " blocks");
    if (!m.objects.device_names().empty() || !m.objects.link_names().empty())
        Fail("devices or links left", "");
    if (!m.verifier.violations().empty())
        Fail("verifier violation", m.verifier.violations().front());
}

// A hang: libFuzzer's own timeout does not fire under qemu-i386 while every thread of the
// process waits in the kernel, so a watchdog thread writes the input that has run longer
// than kHangSeconds to hang-input.bin (and its bytes to stderr) and ends the process.
constexpr int kHangSeconds = 45;
std::atomic<int64_t> g_input_started{0}; // steady-clock seconds; 0 between inputs
std::vector<uint8_t> g_current_input;

int64_t NowSeconds()
{
    return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

void Watchdog()
{
    for (;;) {
        std::this_thread::sleep_for(std::chrono::seconds(1));
        const int64_t started = g_input_started.load();
        if (started == 0 || NowSeconds() - started < kHangSeconds)
            continue;
        if (FILE *f = std::fopen("hang-input.bin", "wb")) {
            std::fwrite(g_current_input.data(), 1, g_current_input.size(), f);
            std::fclose(f);
        }
        std::fprintf(stderr, "acqdrv_fuzz: an input ran for %d s; written to hang-input.bin:", kHangSeconds);
        for (uint8_t b : g_current_input)
            std::fprintf(stderr, " %02x", b);
        std::fprintf(stderr, "\n");
        std::_Exit(1);
    }
}

} // namespace

// libFuzzer ends a run with exit(). The simulated machine (a static object with a DPC
// thread) is not torn down then: every input already ended with its own checks.
extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    // 32 MB of simulated RAM hold the default machine's buffers many times over; under
    // qemu-i386 the sanitizers' 32-bit allocator needs the address space the default
    // 192 MB would take.
    qorsim::machine().memory.configure(32u << 20);
    std::thread(Watchdog).detach();
    std::atexit([] {
        std::fflush(nullptr);
        std::_Exit(0);
    });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    g_current_input.assign(data, data + size);
    g_input_started = NowSeconds();
    RunInput(data, size);
    g_input_started = 0;
    return 0;
}
