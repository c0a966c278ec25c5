#include "binding/signature.hpp"

#include <deque>
#include <string>
#include <vector>

#include "binding/errors.hpp"

namespace kpy {

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
                     PyObject** out, std::size_t required, std::size_t positional) {
    const std::size_t given = static_cast<std::size_t>(nargs);
    positional = positional < count ? positional : count;
    if (given > positional) {
        type_error(full_name(owner, function) + " takes " + std::to_string(positional) +
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
    for (std::size_t i = 0; i < count && i < required; ++i)
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
                           std::size_t count, PyObject* args, PyObject* kwargs, PyObject** out,
                           std::size_t required, std::size_t positional) {
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
        parse_arguments(owner, function, names, count, flat.data(), nargs, kwnames, out, required,
                        positional);
    } catch (...) {
        Py_XDECREF(kwnames);
        throw;
    }
    // The values stay alive in `kwargs` for the rest of the call.
    Py_XDECREF(kwnames);
}

} // namespace kpy
