#pragma once
// Storage and parallel loops for the batch operations of VecList. Work goes to oneTBB's global
// pool, never configured here; small inputs stay on the calling thread because a dispatch costs
// microseconds. Every helper gives results that do not depend on how the range is split.
#include <algorithm>
#include <cstddef>
#include <cstring>
#include <new>
#include <type_traits>
#include <utility>

#include <tbb/blocked_range.h>
#include <tbb/parallel_for.h>
#include <tbb/parallel_reduce.h>

namespace kpy::pool {

// Below this many elements work stays on the calling thread: a dispatch costs 3-15 us, and on two
// cores the heavier kernels (normalize, rotate) start to gain from a second thread around 8k.
inline constexpr std::size_t SERIAL_CUTOFF = 8192;
// Smallest piece handed to a worker.
inline constexpr std::size_t GRAIN = 4096;

// Uninitialised storage: small blocks from malloc, large ones 2 MiB-aligned and marked for
// transparent huge pages, since first-touch faults on 4 KiB pages dominate big fresh results.
void* allocate(std::size_t bytes);
void release(void* p, std::size_t bytes) noexcept;

// A growable array of trivially copyable values whose new slots are left uninitialised, so a
// result array costs one allocation and no zero fill.
template <class T> class Array {
    static_assert(std::is_trivially_copyable_v<T>);

  public:
    Array() = default;
    explicit Array(std::size_t n) : data_(alloc(n)), size_(n), capacity_(n) {}
    Array(const Array& o) : Array(o.size_) { copy_in(0, o.data_, o.size_); }
    Array(Array&& o) noexcept
        : data_(std::exchange(o.data_, nullptr)), size_(std::exchange(o.size_, 0)),
          capacity_(std::exchange(o.capacity_, 0)) {}
    Array& operator=(Array o) noexcept {
        swap(o);
        return *this;
    }
    ~Array() { release(data_, capacity_ * sizeof(T)); }

    void swap(Array& o) noexcept {
        std::swap(data_, o.data_);
        std::swap(size_, o.size_);
        std::swap(capacity_, o.capacity_);
    }

    std::size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    T* data() { return data_; }
    const T* data() const { return data_; }
    T& operator[](std::size_t i) { return data_[i]; }
    const T& operator[](std::size_t i) const { return data_[i]; }
    const T* begin() const { return data_; }
    const T* end() const { return data_ + size_; }

    // Throws std::bad_alloc and leaves the array as it was when memory runs out.
    void reserve(std::size_t n) {
        if (n <= capacity_) return;
        if (n > max_size()) throw std::bad_alloc();
        T* fresh = alloc(n);
        if (size_) std::memcpy(static_cast<void*>(fresh), data_, size_ * sizeof(T));
        release(data_, capacity_ * sizeof(T));
        data_ = fresh;
        capacity_ = n;
    }
    void push_back(const T& v) {
        if (size_ == capacity_) reserve(size_ < 4 ? 4 : size_ + size_ / 2 + size_ % 2);
        data_[size_++] = v;
    }
    // Grows once by `count`.
    void append(const T* src, std::size_t count) {
        if (count > max_size() - size_) throw std::bad_alloc();
        reserve(size_ + count);
        copy_in(size_, src, count);
        size_ += count;
    }

  private:
    static constexpr std::size_t max_size() { return std::size_t(-1) / 2 / sizeof(T); }
    static T* alloc(std::size_t n) {
        if (n > max_size()) throw std::bad_alloc();
        return static_cast<T*>(allocate(n * sizeof(T)));
    }
    void copy_in(std::size_t at, const T* src, std::size_t count) {
        if (count) std::memcpy(static_cast<void*>(data_ + at), src, count * sizeof(T));
    }

    T* data_ = nullptr;
    std::size_t size_ = 0;
    std::size_t capacity_ = 0;
};

// Calls body(begin, end) on contiguous pieces covering [0, n): the whole range on the calling
// thread below `serial_below`, else pieces of at least `grain` on the pool. An exception thrown
// by a piece reaches the caller after the job has ended.
template <class F>
void for_range(std::size_t n, F&& body, std::size_t serial_below = SERIAL_CUTOFF,
               std::size_t grain = GRAIN) {
    if (n == 0) return;
    if (n < serial_below) {
        body(std::size_t{0}, n);
        return;
    }
    tbb::parallel_for(tbb::blocked_range<std::size_t>(0, n, grain),
                      [&](const tbb::blocked_range<std::size_t>& r) { body(r.begin(), r.end()); });
}

// Calls block(begin, end) for the fixed blocks [k * size, (k + 1) * size) of [0, n), the last one
// cut at n, grouped into pieces as for_range does. Vector code may propagate NaN signs and payloads
// differently from its scalar tail; cutting kernels at fixed positions gives every element the
// same code path, so not even those bits depend on the split.
template <class F> void for_blocks(std::size_t n, std::size_t size, F&& block) {
    const std::size_t blocks = (n + size - 1) / size;
    for_range(
        blocks,
        [&](std::size_t b, std::size_t e) {
            for (std::size_t k = b; k < e; ++k)
                block(k * size, std::min(n, (k + 1) * size));
        },
        (SERIAL_CUTOFF + size - 1) / size, (GRAIN + size - 1) / size);
}

// Folds piece(begin, end) results over [0, n) with `join`, which must be associative and
// commutative so that the split cannot show in the result.
template <class V, class Piece, class Join>
V reduce_range(std::size_t n, V identity, Piece&& piece, Join&& join,
               std::size_t serial_below = SERIAL_CUTOFF, std::size_t grain = GRAIN) {
    if (n == 0) return identity;
    if (n < serial_below) return piece(std::size_t{0}, n);
    return tbb::parallel_reduce(
        tbb::blocked_range<std::size_t>(0, n, grain), identity,
        [&](const tbb::blocked_range<std::size_t>& r, V acc) {
            return join(acc, piece(r.begin(), r.end()));
        },
        join);
}

} // namespace kpy::pool
