// Interned names, created once and kept for the life of the process: the
// names the module looks up, imports, binds or calls, the attribute names
// of its sites and the keyword-name tuples of its calls (both from the
// function table), and the tree's fixed texts.
#pragma once

#include "python/refs.hpp"
#include "table/functions.hpp"

namespace telvar {

// X(field, text).
#define TELVAR_NAMES(X)                                         \
    X(supported_os, "supported_os")                             \
    X(supported_chassis, "supported_chassis")                   \
    X(log, "log")                                               \
    X(debug, "debug")                                           \
    X(ConnectionInfraError, "ConnectionInfraError")             \
    X(getfile, "getfile")                                       \
    X(iter_entry_points, "iter_entry_points")                   \
    X(ENTRYPOINT_GROUP, "ENTRYPOINT_GROUP")                     \
    X(PluginManager, "PluginManager")                           \
    X(os, "os")                                                 \
    X(pkgutil, "pkgutil")                                       \
    X(importlib, "importlib")                                   \
    X(data, "data")                                             \
    X(keys, "keys")                                             \
    X(islower, "islower")                                       \
    X(isdigit, "isdigit")                                       \
    X(cls, "cls")                                               \
    X(path, "path")                                             \
    X(split, "split")                                           \
    X(endswith, "endswith")                                     \
    X(dunder_name, "__name__")                                  \
    X(dunder_module, "__module__")                              \
    X(dunder_qualname, "__qualname__")                          \
    X(dunder_doc, "__doc__")                                    \
    X(dunder_class, "__class__")                                \
    X(dunder_dict, "__dict__")                                  \
    X(builtins, "builtins")                                     \
    X(dunder_path, "__path__")                                  \
    X(dunder_file, "__file__")                                  \
    X(dunder_loader, "__loader__")                              \
    X(dunder_package, "__package__")                            \
    X(dunder_prepare, "__prepare__")                            \
    X(dunder_spec, "__spec__")                                  \
    X(initializing, "_initializing")                            \
    X(name_from, "name_from")                                   \
    X(setter, "setter")                                         \
    X(group, "group")                                           \
    X(name, "name")                                             \
    X(module_name, "module_name")                               \
    X(load, "load")                                             \
    X(walk_packages, "walk_packages")                           \
    X(import_module, "import_module")                           \
    X(dirname, "dirname")                                       \
    X(origin, "origin")                                         \
    X(parent, "parent")                                         \
    X(loader, "loader")                                         \
    X(submodule_search_locations, "submodule_search_locations") \
    X(single_rp, "single_rp")                                   \
    X(linux, "linux")                                           \
    X(telvar_plugins, "telvar.plugins")                         \
    X(module_path, "telvar.core.pluginmanager")                 \
    X(dot, ".")                                                 \
    X(dot_plugins_dot, ".plugins.")                             \
    X(dot_tests_dot, ".tests.")                                 \
    X(tests, "tests")                                           \
    X(empty, "")

// The tree's fixed texts, spelled here only (the format: render/text.hpp),
// as C text and, in `names`, as str: X(field, text).
#define TELVAR_TREE_TEXTS(X) \
    X(newline, "\n")         \
    X(connector, "__ ")      \
    X(equals, " = ")         \
    X(bar, "  |")            \
    X(blank, "  ")           \
    X(newline_bar, "\n  |")  \
    X(newline_blank, "\n  ")

namespace tree_texts {
#define TELVAR_TREE_TEXT(field, text) inline constexpr char field[] = text;
TELVAR_TREE_TEXTS(TELVAR_TREE_TEXT)
#undef TELVAR_TREE_TEXT
}  // namespace tree_texts

struct Names {
#define TELVAR_DECLARE_NAME(field, text) Kept field;
    TELVAR_NAMES(TELVAR_DECLARE_NAME)
    TELVAR_TREE_TEXTS(TELVAR_DECLARE_NAME)
#undef TELVAR_DECLARE_NAME
    Kept sites[kSites];             // the attribute name of every site
    Kept keywords[kFunctionCount];  // a looked-up function's keyword names (or null)
    Kept kw_group;                  // iter_entry_points(group=...)
};

extern Names names;

// Makes every name; false with an exception set.
bool intern_names();

inline PyObject* site_name(Site site) { return names.sites[static_cast<int>(site)]; }

// The keyword-name tuple the module calls `self.<role>` with; nullptr for
// positional arguments only.
inline PyObject* keywords_of(Fn role) { return names.keywords[static_cast<int>(role)]; }

}  // namespace telvar
