#pragma once
// Classes: a class is declared as one ClassDef of its constructor, methods, properties and slots,
// and created once as a heap type whose instances hold the core value.
#include <cstddef>
#include <type_traits>
#include <vector>

#include "binding/call.hpp"
#include "binding/registry.hpp"

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
    // How unpickling rebuilds a value from its state. A class whose value is its own bytes and
    // which binds `__reduce__` (reduce_value<T>) gets restore_value<T> without saying so.
    RestoreFunction restore = nullptr;
    // Filled in by create_class.
    std::size_t basicsize = 0;
    destructor dealloc = nullptr;
};

// Creates the type once (later calls return it), records it as the class of T and enters it in
// the registry.
PyTypeObject* create_type(ClassDef& def, PyTypeObject*& type_slot, const char*& name_slot);

// Whether the class binds a method of that name.
bool defines_method(const ClassDef& def, const char* name);

template <class T> PyTypeObject* create_class(ClassDef& def) {
    if (Class<T>::type) return Class<T>::type;
    def.basicsize = sizeof(Instance<T>);
    def.dealloc = dealloc<T>;
    if constexpr (std::is_trivially_copyable_v<T>)
        if (!def.restore && defines_method(def, "__reduce__")) def.restore = restore_value<T>;
    return create_type(def, Class<T>::type, Class<T>::name);
}

} // namespace kpy
