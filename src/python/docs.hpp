// What help() shows for the module, the submodules and the classes whose documentation is free:
// what each is, how to make one, and which page of docs/ describes it. Array and Generator keep
// their bare text signatures; the module text introduces them instead.
#pragma once

namespace kestrum::py::docs {

inline constexpr char module[] =
    "Compact numerical library: dense float64 n-dimensional arrays, linear algebra, statistics,\n"
    "random sampling and neighbour search, all exact and reproducible bit for bit.\n"
    "\n"
    "Make an Array with Array(shape, data) (flat data in row-major order), asarray(data, shape=None),\n"
    "zeros, ones, full, eye, diag or column_stack; every operation returns a new Array. The\n"
    "submodules linalg, stats, random and spatial are attributes: use kestrum.linalg.qr(a) or\n"
    "`from kestrum import linalg` (`import kestrum.linalg` does not work). Random arrays come from a\n"
    "Generator: kestrum.random.seed(0).uniform(0.0, 1.0, [3]).\n"
    "\n"
    "Documentation: docs/index.md in the kestrum source tree (guides in docs/guide/, the reference\n"
    "in docs/api/: Array in docs/api/array.md); coming from NumPy: docs/guide/numpy.md.\n";

inline constexpr char linalg[] =
    "Linear algebra on Arrays: matmul, dot, transpose, diagonal, outer, QR and Cholesky\n"
    "factorisation, eigenvalues and eigenvectors.\n"
    "\n"
    "Every function takes Arrays and returns new ones, for example q, r = linalg.qr(a); a @ b is\n"
    "matmul. Documentation: docs/guide/linalg.md and docs/api/linalg.md.\n";

inline constexpr char stats[] =
    "Statistics of all elements of an Array: sum, mean, var, std, any, all, median, quantile, and\n"
    "the Pearson and Spearman correlation of two Arrays.\n"
    "\n"
    "Each reduces the whole array to one value (there is no axis argument): stats.mean(a), or the\n"
    "method a.mean(). Documentation: docs/guide/statistics.md and docs/api/stats.md.\n";

inline constexpr char random[] =
    "Reproducible random sampling with Generator objects, each holding its own state.\n"
    "\n"
    "random.seed(n) (or Generator.from_seed(n)) makes a generator that repeats its draws exactly;\n"
    "random.new() (or Generator()) seeds one from the clock. Draw with g.uniform(low, high, shape),\n"
    "g.normal(mu, sigma, shape), g.randint(low, high, shape), ... Documentation:\n"
    "docs/guide/random.md and docs/api/random.md.\n";

inline constexpr char spatial[] =
    "Point indexes for nearest-neighbour search, radius search and kernel density: KDTree,\n"
    "BallTree and VPTree.\n"
    "\n"
    "Build one from a 2-D Array with one point per row, e.g. spatial.KDTree.from_array(points), then\n"
    "call query_knn, query_radius, kernel_density or kernel_density_approx for one point, or\n"
    "query_knn_batch, query_radius_batch or kernel_density_batch for many. Documentation:\n"
    "docs/guide/spatial.md and docs/api/spatial.md; trees sent to other processes:\n"
    "docs/guide/scaling.md.\n";

inline constexpr char array_iter[] =
    "Iterator over the elements of an Array as floats, in flat row-major order (a 2-D array\n"
    "yields its elements one by one, not its rows). It works on a copy taken when it is made.\n"
    "\n"
    "Made by iter(a) or a for loop over an Array. Documentation: docs/api/array.md.\n";

inline constexpr char kd_tree[] =
    "k-d tree: an immutable index over a copy of a set of points, split along the dimension of\n"
    "widest spread.\n"
    "\n"
    "Make one with KDTree.from_array(points, leaf_size=20, metric=\"euclidean\"), points being a 2-D\n"
    "Array with one point per row. Documentation: docs/guide/spatial.md and docs/api/spatial.md.\n";

inline constexpr char ball_tree[] =
    "Ball tree: an immutable index over a copy of a set of points, grouped in nested balls.\n"
    "\n"
    "Make one with BallTree.from_array(points, leaf_size=20, metric=\"euclidean\"), points being a\n"
    "2-D Array with one point per row. Documentation: docs/guide/spatial.md and docs/api/spatial.md.\n";

inline constexpr char vp_tree[] =
    "Vantage-point tree: an immutable index over a copy of a set of points, split by the distance to\n"
    "a chosen point.\n"
    "\n"
    "Make one with spatial.VPTree.from_array(points, leaf_size=20, metric=\"euclidean\",\n"
    "selection=\"first\"), points being a 2-D Array with one point per row. Documentation:\n"
    "docs/guide/spatial.md and docs/api/spatial.md.\n";

}  // namespace kestrum::py::docs
