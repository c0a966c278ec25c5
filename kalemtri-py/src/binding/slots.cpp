#include "binding/slots.hpp"

namespace kpy {

PyObject* iterator_self(PyObject* self) { return new_ref(self); }

PyObject* sequence_item(PyObject* self, Py_ssize_t i) {
    PyObject* key = PyLong_FromSsize_t(i);
    if (!key) return nullptr;
    PyObject* item = Py_TYPE(self)->tp_as_mapping->mp_subscript(self, key);
    Py_DECREF(key);
    return item;
}

} // namespace kpy
