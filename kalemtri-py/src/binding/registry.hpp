#pragma once
// The classes of the module, each recorded as it is created. Unpickling finds a value's class here
// by name, so a class that pickles needs no entry in any list of its own.
#include <cstddef>
#include <cstring>
#include <string_view>
#include <type_traits>

#include "binding/borrow.hpp"

namespace kpy {

// A new instance rebuilt from the bytes of a pickled state; raises (throws) on a state that does
// not fit the class.
using RestoreFunction = PyObject* (*)(const void* state, std::size_t size);

struct ClassRecord {
    const char* name;
    PyTypeObject* type;
    RestoreFunction restore; // null: the class does not pickle
};

void record_class(const ClassRecord& record);

// The class named exactly `name`, every character compared, or null.
const ClassRecord* find_class(std::string_view name);

// Raises ValueError "_reconstruct(): the state of <name> must be <expected> bytes, not <size>".
[[noreturn, gnu::cold]] void state_size_error(const char* name, std::size_t expected,
                                              std::size_t size);

// A value whose state is its own bytes, restored as they are, bypassing the constructors (which
// would, say, normalise a Plane's normal).
template <class T> PyObject* restore_value(const void* state, std::size_t size) {
    static_assert(std::is_trivially_copyable_v<T>);
    if (size != sizeof(T)) state_size_error(Class<T>::name, sizeof(T), size);
    T value;
    std::memcpy(static_cast<void*>(&value), state, sizeof(T));
    PyObject* out = new_instance<T>(value);
    if (!out) fail();
    return out;
}

} // namespace kpy
