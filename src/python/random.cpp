// random submodule: the Generator class and the seed/new functions.
#include "python/areas.hpp"
#include "python/args.hpp"

namespace kestrum::py {

PyTypeObject* generator_type() {
    static PyTypeObject* type = [] {
        static PyType_Slot slots[] = {
            {Py_tp_doc, const_cast<char*>("Generator()\n--\n\n")},
            {0, nullptr},
        };
        static PyType_Spec spec = {"kestrum.Generator", sizeof(PyObject), 0, Py_TPFLAGS_DEFAULT, slots};
        return make_type(&spec);
    }();
    return type;
}

PyMethodDef random_functions[] = {
    {"seed", KESTRUM_FASTCALL(not_built), KESTRUM_ENTRY_FLAGS, "seed(seed)\n--\n\n"},
    {"new", KESTRUM_FASTCALL(not_built), KESTRUM_ENTRY_FLAGS, "new()\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace kestrum::py
