// One declaration per callable: the `Entry` record is the single source of an entry's keyword
// names, defaults, text signature, binding messages, body and static-method twin.
//
// An area declares each callable once:
//     Entry eye_entry{"eye", Kind::function, "Array", {required("n"), optional("m"), optional("k")}, eye_body};
// and lists it in a method table with `member<eye_entry>` (the module function `eye`) and
// `twin<eye_entry>` (the static method `Array.eye`). `method_table` renders the docstrings
// ("eye(n, m=None, k=None)\n--\n\n") and interns the keyword names once, at module
// initialisation. `bind` maps fast-call arguments onto the parameters with the interpreter's
// usual binding messages, matching keywords by pointer before comparing text.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <array>
#include <cstdint>
#include <initializer_list>
#include <span>
#include <string>
#include <vector>

#include "python/errors.hpp"

namespace kestrum::py {

constexpr std::size_t kMaxParams = 8;

// How a callable is reached, which decides its qualified name and its text signature.
enum class Kind : std::uint8_t {
    function,       // module function NAME; `owner`, when set, also gets it as static method OWNER.NAME
    method,         // OWNER.NAME($self, ...)
    static_method,  // OWNER.NAME(...), with no module function
    constructor,    // OWNER(...), bound from tp_new; messages name it OWNER.__new__
};

// A parameter's default as the text signature shows it; `required` has none.
struct Default {
    enum class Tag : std::uint8_t { required, none, integer, boolean, real, text } tag = Tag::required;
    std::uint64_t integer = 0;
    double real = 0.0;
    const char* text = nullptr;
};

struct Param {
    const char* name;
    Default value;
};

constexpr Param required(const char* name) { return {name, {}}; }
// Defaults to None.
constexpr Param optional(const char* name) { return {name, {Default::Tag::none}}; }
constexpr Param defaulted(const char* name, std::uint64_t v) { return {name, {Default::Tag::integer, v}}; }
constexpr Param defaulted(const char* name, double v) { return {name, {Default::Tag::real, 0, v}}; }
constexpr Param defaulted(const char* name, const char* text) { return {name, {Default::Tag::text, 0, 0.0, text}}; }
constexpr Param defaulted(const char* name, bool v) { return {name, {Default::Tag::boolean, v ? 1u : 0u}}; }

class BoundArgs;
// An entry's work: convert the bound arguments, call one core operation, wrap the result.
// `self` is the instance for methods, the module for functions, the type for constructors.
using Body = PyObject* (*)(PyObject* self, const BoundArgs& a);

struct Entry {
    const char* name;
    Kind kind;
    const char* owner;                    // the class (methods, constructors) or the static twin's class (functions)
    std::initializer_list<Param> params;  // required ones first
    Body body;

    // Filled once by `prepare` at module initialisation.
    std::string doc;                           // "name(params)\n--\n\n"
    std::array<std::string, 2> qualname;       // as binding messages name the entry and its twin
    std::array<PyObject*, kMaxParams> keys{};  // interned parameter names
    std::size_t required = 0;
};

// Renders the docstring and qualified names and interns the keyword names (idempotent).
void prepare(Entry& e);

// Borrowed references to the bound arguments; null where an optional argument was not given.
class BoundArgs {
public:
    PyObject* operator[](std::size_t i) const { return items_[i]; }
    // Given and not None.
    bool present(std::size_t i) const { return items_[i] && items_[i] != Py_None; }

private:
    friend BoundArgs bind(const Entry&, bool, PyObject* const*, Py_ssize_t, PyObject*);
    std::array<PyObject*, kMaxParams> items_{};
};

// `twin` selects the static twin's name in messages.
BoundArgs bind(const Entry& e, bool twin, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
// The same binding for a call given as an argument tuple and a keyword dict (tp_new slots).
BoundArgs bind_tuple(const Entry& e, PyObject* args, PyObject* kwargs);

// The fast-call function of an entry (or of its static twin): bind, then run the body guarded.
template <Entry& E, bool Twin>
PyObject* fastcall(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&] { return E.body(self, bind(E, Twin, args, nargs, kwnames)); });
}

// The tp_new slot of a constructor entry.
template <Entry& E>
PyObject* construct(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&] { return E.body(reinterpret_cast<PyObject*>(type), bind_tuple(E, args, kwargs)); });
}

using FastFn = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);

// One row of a method table: an entry in one of its forms.
struct Member {
    Entry* entry;
    FastFn call;
    bool twin;
};

template <Entry& E>
inline constexpr Member member{&E, fastcall<E, false>, false};
template <Entry& E>
inline constexpr Member twin{&E, fastcall<E, true>, true};

// A null-terminated PyMethodDef table of the given rows, made once and kept for the process.
PyMethodDef* method_table(const std::vector<std::span<const Member>>& parts);

// The docstring of a constructor entry, for the class's tp_doc.
const char* class_doc(Entry& e);

}  // namespace kestrum::py
