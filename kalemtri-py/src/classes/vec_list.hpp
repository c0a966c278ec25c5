#pragma once
// VecList, a growable array of Vec3d, and its snapshot iterator. vec_list.cpp holds the class,
// the container and the batch operations; vec_list_data.cpp the data in and out.
#include <cstddef>
#include <memory>

#include "binding.hpp"
#include "buffer.hpp"
#include "engine.hpp"
#include "kalemtri/engine/storage.hpp"
#include "kalemtri/src/vec3d.hpp"

namespace kpy {

struct VecList {
    storage::Array<kalemtri::Vec3d> items;
    // Buffer views alive: while there are any the array must stay where it is, unchanged.
    std::size_t exports = 0;
    // The buffer whose memory `items` reads, held for the list's lifetime (VecList.borrow); such
    // a list never changes.
    std::unique_ptr<DoubleRows> source = nullptr;
};

struct VecListIterator {
    storage::Array<kalemtri::Vec3d> items;
    std::size_t cursor = 0;
};

// Nested lists of floats, [[x, y, z], ...].
PyObject* to_array(const VecList& v);

// The buffer protocol: each export registers a view, each release unregisters one.
DoubleMatrix export_items(VecList& v);
void release_items(VecList& v);
// A copy of a buffer shaped (N, 3) or (3 * N,).
VecList from_buffer(PyObject* buffer);
// A read-only list over such a buffer's own memory, packed in C order.
VecList borrow(PyObject* buffer);

PyObject* reduce(const VecList& v);
PyObject* reduce_ex(PyObject* self, PyObject* protocol);
// `_reconstruct`'s side: a new VecList from the state's bytes.
PyObject* restore(const void* state, std::size_t size);
VecList copy(const VecList& v);
VecList deep_copy(const VecList& v, PyObject* memo);

// "[Vec3d(...)\nVec3d(...)]"
PyObject* text(const VecList& v);
VecListIterator iterate(const VecList& v);

// Every element-wise batch operation as (VecList attribute, operand, in place): a private list
// for the tests.
PyObject* batch_operations();

} // namespace kpy
