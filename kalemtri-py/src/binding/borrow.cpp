#include "binding/borrow.hpp"

namespace kpy {

void set_borrow_error(const char* message) { PyErr_SetString(PyExc_RuntimeError, message); }

} // namespace kpy
