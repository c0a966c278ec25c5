#pragma once
// Names and signatures, given as string literals in template arguments, and the parsing of a
// call's arguments against them.
#include <array>
#include <cstddef>
#include <cstdint>

#include "binding/python.hpp"

namespace kpy {

template <std::size_t N> struct StringLiteral {
    char s[N];
    constexpr StringLiteral(const char (&a)[N]) {
        for (std::size_t i = 0; i < N; ++i)
            s[i] = a[i];
    }
    static constexpr std::size_t size = N - 1;
};

// "a, b, c" as separate, null-terminated names. A parameter may name its default after '=' ("a, b,
// flag=False"): the text goes into the signature only, and such parameters come last, optional.
// A lone "*" among them ("a, b=None, *, c=1") makes the ones after it keyword-only.
template <StringLiteral P> struct ParameterNames {
    // Comma-separated entries, the "*" included.
    static constexpr std::size_t entries = [] {
        if (P.size == 0) return std::size_t{0};
        std::size_t n = 1;
        for (std::size_t i = 0; i < P.size; ++i)
            n += P.s[i] == ',';
        return n;
    }();
    static constexpr auto entry_offsets = [] {
        std::array<std::size_t, entries + 1> o{};
        std::size_t k = 0;
        for (std::size_t i = 0; i < P.size && k < entries; ++i)
            if (P.s[i] == ',') o[++k] = i + 2;
        return o;
    }();
    // The entry that is "*", or `entries`.
    static constexpr std::size_t star = [] {
        for (std::size_t k = 0; k < entries; ++k) {
            const std::size_t b = entry_offsets[k];
            if (P.s[b] == '*' && (b + 1 == P.size || P.s[b + 1] == ',')) return k;
        }
        return entries;
    }();
    static constexpr std::size_t count = entries - (star < entries);
    // The parameters that may be passed by position.
    static constexpr std::size_t positional = star;
    static constexpr auto buffer = [] {
        std::array<char, P.size + 1> b{};
        for (std::size_t i = 0; i <= P.size; ++i)
            b[i] = P.s[i] == ',' || P.s[i] == '=' ? '\0' : P.s[i];
        return b;
    }();
    // The parameters before the first with a default.
    static constexpr std::size_t required = [] {
        std::size_t n = 0;
        for (std::size_t i = 0; i < P.size && P.s[i] != '='; ++i)
            n += P.s[i] == ',';
        for (std::size_t i = 0; i < P.size; ++i)
            if (P.s[i] == '=') return n < star ? n : star;
        return count;
    }();
    static inline const std::array<const char*, count + 1> names = [] {
        std::array<const char*, count + 1> n{};
        for (std::size_t i = 0, k = 0; k < entries; ++k)
            if (k != star) n[i++] = buffer.data() + entry_offsets[k];
        return n;
    }();
};

// The interpreter reads a callable's signature from "<name>(<params>)\n--\n\n".
const char* signature_doc(const char* name, const char* params, bool self);

// Fills `out` with the arguments of a FASTCALL call, by position or keyword, or raises the
// interpreter-style TypeError for missing, surplus, unknown or repeated arguments. Parameters from
// `required` on may be left out: their slots stay null. Those from `positional` on are passed by
// keyword only.
void parse_arguments(const char* owner, const char* function, const char* const* names,
                     std::size_t count, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                     PyObject** out, std::size_t required = SIZE_MAX,
                     std::size_t positional = SIZE_MAX);

// The same for a classic (tuple, dict) call.
void parse_tuple_arguments(const char* owner, const char* function, const char* const* names,
                           std::size_t count, PyObject* args, PyObject* kwargs, PyObject** out,
                           std::size_t required = SIZE_MAX, std::size_t positional = SIZE_MAX);

} // namespace kpy
