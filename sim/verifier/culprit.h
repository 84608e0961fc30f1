// Who did it: the driver routine a thread runs, the code address that called into the
// kernel, and their names, for every violation and leak the verifier reports.
//
// The simulator calls driver code in a few places only (DriverEntry, the unload routine,
// dispatch routines, interrupt, DPC, cancel and timer routines); each of those calls runs
// inside a RunningRoutine, which tells the verifier which routine runs on the thread and
// for which device object. The device gives the card (the PCI function whose resources
// HalAssignSlotResources handed to it), so a port access and a report can name both.
#pragma once

#include <ntddk.h>

#include <cstdint>
#include <functional>
#include <string>

namespace qorsim {

struct RoutineFrame {
    const char *kind = "";        // "DPC routine", "dispatch routine", ...
    const void *routine = nullptr; // its entry address
    PDEVICE_OBJECT device = nullptr;
    UCHAR major = 0xFF; // a dispatch routine's major function; 0xFF otherwise
    RoutineFrame *outer = nullptr;
};

// Marks the scope as a call of driver code; frames nest (an interrupt routine may run
// while a dispatch routine is interrupted on the same thread).
class RunningRoutine {
public:
    RunningRoutine(const char *kind, const void *routine, PDEVICE_OBJECT device, UCHAR major = 0xFF);
    ~RunningRoutine();
    RunningRoutine(const RunningRoutine &) = delete;
    RunningRoutine &operator=(const RunningRoutine &) = delete;

private:
    RoutineFrame frame_;
};

const RoutineFrame *current_routine(); // null: no driver code runs on this thread
PDEVICE_OBJECT current_device();       // the innermost frame's device, or null

// The device object that a context pointer stands for: the device itself, or an address
// inside its extension (drivers pass either to their interrupt and DPC routines).
PDEVICE_OBJECT device_of_context(const void *context);

// "bus:device.function" of the card whose resources were assigned to the device; "" when
// none was.
std::string card_of_device(PDEVICE_OBJECT device);
// The device's name in the object namespace, or "an unnamed device".
std::string device_label(PDEVICE_OBJECT device);

// "symbol+0xOFFSET (module)" for a code address. Resolvers registered with
// add_code_namer are asked first (the image loader names addresses inside PE images
// this way); then the ELF symbol tables of the loaded program and shared objects, which
// name static functions too.
using CodeNamer = std::function<bool(const void *address, std::string *name)>;
void add_code_namer(CodeNamer namer);
void clear_code_namers();
std::string name_code_address(const void *address);

// The first code address on the calling thread's stack that is driver or library code,
// not the simulator's (its kernel routines, its own namespace, the C++ runtime). Null when
// the stack holds none.
const void *calling_code_address();

// The text the verifier appends to a report: the calling routine, the routine the thread
// runs and its device and card, the IRQL and the virtual time.
std::string culprit_text();
// The same without the stack walk, for a caller whose address is known.
std::string culprit_text(const void *caller);

std::string irql_name(KIRQL irql);
std::string virtual_time_text(uint64_t ns);

} // namespace qorsim
