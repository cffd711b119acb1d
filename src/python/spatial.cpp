// spatial submodule: the KDTree, BallTree and VPTree classes.
#include "python/areas.hpp"
#include "python/args.hpp"

namespace kestrum::py {

namespace {
PyTypeObject* placeholder_type(const char* name) {
    PyType_Slot slots[] = {{0, nullptr}};
    PyType_Spec spec = {name, sizeof(PyObject), 0, Py_TPFLAGS_DEFAULT, slots};
    return make_type(&spec);
}
}  // namespace

PyTypeObject* ball_tree_type() {
    static PyTypeObject* type = placeholder_type("kestrum.BallTree");
    return type;
}
PyTypeObject* kd_tree_type() {
    static PyTypeObject* type = placeholder_type("kestrum.KDTree");
    return type;
}
PyTypeObject* vp_tree_type() {
    static PyTypeObject* type = placeholder_type("kestrum.VPTree");
    return type;
}

}  // namespace kestrum::py
