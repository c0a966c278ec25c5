#pragma once
// Classes: a class is declared as one ClassDef of its constructor, methods, properties and slots,
// and created once as a heap type whose instances hold the core value.
#include <cstddef>
#include <vector>

#include "binding/call.hpp"

namespace kpy {

struct Slot {
    int id;
    void* function;
};
template <class F> Slot slot(int id, F* function) {
    return {id, reinterpret_cast<void*>(function)};
}

struct Constructor {
    newfunc tp_new = nullptr; // none: the class cannot be instantiated from Python
    vectorcallfunc vectorcall = nullptr;
    const char* params = nullptr;
};

// `constructor<make_vec3d, "x, y, z">()`: F builds the core value from the converted parameters.
template <auto F, StringLiteral ParamNames> Constructor constructor() {
    return {ConstructorCall<F, ParamNames>::tp_new, ConstructorCall<F, ParamNames>::vectorcall,
            ParamNames.s};
}

struct ClassDef {
    const char* name;
    Constructor constructor;
    std::vector<PyMethodDef> methods;
    std::vector<PyGetSetDef> properties;
    std::vector<Slot> slots;
    bool hashable = true;
    // Filled in by create_class.
    std::size_t basicsize = 0;
    destructor dealloc = nullptr;
};

// Creates the type once (later calls return it) and records it as the class of T.
PyTypeObject* create_type(ClassDef& def, PyTypeObject*& type_slot, const char*& name_slot);

template <class T> PyTypeObject* create_class(ClassDef& def) {
    def.basicsize = sizeof(Instance<T>);
    def.dealloc = dealloc<T>;
    return create_type(def, Class<T>::type, Class<T>::name);
}

} // namespace kpy
