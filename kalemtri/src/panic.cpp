#include "kalemtri/src/panic.hpp"

#include <sys/syscall.h>
#include <unistd.h>

namespace kalemtri {

unsigned long current_thread_tag() noexcept {
    const long tid = syscall(SYS_gettid);
    return tid == getpid() ? 0 : static_cast<unsigned long>(tid);
}

} // namespace kalemtri
