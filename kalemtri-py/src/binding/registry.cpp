#include "binding/registry.hpp"

#include <deque>

namespace kpy {

namespace {

// Records are only added, under the interpreter lock, at class creation.
std::deque<ClassRecord>& records() {
    static std::deque<ClassRecord> all;
    return all;
}

} // namespace

void record_class(const ClassRecord& record) { records().push_back(record); }

const ClassRecord* find_class(std::string_view name) {
    for (const ClassRecord& r : records())
        if (name == r.name) return &r;
    return nullptr;
}

void state_size_error(const char* name, std::size_t expected, std::size_t size) {
    PyErr_Format(PyExc_ValueError, "_reconstruct(): the state of %s must be %zu bytes, not %zu",
                 name, expected, size);
    fail();
}

} // namespace kpy
