// One host core for the simulated machine's threads.
#include "host_core.h"

#include <sched.h>

#include <cerrno>
#include <cstring>

namespace qorsim {

bool share_one_host_core(std::string *error)
{
    cpu_set_t allowed;
    CPU_ZERO(&allowed);
    if (sched_getaffinity(0, sizeof allowed, &allowed) != 0) {
        *error = std::string("sched_getaffinity: ") + std::strerror(errno);
        return false;
    }
    // The core the thread runs on now, where its caches are warm; else the first allowed.
    int core = sched_getcpu();
    if (core < 0 || core >= CPU_SETSIZE || !CPU_ISSET(core, &allowed)) {
        core = -1;
        for (int c = 0; c < CPU_SETSIZE && core < 0; ++c)
            if (CPU_ISSET(c, &allowed))
                core = c;
    }
    if (core < 0) {
        *error = "no host core is allowed";
        return false;
    }
    cpu_set_t one;
    CPU_ZERO(&one);
    CPU_SET(core, &one);
    // Threads inherit their creator's affinity: the ones started later follow.
    if (sched_setaffinity(0, sizeof one, &one) != 0) {
        *error = std::string("sched_setaffinity: ") + std::strerror(errno);
        return false;
    }
    return true;
}

} // namespace qorsim
