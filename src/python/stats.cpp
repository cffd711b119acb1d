// stats submodule entries and the Array members of statistics.
#include "python/areas.hpp"
#include "python/args.hpp"

namespace kestrum::py {

PyMethodDef stats_functions[] = {
    {"sum", KESTRUM_FASTCALL(not_built), KESTRUM_ENTRY_FLAGS, "sum(a)\n--\n\n"},
    {"mean", KESTRUM_FASTCALL(not_built), KESTRUM_ENTRY_FLAGS, "mean(a)\n--\n\n"},
    {"var", KESTRUM_FASTCALL(not_built), KESTRUM_ENTRY_FLAGS, "var(a)\n--\n\n"},
    {"std", KESTRUM_FASTCALL(not_built), KESTRUM_ENTRY_FLAGS, "std(a)\n--\n\n"},
    {"median", KESTRUM_FASTCALL(not_built), KESTRUM_ENTRY_FLAGS, "median(a)\n--\n\n"},
    {"quantile", KESTRUM_FASTCALL(not_built), KESTRUM_ENTRY_FLAGS, "quantile(a, q)\n--\n\n"},
    {"any", KESTRUM_FASTCALL(not_built), KESTRUM_ENTRY_FLAGS, "any(a)\n--\n\n"},
    {"all", KESTRUM_FASTCALL(not_built), KESTRUM_ENTRY_FLAGS, "all(a)\n--\n\n"},
    {"pearson", KESTRUM_FASTCALL(not_built), KESTRUM_ENTRY_FLAGS, "pearson(a, b)\n--\n\n"},
    {"spearman", KESTRUM_FASTCALL(not_built), KESTRUM_ENTRY_FLAGS, "spearman(a, b)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyMethodDef stats_array_methods[] = {
    {"sum", KESTRUM_FASTCALL(not_built), KESTRUM_ENTRY_FLAGS, "sum($self)\n--\n\n"},
    {"mean", KESTRUM_FASTCALL(not_built), KESTRUM_ENTRY_FLAGS, "mean($self)\n--\n\n"},
    {"var", KESTRUM_FASTCALL(not_built), KESTRUM_ENTRY_FLAGS, "var($self)\n--\n\n"},
    {"std", KESTRUM_FASTCALL(not_built), KESTRUM_ENTRY_FLAGS, "std($self)\n--\n\n"},
    {"any", KESTRUM_FASTCALL(not_built), KESTRUM_ENTRY_FLAGS, "any($self)\n--\n\n"},
    {"all", KESTRUM_FASTCALL(not_built), KESTRUM_ENTRY_FLAGS, "all($self)\n--\n\n"},
    {"median", KESTRUM_FASTCALL(not_built), KESTRUM_ENTRY_FLAGS, "median($self)\n--\n\n"},
    {"quantile", KESTRUM_FASTCALL(not_built), KESTRUM_ENTRY_FLAGS, "quantile($self, q)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace kestrum::py
