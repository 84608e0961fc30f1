// qorsim: a simulated 32-bit NT machine for the host build. The kernel and HAL operations
// declared by platform/host/include/ntddk.h are implemented against the one current
// Machine; tests, the command line and scenarios reach its parts through this header.
#pragma once

#include <ntddk.h>

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <string>
#include <vector>

#include "memory.h"
#include "mdl.h"

namespace qorsim {

// ---- virtual clock --------------------------------------------------------------------
// Simulated time in nanoseconds. Nothing in the simulator sleeps for real; time moves when
// a component says so (a port access costs a fixed time, a kernel wait advances it).
class Clock {
public:
    uint64_t now_ns() const { return now_; }
    void advance_ns(uint64_t ns) { now_ += ns; }
    void reset()
    {
        now_ = 0;
        std::lock_guard<std::mutex> lock(delays_mutex_);
        delays_.clear();
    }

    // Intervals asked of KeDelayExecutionThread since the last reset, as passed (100 ns
    // units, negative: relative), in the order of the calls.
    std::vector<LONGLONG> delays() const
    {
        std::lock_guard<std::mutex> lock(delays_mutex_);
        return delays_;
    }
    void note_delay(LONGLONG interval)
    {
        std::lock_guard<std::mutex> lock(delays_mutex_);
        delays_.push_back(interval);
    }

private:
    uint64_t now_ = 0;
    mutable std::mutex delays_mutex_;
    std::vector<LONGLONG> delays_;
};

// ---- nonpaged pool --------------------------------------------------------------------
struct PoolBlock {
    void *address;
    size_t size;
    ULONG tag;
    uint64_t serial; // 1 for the first allocation since the last reset
};

class Pool {
public:
    void *allocate(POOL_TYPE type, size_t size, ULONG tag);
    // Returns false (and records a verifier violation) for an address that is not a live
    // block.
    bool free(void *address);

    // Fault injection: fail exactly the nth allocation from now (1 = the next one), or
    // every allocation from the nth on. 0 switches the kind off.
    void fail_nth(uint64_t n);
    void fail_from(uint64_t n);
    void clear_faults();

    uint64_t allocations() const; // attempts since the last reset, failed ones included
    uint64_t failures() const;
    std::vector<PoolBlock> live_blocks() const;
    size_t live_bytes() const;
    std::string leak_report() const; // empty when nothing is live
    void reset();                    // frees every live block

private:
    mutable std::mutex mutex_;
    std::map<void *, PoolBlock> live_;
    uint64_t attempts_ = 0;
    uint64_t failures_ = 0;
    uint64_t fail_nth_at_ = 0;
    uint64_t fail_from_at_ = 0;
};

// ---- port I/O space --------------------------------------------------------------------
// A model claims a range of ports; every access to the range reaches it with the offset
// from the range's base. Reads of unclaimed ports float high (all ones) as on a PC bus.
class PortDevice {
public:
    virtual ~PortDevice() = default;
    virtual uint32_t read(uint32_t offset, unsigned width) = 0;
    virtual void write(uint32_t offset, unsigned width, uint32_t value) = 0;
};

struct PortAccess {
    uint64_t seq;     // 0 for the first access since the trace was cleared
    uint64_t time_ns; // virtual time of the access
    bool write;
    unsigned width; // bytes: 1, 2 or 4
    uint32_t port;
    uint32_t value; // written, or returned by the read

    bool operator==(const PortAccess &o) const
    {
        return write == o.write && width == o.width && port == o.port && value == o.value;
    }
};
std::string describe(const PortAccess &access);

class PortSpace {
public:
    // Claims [base, base + length) for the device; fails (false) on an overlap.
    bool claim(uint32_t base, uint32_t length, PortDevice *device, std::string name);
    void release(PortDevice *device);

    uint32_t read(uint32_t port, unsigned width);
    void write(uint32_t port, unsigned width, uint32_t value);

    std::vector<PortAccess> trace() const;
    void clear_trace();
    void set_recording(bool on);
    uint64_t access_count() const;
    // Name of the device that owns the port, or "" when unclaimed.
    std::string owner(uint32_t port) const;
    void reset(); // drops claims and trace

private:
    struct Range {
        uint32_t base;
        uint32_t length;
        PortDevice *device;
        std::string name;
    };
    const Range *find(uint32_t port) const;

    // Recursive: a model may raise an interrupt whose service routine touches ports.
    mutable std::recursive_mutex mutex_;
    std::vector<Range> ranges_;
    std::vector<PortAccess> trace_;
    uint64_t seq_ = 0;
    bool recording_ = true;
};

// A plain register file: what is written reads back, per byte. Serves as a stand-in card
// register block and as the base of models that only need a few behaviours on top.
class RegisterFile : public PortDevice {
public:
    explicit RegisterFile(uint32_t length) : bytes_(length, 0) {}
    uint32_t read(uint32_t offset, unsigned width) override;
    void write(uint32_t offset, unsigned width, uint32_t value) override;
    uint32_t peek(uint32_t offset, unsigned width) const;
    void poke(uint32_t offset, unsigned width, uint32_t value);

private:
    std::vector<uint8_t> bytes_;
};

// ---- verifier --------------------------------------------------------------------------
class Verifier {
public:
    void violation(std::string what);
    std::vector<std::string> violations() const;
    void reset();

private:
    mutable std::mutex mutex_;
    std::vector<std::string> violations_;
};

// ---- I/O manager side -----------------------------------------------------------------
// A buffered I/O-control request as the I/O manager builds it: one IRP with its current
// stack location and one system buffer of the larger of the two lengths, holding the
// caller's input. Owned by the caller; completion is recorded, not acted on.
class IoctlRequest {
public:
    IoctlRequest(ULONG code, const void *input, ULONG inputLength, ULONG outputLength);
    IoctlRequest(const IoctlRequest &) = delete;
    IoctlRequest &operator=(const IoctlRequest &) = delete;

    PIRP irp() { return &irp_; }
    uint8_t *buffer() { return buffer_.empty() ? nullptr : buffer_.data(); }
    size_t buffer_size() const { return buffer_.size(); }
    SHORT library_status() const; // the i16 at offset 0 of the system buffer
    NTSTATUS status() const { return irp_.IoStatus.Status; }
    ULONG_PTR information() const { return irp_.IoStatus.Information; }
    bool completed() const { return completions_ > 0; }
    int completions() const { return completions_; }

    // Called by IofCompleteRequest.
    void note_completion() { ++completions_; }
    static IoctlRequest *from_irp(PIRP irp);

private:
    IRP irp_{};
    IO_STACK_LOCATION stack_[2]{};
    std::vector<uint8_t> buffer_;
    int completions_ = 0;
    uint32_t magic_;
};

// ---- object namespace: devices and symbolic links ----------------------------------------
// Names compare case-insensitively, as in the NT object manager.
std::u16string to_u16(const std::string &ascii);
std::string to_ascii(const std::u16string &wide);
std::u16string from_ucs(PCUNICODE_STRING string);

class ObjectNamespace {
public:
    PDEVICE_OBJECT device(const std::u16string &name) const; // null when absent
    bool has_link(const std::u16string &name) const;
    std::u16string link_target(const std::u16string &name) const;
    // Follows a \DosDevices\ link to its device, or takes a \Device\ name directly.
    PDEVICE_OBJECT resolve(const std::u16string &name) const;
    std::vector<std::u16string> device_names() const;
    std::vector<std::u16string> link_names() const;

    // Used by the kernel operations.
    bool add_device(const std::u16string &name, PDEVICE_OBJECT device);
    void remove_device(PDEVICE_OBJECT device);
    bool add_link(const std::u16string &name, const std::u16string &target);
    bool remove_link(const std::u16string &name);
    void reset();

private:
    static std::u16string key(const std::u16string &name);
    mutable std::mutex mutex_;
    std::map<std::u16string, PDEVICE_OBJECT> devices_;
    std::map<std::u16string, std::u16string> links_;
};

// A driver image loaded into the simulated kernel: its DRIVER_OBJECT and registry path;
// the entry and unload routines run at PASSIVE_LEVEL on the calling thread.
class LoadedDriver {
public:
    LoadedDriver(std::string name, PDRIVER_INITIALIZE entry, std::string registryPath);
    ~LoadedDriver();
    LoadedDriver(const LoadedDriver &) = delete;
    LoadedDriver &operator=(const LoadedDriver &) = delete;

    NTSTATUS load();
    void unload(); // calls DriverUnload when the load succeeded and it is set
    PDRIVER_OBJECT object() { return &driver_; }
    bool loaded() const { return loaded_; }

private:
    DRIVER_OBJECT driver_{};
    std::u16string name_, registry_path_;
    UNICODE_STRING registry_ucs_{};
    PDRIVER_INITIALIZE entry_;
    bool loaded_ = false;
};

// The result of a create or close sent to a device by name, as a user program sees it.
struct FileRequestResult {
    bool delivered = false; // false: no such device, or the driver has no routine for it
    NTSTATUS status = STATUS_OBJECT_NAME_NOT_FOUND;
    ULONG_PTR information = 0;
    int completions = 0;
};
FileRequestResult send_file_request(const std::u16string &name, UCHAR majorFunction);

// ---- fault injection for platform operations ----------------------------------------------
// Pool allocations have their own counters (Pool::fail_nth). These cover the other
// operations that can fail on NT.
enum class Fault {
    ContiguousMemory,
    OpenSection,
    ReferenceObject,
    MapView,
    CreateEvent,
    // ---- memory descriptor lists ----
    AllocateMdl,  // IoAllocateMdl returns null
    ProbeAndLock, // MmProbeAndLockPages raises STATUS_ACCESS_VIOLATION
    Count
};

class Faults {
public:
    // Fail the nth call from now (1 = the next); with every_after, that one and all later.
    void fail_nth(Fault kind, uint64_t n, bool every_after = false);
    void clear();
    // Called by an operation: true when this call is to fail.
    bool take(Fault kind);

private:
    struct Rule {
        uint64_t calls = 0, at = 0;
        bool every_after = false;
    };
    std::mutex mutex_;
    Rule rules_[static_cast<int>(Fault::Count)];
};

// ---- deferred procedure calls --------------------------------------------------------------
// One simulated processor's DPC queue, run by a host thread at DISPATCH_LEVEL in order.
class DpcQueue {
public:
    ~DpcQueue();
    bool insert(PKDPC dpc, PVOID argument1, PVOID argument2); // KeInsertQueueDpc
    void drain();                                             // until empty and idle
    uint64_t executed() const;
    void reset(); // drains, then forgets the count

private:
    void run();
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<PKDPC> queue_;
    std::thread thread_;
    bool busy_ = false, stopping_ = false;
    uint64_t executed_ = 0;
};

// ==== registry (sim/registry.cpp) ============================================================
// The configuration registry: keys by full path (\Registry\Machine\...) holding REG_DWORD
// and REG_SZ values that a test or a machine description fills. Key and value names compare
// case-insensitively, and a trailing separator names the same key, as in NT.
// RtlQueryRegistryValues reads it (direct entries only) and records every call.
struct RegistryValue {
    ULONG type;
    std::vector<uint8_t> data; // REG_SZ: UTF-16LE with its terminating NUL
};

struct RegistryQuery {
    ULONG relative_to;
    std::u16string path;               // as the caller passed it, up to its NUL
    std::vector<std::u16string> names; // value names of the table's entries, in order
    NTSTATUS status;
};

class Registry {
public:
    void add_key(const std::u16string &path);
    bool remove_key(const std::u16string &path);
    bool has_key(const std::u16string &path) const;
    // The setters create the key when it is missing.
    void set_dword(const std::u16string &path, const std::u16string &name, ULONG value);
    void set_string(const std::u16string &path, const std::u16string &name,
                    const std::u16string &value);
    void set_value(const std::u16string &path, const std::u16string &name, RegistryValue value);
    bool remove_value(const std::u16string &path, const std::u16string &name);
    // False when the key or the value is absent.
    bool find(const std::u16string &path, const std::u16string &name, RegistryValue *out) const;

    std::vector<RegistryQuery> queries() const;
    void note_query(RegistryQuery query);
    // Fault injection: every RtlQueryRegistryValues from now returns this status without
    // touching its table (as when the kernel cannot allocate its value buffer);
    // STATUS_SUCCESS switches it off.
    void fail_queries(NTSTATUS status);
    NTSTATUS injected_failure() const;
    void reset(); // no keys, no recorded queries, no injected failure

private:
    static std::u16string key_of(const std::u16string &path);
    mutable std::mutex mutex_;
    std::map<std::u16string, std::map<std::u16string, RegistryValue>> keys_;
    std::vector<RegistryQuery> queries_;
    NTSTATUS injected_failure_ = STATUS_SUCCESS;
};

// ---- the machine ------------------------------------------------------------------------
class Machine {
public:
    Pool pool;
    PortSpace ports;
    Clock clock;
    Verifier verifier;
    ObjectNamespace objects;
    PhysicalMemory memory;
    ProcessTable processes;
    HandleTable handles;
    EventDirectory events;
    Faults faults;
    DpcQueue dpcs;
    Registry registry;
    // ---- memory descriptor lists (sim/mdl.cpp) ----
    MdlTable mdls;

    // IRPs completed through IofCompleteRequest that the simulator did not build.
    std::vector<PIRP> foreign_completions;

    // Puts the machine back to power-on: frees the pool, drops port claims and traces,
    // clears faults and violations, resets the clock, empties the registry.
    void reset();
};

Machine &machine();

// Per-thread IRQL of the simulated processor the calling host thread stands for.
KIRQL current_irql();
void set_current_irql(KIRQL irql);

// Kernel events: a notification event initialised by the simulator and its state. Waits
// (for threads that stand for user programs) are in memory.h: wait_event_for.
void initialize_event(PKEVENT event);
bool event_signalled(PKEVENT event);

// Virtual time a single port access costs (ISA-like bus cycle).
constexpr uint64_t kPortAccessNs = 500;

} // namespace qorsim
