#pragma once
// The value of the VecTree class, for the files that bind its methods.
#include <cstdint>
#include <memory>
#include <new>
#include <optional>
#include <type_traits>

#include "binding.hpp"
#include "engine.hpp"
#include "kalemtri/engine/spatial/tree.hpp"
#include "kalemtri/engine/storage.hpp"

namespace kpy {

struct VecTree {
    std::shared_ptr<const tree::Tree> tree;
};

// A block of results lent through the buffer protocol: int64 (format 'q') or float64 ('d'),
// shaped (rows,) or (rows, cols). Never changed once made, so views need no bookkeeping.
struct TreeBlock {
    storage::Array<std::int64_t> ints;
    storage::Array<double> reals;
    bool is_int = false;
    int ndim = 1;
    Py_ssize_t shape[2] = {0, 1};
    Py_ssize_t strides[2] = {8, 8};
};

// Blocks of int64 or float64 results, shaped (rows,) for ndim 1 or (rows, cols) for ndim 2.
TreeBlock int_block(storage::Array<std::int64_t> data, std::size_t rows, std::size_t cols,
                    int ndim);
TreeBlock real_block(storage::Array<double> data, std::size_t rows, std::size_t cols, int ndim);
// The block as a Python object that lends it through the buffer protocol.
PyObject* block_object(TreeBlock&& b);
// A read-only memoryview of the block.
PyObject* block_view(TreeBlock&& b);
// A tuple of two such memoryviews.
PyObject* pair_of_views(TreeBlock&& a, TreeBlock&& b);

// MemoryError "<where>: <count> <what> do not fit in memory".
[[noreturn]] void no_room(const char* where, std::uint64_t count, const char* what);

// Runs make(), which builds `count` of `what`: running out of memory on the way raises a
// MemoryError that says so, with the count a within query found before it allocated.
template <class Make>
auto sized(const char* where, std::uint64_t count, const char* what, Make&& make) {
    try {
        auto made = make();
        if constexpr (std::is_pointer_v<decltype(made)>)
            if (!made) fail();
        return made;
    } catch (const tree::TooManyResults& e) {
        no_room(where, e.count, what);
    } catch (const std::bad_alloc&) {
        no_room(where, count, what);
    } catch (const PyErrSet&) {
        if (PyErr_ExceptionMatches(PyExc_MemoryError)) no_room(where, count, what);
        throw;
    }
}

// A distance bound argument: None (or left out) for none, else a number >= 0, inf allowed;
// raises the argument's TypeError or ValueError.
std::optional<double> read_bound(PyObject* obj, const char* name);

// The method table entry of VecTree.icp.
PyMethodDef vec_tree_icp_method();

} // namespace kpy
