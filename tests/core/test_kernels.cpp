// The batch kernels of the extension on their own: the nearest-point tie rules, the independence
// of every result from how the blocks are grouped into pieces, and from the instruction-set level.
#include <bit>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <utility>
#include <vector>

#include "check.hpp"
#include "kalemtri/engine/batch/kernels.hpp"

using namespace kalemtri;
using namespace kalemtri::kernels;

static const double inf = std::numeric_limits<double>::infinity();
static const double qnan = std::numeric_limits<double>::quiet_NaN();
static const double neg_nan = -qnan;

// The nearest of all `count` elements by a plain scan in the total order, the lowest index first.
static Candidate scan(const std::vector<Vec3d>& v, std::size_t stride, Vec3d o) {
    Candidate best = NO_CANDIDATE;
    for (std::size_t i = 0; i < v.size(); i += stride) {
        const double d = search_distance(v[i], o);
        best = better(best, Candidate{order_key(d), i, d});
    }
    return best;
}

static std::size_t count_of(const std::vector<Vec3d>& v, std::size_t stride) {
    return (v.size() - 1) / stride + 1;
}

static Candidate all_blocks(const std::vector<Vec3d>& v, std::size_t stride, Vec3d o,
                            Level level = Level::baseline) {
    const std::size_t n = count_of(v, stride);
    return nearest_blocks(level, v.data(), stride, n, o, 0,
                          kalemtri::tuning::block_count(n, kalemtri::tuning::NEAREST_BLOCK));
}

static bool same_candidate(const Candidate& a, const Candidate& b) {
    return a.index == b.index && a.key == b.key &&
           std::bit_cast<std::uint64_t>(a.distance) == std::bit_cast<std::uint64_t>(b.distance);
}

TEST(order_key_is_total_order) {
    const double ordered[] = {neg_nan, -inf, -1.0, -4.9e-324, -0.0, 0.0, 4.9e-324, 1.0, inf, qnan};
    for (std::size_t i = 0; i + 1 < std::size(ordered); ++i)
        CHECK(order_key(ordered[i]) < order_key(ordered[i + 1]));
    CHECK(order_key(qnan) == order_key(qnan));
}

TEST(better_keeps_the_lower_index_on_ties) {
    const Candidate a{order_key(2.0), 5, 2.0}, b{order_key(2.0), 3, 2.0};
    CHECK(better(a, b).index == 3 && better(b, a).index == 3);
    CHECK(better(NO_CANDIDATE, a).index == 5 && better(a, NO_CANDIDATE).index == 5);
    CHECK(better(NO_CANDIDATE, NO_CANDIDATE).index == NONE);
    // -0.0 orders before +0.0 although they compare equal as doubles.
    const Candidate pz{order_key(0.0), 1, 0.0}, nz{order_key(-0.0), 9, -0.0};
    CHECK(better(pz, nz).index == 9);
}

TEST(nearest_tie_rules) {
    const Vec3d o{1, 2, 3};
    // Equal distances across blocks: the first one wins.
    std::vector<Vec3d> v(1000, Vec3d{10, 10, 10});
    v[700] = v[300] = v[999] = Vec3d{1, 2, 4};
    CHECK(all_blocks(v, 1, o).index == 300);
    // A zero offset of -0.0 and of +0.0 give the same distance +0.0: a tie.
    v[600] = Vec3d{1, 2, 3};
    v[500] = Vec3d{1, 2, -0.0 + 3};
    v[450] = Vec3d{-0.0, 0, 0};
    CHECK(all_blocks(v, 1, Vec3d{0.0, -0.0, 0}).index == 450);
    CHECK(all_blocks(v, 1, o).index == 500);
    // A NaN distance with the sign bit clear loses to every number...
    v[0] = Vec3d{qnan, 0, 0};
    CHECK(all_blocks(v, 1, o).index == 500);
    // ...and inf - inf is a NaN with the sign bit set, which wins every comparison.
    v[800] = Vec3d{inf, 0, 0};
    const Candidate c = all_blocks(v, 1, Vec3d{inf, 0, 0});
    CHECK(c.index == 800 && std::isnan(c.distance) && std::signbit(c.distance));
    // A NaN point: every distance is the same NaN, and index 0 wins.
    CHECK(all_blocks(v, 1, Vec3d{qnan, 0, 0}).index == 0);
    // With a stride, indexes count in elements.
    CHECK(all_blocks(v, 3, o).index == 501 || all_blocks(v, 3, o).index % 3 == 0);
}

// Blocks grouped into any two pieces and joined give the answer of a plain scan, for every stride
// and every level the processor runs; NaNs of both signs and ties are spread over several blocks.
TEST(nearest_independent_of_block_grouping) {
    std::vector<Vec3d> v;
    v.reserve(3 * 256 + 41);
    for (std::size_t i = 0; i < 3 * 256 + 41; ++i)
        v.push_back(Vec3d{double(i % 97) - 40, double(i % 13) * 0.5, double(i % 7) - 3});
    const Vec3d points[] = {{3, 1, 0}, {-40, 0, -3}, {1e300, 0, 0}, {inf, 0, 0}, {qnan, 0, 0}};
    std::vector<std::vector<Vec3d>> lists = {v, v, v};
    lists[1][100] = Vec3d{qnan, 0, 0};
    lists[1][600] = Vec3d{0, neg_nan, 0};
    lists[2][777] = Vec3d{inf, -inf, 0};
    for (std::size_t l = 0; l < lists.size(); ++l)
        for (const Vec3d& o : points)
            for (std::size_t stride : {1, 2, 5, 300}) {
                const auto& list = lists[l];
                const std::size_t n = count_of(list, stride);
                const std::size_t blocks =
                    kalemtri::tuning::block_count(n, kalemtri::tuning::NEAREST_BLOCK);
                const Candidate whole = all_blocks(list, stride, o);
                CHECK(same_candidate(whole, scan(list, stride, o)));
                for (Level level : LEVELS) {
                    if (!supported(level)) continue;
                    CHECK(same_candidate(all_blocks(list, stride, o, level), whole));
                    for (std::size_t split = 0; split <= blocks; ++split) {
                        const Candidate lo =
                            nearest_blocks(level, list.data(), stride, n, o, 0, split);
                        const Candidate hi =
                            nearest_blocks(level, list.data(), stride, n, o, split, blocks);
                        CHECK(same_candidate(better(lo, hi), whole));
                    }
                }
            }
}

TEST(block_min_key_matches_a_scan) {
    std::vector<double> d = {3, 1, 2, 0.5, 7, 0, 9, 4, 1e-310, 8, 6, 5, 2, 3, 0.25, 11, 12, 13};
    const auto scan_key = [&](std::size_t n) {
        std::int64_t k = std::numeric_limits<std::int64_t>::max();
        for (std::size_t i = 0; i < n; ++i)
            k = std::min(k, order_key(d[i]));
        return k;
    };
    for (double extra : {1.0, qnan, neg_nan, inf, -0.0, -1.0, 0.0})
        for (std::size_t at = 0; at < d.size(); ++at) {
            std::vector<double> saved = d;
            d[at] = extra;
            for (std::size_t n = 1; n <= d.size(); ++n)
                for (Level level : LEVELS)
                    if (supported(level)) CHECK(block_min_key(level, d.data(), n) == scan_key(n));
            d = saved;
        }
}

TEST(search_distance_is_distance_to_with_the_left_nan) {
    const Vec3d points[] = {{1, 2, 3}, {-0.0, inf, 1e300}, {qnan, 0, 0}, {0, neg_nan, inf}};
    for (const Vec3d& a : points)
        for (const Vec3d& b : points) {
            const double d = search_distance(a, b), r = distance_to(a, b);
            CHECK_SAME(d, r);
            if (!std::isnan(r))
                CHECK(std::bit_cast<std::uint64_t>(d) == std::bit_cast<std::uint64_t>(r));
        }
    // Two NaNs of different sign in the sum: the first NaN square is kept. The squares' own NaN
    // bits are the compiler's to choose, so they are taken from this build, not assumed.
    const Vec3d origin{0, 0, 0};
    for (const Vec3d& a :
         {Vec3d{qnan, neg_nan, 0}, Vec3d{neg_nan, qnan, qnan}, Vec3d{0, qnan, neg_nan}}) {
        const Vec3d d = a - origin;
        const double squares[] = {d.x * d.x, d.y * d.y, d.z * d.z};
        const double first = std::isnan(squares[0])   ? squares[0]
                             : std::isnan(squares[1]) ? squares[1]
                                                      : squares[2];
        CHECK(std::bit_cast<std::uint64_t>(search_distance(a, origin)) ==
              std::bit_cast<std::uint64_t>(first));
    }
}

// Values the compiler cannot fold, so that the processor's own NaN rules are what is tested.
static double opaque(double x) {
    volatile double v = x;
    return v;
}

TEST(search_distance_makes_x86s_nans_everywhere) {
    const auto bits = [](double x) { return std::bit_cast<std::uint64_t>(x); };
    const double i = opaque(inf);
    const double snan = opaque(std::bit_cast<double>(std::uint64_t{0x7FF0000000000001}));
    const double payload = opaque(std::bit_cast<double>(std::uint64_t{0x7FF8000000000123}));
    const std::pair<std::pair<double, double>, std::uint64_t> rows[] = {
        {{i, i}, 0xFFF8000000000000},          // invalid: x86's default NaN is negative
        {{-i, -i}, 0xFFF8000000000000},        //
        {{payload, snan}, 0x7FF8000000000123}, // two NaNs: the left one, quieted
        {{snan, payload}, 0x7FF8000000000001}, //
        {{opaque(1.0), snan}, 0x7FF8000000000001},
        {{opaque(3.0), opaque(1.0)}, bits(2.0)},
    };
    // QEMU's x86 model keeps another of two NaNs than the processor does: the baseline-CPU stage
    // runs this test emulated and says so.
    const bool emulated = std::getenv("KALEMTRI_EMULATED_CPU") != nullptr;
    for (const auto& row : rows) {
        ROW(rows, row);
        if (emulated && std::isnan(row.first.first) && std::isnan(row.first.second)) continue;
        CHECK(bits(x86_sub(row.first.first, row.first.second)) == row.second);
    }
    // The distances from (inf, 0, 0) are inf, inf - inf, inf, inf: x86's NaN is the least in the
    // total order, and so the nearest.
    const std::vector<Vec3d> v{{2, 0, 0}, {i, 0, 0}, {1, 0, 0}, {-i, 0, 0}};
    const Candidate c = all_blocks(v, 1, Vec3d{i, 0, 0});
    CHECK(c.index == 1 && bits(c.distance) == 0xFFF8000000000000);
}
