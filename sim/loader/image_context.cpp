// Thread information blocks, structured exception dispatch and the fault handler for the
// code of driver images.
//
// NT's i386 kernel keeps the processor control region at fs:0; its first field, the head
// of the current thread's chain of exception registration records, is what compiled
// __try blocks (and the library's hand-built frame in platform/nt/probe_lock.cpp) push and
// pop. Linux i386 leaves fs unused (glibc's thread pointer is gs), so each host thread that
// runs image code gets an LDT entry whose base is a block of its own, and fs loaded with it.
//
// The kernel raises an exception by walking that chain: each record's handler is called
// with the exception record; the one that takes it calls RtlUnwind, which calls the
// handlers of the records below its own with the unwinding flag and unlinks them, and then
// resumes in its own frame. The simulator's frames between the kernel call and that
// handler are abandoned as NT abandons its own: nothing in them may hold a lock or own
// memory.
#include "image_context.h"

#include <asm/ldt.h>
#include <pthread.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <ucontext.h>
#include <unistd.h>

#include <atomic>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "address_space.h"
#include "exports.h"
#include "pe_image.h"
#include "qorsim.h"
#include "qorsim_raise.h"

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#endif

namespace qorsim {
namespace {

// The NT_TIB at the start of NT's processor control region, and past it, where NT keeps
// the rest of the region, the simulator's own record of the image's latest kernel call.
constexpr unsigned kCallSiteOffset = 0x100;
struct ThreadBlock {
    void *exception_list;
    void *stack_base;
    void *stack_limit;
    void *sub_system_tib;
    void *fiber_data;
    void *arbitrary_user_pointer;
    ThreadBlock *self;
    uint8_t reserved[kCallSiteOffset - 7 * sizeof(void *)];
    const uint32_t *call_site; // where the image's latest call into the kernel keeps its return address
    uint8_t rest[4096 - kCallSiteOffset - sizeof(void *)];
};
static_assert(sizeof(ThreadBlock) == 4096 && offsetof(ThreadBlock, call_site) == kCallSiteOffset);

struct RegistrationRecord {
    RegistrationRecord *next;
    EXCEPTION_DISPOSITION (*handler)(EXCEPTION_RECORD *, void *, void *, void *); // cdecl
};
RegistrationRecord *const kEndOfChain = reinterpret_cast<RegistrationRecord *>(-1);

// The i386 CONTEXT record a handler receives (0x2CC bytes).
struct Context386 {
    ULONG ContextFlags;
    ULONG Dr[6];
    uint8_t FloatSave[112];
    ULONG SegGs, SegFs, SegEs, SegDs, Edi, Esi, Ebx, Edx, Ecx, Eax, Ebp, Eip, SegCs, EFlags, Esp, SegSs;
    uint8_t ExtendedRegisters[512];
};
static_assert(sizeof(Context386) == 0x2CC);

std::atomic<bool> g_images_present{false};
constexpr unsigned kLdtEntries = 8192;
std::mutex g_ldt_mutex;
std::vector<bool> g_ldt_used(kLdtEntries, false);

bool WriteLdt(unsigned entry, const void *base, bool present)
{
    user_desc d{};
    d.entry_number = entry;
    if (present) {
        d.base_addr = static_cast<unsigned>(reinterpret_cast<uintptr_t>(base));
        d.limit = sizeof(ThreadBlock) - 1;
        d.seg_32bit = 1;
        d.useable = 1;
    } else {
        d.read_exec_only = 1;
        d.seg_not_present = 1;
    }
    return syscall(SYS_modify_ldt, 1, &d, sizeof d) == 0;
}

void LoadFs(uint16_t selector) { asm volatile("movw %w0, %%fs" : : "q"(selector) : "memory"); }

// The calling thread's block, released with its LDT entry when the thread ends.
struct ThreadSlot {
    ThreadBlock *block = nullptr;
    unsigned entry = 0;
    ~ThreadSlot()
    {
        if (block == nullptr)
            return;
        LoadFs(0);
        WriteLdt(entry, nullptr, false);
        {
            std::lock_guard<std::mutex> lock(g_ldt_mutex);
            g_ldt_used[entry] = false;
        }
        munmap(block, sizeof(ThreadBlock));
    }
};
thread_local ThreadSlot t_slot;

[[noreturn]] void Fatal(const std::string &what)
{
    const std::string line = "qorsim: " + what + "\n";
    fputs(line.c_str(), stderr);
    fflush(stderr);
    _exit(3);
}

RegistrationRecord *ChainHead()
{
    RegistrationRecord *head;
    asm volatile("movl %%fs:0, %0" : "=r"(head));
    return head;
}
void SetChainHead(RegistrationRecord *head) { asm volatile("movl %0, %%fs:0" : : "r"(head) : "memory"); }

// A record NT's dispatcher accepts: 4-byte aligned, on the thread's stack, above the frame
// that raises.
bool RecordOnStack(const RegistrationRecord *record)
{
    const auto at = reinterpret_cast<uintptr_t>(record);
    const auto here = reinterpret_cast<uintptr_t>(__builtin_frame_address(0));
    return at % 4 == 0 && at > here && at + sizeof(RegistrationRecord) <= reinterpret_cast<uintptr_t>(t_slot.block->stack_base);
}

// ---- discarded INIT ranges and the fault handler ------------------------------------------
struct InitRange {
    const DriverImage *image;
    uintptr_t start, end;
};
constexpr unsigned kMaxInitRanges = 64;
InitRange g_init_ranges[kMaxInitRanges];
std::atomic<unsigned> g_init_count{0};
std::mutex g_init_mutex;
struct sigaction g_previous_segv;
std::once_flag g_handler_once;

const InitRange *InitRangeOf(uintptr_t address)
{
    const unsigned n = g_init_count.load(std::memory_order_acquire);
    for (unsigned i = 0; i < n; ++i)
        if (g_init_ranges[i].image != nullptr && address >= g_init_ranges[i].start && address < g_init_ranges[i].end)
            return &g_init_ranges[i];
    return nullptr;
}

void OnSegv(int signal, siginfo_t *info, void *context)
{
    const auto address = reinterpret_cast<uintptr_t>(info->si_addr);
    const auto *uc = static_cast<const ucontext_t *>(context);
    const auto eip = static_cast<uintptr_t>(uc->uc_mcontext.gregs[REG_EIP]);
    const InitRange *range = InitRangeOf(address);
    if (range == nullptr)
        range = InitRangeOf(eip);
    if (range != nullptr) {
        char at[32];
        snprintf(at, sizeof at, "0x%08lx", static_cast<unsigned long>(address));
        Fatal("verifier violation: access to " + range->image->name() + "'s discarded INIT section at " + at +
              " (" + describe_address(address) + ") from " + describe_address(eip));
    }
    if (image_at(eip) != nullptr) {
        char at[32];
        snprintf(at, sizeof at, "0x%08lx", static_cast<unsigned long>(address));
        const std::string line = std::string("qorsim: access violation at ") + at + " in " + describe_address(eip) + "\n";
        fputs(line.c_str(), stderr);
    }
    // Not ours: whoever handled the signal before (a sanitizer, or the default action).
    if ((g_previous_segv.sa_flags & SA_SIGINFO) && g_previous_segv.sa_sigaction != nullptr) {
        g_previous_segv.sa_sigaction(signal, info, context);
        return;
    }
    if (g_previous_segv.sa_handler != SIG_DFL && g_previous_segv.sa_handler != SIG_IGN) {
        g_previous_segv.sa_handler(signal);
        return;
    }
    sigaction(SIGSEGV, &g_previous_segv, nullptr); // the access runs again and ends the process
}

void InstallFaultHandler()
{
    std::call_once(g_handler_once, [] {
        struct sigaction action{};
        action.sa_sigaction = OnSegv;
        action.sa_flags = SA_SIGINFO | SA_NODEFER;
        sigemptyset(&action.sa_mask);
        sigaction(SIGSEGV, &action, &g_previous_segv);
    });
}

} // namespace

void register_init_range(const DriverImage *image, uintptr_t start, uintptr_t end)
{
    std::lock_guard<std::mutex> lock(g_init_mutex);
    const unsigned n = g_init_count.load(std::memory_order_relaxed);
    for (unsigned i = 0; i < n; ++i)
        if (g_init_ranges[i].image == nullptr) {
            g_init_ranges[i] = InitRange{image, start, end};
            return;
        }
    if (n == kMaxInitRanges) {
        machine().verifier.violation("more than 64 discarded INIT sections at a time");
        return;
    }
    g_init_ranges[n] = InitRange{image, start, end};
    g_init_count.store(n + 1, std::memory_order_release);
}

void forget_init_ranges(const DriverImage *image)
{
    std::lock_guard<std::mutex> lock(g_init_mutex);
    const unsigned n = g_init_count.load(std::memory_order_relaxed);
    for (unsigned i = 0; i < n; ++i)
        if (g_init_ranges[i].image == image)
            g_init_ranges[i].image = nullptr;
}

void note_images_present(bool present)
{
    if (present)
        InstallFaultHandler();
    g_images_present.store(present, std::memory_order_release);
}

bool has_thread_block() { return t_slot.block != nullptr; }

std::string image_caller()
{
    if (t_slot.block == nullptr || !g_images_present.load(std::memory_order_acquire))
        return "";
    const std::string site = image_call_site(t_slot.block->call_site, t_slot.block->stack_base);
    return site.empty() ? site : "called from " + site;
}

namespace {
// One thunk per routine of the export table, 16 bytes each, in one page of system space:
//   mov fs:[0x100], esp     64 89 25 00 01 00 00
//   jmp routine             E9 rel32
// esp points at the image's return address. No register but none is changed.
constexpr unsigned kThunkBytes = 16;
std::once_flag g_thunks_once;
uint8_t *g_thunks = nullptr;

void MakeThunks()
{
    const auto table = kernel_exports();
    const size_t bytes = (table.size() * kThunkBytes + kPageSize - 1) & ~static_cast<size_t>(kPageSize - 1);
    auto *page = static_cast<uint8_t *>(system_space_reserve(bytes));
    if (page == nullptr)
        Fatal("no system space for the kernel's entry thunks");
    for (size_t i = 0; i < table.size(); ++i) {
        uint8_t *t = page + i * kThunkBytes;
        const uint8_t store[] = {0x64, 0x89, 0x25, kCallSiteOffset & 0xFF, kCallSiteOffset >> 8, 0, 0};
        memcpy(t, store, sizeof store);
        t[7] = 0xE9;
        const int32_t rel = static_cast<int32_t>(reinterpret_cast<uintptr_t>(table[i].address) -
                                                 reinterpret_cast<uintptr_t>(t + 12));
        memcpy(t + 8, &rel, 4);
        memset(t + 12, 0xCC, kThunkBytes - 12);
    }
    mprotect(page, bytes, PROT_READ | PROT_EXEC);
    g_thunks = page;
}
} // namespace

const void *image_entry(const KernelExport &routine)
{
    if (routine.convention == Convention::Data)
        return routine.address;
    std::call_once(g_thunks_once, MakeThunks);
    const auto table = kernel_exports();
    return g_thunks + (&routine - table.data()) * kThunkBytes;
}

void *exception_list() { return has_thread_block() ? ChainHead() : nullptr; }

void enter_image_context()
{
    if (t_slot.block != nullptr || !g_images_present.load(std::memory_order_acquire))
        return;
    void *memory = mmap(nullptr, sizeof(ThreadBlock), PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (memory == MAP_FAILED)
        Fatal("no memory for a thread information block");
    auto *block = static_cast<ThreadBlock *>(memory);
    block->exception_list = kEndOfChain;
    block->self = block;
    pthread_attr_t attributes;
    void *stackLow = nullptr;
    size_t stackBytes = 0;
    if (pthread_getattr_np(pthread_self(), &attributes) == 0) {
        pthread_attr_getstack(&attributes, &stackLow, &stackBytes);
        pthread_attr_destroy(&attributes);
    }
    block->stack_limit = stackLow;
    block->stack_base = static_cast<uint8_t *>(stackLow) + stackBytes;
    unsigned entry = kLdtEntries;
    {
        std::lock_guard<std::mutex> lock(g_ldt_mutex);
        for (unsigned i = 1; i < kLdtEntries; ++i)
            if (!g_ldt_used[i]) {
                g_ldt_used[i] = true;
                entry = i;
                break;
            }
    }
    if (entry == kLdtEntries || !WriteLdt(entry, block, true))
        Fatal("cannot give a thread an information block (modify_ldt)");
    t_slot.block = block;
    t_slot.entry = entry;
    LoadFs(static_cast<uint16_t>(entry << 3 | 4 | 3)); // LDT, ring 3
}

void raise_in_image(NTSTATUS status, void *raisedAt)
{
    if (!has_thread_block())
        Fatal("an exception raised in driver code on a thread without an information block");
    EXCEPTION_RECORD record{};
    record.ExceptionCode = status;
    record.ExceptionFlags = EXCEPTION_NONCONTINUABLE;
    record.ExceptionAddress = raisedAt;
    Context386 context{};
    context.Eip = static_cast<ULONG>(reinterpret_cast<uintptr_t>(raisedAt));
    context.Esp = static_cast<ULONG>(reinterpret_cast<uintptr_t>(__builtin_frame_address(0)));
    for (RegistrationRecord *r = ChainHead(); r != kEndOfChain; r = r->next) {
        if (!RecordOnStack(r))
            break; // NT's dispatcher stops at a record off the stack: unhandled
        void *dispatcherContext = nullptr;
#if defined(__SANITIZE_ADDRESS__)
        // A handler that takes the exception resumes in its own frame: the sanitizer's
        // marks of the frames it abandons must go, as for a longjmp.
        __asan_handle_no_return();
#endif
        const EXCEPTION_DISPOSITION disposition = r->handler(&record, r, &context, &dispatcherContext);
        if (disposition == ExceptionContinueSearch)
            continue;
        char code[16];
        snprintf(code, sizeof code, "0x%08lX", static_cast<unsigned long>(status));
        Fatal(std::string("bug check: the handler at ") + describe_address(reinterpret_cast<uintptr_t>(r->handler)) +
              " answered exception " + code + " with disposition " + std::to_string(disposition) +
              (disposition == ExceptionContinueExecution ? " (STATUS_NONCONTINUABLE_EXCEPTION)" : ""));
    }
    char code[16];
    snprintf(code, sizeof code, "0x%08lX", static_cast<unsigned long>(status));
    Fatal(std::string("bug check 0x1E KMODE_EXCEPTION_NOT_HANDLED: exception ") + code + " raised at " +
          describe_address(reinterpret_cast<uintptr_t>(raisedAt)) + " and no handler took it");
}

} // namespace qorsim

using namespace qorsim;

extern "C" {

uint64_t NTAPI QorSimImageMmGetPhysicalAddress(PVOID BaseAddress)
{
    return static_cast<uint64_t>(MmGetPhysicalAddress(BaseAddress).QuadPart);
}

VOID NTAPI QorSimImageMmProbeAndLockPages(PMDL MemoryDescriptorList, KPROCESSOR_MODE AccessMode,
                                          LOCK_OPERATION Operation)
{
    MmProbeAndLockPages(MemoryDescriptorList, AccessMode, Operation);
    const NTSTATUS raised = QorSimTakeRaisedStatus();
    if (raised != STATUS_SUCCESS)
        raise_in_image(raised, __builtin_return_address(0));
}

VOID NTAPI RtlUnwind(PVOID TargetFrame, PVOID TargetIp, PEXCEPTION_RECORD ExceptionRecord, PVOID ReturnValue)
{
    (void)TargetIp;
    (void)ReturnValue;
    if (!has_thread_block()) {
        machine().verifier.violation("RtlUnwind on a thread that runs no driver image");
        return;
    }
    EXCEPTION_RECORD own{};
    own.ExceptionCode = STATUS_UNWIND;
    EXCEPTION_RECORD *record = ExceptionRecord != nullptr ? ExceptionRecord : &own;
    record->ExceptionFlags |= EXCEPTION_UNWINDING;
    if (TargetFrame == nullptr)
        record->ExceptionFlags |= EXCEPTION_EXIT_UNWIND;
    auto *target = static_cast<RegistrationRecord *>(TargetFrame);
    Context386 context{};
    RegistrationRecord *r = ChainHead();
    while (r != kEndOfChain && r != target) {
        if (target != nullptr && r > target) {
            machine().verifier.violation("RtlUnwind to a frame that is not on the handler chain");
            return;
        }
        void *dispatcherContext = nullptr;
        r->handler(record, r, &context, &dispatcherContext);
        r = r->next;
        SetChainHead(r);
    }
    if (target != nullptr && r != target)
        machine().verifier.violation("RtlUnwind to a frame that is not on the handler chain");
}

} // extern "C"
