#pragma once
// The element arrays of VecList and of batch results.
#include <cstddef>
#include <cstring>
#include <new>
#include <type_traits>
#include <utility>

namespace kalemtri::storage {

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
          capacity_(std::exchange(o.capacity_, 0)), owned_(std::exchange(o.owned_, true)) {}
    Array& operator=(Array o) noexcept {
        swap(o);
        return *this;
    }
    ~Array() {
        if (owned_) release(data_, capacity_ * sizeof(T));
    }

    // A view of n values owned elsewhere, which must outlive it: never freed here, and moved to
    // storage of its own before it grows. Its copies own their values.
    static Array borrowed(const T* data, std::size_t n) {
        Array a;
        a.data_ = const_cast<T*>(data);
        a.size_ = a.capacity_ = n;
        a.owned_ = false;
        return a;
    }

    void swap(Array& o) noexcept {
        std::swap(data_, o.data_);
        std::swap(size_, o.size_);
        std::swap(capacity_, o.capacity_);
        std::swap(owned_, o.owned_);
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
        if (owned_) release(data_, capacity_ * sizeof(T));
        data_ = fresh;
        capacity_ = n;
        owned_ = true;
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
    bool owned_ = true;
};

} // namespace kalemtri::storage
