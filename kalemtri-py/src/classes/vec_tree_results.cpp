// The result blocks of VecTree's batch queries: int64 or float64 arrays the module owns, lent
// read-only through the buffer protocol, so numpy.asarray sees them without a copy.
#include <cstdint>

#include "vec_tree.hpp"

namespace kpy {

using storage::Array;

namespace {

TreeBlock block_shape(std::size_t rows, std::size_t cols, int ndim) {
    TreeBlock b;
    b.ndim = ndim;
    b.shape[0] = static_cast<Py_ssize_t>(rows);
    b.shape[1] = static_cast<Py_ssize_t>(cols);
    b.strides[0] = static_cast<Py_ssize_t>(ndim == 2 ? 8 * cols : 8);
    return b;
}

} // namespace

TreeBlock int_block(Array<std::int64_t> data, std::size_t rows, std::size_t cols, int ndim) {
    TreeBlock b = block_shape(rows, cols, ndim);
    b.ints = std::move(data);
    b.is_int = true;
    return b;
}

TreeBlock real_block(Array<double> data, std::size_t rows, std::size_t cols, int ndim) {
    TreeBlock b = block_shape(rows, cols, ndim);
    b.reals = std::move(data);
    return b;
}

namespace {

const std::int64_t NO_DATA[1] = {0};

int block_get_buffer(PyObject* self, Py_buffer* view, int flags) {
    view->obj = nullptr;
    return boundary<int>(-1, [&] {
        TreeBlock& b = instance<TreeBlock>(self)->value;
        if ((flags & PyBUF_WRITABLE) == PyBUF_WRITABLE)
            raise(PyExc_BufferError, "the buffer is read-only");
        const void* data = b.is_int ? static_cast<const void*>(b.ints.data()) : b.reals.data();
        const std::size_t count = b.is_int ? b.ints.size() : b.reals.size();
        view->buf = const_cast<void*>(data ? data : NO_DATA);
        view->len = static_cast<Py_ssize_t>(count * 8);
        view->readonly = 1;
        view->suboffsets = nullptr;
        view->internal = nullptr;
        if ((flags & PyBUF_ND) == PyBUF_ND) {
            view->itemsize = 8;
            view->format =
                (flags & PyBUF_FORMAT) ? const_cast<char*>(b.is_int ? "q" : "d") : nullptr;
            view->ndim = b.ndim;
            view->shape = b.shape;
            view->strides = (flags & PyBUF_STRIDES) == PyBUF_STRIDES ? b.strides : nullptr;
        } else {
            view->itemsize = 1; // a request without shape sees plain bytes
            view->format = (flags & PyBUF_FORMAT) ? const_cast<char*>("B") : nullptr;
            view->ndim = 1;
            view->shape = nullptr;
            view->strides = nullptr;
        }
        if ((flags & PyBUF_F_CONTIGUOUS) == PyBUF_F_CONTIGUOUS && !PyBuffer_IsContiguous(view, 'F'))
            raise(PyExc_BufferError, "the buffer is C-contiguous, not Fortran-contiguous");
        view->obj = new_ref(self);
        return 0;
    });
}

PyTypeObject* block_type() {
    static ClassDef def{
        .name = "VecTreeArray",
        .constructor = {}, // made by VecTree only
        .methods = {},
        .properties = {},
        .slots = {slot(Py_bf_getbuffer, block_get_buffer)},
    };
    return create_class<TreeBlock>(def);
}

} // namespace

PyObject* block_object(TreeBlock&& b) {
    if (!block_type()) fail();
    PyObject* obj = new_instance<TreeBlock>(std::move(b));
    if (!obj) fail();
    return obj;
}

// A read-only memoryview of the block.
PyObject* block_view(TreeBlock&& b) {
    PyObject* obj = block_object(std::move(b));
    PyObject* view = PyMemoryView_FromObject(obj);
    Py_DECREF(obj);
    if (!view) fail();
    return view;
}

PyObject* pair_of_views(TreeBlock&& a, TreeBlock&& b) {
    PyObject* first = block_view(std::move(a));
    PyObject* second = nullptr;
    try {
        second = block_view(std::move(b));
    } catch (...) {
        Py_DECREF(first);
        throw;
    }
    PyObject* t = PyTuple_Pack(2, first, second);
    Py_DECREF(first);
    Py_DECREF(second);
    if (!t) fail();
    return t;
}

[[noreturn]] void no_room(const char* where, std::uint64_t count, const char* what) {
    PyErr_Clear();
    PyErr_Format(PyExc_MemoryError, "%s: %llu %s do not fit in memory", where,
                 static_cast<unsigned long long>(count), what);
    fail();
}

} // namespace kpy
