#pragma once
// Buffer protocol for the binding layer: lending a class's array of doubles to memoryview and
// numpy without a copy, and reading doubles or floats from any buffer. Doubles move as raw 8-byte
// words, so -0.0 and every NaN payload, signalling ones included, keep their bits; floats widen as
// the hardware converts them, which is exact and keeps NaN payloads but quiets a signalling NaN.
#include <cstddef>
#include <functional>
#include <tuple>

#include "binding.hpp"
#include "engine.hpp"
#include "kalemtri/engine/storage.hpp"

namespace kpy {

// A C-contiguous, read-only matrix of doubles owned by an instance.
struct DoubleMatrix {
    const double* data; // may be null when rows == 0
    std::size_t rows;
    std::size_t cols;
};

// Fills `view` for `owner`: shape (rows, cols) and strides (8 * cols, 8), or raw bytes for a
// request without shape. Raises BufferError for writable or Fortran-order requests.
void fill_view(PyObject* owner, Py_buffer* view, int flags, const DoubleMatrix& m);
void free_view(Py_buffer* view) noexcept;

// `slot(Py_bf_getbuffer, get_buffer<Export, Release>)`: Export(T&) registers a new view and returns
// the memory it shows, Release(T&) unregisters one; the class must keep that memory in place while
// any view is registered.
template <auto Export, auto Release> int get_buffer(PyObject* self, Py_buffer* view, int flags) {
    view->obj = nullptr;
    return boundary<int>(-1, [&] {
        // Shared, although Export counts the view: lending memory only reads it.
        auto* obj = instance<self_t<Export>>(self);
        SharedBorrow b(obj->flag);
        const DoubleMatrix m = std::invoke(Export, obj->value);
        try {
            fill_view(self, view, flags, m);
        } catch (...) {
            std::invoke(Release, obj->value);
            throw;
        }
        return 0;
    });
}

template <auto Release> void release_buffer(PyObject* self, Py_buffer* view) {
    std::invoke(Release, instance<self_t<Release>>(self)->value);
    free_view(view);
}

// The doubles or floats of a buffer shaped (N, cols) with any strides, or (cols * N,), in native
// byte order, read as doubles.
// Raises TypeError for a non-buffer or another format and ValueError for another shape, each
// naming the expected form; `what` introduces the messages ("argument 'buffer'").
class DoubleRows {
  public:
    DoubleRows(PyObject* obj, std::size_t cols, const char* what);
    DoubleRows(const DoubleRows&) = delete;
    DoubleRows& operator=(const DoubleRows&) = delete;
    ~DoubleRows() { PyBuffer_Release(&view_); }

    std::size_t rows() const { return rows_; }
    // The rows in place when they are doubles packed in C order and aligned, else null.
    const double* packed() const;
    // Copies every row to dst (rows() * cols doubles), on the worker pool when large.
    void copy_to(double* dst) const;

  private:
    Py_buffer view_{};
    std::size_t cols_;
    std::size_t rows_ = 0;
    Py_ssize_t row_stride_ = 0;
    Py_ssize_t col_stride_ = 0;
};

// The contiguous bytes of any buffer, e.g. a pickled state handed in or out of band.
class Bytes {
  public:
    explicit Bytes(PyObject* obj);
    Bytes(const Bytes&) = delete;
    Bytes& operator=(const Bytes&) = delete;
    ~Bytes() { PyBuffer_Release(&view_); }
    const void* data() const { return view_.buf; }
    std::size_t size() const { return static_cast<std::size_t>(view_.len); }

  private:
    Py_buffer view_{};
};

// A small matrix of doubles from nested sequences of floats or a buffer of doubles or floats:
// `cols` columns and from `min_rows` to `max_rows` rows, written row by row to `out` (room for
// max_rows * cols); returns the number of rows. Each sequence is read from a tuple snapshot of it,
// so an item's __float__ that changes the caller's lists cannot pull rows or items from under the
// reader. Messages name argument `arg` and describe the accepted forms as `form`.
std::size_t read_matrix_rows(PyObject* m, const char* arg, std::size_t cols, std::size_t min_rows,
                             std::size_t max_rows, const char* form, double* out);

// A read-only memoryview of shape (rows, cols) over `data`, which a new object of its own keeps.
PyObject* matrix_view(storage::Array<double>&& data, std::size_t rows, std::size_t cols);

// memcpy on the worker pool for large blocks.
void copy_bytes(void* dst, const void* src, std::size_t bytes);

} // namespace kpy
