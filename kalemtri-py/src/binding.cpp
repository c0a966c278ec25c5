#include "binding.hpp"

#include <cstdio>
#include <cstring>
#include <deque>
#include <exception>
#include <limits>
#include <new>

namespace kpy {

// ---------------------------------------------------------------------------------------------
// Errors

void raise(PyObject* type, const char* message) {
    PyErr_SetString(type, message);
    fail();
}

static PyObject* panic_type_object = nullptr;

PyObject* panic_type() {
    PyObject*& type = panic_type_object;
    if (!type) {
        type = PyErr_NewExceptionWithDoc(
            "pyo3_runtime.PanicException",
            "The exception raised when the native code of kalemtri_py fails an internal "
            "assertion.\n\nLike SystemExit, this exception is derived from BaseException so that "
            "it will typically propagate all the way through the stack and cause the Python "
            "interpreter to exit.",
            PyExc_BaseException, nullptr);
    }
    return type;
}

// Until the type exists no PanicException can be pending.
static bool panic_pending() {
    return panic_type_object && PyErr_ExceptionMatches(panic_type_object);
}

// An interrupt, an exit request or exhausted memory is never an unsuitable value: only ordinary
// failures (Exception subclasses other than MemoryError) are discarded.
static bool error_is_ordinary() {
    return PyErr_ExceptionMatches(PyExc_Exception) && !PyErr_ExceptionMatches(PyExc_MemoryError);
}

void clear_error() {
    if (!PyErr_Occurred()) return;
    if (panic_pending() || !error_is_ordinary()) fail();
    PyErr_Clear();
}

std::string type_qualname(PyObject* obj) {
    PyTypeObject* type = Py_TYPE(obj);
    std::string name = type->tp_name;
    if (PyObject* q = PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__qualname__")) {
        if (const char* s = PyUnicode_Check(q) ? PyUnicode_AsUTF8(q) : nullptr) name = s;
        Py_DECREF(q);
    }
    clear_error();
    return name;
}

void set_conversion_error(PyObject* obj, const char* target) {
    PyErr_Format(PyExc_TypeError, "'%s' object cannot be converted to '%s'",
                 type_qualname(obj).c_str(), target);
}

void argument_error(const char* name) {
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    if (type != PyExc_TypeError) {
        PyErr_Restore(type, value, traceback);
        fail();
    }
    PyErr_NormalizeException(&type, &value, &traceback);
    PyObject* replacement = nullptr;
    if (PyObject* text = PyObject_Str(value)) {
        replacement = PyUnicode_FromFormat("argument '%s': %U", name, text);
        Py_DECREF(text);
    }
    PyObject* cause = replacement ? PyException_GetCause(value) : nullptr;
    Py_XDECREF(type);
    Py_XDECREF(value);
    Py_XDECREF(traceback);
    if (!replacement) fail();
    PyObject* error = PyObject_CallOneArg(PyExc_TypeError, replacement);
    Py_DECREF(replacement);
    if (!error) {
        Py_XDECREF(cause);
        fail();
    }
    if (cause) PyException_SetCause(error, cause);
    PyErr_SetObject(PyExc_TypeError, error);
    Py_DECREF(error);
    fail();
}

void set_borrow_error(const char* message) { PyErr_SetString(PyExc_RuntimeError, message); }

static void set_panic(PyObject* message) {
    if (PyObject* type = panic_type()) PyErr_SetObject(type, message);
}

static void report_panic(const kalemtri::Panic& p) {
    char thread[32];
    if (p.thread == 0)
        std::snprintf(thread, sizeof thread, "main");
    else
        std::snprintf(thread, sizeof thread, "worker %lu", p.thread);
    const std::string_view operation = p.operation();
    std::fprintf(stderr, "thread '%s' panicked at %s:%u:%u in %.*s:\n%s\n", thread,
                 p.where.file_name(), static_cast<unsigned>(p.where.line()),
                 static_cast<unsigned>(p.where.column()), static_cast<int>(operation.size()),
                 operation.data(), p.message);
    std::fflush(stderr);
    if (PyObject* message = PyUnicode_FromString(p.message)) {
        set_panic(message);
        Py_DECREF(message);
    }
}

static void resume_panic_if_any() {
    if (!panic_pending()) return;
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    PyObject* message = PyObject_Str(value);
    if (!message) {
        PyErr_Clear();
        message = PyUnicode_FromString("");
    }
    std::fputs("--- kalemtri_py is resuming a panic after fetching a PanicException from Python. "
               "---\nPython stack trace below:\n",
               stderr);
    std::fflush(stderr);
    PyErr_Restore(type, value, traceback);
    PyErr_PrintEx(0);
    if (message) {
        set_panic(message);
        Py_DECREF(message);
    }
}

static void report_unexpected(const char* what) {
    kalemtri::Panic p{what, std::source_location::current(), kalemtri::current_thread_tag()};
    report_panic(p);
}

void set_error_from_exception() noexcept {
    try {
        throw;
    } catch (const PyErrSet&) {
        resume_panic_if_any();
    } catch (const kalemtri::Panic& p) {
        report_panic(p);
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        report_unexpected(e.what());
    } catch (...) {
        report_unexpected("unknown C++ exception");
    }
}

// ---------------------------------------------------------------------------------------------
// Conversions

bool Conv<std::size_t>::load(PyObject* o) {
    PyObject* index = PyLong_CheckExact(o) ? new_ref(o) : PyNumber_Index(o);
    if (!index) return false;
    const unsigned long long n = PyLong_AsUnsignedLongLong(index);
    Py_DECREF(index);
    if (n == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
    // Where the word is narrower than 64 bits (i386), truncating would silently pick another index.
    if constexpr (sizeof(std::size_t) < sizeof(n)) {
        if (n > std::numeric_limits<std::size_t>::max()) {
            PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
            return false;
        }
    }
    v = static_cast<std::size_t>(n);
    return true;
}

static bool attribute_is(PyObject* obj, const char* attribute, const char* a, const char* b) {
    PyObject* value = PyObject_GetAttrString(obj, attribute);
    bool match = false;
    if (value && PyUnicode_Check(value))
        match = PyUnicode_CompareWithASCIIString(value, a) == 0 ||
                (b && PyUnicode_CompareWithASCIIString(value, b) == 0);
    Py_XDECREF(value);
    clear_error();
    return match;
}

bool Conv<bool>::load(PyObject* o) {
    if (o == Py_True || o == Py_False) {
        v = o == Py_True;
        return true;
    }
    // numpy's boolean scalar is accepted as well: its truth is its value.
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(o));
    if (attribute_is(type, "__module__", "numpy", nullptr) &&
        attribute_is(type, "__name__", "bool_", "bool")) {
        PyNumberMethods* number = Py_TYPE(o)->tp_as_number;
        if (!number || !number->nb_bool) {
            PyErr_Format(PyExc_TypeError,
                         "object of type '%s' does not define a '__bool__' conversion",
                         Py_TYPE(o)->tp_name);
            return false;
        }
        const int truth = number->nb_bool(o);
        if (truth < 0) return false;
        v = truth != 0;
        return true;
    }
    set_conversion_error(o, "PyBool");
    return false;
}

PyObject* ascii_text(const char* begin, const char* end) {
    PyObject* text = PyUnicode_New(end - begin, 127);
    if (text) std::memcpy(PyUnicode_DATA(text), begin, static_cast<std::size_t>(end - begin));
    return text;
}

PyObject* to_py(const std::string& text) {
    return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

// ---------------------------------------------------------------------------------------------
// Signatures and argument parsing

const char* signature_doc(const char* name, const char* params, bool self) {
    static std::deque<std::string> docs; // stable addresses for the method tables
    std::string doc = std::string(name) + "(";
    if (self) doc += *params ? "$self, " : "$self";
    doc += params;
    doc += ")\n--\n\n";
    return docs.emplace_back(std::move(doc)).c_str();
}

static std::string full_name(const char* owner, const char* function) {
    return owner ? std::string(owner) + "." + function + "()" : std::string(function) + "()";
}

[[noreturn]] static void type_error(const std::string& message) {
    raise(PyExc_TypeError, message.c_str());
}

void parse_arguments(const char* owner, const char* function, const char* const* names,
                     std::size_t count, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                     PyObject** out) {
    const std::size_t given = static_cast<std::size_t>(nargs);
    if (given > count) {
        type_error(full_name(owner, function) + " takes " + std::to_string(count) +
                   " positional arguments but " + std::to_string(given) +
                   (given == 1 ? " was given" : " were given"));
    }
    for (std::size_t i = 0; i < count; ++i)
        out[i] = i < given ? args[i] : nullptr;
    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        std::size_t i = 0;
        while (i < count && PyUnicode_CompareWithASCIIString(key, names[i]) != 0)
            ++i;
        if (i == count) {
            const char* text = PyUnicode_AsUTF8(key);
            if (!text) fail();
            type_error(full_name(owner, function) + " got an unexpected keyword argument '" + text +
                       "'");
        }
        if (out[i])
            type_error(full_name(owner, function) + " got multiple values for argument '" +
                       names[i] + "'");
        out[i] = args[nargs + k];
    }
    std::vector<const char*> missing;
    for (std::size_t i = 0; i < count; ++i)
        if (!out[i]) missing.push_back(names[i]);
    if (missing.empty()) return;
    std::string message = full_name(owner, function) + " missing " +
                          std::to_string(missing.size()) + " required positional argument" +
                          (missing.size() == 1 ? "" : "s") + ": ";
    for (std::size_t i = 0; i < missing.size(); ++i) {
        if (i > 0)
            message += missing.size() == 2 ? " and " : (i + 1 == missing.size() ? ", and " : ", ");
        message.append("'").append(missing[i]).append("'");
    }
    type_error(message);
}

void parse_tuple_arguments(const char* owner, const char* function, const char* const* names,
                           std::size_t count, PyObject* args, PyObject* kwargs, PyObject** out) {
    const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    std::vector<PyObject*> flat(args ? &PyTuple_GET_ITEM(args, 0) : nullptr,
                                args ? &PyTuple_GET_ITEM(args, 0) + nargs : nullptr);
    PyObject* kwnames = nullptr;
    if (kwargs && PyDict_GET_SIZE(kwargs) > 0) {
        kwnames = PyTuple_New(PyDict_GET_SIZE(kwargs));
        if (!kwnames) fail();
        Py_ssize_t pos = 0, k = 0;
        PyObject *key, *value;
        while (PyDict_Next(kwargs, &pos, &key, &value)) {
            PyTuple_SET_ITEM(kwnames, k++, new_ref(key));
            flat.push_back(value);
        }
    }
    try {
        parse_arguments(owner, function, names, count, flat.data(), nargs, kwnames, out);
    } catch (...) {
        Py_XDECREF(kwnames);
        throw;
    }
    // The values stay alive in `kwargs` for the rest of the call.
    Py_XDECREF(kwnames);
}

PyObject* iterator_self(PyObject* self) { return new_ref(self); }

PyObject* sequence_item(PyObject* self, Py_ssize_t i) {
    PyObject* key = PyLong_FromSsize_t(i);
    if (!key) return nullptr;
    PyObject* item = Py_TYPE(self)->tp_as_mapping->mp_subscript(self, key);
    Py_DECREF(key);
    return item;
}

// ---------------------------------------------------------------------------------------------
// Classes and modules

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
        slots.push_back({s.id, s.fn});
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
    return t;
}

bool add_to_module(PyObject* module, const char* name, PyObject* item) {
    if (!item) return false;
    PyObject* all = PyObject_GetAttrString(module, "__all__");
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
            Py_DECREF(item);
            return false;
        }
        PyErr_Clear();
        all = PyList_New(0);
        if (!all || PyObject_SetAttrString(module, "__all__", all) < 0) {
            Py_XDECREF(all);
            Py_DECREF(item);
            return false;
        }
    }
    if (!PyList_Check(all)) {
        set_conversion_error(all, "PyList");
        Py_DECREF(all);
        Py_DECREF(item);
        return false;
    }
    PyObject* key = PyUnicode_FromString(name);
    const bool appended = key && PyList_Append(all, key) == 0;
    Py_DECREF(all);
    if (!appended) {
        Py_XDECREF(key);
        Py_DECREF(item);
        // Running out of memory is not a broken invariant: the MemoryError is the import's error.
        if (PyErr_ExceptionMatches(PyExc_MemoryError)) return false;
        kalemtri::panic("could not append __name__ to __all__");
    }
    const int set = PyObject_SetAttr(module, key, item);
    Py_DECREF(key);
    Py_DECREF(item);
    return set == 0;
}

bool add_class(PyObject* module, PyTypeObject* type) {
    if (!type) return false;
    return add_to_module(module,
                         reinterpret_cast<PyHeapTypeObject*>(type)->ht_type.tp_name +
                             sizeof("builtins.") - 1,
                         new_ref(reinterpret_cast<PyObject*>(type)));
}

bool add_function(PyObject* module, PyMethodDef* def) {
    PyObject* module_name = PyModule_GetNameObject(module);
    if (!module_name) return false;
    PyObject* function = PyCFunction_NewEx(def, module, module_name);
    Py_DECREF(module_name);
    return add_to_module(module, def->ml_name, function);
}

// An embedding program may finalise the interpreter and initialise a new one, which can get the
// same id; the module and types made for the old one are dead then. Each interpreter has a fresh
// dict of its own, so a mark left there tells the first interpreter from its successors.
static constexpr const char* OWNER_MARK = "kalemtri_py.owner";

static bool mark_owner(PyInterpreterState* state) {
    PyObject* dict = PyInterpreterState_GetDict(state);
    if (!dict) {
        PyErr_SetString(PyExc_ImportError, "kalemtri_py found no interpreter state to record");
        return false;
    }
    return PyDict_SetItemString(dict, OWNER_MARK, Py_True) == 0;
}

static bool is_owner(PyInterpreterState* state) {
    PyObject* dict = PyInterpreterState_GetDict(state);
    return dict && PyDict_GetItemString(dict, OWNER_MARK);
}

PyObject* init_module(ModuleDef& d) {
    PyInterpreterState* state = PyInterpreterState_Get();
    const std::int64_t id = PyInterpreterState_GetID(state);
    if (id == -1) return nullptr;
    std::int64_t expected = -1;
    const bool first = d.interpreter.compare_exchange_strong(expected, id);
    if (!first && expected != id) {
        PyErr_SetString(PyExc_ImportError,
                        "kalemtri_py does not yet support sub-interpreters; it can only be "
                        "imported once per process, in its main interpreter");
        return nullptr;
    }
    if (first && !mark_owner(state)) {
        d.interpreter.store(-1); // a later attempt starts afresh
        return nullptr;
    }
    if (!first && !is_owner(state)) {
        PyErr_SetString(PyExc_ImportError,
                        "kalemtri_py cannot be imported again after the interpreter was finalized "
                        "and initialized anew; it can only be used by the first interpreter of a "
                        "process");
        return nullptr;
    }
    if (d.module) return new_ref(d.module);
    return boundary<PyObject*>(nullptr, [&]() -> PyObject* {
        PyObject* module = PyModule_Create(&d.def);
        if (!module) return nullptr;
        bool ok = false;
        try {
            ok = d.body(module);
        } catch (...) {
            Py_DECREF(module);
            throw;
        }
        if (!ok) {
            Py_DECREF(module);
            return nullptr;
        }
        d.module = new_ref(module);
        return module;
    });
}

} // namespace kpy
