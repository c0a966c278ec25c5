#include "kalemtri/engine/storage.hpp"

#include <cstdint>
#include <cstdlib>
#include <sys/mman.h>

namespace kalemtri::storage {

namespace {

constexpr std::uintptr_t HUGE_PAGE = std::uintptr_t{2} << 20;
// From here on an array starts on a huge-page boundary and asks for huge pages.
constexpr std::size_t LARGE = std::size_t{4} << 20;

} // namespace

// Every array comes from malloc, so a freed result is reused by the next one of its size instead
// of being faulted in afresh. A large one is placed on a huge-page boundary inside a padded block
// (the block's own address kept just before it) and marked for transparent huge pages: the first
// touch of a fresh 4 KiB page costs microseconds here, of a huge page far less per byte.
void* allocate(std::size_t bytes) {
    if (bytes == 0) return nullptr;
    if (bytes < LARGE) {
        if (void* p = std::malloc(bytes)) return p;
        throw std::bad_alloc();
    }
    void* block = std::malloc(bytes + HUGE_PAGE);
    if (!block) throw std::bad_alloc();
    // Offsets from the block rather than integers cast to pointers keep the allocation's
    // provenance.
    char* start = static_cast<char*>(block) + sizeof(void*);
    const std::uintptr_t misalignment = reinterpret_cast<std::uintptr_t>(start) % HUGE_PAGE;
    void** data = reinterpret_cast<void**>(start + (misalignment ? HUGE_PAGE - misalignment : 0));
    data[-1] = block;
    madvise(static_cast<void*>(data), bytes & ~(HUGE_PAGE - 1), MADV_HUGEPAGE); // advice only
    return static_cast<void*>(data);
}

void release(void* p, std::size_t bytes) noexcept {
    if (!p) return;
    std::free(bytes < LARGE ? p : static_cast<void**>(p)[-1]);
}

} // namespace kalemtri::storage
