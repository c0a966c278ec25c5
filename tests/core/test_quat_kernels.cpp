// Every instruction-set level of the quaternion batch kernels against the single-quaternion
// formulas, at every position of a block: the same bytes, NaNs of every sign and payload included.
#include <bit>
#include <cfloat>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "check.hpp"
#include "kalemtri/engine/batch/quat_kernels.hpp"
#include "kalemtri/engine/tuning.hpp"

using namespace kalemtri;
using namespace kalemtri::kernels;

namespace {

const double inf = std::numeric_limits<double>::infinity();
const double DEFAULT_NAN = check::invalid_operation_nan();

const std::size_t SIZES[] = {1, 5, 33, kalemtri::tuning::MAP_BLOCK};

template <class F> void check_quat_levels(const char* op, const F& f) {
    for (bool nans : {false, true})
        for (std::size_t n : SIZES) {
            check::Mix mix{777, nans};
            std::vector<Quat> in(n), got(n);
            for (Quat& q : in)
                q = mix.quat();
            for (Level level : LEVELS) {
                if (!supported(level)) continue;
                same_map_block(level, in.data(), got.data(), n, f);
                for (std::size_t i = 0; i < n; ++i)
                    if (!check::same_bits(got[i], f(in[i])))
                        check::fail(__FILE__, __LINE__,
                                    std::string(op) + " at " + name(level) + ", n " +
                                        std::to_string(n) + ", element " + std::to_string(i));
            }
        }
}

} // namespace

TEST(quat_map_levels_match_the_formulas) {
    const Quat operands[] = {{0.9, 0.1, 0.3, 0.2},
                             {1, 0, 0, 0},
                             {0, -0.0, 2.0, inf},
                             {DEFAULT_NAN, 1, 0, 0},
                             {inf, check::PAYLOAD_NAN, 0, 1},
                             {-check::PAYLOAD_NAN, 1, check::PAYLOAD_NAN, -inf}};
    for (const Quat& p : operands) {
        check_quat_levels("then", Then{p});
        check_quat_levels("after", After{p});
    }
    check_quat_levels("inverse", Inverse{});
    check_quat_levels("normalize", NormalizeQuat{});
}

TEST(rotate_pairs_levels_match_rotate) {
    for (bool nans : {false, true})
        for (std::size_t n : SIZES) {
            check::Mix mix{99, nans};
            std::vector<Quat> q(n);
            std::vector<Vec3d> v(n), got(n);
            for (std::size_t i = 0; i < n; ++i) {
                q[i] = mix.quat();
                v[i] = mix.vec();
            }
            for (Level level : LEVELS) {
                if (!supported(level)) continue;
                rotate_pairs_block(level, q.data(), v.data(), got.data(), n);
                for (std::size_t i = 0; i < n; ++i)
                    if (!check::same_bits(got[i], q[i].rotate(v[i])))
                        check::fail(__FILE__, __LINE__,
                                    std::string("rotate at ") + name(level) + ", n " +
                                        std::to_string(n) + ", element " + std::to_string(i));
            }
        }
}
