// A built tree as a byte string and back: a versioned little-endian record of everything the
// build produced (points in storage order, their indices, every node), so a loaded tree answers
// every query bit for bit as the original. Loading trusts nothing: every size, index, range and
// flag is checked before a tree is made, so hostile bytes give an Error, never a bad tree.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <variant>

#include "spatial/ball_tree.hpp"
#include "spatial/kd_tree.hpp"
#include "spatial/vp_tree.hpp"

namespace kestrum::spatial {

inline constexpr std::uint32_t kTreeStateVersion = 1;

// Writes the state into `out`, which must hold the returned number of bytes; with a null `out`
// only measures it.
std::size_t write_tree_state(const KDTree& tree, std::uint8_t* out);
std::size_t write_tree_state(const BallTree& tree, std::uint8_t* out);
std::size_t write_tree_state(const VPTree& tree, std::uint8_t* out);

using AnyTree = std::variant<KDTree, BallTree, VPTree>;

// The tree a state describes, or an Error saying what is inconsistent.
Result<AnyTree> read_tree_state(std::span<const std::uint8_t> bytes);

}  // namespace kestrum::spatial
