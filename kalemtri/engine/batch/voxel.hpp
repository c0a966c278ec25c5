#pragma once
// Voxel thinning of a point array: one centroid per occupied cube of a regular grid.
#include <cstddef>

#include "kalemtri/engine/storage.hpp"
#include "kalemtri/src/vec3d.hpp"

namespace kalemtri::voxel {

// The centroids of points[0..n) per cube (floor(x / size), floor(y / size), floor(z / size)),
// ordered by cube: x, then y, then z, ascending. Each centroid is (sum of the cube's points, added
// left to right in the points' order, starting from the first) / count, per component, so the
// bits never depend on the thread count. Points with a NaN or infinite coordinate are left out.
// A cube coordinate of -0.0 is the cube 0. size > 0 (infinity puts every point in one cube).
storage::Array<kalemtri::Vec3d> down_sample(const kalemtri::Vec3d* points, std::size_t n,
                                            double size);

} // namespace kalemtri::voxel
