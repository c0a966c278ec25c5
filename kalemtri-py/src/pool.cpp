#include "pool.hpp"

#include <cstdlib>
#include <sys/mman.h>

namespace kpy::pool {

namespace {

constexpr std::size_t HUGE_PAGE = std::size_t{2} << 20;
// From here on an array starts on a huge-page boundary and asks for huge pages.
constexpr std::size_t LARGE = std::size_t{4} << 20;

} // namespace

// Both kinds come from malloc, so a freed result is reused by the next one of its size instead of
// being faulted in afresh (glibc raises its mmap threshold after such a free).
void* allocate(std::size_t bytes) {
    if (bytes == 0) return nullptr;
    void* p = nullptr;
    if (bytes < LARGE) {
        p = std::malloc(bytes);
    } else {
        const std::size_t size = (bytes + HUGE_PAGE - 1) & ~(HUGE_PAGE - 1);
        p = std::aligned_alloc(HUGE_PAGE, size);
        if (p) madvise(p, size, MADV_HUGEPAGE); // only advice: failure just means small pages
    }
    if (!p) throw std::bad_alloc();
    return p;
}

void release(void* p, std::size_t) noexcept { std::free(p); }

} // namespace kpy::pool
