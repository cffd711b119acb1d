// The units that make up the Array class, each contributing methods (in registration order) and
// type slots; array.cpp assembles them into the type.
#pragma once

#include <span>

#include "python/entry.hpp"

namespace kestrum::py {

struct ClassPart {
    std::span<const Member> methods;
    std::span<const PyType_Slot> slots;
};

extern Entry array_new_entry;  // Array(shape, data)

extern const ClassPart array_constructors;  // static twins of asarray, zeros, ones, full, eye, diag
extern const ClassPart array_operators;     // + - * / and negation; abs ... arctan, clip
extern const ClassPart array_indexing;      // [] reads and writes, `in`; get, take
extern const ClassPart array_lists;         // tolist, to_pylist_recursive
extern const ClassPart array_numpy;         // to_numpy, from_numpy
extern const ClassPart array_iteration;     // iter()
extern const ClassPart array_buffer;        // buffer export
extern const ClassPart array_pickling;      // __reduce_ex__, __copy__, __deepcopy__

}  // namespace kestrum::py
