// Point storage of a tree: the copy a build starts from and the stored points as an array.
#include "spatial/storage.hpp"

namespace kestrum::spatial {

PointStorage PointStorage::from_source(const ArrayF64& array, std::uint64_t leaf_size, DistanceMetric metric) {
    if (array.ndim() != 2) panic("Expected 2D array (n_points, dim)");
    PointStorage s;
    s.n_points = array.shape[0];
    s.dim = array.shape[1];
    s.leaf_size = leaf_size;
    s.metric = metric;
    s.indices = Buffer<std::uint64_t>::uninit(s.n_points);
    for (std::uint64_t i = 0; i < s.n_points; ++i) s.indices[i] = i;
    s.data = array.data;
    return s;
}

ArrayF64 PointStorage::points() const { return ArrayF64::create(Shape{n_points, dim}, data); }

}  // namespace kestrum::spatial
