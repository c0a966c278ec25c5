#include "binding/type.hpp"

#include <cstring>
#include <deque>
#include <string>
#include <vector>

#include "binding/signature.hpp"
#include "binding/slots.hpp"
#include "kalemtri/src/panic.hpp"

namespace kpy {

static PyObject* no_constructor(PyTypeObject* type, PyObject*, PyObject*) {
    PyObject* module = PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__module__");
    PyObject* qualname = PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__qualname__");
    if (module && qualname)
        PyErr_Format(PyExc_TypeError, "cannot create '%S.%S' instances", module, qualname);
    Py_XDECREF(module);
    Py_XDECREF(qualname);
    return nullptr;
}

PyTypeObject* create_type(ClassDef& def, PyTypeObject*& type_slot, const char*& name_slot) {
    if (type_slot) return type_slot;
    // A class that pickles but cannot be unpickled would fail only in the reader's process.
    if (!def.restore && defines_method(def, "__reduce__"))
        kalemtri::panic("a class that pickles needs a restore function");
    std::vector<PyType_Slot> slots;
    const Constructor& ctor = def.constructor;
    const char* doc = ctor.params ? signature_doc(def.name, ctor.params, false) : nullptr;
    if (doc) slots.push_back({Py_tp_doc, const_cast<char*>(doc)});
    slots.push_back(
        {Py_tp_new, reinterpret_cast<void*>(ctor.tp_new ? ctor.tp_new : no_constructor)});
    slots.push_back({Py_tp_dealloc, reinterpret_cast<void*>(def.dealloc)});
    if (!def.methods.empty()) {
        def.methods.push_back({nullptr, nullptr, 0, nullptr});
        slots.push_back({Py_tp_methods, def.methods.data()});
    }
    if (!def.properties.empty()) {
        def.properties.push_back({nullptr, nullptr, nullptr, nullptr, nullptr});
        slots.push_back({Py_tp_getset, def.properties.data()});
    }
    bool has_subscript = false;
    for (const Slot& s : def.slots) {
        slots.push_back({s.id, s.function});
        has_subscript |= s.id == Py_mp_subscript;
    }
    if (has_subscript) slots.push_back({Py_sq_item, reinterpret_cast<void*>(sequence_item)});
    if (!def.hashable)
        slots.push_back({Py_tp_hash, reinterpret_cast<void*>(PyObject_HashNotImplemented)});
#if PY314_PLUS
    // A vectorcall constructor skips building an argument tuple on every construction.
    if (ctor.vectorcall)
        slots.push_back({Py_tp_vectorcall, reinterpret_cast<void*>(ctor.vectorcall)});
#endif
    slots.push_back({0, nullptr});

    static std::deque<std::string> names; // PyType_Spec keeps a pointer to the name
    const std::string& qualified = names.emplace_back(std::string("builtins.") + def.name);
    PyType_Spec type_spec{qualified.c_str(), static_cast<int>(def.basicsize), 0, Py_TPFLAGS_DEFAULT,
                          slots.data()};
    PyObject* type = PyType_FromSpec(&type_spec);
    if (!type) return nullptr;
    auto* t = reinterpret_cast<PyTypeObject*>(type);
#if !PY310_PLUS
    // Before 3.10 the type keeps only the doc after the signature, which loses
    // `__text_signature__`; the type frees tp_doc with PyObject_Free, so swap in a full copy.
    if (doc) {
        const std::size_t size = std::strlen(doc) + 1;
        if (auto* copy = static_cast<char*>(PyObject_Malloc(size))) {
            std::memcpy(copy, doc, size);
            PyObject_Free(const_cast<char*>(t->tp_doc));
            t->tp_doc = copy;
        }
    }
#endif
#if !PY314_PLUS
    // Before 3.14 no slot sets the constructor's vectorcall; the field is written directly.
    if (ctor.vectorcall) t->tp_vectorcall = ctor.vectorcall;
#endif
    type_slot = t;
    name_slot = def.name;
    record_class({def.name, t, def.restore});
    return t;
}

bool defines_method(const ClassDef& def, const char* name) {
    for (const PyMethodDef& m : def.methods)
        if (m.ml_name && std::strcmp(m.ml_name, name) == 0) return true;
    return false;
}

} // namespace kpy
