// The Python object of the three tree classes: one immutable core tree behind a borrow flag.
#pragma once

#include "python/borrow.hpp"
#include "spatial/ball_tree.hpp"
#include "spatial/kd_tree.hpp"
#include "spatial/vp_tree.hpp"

namespace kestrum::py {

template <class Tree>
struct PyTree {
    PyObject_HEAD
    BorrowFlag borrow;
    Tree tree;
};

// Reads the tree of an instance under a shared borrow for as long as this object lives.
template <class Tree>
class TreeRef {
public:
    explicit TreeRef(PyObject* self)
        : guard_(reinterpret_cast<PyTree<Tree>*>(self)->borrow), tree_(&reinterpret_cast<PyTree<Tree>*>(self)->tree) {}
    const Tree& operator*() const { return *tree_; }
    const Tree* operator->() const { return tree_; }

private:
    SharedBorrow guard_;
    const Tree* tree_;
};

// New instances of the class that wraps each tree (defined in spatial.cpp).
PyObject* wrap_tree(spatial::KDTree&& tree);
PyObject* wrap_tree(spatial::BallTree&& tree);
PyObject* wrap_tree(spatial::VPTree&& tree);

}  // namespace kestrum::py
