// qorsim: a simulated 32-bit NT machine for the host build. The kernel and HAL operations
// declared by platform/host/include/ntddk.h are implemented against the one current
// Machine; tests, the command line and scenarios reach its parts through this header.
#pragma once

#include <ntddk.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <tuple>
#include <string>
#include <vector>

#include "address_space.h"
#include "memory.h"
#include "mdl.h"

namespace qorsim {

// ---- virtual clock --------------------------------------------------------------------
// Simulated time in nanoseconds. Nothing in the simulator sleeps for real; time moves when
// a component says so (a port access costs a fixed time, a kernel wait advances it, the
// virtual-time keeper of sim/machine/virtual_time.h moves it to the next card or program event).
// Threads of the DPC, the card and the programs move it concurrently.
class Clock {
public:
    uint64_t now_ns() const { return now_.load(std::memory_order_relaxed); }
    void advance_ns(uint64_t ns) { now_.fetch_add(ns, std::memory_order_relaxed); }
    void advance_to(uint64_t ns) // never back
    {
        uint64_t seen = now_.load(std::memory_order_relaxed);
        while (seen < ns && !now_.compare_exchange_weak(seen, ns, std::memory_order_relaxed)) {
        }
    }
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
    std::atomic<uint64_t> now_{0};
    mutable std::mutex delays_mutex_;
    std::vector<LONGLONG> delays_;
};

// ---- nonpaged pool --------------------------------------------------------------------
struct PoolBlock {
    void *address;
    size_t size;
    ULONG tag;
    uint64_t serial; // 1 for the first allocation since the last reset
    std::string site; // in a driver image: "called from acqdrv.sys+0x1a2c (...)"; else ""
};

class Pool {
public:
    void *allocate(POOL_TYPE type, size_t size, ULONG tag);
    // Returns false (and records a verifier violation) for an address that is not a live
    // block. A block whose guard bytes behind its end were written is a violation too.
    bool free(void *address);

    // Fault injection: fail exactly the nth allocation from now (1 = the next one), or
    // every allocation from the nth on. 0 switches the kind off.
    void fail_nth(uint64_t n);
    void fail_from(uint64_t n);
    void clear_faults();

    uint64_t allocations() const; // attempts since the last reset, failed ones included
    uint64_t failures() const;
    std::vector<PoolBlock> live_blocks() const;
    // Bytes from address to the end of the live block that holds it; 0 outside every block.
    size_t bytes_to_block_end(const void *address) const;
    size_t live_bytes() const;
    std::string leak_report() const; // empty when nothing is live
    void reset();                    // frees every live block

private:
    mutable std::mutex mutex_;
    std::map<void *, PoolBlock> live_;
    // Freed blocks are held back, filled with 0xDD, before they go back to the host's
    // heap, so that a read after the free finds the fill and not a reused block.
    std::vector<std::pair<void *, size_t>> quarantine_;
    void release_quarantine(size_t keep);
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

    // The trace is a ring of the last trace_limit() accesses (kDefaultTraceLimit after a
    // reset), oldest first; seq keeps counting across what the ring has dropped, so a long
    // run records in constant memory. Recording is on after a reset.
    static constexpr size_t kDefaultTraceLimit = 1u << 16;
    std::vector<PortAccess> trace() const;
    void clear_trace();
    void set_recording(bool on);
    void set_trace_limit(size_t accesses); // at least 1; keeps the newest that fit
    size_t trace_limit() const;
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
    void record(const PortAccess &access);
    std::vector<PortAccess> trace_; // a ring once full: trace_head_ is the oldest
    size_t trace_head_ = 0, trace_limit_ = kDefaultTraceLimit;
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
// An I/O-control request as the I/O manager builds it: one IRP with its current stack
// location, buffered by the transfer method in bits 0-1 of the code:
//  - METHOD_BUFFERED: one system buffer of the larger of the two lengths holding the
//    caller's input (none when both lengths are 0);
//  - METHOD_IN_DIRECT, METHOD_OUT_DIRECT: a system buffer of the input only (none for an
//    input length of 0) and an MDL (IRP.MdlAddress) for the caller's output buffer;
//  - METHOD_NEITHER: no system buffer at all; the caller's input address is in
//    Type3InputBuffer and its output address in IRP.UserBuffer.
// At completion a buffered request's system buffer goes back to the caller's output
// buffer for a success or warning status only, IoStatus.Information bytes of it, never
// more than the output length (more is a verifier violation: NT would write past the
// caller's buffer); an error status copies nothing. Owned by the caller.
class IoctlRequest {
public:
    // userOutput: the caller's output buffer of outputLength bytes; null gives the request
    // one of its own, zero-filled (output()).
    IoctlRequest(ULONG code, const void *input, ULONG inputLength, ULONG outputLength,
                 void *userOutput = nullptr);
    ~IoctlRequest();
    IoctlRequest(const IoctlRequest &) = delete;
    IoctlRequest &operator=(const IoctlRequest &) = delete;

    PIRP irp() { return &irp_; }
    ULONG method() const { return code_ & 3; }
    uint8_t *buffer() { return buffer_.empty() ? nullptr : buffer_.data(); } // system buffer
    size_t buffer_size() const { return buffer_.size(); }
    SHORT library_status() const; // the i16 at offset 0 of the system buffer
    // The caller's output buffer as the caller sees it, and how many bytes the I/O manager
    // copied into it at completion.
    const uint8_t *output() const { return user_output_; }
    size_t copied_back() const { return copied_back_; }
    NTSTATUS status() const { return irp_.IoStatus.Status; }
    ULONG_PTR information() const { return irp_.IoStatus.Information; }
    bool completed() const { return completions() > 0; }
    int completions() const;
    // Waits (host time) until the request was completed, for a pended request that a DPC
    // on another thread completes.
    bool wait_completed(uint64_t timeout_ms);

    // Called by IofCompleteRequest: the copy back to the caller, then the record.
    void note_completion();
    static IoctlRequest *from_irp(PIRP irp);

private:
    IRP irp_{};
    IO_STACK_LOCATION stack_[2]{};
    ULONG code_;
    std::vector<uint8_t> buffer_;
    std::vector<uint8_t> own_output_;
    uint8_t *user_output_ = nullptr;
    ULONG output_length_ = 0;
    PMDL output_mdl_ = nullptr;
    size_t copied_back_ = 0;
    mutable std::mutex mutex_;
    std::condition_variable completed_;
    int completions_ = 0;
    uint32_t magic_;
};

// ---- object namespace: devices and symbolic links ----------------------------------------
// Names compare case-insensitively, as in the NT object manager.
std::u16string to_u16(const std::string &ascii);
std::string to_ascii(const std::u16string &wide);
std::u16string from_ucs(PCUNICODE_STRING string);
// Object, registry and file names compare case-insensitively: their ASCII upper case.
std::u16string upper_ascii(std::u16string text);

class ObjectNamespace {
public:
    PDEVICE_OBJECT device(const std::u16string &name) const; // null when absent
    bool has_device(PDEVICE_OBJECT device) const;             // created and not yet deleted
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
    // PCI, HAL and device operations (sim/hal/hal.cpp, sim/ntoskrnl/io.cpp).
    CreateDevice,          // IoCreateDevice: STATUS_INSUFFICIENT_RESOURCES
    CreateSymbolicLink,    // IoCreateSymbolicLink: STATUS_INSUFFICIENT_RESOURCES
    AssignSlotResources,   // HalAssignSlotResources: STATUS_INSUFFICIENT_RESOURCES
    TranslateBusAddress,   // HalTranslateBusAddress: FALSE
    InterruptVector,       // HalGetInterruptVector: vector 0, as for a level it cannot map
    ConnectInterrupt,      // IoConnectInterrupt: STATUS_INSUFFICIENT_RESOURCES
    OpenFile,  // ZwCreateFile: STATUS_INSUFFICIENT_RESOURCES
    QueryFile, // ZwQueryInformationFile: STATUS_IO_DEVICE_ERROR
    ReadFile,  // ZwReadFile: STATUS_IO_DEVICE_ERROR, nothing transferred
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
    // Called on the DPC thread as each DPC starts (a timeline, a recorder); empty: none.
    void observe(std::function<void(PKDPC)> observer);

private:
    void run();
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<PKDPC> queue_;
    std::thread thread_;
    bool busy_ = false, stopping_ = false;
    uint64_t executed_ = 0;
    std::function<void(PKDPC)> observer_;
};

// ==== registry (sim/ntoskrnl/registry.cpp) ============================================================
// The configuration registry: keys by full path (\Registry\Machine\...) holding REG_DWORD
// and REG_SZ values that a test or a machine description fills. Key and value names compare
// case-insensitively, and a trailing separator names the same key, as in NT.
// RtlQueryRegistryValues reads it and records every call. Named entries only, each with a
// query routine (called with the value's type, data and length, or the default's) or
// RTL_QUERY_REGISTRY_DIRECT, which stores what NT stores whatever the value's type: a
// REG_DWORD is copied over the target, a string is stored as a counted string at the
// target. The target's size is the rest of its pool block, or else what the entry's
// default type declares (4 bytes for REG_DWORD, a counted string for REG_SZ); a store
// past it is a verifier violation, and only the part that fits is written.
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

// ---- the Win32 side (sim/win32/win32.cpp) --------------------------------------------------------
// Handles that simulated user programs hold (devices opened with CreateFileA, events
// opened with OpenEventA), and a reset that forgets them.
size_t user_handle_count();
void reset_user_handles();
// A process's rundown: its open devices are closed (the close request reaches the driver
// in the process's context) and its event handles released.
void close_user_handles(Process *process);

// ==== PCI buses, HAL resources, interrupts and I/O timers (sim/machine/pci.cpp, sim/hal/hal.cpp) ==// The machine's PCI buses: a bus exists once a test adds it (or a function on it); on it,
// functions with a 256-byte configuration space each. A function is a card: I/O base
// address registers that may carry a register model, claimed in the port space at the
// BAR's address (an I/O bus address translates to the same port) and moved when software
// rewrites the BAR; memory BARs; an interrupt line (configuration offset 60, pin at 61).
// HalAssignSlotResources reports the card's ranges in BAR order, then its interrupt, and
// holds them for the device until IoAssignResources is called without requested
// resources for it.
class PciFunction {
public:
    static constexpr size_t kConfigBytes = 256;
    PciFunction(ULONG bus, ULONG device, ULONG function);
    ~PciFunction();
    PciFunction(const PciFunction &) = delete;
    PciFunction &operator=(const PciFunction &) = delete;

    ULONG bus() const { return bus_; }
    ULONG device() const { return device_; }
    ULONG function() const { return function_; }
    ULONG slot() const { return device_ | (function_ << 5); } // PCI_SLOT_NUMBER bits 0-7

    // Configuration space as software sees it. write() is what HalSetBusDataByOffset does:
    // the ID, class, header-type and subsystem fields are read only, a BAR keeps its type
    // bits and the address bits its size allows, and a moved I/O BAR takes its model along.
    uint32_t read(uint32_t offset, unsigned width) const;
    void write(uint32_t offset, unsigned width, uint32_t value);
    // Sets configuration bytes as firmware would, without the write rules.
    void poke(uint32_t offset, unsigned width, uint32_t value);
    const uint8_t *config() const { return config_; }

    // Declares BAR n as an I/O range of `length` bytes (a power of two) at `base`, with an
    // optional register model claimed there; or as a memory range.
    void set_io_bar(unsigned n, uint32_t base, uint32_t length, PortDevice *model = nullptr,
                    std::string name = "");
    void set_memory_bar(unsigned n, uint32_t base, uint32_t length);
    uint32_t bar(unsigned n) const { return read(16 + 4 * n, 4); }
    // The interrupt line (bus interrupt level) with pin INTA; 0 leaves the card without one.
    void set_interrupt_line(uint8_t line);
    uint8_t interrupt_line() const { return config_[60]; }
    // Reports the interrupt in a full descriptor of its own after the ranges' one.
    bool interrupt_in_own_descriptor = false;

    // Raises the card's interrupt line: every routine connected to its vector runs at its
    // IRQL. Returns how many routines claimed the interrupt. A callable of it serves as
    // models::AcquisitionCard::interrupt.
    unsigned raise_interrupt();
    std::function<void()> line();

    struct Bar {
        bool present = false, io = false;
        uint32_t length = 0;
        PortDevice *model = nullptr;
        std::string name;
    };
    const Bar &bar_info(unsigned n) const { return bars_[n]; }

private:
    void claim(unsigned n);
    ULONG bus_, device_, function_;
    uint8_t config_[kConfigBytes] = {};
    Bar bars_[6];
};

struct ConfigWrite {
    ULONG bus, slot, offset, length;
    uint32_t value; // the bytes written, little-endian
};

class PciBuses {
public:
    void add_bus(ULONG bus);
    bool has_bus(ULONG bus) const;
    // Adds a function (and its bus) with its vendor and device ID; header type 0.
    PciFunction &add_function(ULONG bus, ULONG device, ULONG function, USHORT vendorId, USHORT deviceId);
    PciFunction *find(ULONG bus, ULONG slot) const; // slot: PCI_SLOT_NUMBER, bits 8-31 ignored

    // Configuration writes through HalSetBusDataByOffset, in order, and reads through
    // HalGetBusData.
    std::vector<ConfigWrite> writes() const;
    uint64_t reads() const;
    void note_write(ConfigWrite write);
    void note_read();

    // Slots whose resources HalAssignSlotResources handed to a device object.
    bool assigned(ULONG bus, ULONG slot) const;
    PDEVICE_OBJECT assignee(ULONG bus, ULONG slot) const;
    bool assign(ULONG bus, ULONG slot, PDEVICE_OBJECT device); // false: held by another
    void release(PDEVICE_OBJECT device);
    size_t assigned_count() const;

    void reset(); // no buses, functions, assignments or records

private:
    mutable std::recursive_mutex mutex_;
    std::vector<bool> buses_ = std::vector<bool>(256, false);
    std::map<std::tuple<ULONG, ULONG, ULONG>, std::unique_ptr<PciFunction>> functions_;
    std::map<std::pair<ULONG, ULONG>, PDEVICE_OBJECT> assigned_;
    std::vector<ConfigWrite> writes_;
    uint64_t reads_ = 0;
};

// Interrupt vectors as a PC HAL gives them for bus interrupt levels 1 to 15: vector
// 0x30 + level, IRQL 27 - level, processor 0. Connected interrupt objects are tracked;
// raising a vector runs every routine connected to it, in connection order, at its IRQL.
struct ConnectedInterrupt {
    PKINTERRUPT object;
    PKSERVICE_ROUTINE routine;
    PVOID context;
    ULONG vector;
    KIRQL irql;
    bool shared;
};

class Interrupts {
public:
    static constexpr ULONG kVectorBase = 0x30;
    static constexpr KIRQL kProfileLevel = 27;
    static constexpr ULONG kMaxLevel = 15;

    NTSTATUS connect(PKINTERRUPT *object, PKSERVICE_ROUTINE routine, PVOID context, ULONG vector,
                     KIRQL irql, bool shared);
    bool disconnect(PKINTERRUPT object); // false: not connected
    unsigned raise(ULONG vector);
    std::vector<ConnectedInterrupt> connected() const;
    std::string leak_report() const; // empty when none is connected
    void reset();

private:
    mutable std::recursive_mutex mutex_;
    std::vector<std::unique_ptr<ConnectedInterrupt>> connected_;
};

// I/O timers initialised for device objects (IoInitializeTimer); forgotten when the device
// is deleted.
class IoTimers {
public:
    void initialize(PDEVICE_OBJECT device, PIO_TIMER_ROUTINE routine, PVOID context);
    void forget(PDEVICE_OBJECT device);
    PIO_TIMER_ROUTINE routine(PDEVICE_OBJECT device) const; // null when none
    size_t count() const;
    void reset();

private:
    mutable std::mutex mutex_;
    std::map<PDEVICE_OBJECT, std::pair<PIO_TIMER_ROUTINE, PVOID>> timers_;
};

// Pool tag of the resource lists HalAssignSlotResources returns ("Hal ").
constexpr ULONG kResourceListTag = 0x206C6148;

// ==== files (sim/ntoskrnl/files.cpp) =================================================================
// The files of \SystemRoot\system32\drivers, a flat directory that a test or a machine
// description fills by name. Only what a driver's configuration-file load needs is modelled:
// ZwCreateFile opens an existing file for synchronous reading by its full path (names compare
// case-insensitively, as on the FAT and NTFS volumes NT boots from), ZwQueryInformationFile
// answers FileStandardInformation, ZwReadFile reads from the file's current position into
// the caller's buffer, ZwClose closes the handle. An open takes a snapshot of the contents.
// Every call is recorded with the pool bytes live and the port accesses made at that moment,
// so a test can see what a caller held around each call.
enum class FileOp { Open, Query, Read, Close };

struct FileCall {
    FileOp op;
    std::u16string path; // Open: the path as passed; otherwise the opened path
    NTSTATUS status;
    ULONG_PTR information;   // the IO_STATUS_BLOCK's Information
    size_t pool_bytes_live;  // nonpaged pool in use when the call was made
    uint64_t port_accesses;  // port accesses made so far
    // Open only: the arguments of ZwCreateFile.
    ACCESS_MASK access = 0;
    ULONG object_attributes = 0, file_attributes = 0, share = 0, disposition = 0, options = 0;
};

class FileStore {
public:
    static constexpr const char16_t *kDirectory = u"\\SystemRoot\\system32\\drivers\\";
    static constexpr uint32_t kNoReadLimit = 0xFFFFFFFFu;

    void add(const std::u16string &name, std::vector<uint8_t> contents); // replaces
    bool remove(const std::u16string &name);
    bool contains(const std::u16string &name) const;
    // Short-read knob: every ZwReadFile from now transfers at most this many bytes, with
    // success, as a read that hits a bad sector or a file shrinking under the reader would.
    void limit_reads(uint32_t bytes);

    std::vector<FileCall> calls() const;
    size_t open_files() const;

    // Used by the kernel operations. open() gives the file object for the handle, or null
    // with the status the open fails with.
    struct OpenFile {
        std::u16string path;
        std::vector<uint8_t> contents;
        uint64_t position = 0;
        ACCESS_MASK access = 0;
        bool synchronous = false;
    };
    OpenFile *open(const std::u16string &path, NTSTATUS *status);
    bool close(OpenFile *file); // false: not an open file of this store
    uint32_t read_limit() const;
    void note(FileCall call);
    void reset(); // no files, no open file objects, no calls, no read limit

private:
    static std::u16string key(const std::u16string &name);
    mutable std::mutex mutex_;
    std::map<std::u16string, std::vector<uint8_t>> files_; // by upper-cased name
    std::vector<std::unique_ptr<OpenFile>> open_;
    std::vector<FileCall> calls_;
    uint32_t read_limit_ = kNoReadLimit;
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
    PciBuses pci;
    Interrupts interrupts;
    IoTimers timers;
    FileStore files;
    // ---- memory descriptor lists (sim/ntoskrnl/mdl.cpp) ----
    MdlTable mdls;

    // IRPs completed through IofCompleteRequest that the simulator did not build.
    std::vector<PIRP> foreign_completions;

    // Puts the machine back to power-on: frees the pool, drops port claims and traces,
    // clears faults and violations, resets the clock, empties the registry, removes the
    // PCI buses, interrupt connections and I/O timers.
    // clears faults and violations, resets the clock, empties the registry and the files.
    void reset();
};

Machine &machine();

// Per-thread IRQL of the simulated processor the calling host thread stands for.
KIRQL current_irql();
void set_current_irql(KIRQL irql);
// A driver routine (a DPC, an interrupt routine, any dispatch routine) must not return holding
// a spin lock of the calling thread: on NT the next acquirer spins for good. Reports it as
// `where` " returned holding a spin lock" and releases the locks, so that the run goes on
// and shows the report instead of hanging. Locks the thread held before the routine was
// called (spin_locks_held() then; an interrupt may come while the thread holds some) are
// the caller's.
size_t spin_locks_held();
void check_no_spin_lock_held(const char *where, size_t heldBefore = 0);

// Kernel events: a notification event initialised by the simulator and its state. Waits
// (for threads that stand for user programs) are in memory.h: wait_event_for.
void initialize_event(PKEVENT event);
bool event_signalled(PKEVENT event);

// Virtual time a single port access costs (ISA-like bus cycle).
constexpr uint64_t kPortAccessNs = 500;

} // namespace qorsim
