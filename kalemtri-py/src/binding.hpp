#pragma once
// The binding layer between CPython and the geometry core. Every class, method, property, operator
// and module function is declared in one line that names a C++ function and its Python parameter
// names; the templates under binding/ turn that into the interpreter's slots and method tables,
// with the argument conversion, error messages, borrow checks and panic handling every binding
// shares. Class files include this header alone.
//
//   binding/errors     failures as Python errors, the boundary of every call
//   binding/borrow     instance layout and the shared/exclusive borrow of a value
//   binding/convert    Python arguments to C++ parameters
//   binding/results    C++ results to Python objects
//   binding/signature  parameter names, text signatures, argument parsing
//   binding/call       the call path: methods, static methods, module functions, constructors
//   binding/slots      properties, operators, items, iterators, comparison
//   binding/type       ClassDef and class creation
//   binding/registry   the classes created, by name, and how each unpickles
//   binding/module     filling a module and its `__all__`
#include "binding/borrow.hpp"
#include "binding/call.hpp"
#include "binding/convert.hpp"
#include "binding/errors.hpp"
#include "binding/module.hpp"
#include "binding/registry.hpp"
#include "binding/results.hpp"
#include "binding/signature.hpp"
#include "binding/slots.hpp"
#include "binding/type.hpp"
