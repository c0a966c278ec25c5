// The spatial index against the brute-force scan it must reproduce: nearest, k nearest, counts and
// radius hits, unbounded, under a bound and from a warm start, bit for bit, ties to the lowest
// index, with duplicates, grid ties, points or targets with non-finite coordinates (NaNs of either
// sign) and coordinates whose squares overflow, over sizes that make one leaf, a few and many.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "check.hpp"
#include "kalemtri/engine/spatial/tree.hpp"

using namespace kalemtri;
using kernels::Candidate;

namespace {

const double inf = std::numeric_limits<double>::infinity();
const double nan = std::numeric_limits<double>::quiet_NaN();

struct Lcg {
    std::uint64_t s;
    std::uint64_t next() {
        s = s * 6364136223846793005u + 1442695040888963407u;
        return s >> 33;
    }
    // Small integers on a grid make equal distances common; a few points repeat exactly.
    double coordinate() {
        const std::uint64_t r = next();
        return r % 4 ? double(std::int64_t(r % 5) - 2) : double(std::int64_t(r % 2001)) / 7.0;
    }
};

std::vector<Vec3d> cloud(std::size_t n, std::uint64_t seed, bool non_finite) {
    Lcg g{seed};
    std::vector<Vec3d> p(n);
    for (Vec3d& v : p)
        v = {g.coordinate(), g.coordinate(), g.coordinate()};
    if (non_finite)
        for (std::size_t i = 3; i < n; i += 17)
            p[i] = (i / 17) % 3 == 0   ? Vec3d{inf, 0.0, 1.0}
                   : (i / 17) % 3 == 1 ? Vec3d{nan, -2.0, 0.0}
                                       : Vec3d{-inf, inf, 3.0};
    for (std::size_t i = 5; i < n; i += 11)
        p[i] = p[i / 2]; // exact duplicates
    return p;
}

// The scan's ranking: distance by IEEE total order, then index.
std::vector<Candidate> ranked(const std::vector<Vec3d>& p, const Vec3d& t) {
    std::vector<Candidate> all(p.size());
    for (std::size_t i = 0; i < p.size(); ++i) {
        const double d = kernels::search_distance(p[i], t);
        all[i] = {kernels::order_key(d), i, d};
    }
    std::sort(all.begin(), all.end(), [](const Candidate& a, const Candidate& b) {
        return a.key < b.key || (a.key == b.key && a.index < b.index);
    });
    return all;
}

bool same(const Candidate& a, const Candidate& b) {
    return a.index == b.index && check::same_bits(a.distance, b.distance);
}

void check_cloud(std::size_t n, std::uint64_t seed, bool non_finite) {
    const std::vector<Vec3d> p = cloud(n, seed, non_finite);
    const tree::Tree tree(p.data(), p.size());
    CHECK(tree.size() == n);
    std::vector<Vec3d> back(n);
    tree.points(back.data());
    for (std::size_t i = 0; i < n; ++i)
        CHECK(check::same_bits(back[i].x, p[i].x) && check::same_bits(back[i].y, p[i].y) &&
              check::same_bits(back[i].z, p[i].z));

    std::vector<Vec3d> targets = cloud(40, seed + 1, false);
    targets.push_back(p[n / 2]); // a target on a point
    targets.push_back({inf, 0.0, 0.0});
    targets.push_back({nan, 1.0, 2.0});
    for (const Vec3d& t : targets) {
        check::Row row("target " + check::show(t) + ", n " + std::to_string(n));
        const std::vector<Candidate> want = ranked(p, t);
        CHECK(same(tree.nearest(t), want[0]));
        for (std::size_t k : {std::size_t{1}, std::size_t{3}, std::size_t{16}, n}) {
            if (k > n) continue;
            std::vector<Candidate> got(k);
            tree.k_nearest(t, k, got.data());
            for (std::size_t i = 0; i < k; ++i)
                CHECK(same(got[i], want[i]));
        }
        for (double r : {0.0, 1.0, 2.5, 7.0, 1e9, inf}) {
            std::vector<std::int64_t> hits;
            for (const Candidate& c : want)
                if (c.distance <= r) hits.push_back(std::int64_t(c.index));
            std::sort(hits.begin(), hits.end());
            CHECK(tree.count_within(t, r) == hits.size());
            std::vector<std::int64_t> got(n);
            const std::size_t m = tree.within(t, r, got.data(), got.size());
            CHECK(m == hits.size());
            got.resize(std::min(m, n));
            CHECK(got == hits);
            // Too little room: the number alone is exact.
            if (m > 1) CHECK(tree.within(t, r, got.data(), m - 1) == m);
        }
    }
}

// The scan's answers under a bound: the ranking's points at distance <= bound, in order.
std::vector<Candidate> within_bound(const std::vector<Candidate>& want, double bound) {
    std::vector<Candidate> kept;
    for (const Candidate& c : want)
        if (c.distance <= bound) kept.push_back(c);
    return kept;
}

// Every query of the tree at t, its limits (bounds, radii) taken from the scan's own distances so
// that some points lie exactly on them.
void check_queries(const std::vector<Vec3d>& p, const tree::Tree& tree, const Vec3d& t) {
    const std::size_t n = p.size();
    const std::vector<Candidate> want = ranked(p, t);
    std::vector<double> limits{0.0, 1.0, 2.5, 1e200, inf};
    for (std::size_t j : {std::size_t{0}, n / 3, n / 2, n - 1})
        if (want[j].distance >= 0.0) limits.push_back(want[j].distance);
    std::vector<std::uint32_t> starts{tree::NO_POSITION};
    if (tree.finite_size() > 0)
        starts.insert(starts.end(), {0u, std::uint32_t(tree.finite_size() / 2),
                                     std::uint32_t(tree.finite_size() - 1)});
    for (double bound : limits) {
        check::Row row("bound " + check::show(bound));
        const std::vector<Candidate> kept = within_bound(want, bound);
        const Candidate first = kept.empty() ? Candidate{0, kernels::NONE, 0.0} : kept[0];
        const Candidate got = tree.nearest_within(t, bound);
        CHECK(got.index == first.index && (kept.empty() || same(got, first)));
        for (std::size_t k : {std::size_t{1}, std::size_t{3}, std::size_t{16}, n}) {
            if (k > n) continue;
            std::vector<Candidate> best(k);
            const std::size_t found = tree.k_nearest_within(t, k, bound, best.data());
            CHECK(found == std::min(k, kept.size()));
            for (std::size_t i = 0; i < std::min(found, kept.size()); ++i)
                CHECK(same(best[i], kept[i]));
        }
        for (std::uint32_t start : starts)
            for (bool bounded : {false, true}) {
                std::uint32_t at = start;
                const Candidate c = tree.nearest_from(t, at, bounded, bound);
                const Candidate& expect = bounded ? first : want[0];
                CHECK(c.index == expect.index);
                if (c.index == kernels::NONE) continue;
                CHECK(same(c, expect));
                CHECK(at == tree::NO_POSITION || tree.tree_order()[at] == c.index);
                const Vec3d q = tree.answer_point(c.index, at);
                CHECK(check::same_bits(q.x, p[c.index].x) && check::same_bits(q.y, p[c.index].y) &&
                      check::same_bits(q.z, p[c.index].z));
            }
        std::vector<std::int64_t> hits(kept.size());
        std::transform(kept.begin(), kept.end(), hits.begin(),
                       [](const Candidate& c) { return std::int64_t(c.index); });
        std::sort(hits.begin(), hits.end());
        CHECK(tree.count_within(t, bound) == hits.size());
        std::vector<std::uint32_t> got32(n);
        CHECK(tree.within(t, bound, got32.data(), n) == hits.size());
        CHECK(std::equal(hits.begin(), hits.end(), got32.begin()));
    }
}

TEST(tree_bounded_and_warm_queries_match_the_scan) {
    const double negative_nan = -std::numeric_limits<double>::quiet_NaN();
    for (std::size_t n : {std::size_t{1}, std::size_t{17}, std::size_t{300}})
        for (double scale : {1.0, 1e200}) {
            std::vector<Vec3d> p = cloud(n, 5 + n, true);
            for (Vec3d& v : p)
                v = {v.x * scale, v.y * scale, v.z * scale};
            if (n > 10) { // a NaN with the sign bit ranks before every number
                p[1] = {negative_nan, 0.0, 1.0};
                p[n - 1] = {2.0, -negative_nan, inf};
            }
            const tree::Tree tree(p.data(), p.size());
            std::vector<Vec3d> targets = cloud(12, 7 + n, false);
            for (Vec3d& v : targets)
                v = {v.x * scale, v.y * scale, v.z * scale};
            targets.insert(targets.end(), {p[n / 2], p[0], Vec3d{-inf, 0.0, 0.0},
                                           Vec3d{0.0, negative_nan, 1.0}, Vec3d{nan, inf, 0.0}});
            for (const Vec3d& t : targets) {
                check::Row row("target " + check::show(t) + ", n " + std::to_string(n));
                check_queries(p, tree, t);
            }
        }
}

TEST(tree_matches_the_scan) {
    for (std::size_t n : {std::size_t{1}, std::size_t{7}, std::size_t{16}, std::size_t{17},
                          std::size_t{100}, std::size_t{1000}})
        for (bool non_finite : {false, true})
            check_cloud(n, 11 + n, non_finite);
}

TEST(tree_of_only_non_finite_points) {
    const std::vector<Vec3d> p{
        {nan, 0.0, 0.0}, {inf, 1.0, 1.0}, {-inf, -inf, 0.0}, {0.0, nan, nan}};
    const tree::Tree tree(p.data(), p.size());
    for (const Vec3d& t : {Vec3d{0.0, 0.0, 0.0}, Vec3d{inf, 1.0, 1.0}}) {
        const std::vector<Candidate> want = ranked(p, t);
        CHECK(same(tree.nearest(t), want[0]));
        std::vector<Candidate> got(p.size());
        tree.k_nearest(t, p.size(), got.data());
        for (std::size_t i = 0; i < p.size(); ++i)
            CHECK(same(got[i], want[i]));
        CHECK(tree.count_within(t, inf) ==
              std::size_t(std::count_if(want.begin(), want.end(),
                                        [](const Candidate& c) { return c.distance <= inf; })));
    }
}

} // namespace
