#include "binding/results.hpp"

#include <cstring>

namespace kpy {

PyObject* ascii_text(const char* begin, const char* end) {
    PyObject* text = PyUnicode_New(end - begin, 127);
    if (text) std::memcpy(PyUnicode_DATA(text), begin, static_cast<std::size_t>(end - begin));
    return text;
}

PyObject* to_py(const std::string& text) {
    return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

} // namespace kpy
