// Every instruction-set level of the map kernels against the single-vector formulas, on the same
// edge-case inputs: results must be the same bytes, at every position of a block, NaNs included.
#include <bit>
#include <cfloat>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <memory>
#include <string>
#include <type_traits>
#include <vector>

#include "check.hpp"
#include "kalemtri/engine/batch/kernels.hpp"

using namespace kalemtri;
using namespace kalemtri::kernels;

namespace {

const double inf = std::numeric_limits<double>::infinity();

const double DEFAULT_NAN = check::invalid_operation_nan();
const double EDGES[] = {0.0,
                        -0.0,
                        1.0,
                        -1.0,
                        0.5,
                        3.0,
                        0.1,
                        1e-300,
                        -1e300,
                        1e154,
                        1e-160,
                        4.9e-324,
                        -2e-310,
                        DBL_MIN,
                        DBL_MAX,
                        -DBL_MAX,
                        inf,
                        -inf,
                        DEFAULT_NAN,
                        0.6,
                        0.8,
                        1.0000000000000002,
                        0.9999999999999999,
                        1e-15};
constexpr std::size_t NE = std::size(EDGES);
const double PAYLOAD_NAN = std::bit_cast<double>(std::uint64_t{0x7ff8000000000123});

// A fixed pseudo-random mix of the edge values, so each kernel meets them in every lane. With
// `nans`, NaNs of other signs and payloads are mixed in: elements with two different NaNs, and
// with a NaN and an infinity.
std::vector<Vec3d> inputs(std::size_t n, bool nans = false) {
    std::vector<Vec3d> v(n);
    std::uint64_t s = 12345;
    auto pick = [&] {
        s = s * 6364136223846793005u + 1442695040888963407u;
        const std::uint64_t r = s >> 33;
        // Half of the components ordinary numbers, so that edge values meet them too.
        if (nans && r % 5 == 0) return r % 3 ? -PAYLOAD_NAN : PAYLOAD_NAN;
        return r % 2 ? EDGES[(r >> 1) % NE] : double(std::int64_t(r % 2001) - 1000) / 7.0;
    };
    for (Vec3d& e : v)
        e = Vec3d{pick(), pick(), pick()};
    return v;
}

// Every level gives the single call's bytes at every position of a block.
template <class R, class F> void check_levels(const char* op, const F& f, bool nans = false) {
    for (std::size_t n :
         {std::size_t{1}, std::size_t{7}, std::size_t{33}, kalemtri::tuning::MAP_BLOCK}) {
        const std::vector<Vec3d> in = inputs(n, nans);
        for (Level level : LEVELS) {
            if (!supported(level)) continue;
            std::unique_ptr<R[]> got(new R[n]);
            map_block<R>(level, in.data(), got.get(), n, f);
            for (std::size_t i = 0; i < n; ++i) {
                const R expected = f(in[i]);
                bool ok;
                if constexpr (std::is_same_v<R, bool>)
                    ok = got[i] == expected;
                else
                    ok = check::same_bits(got[i], expected);
                if (!ok)
                    check::fail(__FILE__, __LINE__,
                                std::string(op) + " at " + name(level) + ", n " +
                                    std::to_string(n) + ", element " + std::to_string(i));
            }
        }
    }
}

const Vec3d OPERANDS[] = {{0.3, -0.2, 0.1},
                          {-0.0, 0.0, inf},
                          {DEFAULT_NAN, 1.0, -1e300},
                          {1e154, 0, 0},
                          {-PAYLOAD_NAN, inf, PAYLOAD_NAN}};
const double SCALARS[] = {1.5, -0.0, 0.1, inf, DEFAULT_NAN, -PAYLOAD_NAN, 4.9e-324, 1e300};
const Quat QUATS[] = {{0.9, 0.1, 0.3, 0.2},
                      {1, 0, 0, 0},
                      {0, -0.0, 2.0, inf},
                      {DEFAULT_NAN, 1, 0, 0},
                      {inf, PAYLOAD_NAN, 0, 1}};

} // namespace

TEST(levels_report_what_they_run) {
    CHECK(supported(Level::baseline));
    CHECK(supported(chosen_level()));
    std::printf("kernel level: %s\n", name(chosen_level()));
    for (Level level : LEVELS)
        if (!supported(level)) std::printf("not run here: %s\n", name(level));
}

// The values each operand type of an operation is tried with.
template <class O> const auto& operands() {
    if constexpr (std::is_same_v<O, Vec3d>)
        return OPERANDS;
    else if constexpr (std::is_same_v<O, double>)
        return SCALARS;
    else
        return QUATS;
}

// Every operation of the list, with every operand of its type.
TEST(map_levels_match_the_formulas) {
    for (bool nans : {false, true})
        for_each_operation([&](auto k) {
            using K = decltype(k);
            using R = decltype(k(Vec3d{}));
            std::string op = K::name;
            // Appended piecewise: GCC 12 for aarch64 warns (-Wrestrict) on " " + std::string.
            if constexpr (requires { K::argument; }) {
                op += ' ';
                op += std::to_string(K::argument);
            }
            if constexpr (std::is_void_v<operand_t<K>>)
                check_levels<R>(op.c_str(), K{}, nans);
            else
                for (const auto& o : operands<operand_t<K>>())
                    check_levels<R>(op.c_str(), K{o}, nans);
        });
}

// The search fixes which NaN a sum keeps, so its distances are the same bytes at every level even
// with NaNs of every sign and payload.
TEST(distances_at_every_level_match_the_baseline) {
    using kalemtri::tuning::NEAREST_BLOCK;
    const bool emulated = std::getenv("KALEMTRI_EMULATED_CPU") != nullptr;
    const std::vector<Vec3d> in = inputs(NEAREST_BLOCK * 3, true);
    for (const Vec3d& o : OPERANDS)
        for (std::size_t stride : {1, 3}) {
            const std::size_t count = in.size() / stride;
            const std::size_t blocks = kalemtri::tuning::block_count(count, NEAREST_BLOCK);
            const Candidate b =
                nearest_blocks(Level::baseline, in.data(), stride, count, o, 0, blocks);
            for (std::size_t n : {std::size_t{5}, NEAREST_BLOCK}) {
                std::vector<double> base(n), got(n);
                distances(Level::baseline, in.data(), stride, n, o, base.data());
                for (Level level : LEVELS) {
                    if (!supported(level)) continue;
                    distances(level, in.data(), stride, n, o, got.data());
                    // QEMU's x86 model keeps another of two NaNs than the processor does, and the
                    // single call's NaN is the processor's rule written out: only real hardware
                    // can agree with it (the baseline-CPU stage runs this emulated and says so).
                    for (std::size_t i = 0; i < n; ++i)
                        CHECK(check::same_bits(got[i], base[i]) &&
                              (check::same_bits(got[i], distance_to(in[i * stride], o)) ||
                               (emulated && kalemtri::has_nan(in[i * stride]))));
                    const Candidate c =
                        nearest_blocks(level, in.data(), stride, count, o, 0, blocks);
                    CHECK(c.index == b.index && c.key == b.key);
                }
            }
        }
}

TEST(collapse_bad_axis_panics_at_every_level) {
    const std::vector<Vec3d> in = inputs(3, false);
    std::vector<Vec3d> out(3);
    for (Level level : LEVELS)
        if (supported(level))
            CHECK_PANICS(map_block<Vec3d>(level, in.data(), out.data(), 3, Collapse<3>{}),
                         "explicit panic");
}
