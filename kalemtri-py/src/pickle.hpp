#pragma once
// Pickling and copying. The classes' module is "builtins", where pickle cannot look them up, so a
// value pickles as `(kalemtri_py._reconstruct, (class name, state))`: the reconstructor is a
// private function of the extension module, found by any interpreter that can import it. The
// state is the value's doubles as raw native words, which keeps -0.0 and every NaN payload
// (a float round trip through the x87 unit would quiet signalling NaNs).
#include <bit>
#include <cstddef>
#include <type_traits>

#include "binding.hpp"

namespace kpy {

// Pickles and buffers carry native doubles; every target is little-endian.
static_assert(std::endian::native == std::endian::little);

// `(reconstructor, (name, state))`; takes over `state`, a new reference to a buffer object.
PyObject* reduce_to(const char* name, PyObject* state);
// A bytes object holding a copy of [data, data + size).
PyObject* state_bytes(const void* data, std::size_t size);

// `method<"__reduce__", reduce_value<Vec3d>>()` for a class whose value is plain doubles.
template <class T> PyObject* reduce_value(const T& v) {
    static_assert(std::is_trivially_copyable_v<T> && sizeof(T) % sizeof(double) == 0);
    return reduce_to(Class<T>::name, state_bytes(&v, sizeof(T)));
}
// Values own no other objects, so a deep copy is a copy.
template <class T> T copy_value(const T& v) { return v; }
template <class T> T deep_copy_value(const T& v, PyObject* /*memo*/) { return v; }

// Adds `_reconstruct` to the module, outside `__all__`. It rebuilds a value of any class created
// so far (binding/registry.hpp) from its name and state.
bool add_reconstructor(PyObject* module);

} // namespace kpy
