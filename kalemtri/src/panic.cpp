#include "kalemtri/src/panic.hpp"

#include <sys/syscall.h>
#include <unistd.h>

namespace kalemtri {

unsigned long current_thread_tag() noexcept {
    const long tid = syscall(SYS_gettid);
    return tid == getpid() ? 0 : static_cast<unsigned long>(tid);
}

// The name ends at the first parenthesis outside template arguments and begins after the last
// space before it outside them (the return type's end); a name without either is kept whole.
std::string_view Panic::operation() const noexcept {
    const std::string_view signature = where.function_name();
    std::size_t end = 0;
    int depth = 0;
    for (; end < signature.size(); ++end) {
        const char c = signature[end];
        if (c == '<') ++depth;
        if (c == '>') --depth;
        if (c == '(' && depth == 0) break;
    }
    std::size_t begin = end;
    for (depth = 0; begin > 0; --begin) {
        const char c = signature[begin - 1];
        if (c == '>') ++depth;
        if (c == '<') --depth;
        if (c == ' ' && depth == 0) break;
    }
    return signature.substr(begin, end - begin);
}

} // namespace kalemtri
