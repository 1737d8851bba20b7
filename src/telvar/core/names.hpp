// Interned names, created once and kept for the life of the process: the
// names the module looks up, imports, binds or calls, the attribute names
// of its sites and the keyword-name tuples of its calls (both from the
// function table), and the tree's fixed texts.
#pragma once

#include "functions.hpp"
#include "python/refs.hpp"

#include <cstdint>
#include <cstring>

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

// The tree's fixed texts, spelled here only (the format: tree_text.hpp),
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

template <class Word>
TELVAR_ALWAYS_INLINE Word load_word(const unsigned char* at) {
    Word word = 0;
    std::memcpy(&word, at, sizeof word);
    return word;
}

// Whether n bytes are equal, compared inline in words (the last one may
// overlap the one before): the texts compared are short.
TELVAR_ALWAYS_INLINE bool same_bytes(const unsigned char* a, const unsigned char* b, size_t n) {
    if (n >= sizeof(uint64_t)) {
        for (size_t at = 0; at + sizeof(uint64_t) < n; at += sizeof(uint64_t)) {
            if (load_word<uint64_t>(a + at) != load_word<uint64_t>(b + at)) {
                return false;
            }
        }
        const size_t last = n - sizeof(uint64_t);
        return load_word<uint64_t>(a + last) == load_word<uint64_t>(b + last);
    }
    if (n >= sizeof(uint32_t)) {
        const size_t last = n - sizeof(uint32_t);
        return load_word<uint32_t>(a) == load_word<uint32_t>(b) &&
               load_word<uint32_t>(a + last) == load_word<uint32_t>(b + last);
    }
    if (n >= sizeof(uint16_t)) {
        const size_t last = n - sizeof(uint16_t);
        return load_word<uint16_t>(a) == load_word<uint16_t>(b) &&
               load_word<uint16_t>(a + last) == load_word<uint16_t>(b + last);
    }
    return n == 0 || *a == *b;
}

// Text equality of two exact str, which runs no Python code. The common
// case, two ASCII texts, is compared inline: an exact str keeps its
// characters right after its header.
TELVAR_ALWAYS_INLINE bool same_text(PyObject* a, PyObject* b) {
    if (a == b) {
        return true;
    }
    const Py_ssize_t length = PyUnicode_GET_LENGTH(a);
    if (length != PyUnicode_GET_LENGTH(b)) {
        return false;
    }
    if (PyUnicode_IS_ASCII(a) && PyUnicode_IS_ASCII(b)) {
        return same_bytes(
            reinterpret_cast<const unsigned char*>(reinterpret_cast<PyASCIIObject*>(a) + 1),
            reinterpret_cast<const unsigned char*>(reinterpret_cast<PyASCIIObject*>(b) + 1),
            static_cast<size_t>(length));
    }
    return PyUnicode_KIND(a) == PyUnicode_KIND(b) &&
           std::memcmp(PyUnicode_DATA(a), PyUnicode_DATA(b),
                       static_cast<size_t>(length) * PyUnicode_KIND(a)) == 0;
}

inline PyObject* site_name(Site site) { return names.sites[static_cast<int>(site)]; }

// The keyword-name tuple the module calls `self.<role>` with; nullptr for
// positional arguments only.
inline PyObject* keywords_of(Fn role) { return names.keywords[static_cast<int>(role)]; }

}  // namespace telvar
