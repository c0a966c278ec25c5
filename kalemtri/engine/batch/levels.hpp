#pragma once
// The instruction-set levels of the batch kernels: the list of levels, their detection, the choice
// of the widest this processor runs, the one dispatcher, and the trampolines that compile a
// kernel's loop for each level.
#include <cstdint>

// Wider kernels are compiled beside the baseline ones on x86-64 only. A 32-bit build stays at its
// baseline: its SSE2 arithmetic must not be mixed with code built under other float settings, and
// nobody runs bandwidth-bound batches on it.
#if defined(__x86_64__) && defined(__GNUC__)
#include <cpuid.h>

#define KPY_AVX2 gnu::target("avx2")
#if defined(__clang__)
// Clang's attribute takes no vector width; for these features alone, with no processor's tuning,
// it vectorises with 512-bit registers anyway.
#define KPY_AVX512 gnu::target("avx512f,avx512dq,avx512bw,avx512vl")
#else
#define KPY_AVX512 gnu::target("avx512f,avx512dq,avx512bw,avx512vl,prefer-vector-width=512")
#endif
// The instruction-set levels above the baseline, narrowest first: name, the attribute their
// kernels are compiled with, and whether this processor and its operating system run them. The
// enum, names, detection, choice, dispatch and every kernel at every level come from this list.
#define KPY_WIDER_LEVELS(X)                                                                        \
    X(avx2, KPY_AVX2, x86_features().avx2)                                                         \
    X(avx512, KPY_AVX512, x86_features().avx512)

namespace kalemtri::kernels {

struct X86Features {
    bool avx2 = false;
    bool avx512 = false; // F, DQ, BW and VL
};

// Asked of the processor itself, as GCC's __builtin_cpu_supports does: a level needs its
// instructions (cpuid leaf 7) and the operating system's saving of their registers (XCR0: SSE and
// AVX state; for AVX-512 also the opmask and upper ZMM state). The builtin needs a runtime
// library's __cpu_model, which Zig's compiler runtime lacks.
inline X86Features detect_x86_features() {
    X86Features f;
    unsigned a = 0, b = 0, c = 0, d = 0;
    if (__get_cpuid_max(0, nullptr) < 7 || !__get_cpuid(1, &a, &b, &c, &d)) return f;
    if (!(c & bit_OSXSAVE)) return f;
    unsigned xcr0 = 0, xcr0_high = 0;
    __asm__("xgetbv" : "=a"(xcr0), "=d"(xcr0_high) : "c"(0));
    const bool avx_state = (xcr0 & 0x6) == 0x6;
    const bool avx512_state = (xcr0 & 0xe6) == 0xe6;
    __cpuid_count(7, 0, a, b, c, d);
    f.avx2 = avx_state && (b & bit_AVX2);
    f.avx512 = avx512_state && (b & bit_AVX512F) && (b & bit_AVX512DQ) && (b & bit_AVX512BW) &&
               (b & bit_AVX512VL);
    return f;
}

inline const X86Features& x86_features() {
    static const X86Features features = detect_x86_features();
    return features;
}

} // namespace kalemtri::kernels
#else
#define KPY_WIDER_LEVELS(X)
#endif

namespace kalemtri::kernels {

// ---------------------------------------------------------------------------------------------
// Instruction-set levels. Every kernel exists once per level from the same source: a function
// with a `target` attribute may inline the core's baseline formulas, so each level evaluates the
// very same operations, only more elements at a time. The core's inline functions themselves
// stay compiled for the baseline, so no wider instruction can leak into code that runs anywhere.
// +, -, *, / and sqrt are correctly rounded at every width, -ffp-contract=off keeps FMA out (AVX2
// machines have it), and no approximate reciprocal is ever used: every level gives the bits of
// the single-vector methods.

#define KPY_LEVEL_ENUMERATOR(level, target, supported) level,
enum class Level : std::uint8_t { baseline, KPY_WIDER_LEVELS(KPY_LEVEL_ENUMERATOR) };
#undef KPY_LEVEL_ENUMERATOR

#define KPY_LEVEL_VALUE(level, target, supported) Level::level,
inline constexpr Level LEVELS[] = {Level::baseline, KPY_WIDER_LEVELS(KPY_LEVEL_VALUE)};
#undef KPY_LEVEL_VALUE

inline const char* name(Level level) {
    switch (level) {
#define KPY_LEVEL_NAME(level, target, supported)                                                   \
    case Level::level:                                                                             \
        return #level;
        KPY_WIDER_LEVELS(KPY_LEVEL_NAME)
#undef KPY_LEVEL_NAME
    default:
        return "baseline";
    }
}

// Whether this processor and its operating system run the level's code.
inline bool supported(Level level) {
    switch (level) {
#define KPY_LEVEL_SUPPORTED(level, target, supported)                                              \
    case Level::level:                                                                             \
        return supported;
        KPY_WIDER_LEVELS(KPY_LEVEL_SUPPORTED)
#undef KPY_LEVEL_SUPPORTED
    default:
        return level == Level::baseline;
    }
}

// The widest supported level, detected once per process.
inline Level chosen_level() {
    static const Level level = [] {
        Level widest = Level::baseline;
        for (Level l : LEVELS)
            if (supported(l)) widest = l;
        return widest;
    }();
    return level;
}

// A level as a type, for the kernels written for one level.
template <Level L> struct At { static constexpr Level level = L; };

// Calls f(At<L>{}) for the level L given at run time: the one place a level is chosen.
template <class F> decltype(auto) dispatch(Level level, F&& f) {
    switch (level) {
#define KPY_LEVEL_CASE(level, target, supported)                                                   \
    case Level::level:                                                                             \
        return f(At<Level::level>{});
        KPY_WIDER_LEVELS(KPY_LEVEL_CASE)
#undef KPY_LEVEL_CASE
    default:
        return f(At<Level::baseline>{});
    }
}

// Compiled<L>::run(body) runs body() compiled for level L: an out-of-line trampoline carries the
// level's target attribute, and the body, forced inline into it, has its loops compiled (and
// vectorised) for that level. One function per level and body type, so an element takes the same
// code path from every caller.
template <Level L> struct Compiled;
template <> struct Compiled<Level::baseline> {
    template <class Body> [[gnu::noinline]] static auto run(Body body) { return body(); }
};
#define KPY_LEVEL_TRAMPOLINE(level, target, supported)                                             \
    template <> struct Compiled<Level::level> {                                                    \
        template <class Body> [[gnu::noinline, target]] static auto run(Body body) {               \
            return body();                                                                         \
        }                                                                                          \
    };
KPY_WIDER_LEVELS(KPY_LEVEL_TRAMPOLINE)
#undef KPY_LEVEL_TRAMPOLINE

// Runs body() compiled for the level given at run time; returns what it returns.
template <class Body> auto run_at(Level level, const Body& body) {
    return dispatch(level, [&](auto at) { return Compiled<decltype(at)::level>::run(body); });
}

} // namespace kalemtri::kernels
