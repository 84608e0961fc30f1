// Machine files: a simulated machine described in JSON (its PCI buses and cards, each
// card's bridge chip, IDs, port ranges, interrupt, FPGA behaviour and signal source, the
// registry values under the client driver's service key, the files of the drivers folder
// and the faults to inject), read into a MachineSpec and built on the current Machine.
//
// Errors name the file, the line and the field:
//   "mine.json:14: cards[2].bridge: expected one of s5933, plx9050, plx9080, none"
// Numbers may be written as JSON integers or as strings ("0xE000", "64").
#pragma once

#include "qorsim.h"
#include "models/acquisition.h"
#include "models/fpga_port.h"
#include "models/plx9050.h"

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace qorsim {

struct BarSpec {
    bool present = false;
    bool io = true;        // false: a memory range
    uint32_t base = 0;
    uint32_t length = 0;   // a power of two
    std::string model;     // io only: "bridge", "registers", "fpga", "counters" or "none"
};

struct FpgaSpec {
    uint64_t complete_after = 0;     // bytes of an attempt before it completes (0: never)
    uint64_t error_after = 0;        // the FPGA rejects the image after this byte (0: never)
    bool ready_after_release = true; // false: never ready for data
    uint64_t busy_reads = 0;         // busy for this many status reads after each byte
};

struct SourceSpec {
    double rate = 1e6;                  // samples per second of virtual time: when an armed transfer comes due
    models::SignalSource::Pattern pattern = models::SignalSource::Pattern::Sequence;
    uint32_t period = 256;              // samples per period of a periodic pattern
    uint32_t amplitude = 0x7FFF;        // peak of a periodic pattern around mid-scale
    unsigned sample_bytes = 2;
};

// A PLX 9050 card's add-on FIFO (models::Plx9050Fifo in the card's register range),
// filled at the card's source rate.
struct FifoSpec {
    bool present = false;
    uint32_t depth = 4096; // samples
    uint32_t level = 1024; // fill level at which LINTi1 turns active
};

struct CardSpec {
    std::string name;
    ULONG bus = 0, device = 0, function = 0;
    USHORT vendor_id = 0, device_id = 0;
    std::optional<USHORT> subsystem_vendor_id, subsystem_id;
    bool multifunction = false;
    std::string bridge = "none"; // "s5933", "plx9050", "plx9080" or "none"
    BarSpec bars[6];
    uint8_t interrupt = 0;
    FpgaSpec fpga;
    SourceSpec source;
    FifoSpec fifo;
    int line = 0; // where the card's entry starts in its file
};

struct RegistryValueSpec {
    std::string key; // full path
    std::string name;
    bool is_string = false;
    ULONG dword = 0;
    std::string text;
};

struct FileSpec {
    std::string name;
    std::vector<uint8_t> contents;
};

// "pool" counts nonpaged-pool allocations; the other kinds are the platform calls of
// Fault (snake case: "create_device", "connect_interrupt", ...); "registry_query" makes
// every RtlQueryRegistryValues return `status`.
struct FaultSpec {
    std::string kind;
    uint64_t nth = 1;
    bool every_after = false;
    NTSTATUS status = 0;
};

struct MachineSpec {
    std::string name, description;
    std::string driver = "acqdrv";  // the client driver's service name
    std::string service_key;        // \Registry\Machine\System\CurrentControlSet\Services\<driver>
    std::vector<ULONG> buses;       // buses that exist without a card on them
    std::vector<CardSpec> cards;
    std::vector<RegistryValueSpec> registry;
    std::vector<FileSpec> files;
    std::vector<FaultSpec> faults;
};

// What a machine file may hold: far more than any machine needs, little enough that a
// wrong file (a log, an image) is refused at once.
constexpr size_t kMaxMachineFileBytes = 2u << 20;
// A file of the drivers folder, given by "size" or read from "path".
constexpr size_t kMaxDriverFileBytes = 64u << 20;

// Reads a regular file of at most `limit` bytes into *out. A directory, a device, a pipe
// or a larger file is refused with *error set to "PATH: what is wrong".
bool read_input_file(const std::string &path, size_t limit, std::string *out, std::string *error);

// Parses a machine file's text. `source` names it in errors; `directory` is where
// "path" contents of files are looked up (and confined to: a path leading out of it, or
// any path when `directory` is empty, is refused). Returns false with *error set.
bool parse_machine(const std::string &text, const std::string &source, const std::string &directory,
                   MachineSpec *out, std::string *error);
// Reads and parses a file.
bool load_machine_file(const std::string &path, MachineSpec *out, std::string *error);

// The shipped default machine (sim/machines/default.json, embedded at build time).
const char *default_machine_json();
const MachineSpec &default_machine_spec();

// The display name of a bridge family ("AMCC S5933", "PLX PCI 9050", "PLX PCI 9080").
const char *bridge_display_name(const std::string &bridge);

// A machine built from a MachineSpec on the current Machine, which must have been reset.
// The models live as long as the object; the faults are armed only by arm_faults(), so a
// scenario chooses from which moment the k-th call counts.
class BuiltMachine {
public:
    struct Card {
        const CardSpec *desc;
        PciFunction *pci;
        models::AcquisitionCard *acquisition = nullptr; // S5933 cards
        PortDevice *bridge = nullptr;                   // the bridge chip's model
        models::FpgaPort *fpga = nullptr;
        models::SampleFifo *fifo = nullptr; // PLX 9080 cards: the local bus
        models::Plx9050Fifo *addon = nullptr; // PLX 9050 cards with a FIFO
    };

    explicit BuiltMachine(MachineSpec desc);
    ~BuiltMachine(); // gives the PCI functions back, with the models' port claims
    BuiltMachine(const BuiltMachine &) = delete;
    BuiltMachine &operator=(const BuiltMachine &) = delete;

    const MachineSpec &desc() const { return spec_; }
    const std::vector<Card> &cards() const { return cards_; }
    std::vector<models::AcquisitionCard *> acquisition_cards() const;
    std::vector<models::PacedCard *> paced_cards() const; // the S5933 cards, then the 9050 FIFOs
    void arm_faults() const;

private:
    MachineSpec spec_;
    std::vector<Card> cards_;
    std::vector<std::unique_ptr<PortDevice>> models_;
    std::vector<std::unique_ptr<models::AcquisitionCard>> acquisition_;
    std::vector<std::unique_ptr<models::SampleFifo>> fifos_;
};

} // namespace qorsim
