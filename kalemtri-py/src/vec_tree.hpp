#pragma once
// The value of the VecTree class, for the files that bind its methods.
#include <memory>
#include <optional>

#include "binding.hpp"
#include "engine.hpp"
#include "kalemtri/engine/tree.hpp"

namespace kpy {

struct VecTree {
    std::shared_ptr<const tree::Tree> tree;
};

// A distance bound argument: None (or left out) for none, else a number >= 0, inf allowed;
// raises the argument's TypeError or ValueError.
std::optional<double> read_bound(PyObject* obj, const char* name);

// The method table entry of VecTree.icp.
PyMethodDef vec_tree_icp_method();

} // namespace kpy
