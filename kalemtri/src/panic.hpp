#pragma once
// Internal assertion failures of the core. They are the only failures the core knows: the message
// is a static string (nothing is allocated to describe it) and the source location and thread are
// recorded where the assertion fails, so whoever catches it can report where it happened.
#include <source_location>
#include <string_view>

namespace kalemtri {

// An opaque number naming the thread the assertion failed on; 0 is the process's main thread.
unsigned long current_thread_tag() noexcept;

struct Panic {
    const char* message;
    std::source_location where;
    unsigned long thread;

    // The qualified name of the failing function, for diagnostics: "kalemtri::collapse" out of
    // the compiler's "kalemtri::Vec3d kalemtri::collapse(const kalemtri::Vec3d&, std::size_t)".
    std::string_view operation() const noexcept;
};

[[noreturn]] inline void panic(const char* message,
                               std::source_location where = std::source_location::current()) {
    throw Panic{message, where, current_thread_tag()};
}

} // namespace kalemtri
