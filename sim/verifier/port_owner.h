// Port ownership: a driver touches the ports of its own card only. The card is the one
// whose resources were assigned to the device object that the running driver routine
// serves (dispatch, interrupt, DPC, cancel and timer routines all run for a device); code
// that runs for no device (DriverEntry, the unload routine) may reach any card's ports.
// Either way an access to a port no card decodes, or one whose bytes run past the end of
// the range it starts in, is a violation naming the card and the register.
#pragma once

#include <cstdint>

namespace qorsim {

void check_port_access(const char *routine, uint32_t port, unsigned width);

} // namespace qorsim
