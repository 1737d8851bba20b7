// Shared helpers of the pluginmanager extension: the owned-reference handle,
// the module-wide state, interned names and the calls every part makes.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <initializer_list>
#include <utility>

namespace telvar {

// An owned (strong) reference. Borrowed references are plain `PyObject*`
// and are never kept past a call back into Python.
class Ref {
  public:
    Ref() noexcept = default;
    // Takes over a new reference; a null pointer (a failed call) stays null.
    static Ref steal(PyObject* obj) noexcept { return Ref(obj); }
    // Takes a new strong reference to a borrowed object.
    static Ref hold(PyObject* obj) noexcept {
        Py_XINCREF(obj);
        return Ref(obj);
    }

    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& other) noexcept : obj_(std::exchange(other.obj_, nullptr)) {}
    Ref& operator=(Ref&& other) noexcept {
        Ref old(std::exchange(obj_, std::exchange(other.obj_, nullptr)));
        return *this;
    }
    ~Ref() { Py_XDECREF(obj_); }

    PyObject* get() const noexcept { return obj_; }
    PyObject* release() noexcept { return std::exchange(obj_, nullptr); }
    explicit operator bool() const noexcept { return obj_ != nullptr; }

  private:
    explicit Ref(PyObject* obj) noexcept : obj_(obj) {}
    PyObject* obj_ = nullptr;
};

// The module's functions, in class-table order.
enum class Fn : int {
    init,
    plugins_get,
    plugins_set,
    validate_model,
    validate_platform,
    validate_os,
    validate_chassis_type,
    validate_arguments,
    get_plugin,
    unregister_plugin,
    register_plugin,
    discover_builtin_plugins,
    discover_external_plugins,
    print_tree,
    repr,
    count
};

// Body of a function: `args` holds every parameter, bound, `self` first
// (nullptr for the parameterless static methods). Returns a new reference,
// or nullptr with an exception set.
using Impl = PyObject* (*)(PyObject* const* args);

PyObject* init_impl(PyObject* const* args);
PyObject* plugins_get_impl(PyObject* const* args);
PyObject* plugins_set_impl(PyObject* const* args);
PyObject* validate_model_impl(PyObject* const* args);
PyObject* validate_platform_impl(PyObject* const* args);
PyObject* validate_os_impl(PyObject* const* args);
PyObject* validate_chassis_type_impl(PyObject* const* args);
PyObject* validate_arguments_impl(PyObject* const* args);
PyObject* get_plugin_impl(PyObject* const* args);
PyObject* unregister_plugin_impl(PyObject* const* args);
PyObject* register_plugin_impl(PyObject* const* args);
PyObject* discover_builtin_plugins_impl(PyObject* const* args);
PyObject* discover_external_plugins_impl(PyObject* const* args);
PyObject* print_tree_impl(PyObject* const* args);
PyObject* repr_impl(PyObject* const* args);

// Interned strings, created once at module execution and kept for the life
// of the process. X(field, text).
#define TELVAR_NAMES(X)                                         \
    X(plugins_attr, "_plugins")                                 \
    X(chassis_type_list, "chassis_type_list")                   \
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
    X(platform, "platform")                                     \
    X(model, "model")                                           \
    X(chassis_type, "chassis_type")                             \
    X(validate_model, "validate_model")                         \
    X(validate_platform, "validate_platform")                   \
    X(validate_os, "validate_os")                               \
    X(validate_chassis_type, "validate_chassis_type")           \
    X(validate_arguments, "validate_arguments")                 \
    X(print_tree, "print_tree")                                 \
    X(data, "data")                                             \
    X(output, "output")                                         \
    X(keys, "keys")                                             \
    X(islower, "islower")                                       \
    X(isdigit, "isdigit")                                       \
    X(cls, "cls")                                               \
    X(path, "path")                                             \
    X(format, "format")                                         \
    X(split, "split")                                           \
    X(endswith, "endswith")                                     \
    X(dunder_name, "__name__")                                  \
    X(dunder_module, "__module__")                              \
    X(dunder_qualname, "__qualname__")                          \
    X(dunder_doc, "__doc__")                                    \
    X(dunder_class, "__class__")                                \
    X(dunder_path, "__path__")                                  \
    X(dunder_file, "__file__")                                  \
    X(dunder_loader, "__loader__")                              \
    X(dunder_package, "__package__")                            \
    X(dunder_prepare, "__prepare__")                            \
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
    X(newline, "\n")                                            \
    X(slash, "/")                                               \
    X(dot, ".")                                                 \
    X(empty, "")                                                \
    X(blank, " ")                                               \
    X(dot_plugins_dot, ".plugins.")                             \
    X(dot_tests_dot, ".tests.")                                 \
    X(tests, "tests")                                           \
    X(connector, "__ ")                                         \
    X(equals, " = ")                                            \
    X(newline_bar_prefix, "\n  |")                              \
    X(newline_blank_prefix, "\n  ")                             \
    X(not_found, "Plugin data not found")                       \
    X(not_found_for, "Plugin data not found for %s")            \
    X(not_found_path, "Plugin data not found for (")            \
    X(not_found_type, "), type: ")                              \
    X(replaced_template, " {} already registered for {}, {} from {} is overriding this class")

struct Names {
#define TELVAR_DECLARE_NAME(field, text) PyObject* field;
    TELVAR_NAMES(TELVAR_DECLARE_NAME)
#undef TELVAR_DECLARE_NAME
    // Keyword-name tuples of the calls the module makes.
    PyObject* kw_os_platform_model;
    PyObject* kw_platform_os;
    PyObject* kw_os;
    PyObject* kw_chassis_type;
    PyObject* kw_data_output;
    PyObject* kw_group;
};

// Everything the module keeps between calls. One module object per process.
struct State {
    PyObject* module;    // strong, kept for the life of the process
    PyObject* globals;   // the module's dict
    PyObject* builtins;  // the builtins module's dict
    // Built-in names fetched once at module execution.
    PyObject* builtin_object;
    PyObject* builtin_property;
    PyObject* builtin_staticmethod;
    PyObject* builtin_import_error;
    PyObject* builtin_hex;
    PyObject* builtin_id;
    // The module's own function objects, by role (strong).
    PyObject* own[static_cast<int>(Fn::count)];
};

extern Names names;
extern State state;

inline PyObject* own_function(Fn role) { return state.own[static_cast<int>(role)]; }

// --- module frame (module.cpp) -------------------------------------------

// A global name looked up at use: module globals, then builtins, else
// NameError.
Ref lookup_global(PyObject* name);

// `<global>.<attribute>`, the global looked up at use (log.debug, os.path).
Ref global_attribute(PyObject* global, PyObject* attribute);

// `raise obj` for whatever ConnectionInfraError(...) returned. Always
// returns nullptr.
PyObject* raise_object(PyObject* obj);

// Looks up ConnectionInfraError, calls it with the message and raises the
// result. `message` may be null (its construction failed): then the error
// already set is kept. Always returns nullptr.
PyObject* raise_connection_error(Ref error_class, Ref message);

// The from-import rule: an attribute of the module, else an already
// imported submodule of that name, else ImportError.
Ref import_from(PyObject* module, PyObject* name);

// --- callables (function.cpp) --------------------------------------------

bool function_type_ready();
// Creates the function object of a role; nullptr with an exception set.
Ref make_function(Fn role);

// `obj.name` looked up as the interpreter does for a method call, without a
// bound-method object where the interpreter would not make one either.
class Method {
  public:
    bool lookup(PyObject* obj, PyObject* name);
    // Calls the method. `stack[0]` must be the object itself, followed by
    // the positional and then the keyword values (`nargs` counts the object
    // and the positional values). When the method resolves to the module's
    // own function `own`, its body runs directly with `direct`, the values
    // in parameter order (object first).
    Ref call(PyObject* const* stack, size_t nargs, PyObject* kwnames, Fn own,
             PyObject* const* direct);

    // Whether the method is the module's own function of that role.
    bool resolves_to(Fn own) const { return unbound_ && callable_.get() == own_function(own); }

  private:
    Ref callable_;
    bool unbound_ = false;
};

// Convenience for a method looked up and called at once.
inline Ref call_method(PyObject* obj, PyObject* name, PyObject* const* stack, size_t nargs,
                       PyObject* kwnames, Fn own, PyObject* const* direct) {
    Method method;
    if (!method.lookup(obj, name)) {
        return {};
    }
    return method.call(stack, nargs, kwnames, own, direct);
}

// obj.name() with no arguments, for methods that are never our own.
inline Ref call_method0(PyObject* obj, PyObject* name) {
    return Ref::steal(PyObject_CallMethodNoArgs(obj, name));
}

// --- shared small operations ---------------------------------------------

// PyObject_IsTrue, with None, bools and exact str answered inline.
inline int is_true(PyObject* value) {
    if (value == Py_None || value == Py_False) {
        return 0;
    }
    if (value == Py_True) {
        return 1;
    }
    if (PyUnicode_CheckExact(value)) {
        return PyUnicode_GET_LENGTH(value) != 0;
    }
    return PyObject_IsTrue(value);
}

}  // namespace telvar
