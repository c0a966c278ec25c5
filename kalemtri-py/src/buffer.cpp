#include "buffer.hpp"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>
#include <string>

#include "engine.hpp"
#include "kalemtri/engine/pool.hpp"
#include "kalemtri/engine/tuning.hpp"

namespace kpy {

namespace {

constexpr Py_ssize_t WORD = sizeof(double);

// An empty matrix still shows a valid address.
const double NO_DATA[1] = {0.0};

[[noreturn]] void buffer_error(const char* message) { raise(PyExc_BufferError, message); }

} // namespace

void fill_view(PyObject* owner, Py_buffer* view, int flags, const DoubleMatrix& m) {
    if ((flags & PyBUF_WRITABLE) == PyBUF_WRITABLE) buffer_error("the buffer is read-only");
    auto* layout = static_cast<Py_ssize_t*>(PyMem_Malloc(4 * sizeof(Py_ssize_t)));
    if (!layout) {
        PyErr_NoMemory();
        fail();
    }
    const auto rows = static_cast<Py_ssize_t>(m.rows), cols = static_cast<Py_ssize_t>(m.cols);
    layout[0] = rows;
    layout[1] = cols;
    layout[2] = cols * WORD;
    layout[3] = WORD;
    view->buf = const_cast<double*>(m.data ? m.data : NO_DATA);
    view->len = rows * cols * WORD;
    view->readonly = 1;
    view->suboffsets = nullptr;
    view->internal = layout;
    if ((flags & PyBUF_ND) == PyBUF_ND) {
        view->itemsize = WORD;
        view->format = (flags & PyBUF_FORMAT) ? const_cast<char*>("d") : nullptr;
        view->ndim = 2;
        view->shape = layout;
        view->strides = (flags & PyBUF_STRIDES) == PyBUF_STRIDES ? layout + 2 : nullptr;
    } else {
        // A request without shape sees plain bytes.
        view->itemsize = 1;
        view->format = (flags & PyBUF_FORMAT) ? const_cast<char*>("B") : nullptr;
        view->ndim = 1;
        view->shape = nullptr;
        view->strides = nullptr;
    }
    if ((flags & PyBUF_F_CONTIGUOUS) == PyBUF_F_CONTIGUOUS && !PyBuffer_IsContiguous(view, 'F')) {
        PyMem_Free(layout);
        buffer_error("the buffer is C-contiguous, not Fortran-contiguous");
    }
    view->obj = new_ref(owner);
}

void free_view(Py_buffer* view) noexcept {
    PyMem_Free(view->internal);
    view->internal = nullptr;
}

// ---------------------------------------------------------------------------------------------
// Reading

namespace {

// The item letter of "d" or "f" with no prefix, '@', '=', or this machine's explicit byte order;
// 0 for any other format. Both are IEEE binary64 and binary32.
char native_float_kind(const char* format) {
    if (!format) return 0; // unsigned bytes
    constexpr bool little = std::endian::native == std::endian::little;
    if (*format == '@' || *format == '=' || *format == (little ? '<' : '>') ||
        (!little && *format == '!'))
        ++format;
    return (format[0] == 'd' || format[0] == 'f') && format[1] == '\0' ? format[0] : '\0';
}

std::string shape_text(const Py_buffer& v) {
    std::string s = "(";
    for (int i = 0; i < v.ndim; ++i) {
        if (i) s += ", ";
        s += std::to_string(v.shape ? v.shape[i] : v.len / std::max<Py_ssize_t>(v.itemsize, 1));
    }
    return s + (v.ndim == 1 ? ",)" : ")");
}

// Doubles move as raw words; floats widen as the hardware converts them (exact for every number).
template <class T> double load(const char* p) {
    T x;
    std::memcpy(&x, p, sizeof x);
    return static_cast<double>(x);
}

template <class T, std::size_t C>
void gather(const char* base, Py_ssize_t row_stride, Py_ssize_t col_stride, std::size_t cols,
            double* dst, std::size_t b, std::size_t e) {
    const std::size_t n = C ? C : cols;
    for (std::size_t i = b; i < e; ++i) {
        const char* row = base + static_cast<Py_ssize_t>(i) * row_stride;
        for (std::size_t c = 0; c < n; ++c) {
            const char* item = row + static_cast<Py_ssize_t>(c) * col_stride;
            if constexpr (sizeof(T) == WORD)
                std::memcpy(dst + i * n + c, item, WORD);
            else
                dst[i * n + c] = load<T>(item);
        }
    }
}

} // namespace

DoubleRows::DoubleRows(PyObject* obj, std::size_t cols, const char* what) : cols_(cols) {
    const std::string expected = "native-endian doubles or floats (format 'd' or 'f') shaped (N, " +
                                 std::to_string(cols) + ") or (" + std::to_string(cols) + "*N,)";
    if (!PyObject_CheckBuffer(obj)) {
        PyErr_Format(PyExc_TypeError, "%s: '%s' object is not a buffer; expected %s", what,
                     type_qualname(obj).c_str(), expected.c_str());
        fail();
    }
    if (PyObject_GetBuffer(obj, &view_, PyBUF_RECORDS_RO) < 0) fail();
    const char kind = native_float_kind(view_.format);
    if (view_.itemsize != (kind == 'f' ? Py_ssize_t{sizeof(float)} : WORD) || !kind) {
        PyErr_Format(PyExc_TypeError,
                     "%s: buffer format '%s' is not native double or float; expected %s", what,
                     view_.format ? view_.format : "B", expected.c_str());
        PyBuffer_Release(&view_);
        fail();
    }
    const auto c = static_cast<Py_ssize_t>(cols);
    const Py_ssize_t item = view_.itemsize;
    const Py_ssize_t* stride = view_.strides;
    if (view_.ndim == 2 && view_.shape[1] == c) {
        rows_ = static_cast<std::size_t>(view_.shape[0]);
        row_stride_ = stride ? stride[0] : c * item;
        col_stride_ = stride ? stride[1] : item;
    } else if (view_.ndim == 1 && view_.shape[0] % c == 0) {
        rows_ = static_cast<std::size_t>(view_.shape[0] / c);
        col_stride_ = stride ? stride[0] : item;
        row_stride_ = c * col_stride_;
    } else {
        PyErr_Format(PyExc_ValueError, "%s: buffer shape %s does not fit; expected %s", what,
                     shape_text(view_).c_str(), expected.c_str());
        PyBuffer_Release(&view_);
        fail();
    }
}

const double* DoubleRows::packed() const {
    if (view_.itemsize != WORD || native_float_kind(view_.format) != 'd') return nullptr;
    const bool aligned = reinterpret_cast<std::uintptr_t>(view_.buf) % WORD == 0;
    const bool c_order = rows_ <= 1 || row_stride_ == static_cast<Py_ssize_t>(cols_) * WORD;
    if (!aligned || !c_order || (cols_ > 1 && col_stride_ != WORD)) return nullptr;
    return static_cast<const double*>(view_.buf);
}

void DoubleRows::copy_to(double* dst) const {
    const char* base = static_cast<const char*>(view_.buf);
    const Py_ssize_t item = view_.itemsize, rs = row_stride_, cs = col_stride_;
    const std::size_t cols = cols_;
    if (cs == item && rs == static_cast<Py_ssize_t>(cols) * item) {
        if (item == WORD) {
            copy_bytes(dst, base, rows_ * cols * sizeof(double));
            return;
        }
        // Pieces of the same size in bytes read as for doubles.
        constexpr std::size_t floats = tuning::COPY_CHUNK_BYTES / sizeof(float);
        pool::for_blocks(
            rows_ * cols, floats,
            [=](std::size_t b, std::size_t e) {
                for (std::size_t i = b; i < e; ++i)
                    dst[i] = load<float>(base + i * sizeof(float));
            },
            tuning::COPY_SERIAL_BYTES / sizeof(float), floats);
        return;
    }
    pool::for_range(
        rows_,
        [=](std::size_t b, std::size_t e) {
            if (item == WORD)
                cols == 3 ? gather<double, 3>(base, rs, cs, cols, dst, b, e)
                          : gather<double, 0>(base, rs, cs, cols, dst, b, e);
            else
                cols == 3 ? gather<float, 3>(base, rs, cs, cols, dst, b, e)
                          : gather<float, 0>(base, rs, cs, cols, dst, b, e);
        },
        tuning::COPY_SERIAL_ROWS, tuning::COPY_GRAIN_ROWS);
}

// ---------------------------------------------------------------------------------------------
// Small matrices from nested sequences

namespace {

struct MatrixForm {
    const char* arg;
    const char* form;
};

[[noreturn]] void not_a_matrix(const MatrixForm& f, PyObject* obj) {
    PyErr_Format(PyExc_TypeError, "argument '%s': expected %s, not '%s'", f.arg, f.form,
                 type_qualname(obj).c_str());
    fail();
}

[[noreturn]] void wrong_length(const MatrixForm& f, const char* what, Py_ssize_t n) {
    PyErr_Format(PyExc_ValueError, "argument '%s': %s of length %zd; expected %s", f.arg, what, n,
                 f.form);
    fail();
}

// A tuple of an iterable's items (a new reference); a str is refused.
PyObject* items_of(const MatrixForm& f, PyObject* obj) {
    if (PyUnicode_Check(obj)) not_a_matrix(f, obj);
    PyObject* items = PySequence_Tuple(obj);
    if (!items) {
        if (PyErr_ExceptionMatches(PyExc_TypeError)) {
            PyErr_Clear();
            not_a_matrix(f, obj);
        }
        fail();
    }
    return items;
}

void read_row(const MatrixForm& f, PyObject* row, std::size_t cols, double* out) {
    PyObject* items = items_of(f, row);
    const Py_ssize_t n = PyTuple_GET_SIZE(items);
    if (n != static_cast<Py_ssize_t>(cols)) {
        Py_DECREF(items);
        wrong_length(f, "a row", n);
    }
    for (Py_ssize_t c = 0; c < n; ++c) {
        // The snapshot holds the item while __float__ runs, whatever that does to `row`.
        const double v = PyFloat_AsDouble(PyTuple_GET_ITEM(items, c));
        if (v == -1.0 && PyErr_Occurred()) {
            Py_DECREF(items);
            argument_error(f.arg);
        }
        out[c] = v;
    }
    Py_DECREF(items);
}

} // namespace

std::size_t read_matrix_rows(PyObject* m, const char* arg, std::size_t cols, std::size_t min_rows,
                             std::size_t max_rows, const char* form, double* out) {
    const MatrixForm f{arg, form};
    if (PyObject_CheckBuffer(m)) {
        const std::string what = std::string("argument '") + arg + "'";
        const DoubleRows rows(m, cols, what.c_str());
        if (rows.rows() < min_rows || rows.rows() > max_rows) {
            PyErr_Format(PyExc_ValueError, "argument '%s': %zu rows; expected %s", arg, rows.rows(),
                         form);
            fail();
        }
        rows.copy_to(out);
        return rows.rows();
    }
    PyObject* rows = items_of(f, m);
    const auto n = static_cast<std::size_t>(PyTuple_GET_SIZE(rows));
    try {
        if (n < min_rows || n > max_rows) wrong_length(f, "a matrix", PyTuple_GET_SIZE(rows));
        for (std::size_t r = 0; r < n; ++r)
            read_row(f, PyTuple_GET_ITEM(rows, static_cast<Py_ssize_t>(r)), cols, out + r * cols);
    } catch (...) {
        Py_DECREF(rows);
        throw;
    }
    Py_DECREF(rows);
    return n;
}

// ---------------------------------------------------------------------------------------------
// Results as arrays

namespace {

// Owns the doubles behind a result view; never changes, so views need no count.
struct MatrixBlock {
    storage::Array<double> data;
    std::size_t rows, cols;
};

DoubleMatrix export_block(MatrixBlock& b) { return {b.data.data(), b.rows, b.cols}; }
void release_block(MatrixBlock&) {}

PyTypeObject* matrix_block_type() {
    static ClassDef def{
        .name = "Float64Rows",
        .constructor = {}, // made by the module only
        .methods = {},
        .properties = {},
        .slots =
            {
                slot(Py_bf_getbuffer, get_buffer<export_block, release_block>),
                slot(Py_bf_releasebuffer, release_buffer<release_block>),
            },
    };
    return create_class<MatrixBlock>(def);
}

} // namespace

PyObject* matrix_view(storage::Array<double>&& data, std::size_t rows, std::size_t cols) {
    if (!matrix_block_type()) fail();
    PyObject* owner = new_instance<MatrixBlock>(MatrixBlock{std::move(data), rows, cols});
    if (!owner) fail();
    PyObject* view = PyMemoryView_FromObject(owner);
    Py_DECREF(owner);
    if (!view) fail();
    return view;
}

Bytes::Bytes(PyObject* obj) {
    if (PyObject_GetBuffer(obj, &view_, PyBUF_SIMPLE) < 0) fail();
}

void copy_bytes(void* dst, const void* src, std::size_t bytes) {
    auto* d = static_cast<char*>(dst);
    const auto* s = static_cast<const char*>(src);
    pool::for_blocks(
        bytes, tuning::COPY_CHUNK_BYTES,
        [=](std::size_t b, std::size_t e) { std::memcpy(d + b, s + b, e - b); },
        tuning::COPY_SERIAL_BYTES, tuning::COPY_CHUNK_BYTES);
}

} // namespace kpy
