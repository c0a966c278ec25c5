// VecList's data in and out: the list form, buffer export, copies from any buffer of doubles,
// pickling and copying, the text form and the snapshot iterator.
#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "buffer.hpp"
#include "engine.hpp"
#include "kalemtri/engine/pool.hpp"
#include "kalemtri/engine/tuning.hpp"
#include "kalemtri/src/format.hpp"
#include "pickle.hpp"
#include "vec_list.hpp"

namespace kpy {

using kalemtri::Vec3d;
using storage::Array;

namespace {

// Pauses the cyclic collector while a large nest of new lists is built: otherwise each collection
// pass walks the growing result again, which costs several times the building itself. The new
// lists hold only floats until the caller gets them, so no cycle can form meanwhile.
class CollectorPause {
  public:
    explicit CollectorPause(std::size_t objects) {
        if (objects < 4096) return;
#if PY310_PLUS
        paused_ = PyGC_Disable() == 1;
#else
        gc_ = PyImport_ImportModule("gc");
        PyObject* on = gc_ ? PyObject_CallMethod(gc_, "isenabled", nullptr) : nullptr;
        paused_ = on == Py_True && call("disable");
        Py_XDECREF(on);
        PyErr_Clear();
#endif
    }
    CollectorPause(const CollectorPause&) = delete;
    CollectorPause& operator=(const CollectorPause&) = delete;
    ~CollectorPause() {
#if PY310_PLUS
        if (paused_) PyGC_Enable();
#else
        if (paused_) {
            PyObject *type, *value, *traceback;
            PyErr_Fetch(&type, &value, &traceback);
            call("enable");
            PyErr_Restore(type, value, traceback);
        }
        Py_XDECREF(gc_);
#endif
    }

  private:
#if !PY310_PLUS
    bool call(const char* method) {
        PyObject* r = PyObject_CallMethod(gc_, method, nullptr);
        Py_XDECREF(r);
        PyErr_Clear();
        return r != nullptr;
    }
    PyObject* gc_ = nullptr;
#endif
    bool paused_ = false;
};

} // namespace

PyObject* to_array(const VecList& v) {
    CollectorPause pause(v.items.size());
    return make_list(v.items.size(),
                     [&](std::size_t i) { return to_py(kalemtri::to_array(v.items[i])); });
}

// ---------------------------------------------------------------------------------------------
// Data in and out: buffer export, copies from any buffer of doubles

static_assert(sizeof(Vec3d) == 3 * sizeof(double));

DoubleMatrix export_items(VecList& v) {
    ++v.exports;
    return {reinterpret_cast<const double*>(v.items.data()), v.items.size(), 3};
}
void release_items(VecList& v) { --v.exports; }

VecList from_buffer(PyObject* buffer) {
    DoubleRows rows(buffer, 3, "argument 'buffer'");
    Array<Vec3d> items(rows.rows());
    rows.copy_to(reinterpret_cast<double*>(items.data()));
    return {std::move(items)};
}

// Reads the buffer in place for as long as the list lives: batch operations on a chunk of a larger
// array then cost no copy.
VecList borrow(PyObject* buffer) {
    auto rows = std::make_unique<DoubleRows>(buffer, 3, "argument 'buffer'");
    const double* data = rows->packed();
    if (!data && rows->rows() != 0)
        raise(PyExc_ValueError, "argument 'buffer': VecList.borrow() reads only doubles packed in "
                                "C order and aligned to 8 bytes; VecList.from_buffer() copies any "
                                "other buffer");
    VecList v;
    v.items = Array<Vec3d>::borrowed(reinterpret_cast<const Vec3d*>(data), rows->rows());
    v.source = std::move(rows);
    return v;
}

// The elements pickle as one block of bytes; protocol 5 hands the pickler the list's own memory,
// which it copies in band or passes out of band, and which stays exported until it lets go.
PyObject* reduce(const VecList& v) {
    return reduce_to("VecList", state_bytes(v.items.data(), v.items.size() * sizeof(Vec3d)));
}

PyObject* reduce_ex(PyObject* self, PyObject* protocol) {
    return boundary<PyObject*>(nullptr, [&] {
        return with_self<reduce>(self, [&](const VecList& v) {
            const long p = PyLong_AsLong(protocol);
            if (p == -1 && PyErr_Occurred()) argument_error("protocol");
            return p < 5 ? reduce(v) : reduce_to("VecList", PyPickleBuffer_FromObject(self));
        });
    });
}

namespace {

Array<Vec3d> copy_items(const Vec3d* data, std::size_t n) {
    Array<Vec3d> items(n);
    copy_bytes(items.data(), data, n * sizeof(Vec3d));
    return items;
}

} // namespace

VecList copy(const VecList& v) { return {copy_items(v.items.data(), v.items.size())}; }
VecList deep_copy(const VecList& v, PyObject* /*memo*/) { return copy(v); }

PyObject* restore(const void* state, std::size_t size) {
    if (size % sizeof(Vec3d) != 0) {
        PyErr_Format(
            PyExc_ValueError,
            "_reconstruct(): the state of VecList must be a multiple of %zu bytes, not %zu",
            sizeof(Vec3d), size);
        fail();
    }
    return result(VecList{copy_items(static_cast<const Vec3d*>(state), size / sizeof(Vec3d))});
}

// ---------------------------------------------------------------------------------------------
// Text form

namespace {

// Elements [b, e) joined by line feeds.
void write_elements(const Vec3d* items, std::size_t b, std::size_t e, std::string& out) {
    char buf[kalemtri::MAX_VEC3D_TEXT + 1];
    out.reserve(out.size() + (e - b) * 48);
    for (std::size_t i = b; i < e; ++i) {
        char* p = buf;
        if (i > b) *p++ = '\n';
        p = kalemtri::write_text(items[i], p);
        out.append(buf, static_cast<std::size_t>(p - buf));
    }
}

} // namespace

PyObject* text(const VecList& v) {
    using tuning::TEXT_CHUNK;
    const std::size_t n = v.items.size();
    const std::size_t chunks = tuning::block_count(n, TEXT_CHUNK);
    // Fixed chunk boundaries: the pieces are joined in index order whatever the split.
    std::vector<std::string> parts(chunks);
    pool::for_blocks(
        n, TEXT_CHUNK,
        [&](std::size_t b, std::size_t e) {
            std::string& part = parts[b / TEXT_CHUNK];
            part.clear(); // a chunk may be written twice
            write_elements(v.items.data(), b, e, part);
        },
        tuning::TEXT_SERIAL_CUTOFF, TEXT_CHUNK);
    std::size_t total = 2 + (chunks ? chunks - 1 : 0);
    for (const std::string& s : parts)
        total += s.size();
    PyObject* str = PyUnicode_New(static_cast<Py_ssize_t>(total), 127);
    if (!str) return nullptr;
    char* p = static_cast<char*>(PyUnicode_DATA(str));
    *p++ = '[';
    for (std::size_t c = 0; c < chunks; ++c) {
        if (c) *p++ = '\n';
        p = std::copy(parts[c].begin(), parts[c].end(), p);
    }
    *p = ']';
    return str;
}

// ---------------------------------------------------------------------------------------------
// Iterator

namespace {

const Vec3d* peek(const VecListIterator& s) {
    return s.cursor < s.items.size() ? &s.items[s.cursor] : nullptr;
}
void advance(VecListIterator& s) { ++s.cursor; }

PyTypeObject* iterator_type() {
    static ClassDef def{
        .name = "VecListIterator",
        .constructor = {}, // none: "cannot create" when called
        .methods = {},
        .properties = {},
        .slots = {slot(Py_tp_iter, iterator_self),
                  slot(Py_tp_iternext, iterator_next<peek, advance>)},
    };
    return create_class<VecListIterator>(def);
}

} // namespace

VecListIterator iterate(const VecList& v) {
    if (!iterator_type()) fail();
    return {v.items, 0};
}

} // namespace kpy
