#pragma once
// The immutable lists of core values (QuatList, PoseList): one array of T, read by workers as a
// plain array, exported as (N, W) doubles, pickled as its bytes. Each class adds its batch
// operations; what makes, shows, copies and pickles the list is here once.
#include <string>
#include <utility>

#include "binding.hpp"
#include "buffer.hpp"
#include "engine.hpp"
#include "kalemtri/engine/batch/levels.hpp"
#include "kalemtri/engine/batch/quat_kernels.hpp"
#include "kalemtri/engine/pool.hpp"
#include "kalemtri/engine/storage.hpp"
#include "kalemtri/engine/tuning.hpp"
#include "kalemtri/src/format.hpp"
#include "pickle.hpp"
#include "vec_list.hpp"

namespace kpy {

template <class T> struct ItemList {
    storage::Array<T> items;
    // Buffer views alive; nothing changes the array, the count only pairs exports with releases.
    std::size_t exports = 0;
};

namespace item_list {

// Doubles per element: the width of the exported rows.
template <class T> inline constexpr std::size_t WIDTH = sizeof(T) / sizeof(double);

[[noreturn]] inline void list_argument_error(PyObject* obj, const char* target) {
    set_conversion_error(obj, target);
    argument_error("list");
}

template <class T> void copy_item(storage::Array<T>& out, PyObject* item) {
    if (!is_instance<T>(item)) list_argument_error(item, Class<T>::name);
    Instance<T>* p = instance<T>(item);
    SharedBorrow b(p->flag);
    out.push_back(p->value);
}

// Any iterable of T but a str. No Python code runs while a list's or tuple's items are copied;
// other iterables are walked with the iteration protocol.
template <class T> ItemList<T> make(PyObject* list) {
    if (PyUnicode_Check(list)) list_argument_error(list, "Sequence");
    ItemList<T> out;
    if (PyList_CheckExact(list) || PyTuple_CheckExact(list)) {
        const Py_ssize_t n = PySequence_Fast_GET_SIZE(list);
        PyObject** items = PySequence_Fast_ITEMS(list);
        out.items.reserve(static_cast<std::size_t>(n));
        for (Py_ssize_t i = 0; i < n; ++i)
            copy_item(out.items, items[i]);
        return out;
    }
    PyObject* it = PyObject_GetIter(list);
    if (!it) {
        if (PyErr_ExceptionMatches(PyExc_TypeError)) {
            PyErr_Clear();
            list_argument_error(list, "Sequence");
        }
        fail();
    }
    consume_iterator(it, [&](PyObject* item) { copy_item(out.items, item); });
    if (PyErr_Occurred()) argument_error("list");
    return out;
}

template <class T> std::size_t size(const ItemList<T>& l) { return l.items.size(); }

template <class T> T item(const ItemList<T>& l, std::size_t index) {
    if (index >= l.items.size()) raise(PyExc_IndexError, "Index out of bounds");
    return l.items[index];
}

// "QuatList([Quat(...), ...])", the middle of a long list left out as one "..." item. `MaxText`
// bounds one element's text.
template <class T, std::size_t MaxText> PyObject* text(const ItemList<T>& l) {
    constexpr std::size_t EDGE = 3;
    const std::size_t n = l.items.size();
    std::string out = Class<ItemList<T>>::name;
    out += "([";
    char buf[MaxText];
    for (std::size_t i = 0; i < n; ++i) {
        if (i) out += ", ";
        if (n > 2 * EDGE && i == EDGE) {
            out += "..., ";
            i = n - EDGE;
        }
        out.append(buf, kalemtri::write_text(l.items[i], buf));
    }
    out += "])";
    return ascii_text(out.data(), out.data() + out.size());
}

// ---------------------------------------------------------------------------------------------
// Data in and out

template <class T> DoubleMatrix export_items(ItemList<T>& l) {
    ++l.exports;
    return {reinterpret_cast<const double*>(l.items.data()), l.items.size(), WIDTH<T>};
}
template <class T> void release_items(ItemList<T>& l) { --l.exports; }

template <class T> ItemList<T> from_buffer(PyObject* buffer) {
    DoubleRows rows(buffer, WIDTH<T>, "argument 'buffer'");
    storage::Array<T> items(rows.rows());
    rows.copy_to(reinterpret_cast<double*>(items.data()));
    return {std::move(items), 0};
}

template <class T> storage::Array<T> copy_items(const T* data, std::size_t n) {
    storage::Array<T> items(n);
    copy_bytes(items.data(), data, n * sizeof(T));
    return items;
}

template <class T> PyObject* reduce(const ItemList<T>& l) {
    return reduce_to(Class<ItemList<T>>::name,
                     state_bytes(l.items.data(), l.items.size() * sizeof(T)));
}
template <class T> ItemList<T> copy(const ItemList<T>& l) {
    return {copy_items(l.items.data(), l.items.size()), 0};
}
template <class T> ItemList<T> deep_copy(const ItemList<T>& l, PyObject* /*memo*/) {
    return copy(l);
}

// `_reconstruct`'s side: a new list from the state's bytes.
template <class T> PyObject* restore(const void* state, std::size_t size) {
    if (size % sizeof(T) != 0) {
        PyErr_Format(PyExc_ValueError,
                     "_reconstruct(): the state of %s must be a multiple of %zu bytes, not %zu",
                     Class<ItemList<T>>::name, sizeof(T), size);
        fail();
    }
    return result(ItemList<T>{copy_items(static_cast<const T*>(state), size / sizeof(T)), 0});
}

// ---------------------------------------------------------------------------------------------
// Batch operations over fixed blocks on the pool

// A new list of f(element), each element as the single call computes it (same_map_block).
template <class T, class F> ItemList<T> map(const ItemList<T>& in, F f) {
    storage::Array<T> out(in.items.size());
    const T* src = in.items.data();
    T* dst = out.data();
    const kernels::Level level = kernels::chosen_level();
    pool::for_blocks(in.items.size(), tuning::MAP_BLOCK, [=](std::size_t b, std::size_t e) {
        kernels::same_map_block(level, src + b, dst + b, e - b, f);
    });
    return {std::move(out), 0};
}

// Element n of the list moves vectors[n]: block(level, items, vectors, dst, n) over each block.
// `call` and `noun` name the method and the elements in the message of a length mismatch.
template <class T, class Block>
VecList pairs(const ItemList<T>& l, const VecList& vectors, const char* call, const char* noun,
              Block block) {
    const std::size_t n = l.items.size();
    if (vectors.items.size() != n) {
        PyErr_Format(PyExc_ValueError, "%s: %zu %s for %zu vectors; the lengths must be equal",
                     call, n, noun, vectors.items.size());
        fail();
    }
    storage::Array<kalemtri::Vec3d> out(n);
    const T* ls = l.items.data();
    const kalemtri::Vec3d* vs = vectors.items.data();
    kalemtri::Vec3d* dst = out.data();
    const kernels::Level level = kernels::chosen_level();
    pool::for_blocks(n, tuning::MAP_BLOCK, [=](std::size_t b, std::size_t e) {
        block(level, ls + b, vs + b, dst + b, e - b);
    });
    return {std::move(out), 0};
}

} // namespace item_list

} // namespace kpy
