#pragma once
// Instances and borrows: the object layout of every class, and the borrow flag that keeps a value
// from being changed while a call reads it (or read while a call changes it).
#include <atomic>
#include <cstdint>
#include <new>
#include <utility>

#include "binding/errors.hpp"

namespace kpy {

// Counts shared borrows, or holds -1 for the one exclusive borrow. Every access happens under the
// interpreter lock, so plain atomic loads and stores are enough.
using BorrowFlag = std::atomic<std::intptr_t>;

template <class T> struct Instance {
    PyObject_HEAD BorrowFlag flag;
    T value;
};

// The Python class wrapping core type T: its type object once created, and its name for messages.
template <class T> struct Class {
    static inline PyTypeObject* type = nullptr;
    static inline const char* name = nullptr;
};

template <class T> Instance<T>* instance(PyObject* o) { return reinterpret_cast<Instance<T>*>(o); }
template <class T> bool is_instance(PyObject* o) {
    return Py_TYPE(o) == Class<T>::type && Class<T>::type != nullptr;
}

// Sets RuntimeError `message`.
[[gnu::cold]] void set_borrow_error(const char* message);

class SharedBorrow {
  public:
    SharedBorrow() = default;
    explicit SharedBorrow(BorrowFlag& f) { acquire(f); }
    SharedBorrow(const SharedBorrow&) = delete;
    SharedBorrow& operator=(const SharedBorrow&) = delete;
    ~SharedBorrow() {
        if (flag_)
            flag_->store(flag_->load(std::memory_order_relaxed) - 1, std::memory_order_relaxed);
    }
    // False (with RuntimeError set) while an exclusive borrow is held.
    bool try_acquire(BorrowFlag& f) {
        const auto v = f.load(std::memory_order_relaxed);
        if (v < 0) [[unlikely]] {
            set_borrow_error("Already mutably borrowed");
            return false;
        }
        f.store(v + 1, std::memory_order_relaxed);
        flag_ = &f;
        return true;
    }
    void acquire(BorrowFlag& f) {
        if (!try_acquire(f)) fail();
    }

  private:
    BorrowFlag* flag_ = nullptr;
};

class ExclusiveBorrow {
  public:
    explicit ExclusiveBorrow(BorrowFlag& f) : flag_(f) {
        if (f.load(std::memory_order_relaxed) != 0) [[unlikely]]
            raise(PyExc_RuntimeError, "Already borrowed");
        f.store(-1, std::memory_order_relaxed);
    }
    ExclusiveBorrow(const ExclusiveBorrow&) = delete;
    ExclusiveBorrow& operator=(const ExclusiveBorrow&) = delete;
    ~ExclusiveBorrow() { flag_.store(0, std::memory_order_relaxed); }

  private:
    BorrowFlag& flag_;
};

// A new instance of T's class holding `value`.
template <class T, class... A> PyObject* new_instance(A&&... args) {
    PyTypeObject* type = Class<T>::type;
    auto* obj = static_cast<Instance<T>*>(PyObject_Malloc(sizeof(Instance<T>)));
    if (!obj) return PyErr_NoMemory();
    PyObject_Init(reinterpret_cast<PyObject*>(obj), type);
    new (&obj->flag) BorrowFlag(0);
    try {
        new (&obj->value) T(std::forward<A>(args)...);
    } catch (...) {
        PyObject_Free(obj);
        Py_DECREF(type);
        throw;
    }
    return reinterpret_cast<PyObject*>(obj);
}

template <class T> void dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    instance<T>(self)->value.~T();
    PyObject_Free(self);
    Py_DECREF(type);
}

} // namespace kpy
