// Entry records: text signatures rendered from them, keyword binding, method tables.
#include "python/entry.hpp"

#include <charconv>
#include <cstring>

namespace kestrum::py {

// ---- rendering ----------------------------------------------------------------------------------

// A default as Python's repr writes it: 1000, 1e-10, 1.0, "gaussian", None, False.
static std::string default_text(const Default& d) {
    switch (d.tag) {
        case Default::Tag::none: return "None";
        case Default::Tag::integer: return std::to_string(d.integer);
        case Default::Tag::boolean: return d.integer ? "True" : "False";
        case Default::Tag::text: return std::string("\"") + d.text + "\"";
        case Default::Tag::real: {
            char buf[32];
            std::string s(buf, std::to_chars(buf, buf + sizeof buf, d.real).ptr);
            if (s.find_first_of(".en") == std::string::npos) s += ".0";  // 1 -> 1.0
            return s;
        }
        case Default::Tag::required: break;
    }
    return {};
}

void prepare(Entry& e) {
    if (!e.doc.empty()) return;
    std::string params;
    if (e.kind == Kind::method) params = "$self";
    for (const Param& p : e.params) {
        if (!params.empty()) params += ", ";
        params += p.name;
        if (p.value.tag != Default::Tag::required) {
            params += '=';
            params += default_text(p.value);
        } else {
            ++e.required;
        }
        if (!(e.keys[&p - e.params.begin()] = PyUnicode_InternFromString(p.name))) raise_current();
    }
    const std::string owner = e.owner ? e.owner : "";
    e.doc = (e.kind == Kind::constructor ? owner : std::string(e.name)) + "(" + params + ")\n--\n\n";
    switch (e.kind) {
        case Kind::function: e.qualname = {e.name, owner + "." + e.name}; break;
        case Kind::constructor: e.qualname = {owner + ".__new__", {}}; break;
        default: e.qualname = {owner + "." + e.name, {}}; break;
    }
}

const char* class_doc(Entry& e) {
    prepare(e);
    return e.doc.c_str();
}

PyMethodDef* method_table(const std::vector<std::span<const Member>>& parts) {
    std::vector<PyMethodDef> rows;
    for (std::span<const Member> part : parts)
        for (const Member& m : part) {
            Entry& e = *m.entry;
            prepare(e);
            int flags = METH_FASTCALL | METH_KEYWORDS;
            if (m.twin || e.kind == Kind::static_method) flags |= METH_STATIC;
            rows.push_back(
                {e.name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(m.call)), flags, e.doc.c_str()});
        }
    rows.push_back({nullptr, nullptr, 0, nullptr});
    auto* table = new PyMethodDef[rows.size()];  // referenced by the functions and types for good
    std::copy(rows.begin(), rows.end(), table);
    return table;
}

// ---- binding ------------------------------------------------------------------------------------

static std::string quoted_list(const std::vector<const char*>& names) {
    std::string s;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i) s += names.size() == 2 ? " and " : (i + 1 == names.size() ? ", and " : ", ");
        s += "'";
        s += names[i];
        s += "'";
    }
    return s;
}

[[noreturn]] static void too_many_positional(const std::string& qualname, std::size_t total, std::size_t required,
                                             Py_ssize_t given) {
    std::string msg = qualname + "() takes ";
    if (required != total)
        msg += "from " + std::to_string(required) + " to " + std::to_string(total) + " positional arguments";
    else msg += std::to_string(total) + (total == 1 ? " positional argument" : " positional arguments");
    msg += " but " + std::to_string(given) + (given == 1 ? " was given" : " were given");
    raise(PyExc_TypeError, msg);
}

// The parameter a keyword names, or `total` when none does. Keywords written in source are
// interned by the compiler, so the pointer test almost always decides.
static std::size_t keyword_slot(const Entry& e, PyObject* key) {
    const std::size_t total = e.params.size();
    for (std::size_t p = 0; p < total; ++p)
        if (key == e.keys[p]) return p;
    for (std::size_t p = 0; p < total; ++p)
        if (PyUnicode_CompareWithASCIIString(key, e.params.begin()[p].name) == 0) return p;
    return total;
}

BoundArgs bind(const Entry& e, bool twin, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    BoundArgs out;
    const std::string& qualname = e.qualname[twin];
    const std::size_t total = e.params.size();
    if (static_cast<std::size_t>(nargs) > total) too_many_positional(qualname, total, e.required, nargs);
    for (Py_ssize_t i = 0; i < nargs; ++i) out.items_[i] = args[i];

    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        const std::size_t slot = keyword_slot(e, key);
        if (slot == total || out.items_[slot]) {
            const char* keytext = PyUnicode_AsUTF8(key);
            if (!keytext) raise_current();
            if (slot == total)
                raise(PyExc_TypeError, qualname + "() got an unexpected keyword argument '" + keytext + "'");
            raise(PyExc_TypeError, qualname + "() got multiple values for argument '" + keytext + "'");
        }
        out.items_[slot] = args[nargs + k];
    }

    std::vector<const char*> missing;
    for (std::size_t p = 0; p < e.required; ++p)
        if (!out.items_[p]) missing.push_back(e.params.begin()[p].name);
    if (!missing.empty())
        raise(PyExc_TypeError, qualname + "() missing " + std::to_string(missing.size()) +
                                   " required positional argument" + (missing.size() == 1 ? "" : "s") + ": " +
                                   quoted_list(missing));
    return out;
}

BoundArgs bind_tuple(const Entry& e, PyObject* args, PyObject* kwargs) {
    const Py_ssize_t nargs = args ? PyTuple_GET_SIZE(args) : 0;
    std::vector<PyObject*> flat;
    flat.reserve(static_cast<std::size_t>(nargs));
    for (Py_ssize_t i = 0; i < nargs; ++i) flat.push_back(PyTuple_GET_ITEM(args, i));
    Ref kwnames;
    if (kwargs && PyDict_GET_SIZE(kwargs)) {
        kwnames = Ref(check(PyTuple_New(PyDict_GET_SIZE(kwargs))));
        Py_ssize_t pos = 0, i = 0;
        PyObject *k, *v;
        while (PyDict_Next(kwargs, &pos, &k, &v)) {
            Py_INCREF(k);
            PyTuple_SET_ITEM(kwnames.get(), i++, k);
            flat.push_back(v);  // borrowed from the dict, which outlives the call
        }
    }
    return bind(e, false, flat.data(), nargs, kwnames.get());
}

}  // namespace kestrum::py
