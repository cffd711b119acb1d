// linalg submodule entries and the Array members of linear algebra.
#include "python/areas.hpp"
#include "python/args.hpp"

namespace kestrum::py {

PyObject* array_matmul_slot(PyObject*, PyObject*) { Py_RETURN_NOTIMPLEMENTED; }

PyMethodDef linalg_functions[] = {
    {"matmul", KESTRUM_FASTCALL(not_built), KESTRUM_ENTRY_FLAGS, "matmul(a, b)\n--\n\n"},
    {"dot", KESTRUM_FASTCALL(not_built), KESTRUM_ENTRY_FLAGS, "dot(a, b)\n--\n\n"},
    {"transpose", KESTRUM_FASTCALL(not_built), KESTRUM_ENTRY_FLAGS, "transpose(a)\n--\n\n"},
    {"cholesky", KESTRUM_FASTCALL(not_built), KESTRUM_ENTRY_FLAGS, "cholesky(a)\n--\n\n"},
    {"qr", KESTRUM_FASTCALL(not_built), KESTRUM_ENTRY_FLAGS, "qr(a)\n--\n\n"},
    {"eig", KESTRUM_FASTCALL(not_built), KESTRUM_ENTRY_FLAGS, "eig(a)\n--\n\n"},
    {"eig_with_params", KESTRUM_FASTCALL(not_built), KESTRUM_ENTRY_FLAGS, "eig_with_params(a, max_iter=1000, tol=1e-10)\n--\n\n"},
    {"eigvals", KESTRUM_FASTCALL(not_built), KESTRUM_ENTRY_FLAGS, "eigvals(a)\n--\n\n"},
    {"diagonal", KESTRUM_FASTCALL(not_built), KESTRUM_ENTRY_FLAGS, "diagonal(a, k=None)\n--\n\n"},
    {"outer", KESTRUM_FASTCALL(not_built), KESTRUM_ENTRY_FLAGS, "outer(a, b)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyMethodDef linalg_array_methods[] = {
    {"outer", KESTRUM_FASTCALL(not_built), KESTRUM_ENTRY_FLAGS | METH_STATIC, "outer(a, b)\n--\n\n"},
    {"matmul", KESTRUM_FASTCALL(not_built), KESTRUM_ENTRY_FLAGS, "matmul($self, other)\n--\n\n"},
    {"dot", KESTRUM_FASTCALL(not_built), KESTRUM_ENTRY_FLAGS, "dot($self, other)\n--\n\n"},
    {"transpose", KESTRUM_FASTCALL(not_built), KESTRUM_ENTRY_FLAGS, "transpose($self)\n--\n\n"},
    {"t", KESTRUM_FASTCALL(not_built), KESTRUM_ENTRY_FLAGS, "t($self)\n--\n\n"},
    {"diagonal", KESTRUM_FASTCALL(not_built), KESTRUM_ENTRY_FLAGS, "diagonal($self, k=None)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace kestrum::py
