// Shared helpers of the pluginmanager extension: the reference handles, the
// table of the class's functions, the module-wide state, interned names and
// the calls every part makes.
#pragma once

#include "internals.hpp"
#include "internals_versions.hpp"
#include "python_code.hpp"

#include <cstddef>
#include <cstring>
#include <utility>

namespace telvar {

// --- references ----------------------------------------------------------
//
// Every reference the module owns is held by one of two types: `Ref` for
// one that ends with its scope, `Kept` for one kept for the life of the
// process. A reference it does not own is a `Borrowed` (python_code.hpp),
// or a bare `PyObject*` read and used with no point in between where
// Python code can run.

// An owned (strong) reference, released when it goes out of scope.
class Ref {
  public:
    Ref() noexcept = default;
    // Takes over a new reference; a null pointer (a failed call) stays null.
    // New references come from calls, which may have run Python code.
    static Ref steal(PyObject* obj) noexcept {
        python_may_have_run();
        return Ref(obj);
    }
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
    ~Ref() { release_reference(obj_); }

    PyObject* get() const noexcept { return obj_; }
    PyObject* release() noexcept { return std::exchange(obj_, nullptr); }
    explicit operator bool() const noexcept { return obj_ != nullptr; }

  private:
    explicit Ref(PyObject* obj) noexcept : obj_(obj) {}
    PyObject* obj_ = nullptr;
};

// A strong reference kept for the life of the process (interned names,
// fetched built-ins, the module's own functions). It is never released
// except when replaced, so lending it out as a plain pointer is safe.
class Kept {
  public:
    constexpr Kept() noexcept = default;
    Kept(const Kept&) = delete;
    Kept& operator=(const Kept&) = delete;
    Kept(Kept&&) = delete;
    Kept& operator=(Kept&&) = delete;
    ~Kept() = default;  // never released: the module outlives every use

    // Replaces the kept object (the old one is released).
    void reset(Ref obj) noexcept { Ref old = Ref::steal(std::exchange(obj_, obj.release())); }
    PyObject* get() const noexcept { return obj_; }
    operator PyObject*() const noexcept { return obj_; }  // NOLINT(google-explicit-constructor)

  private:
    PyObject* obj_ = nullptr;
};

// --- the class's functions -------------------------------------------------

enum class Kind { method, static_method, property_getter, property_setter };

constexpr int kMaxParams = 7;

struct Param {
    const char* name;
    bool has_default;
    const char* default_text;  // with has_default: nullptr stands for None
};

constexpr Param required(const char* name) { return {name, false, nullptr}; }
constexpr Param none_default(const char* name) { return {name, true, nullptr}; }
constexpr Param text_default(const char* name, const char* text) { return {name, true, text}; }

#define TELVAR_VALIDATOR_DOC(text) "\n         " text "\n        "

// Every function of the class, in the order of definition: X(role, attribute
// name, kind, docstring (nullptr: none), parameters...). The enum, the
// declarations of the bodies, the binder's rows and the class assembly are
// all generated from this one list; each body is `<role>_impl`.
#define TELVAR_FUNCTIONS(X)                                                                        \
    X(init, "__init__", method, "\n            Initialize\n        ", required("self"))            \
    X(plugins_get, "plugins", property_getter, " Plugin list getter\n        ", required("self"))  \
    /* The setter shares the getter's docstring, as it always has. */                              \
    X(plugins_set, "plugins", property_setter, " Plugin list getter\n        ", required("self"),  \
      required("value"))                                                                           \
    X(validate_model, "validate_model", method, TELVAR_VALIDATOR_DOC("Validates Model"),           \
      required("self"), required("os"), required("platform"), required("model"))                   \
    X(validate_platform, "validate_platform", method, TELVAR_VALIDATOR_DOC("Validates platform"),  \
      required("self"), required("os"), required("platform"))                                      \
    X(validate_os, "validate_os", method, TELVAR_VALIDATOR_DOC("Validates OS"), required("self"),  \
      required("os"))                                                                              \
    X(validate_chassis_type, "validate_chassis_type", method,                                      \
      TELVAR_VALIDATOR_DOC("Validate chassis"), required("self"), required("chassis_type"))        \
    X(validate_arguments, "validate_arguments", method,                                            \
      " Validates the input arguments provided\n        ", required("self"), required("os"),       \
      required("platform"), required("model"), required("chassis_type"))                           \
    X(get_plugin, "get_plugin", method,                                                            \
      "\n            This method returns the connection class based on the\n"                      \
      "            input details provided\n        ",                                              \
      required("self"), none_default("os"), none_default("platform"), none_default("model"),       \
      none_default("os_flavor"), text_default("chassis_type", "single_rp"))                        \
    X(unregister_plugin, "unregister_plugin", method,                                              \
      "\n            This method unregister a particular implementations from\n"                   \
      "            the internal database\n        ",                                               \
      required("self"), none_default("os"), none_default("platform"), none_default("model"),       \
      none_default("os_flavor"), none_default("chassis_type"))                                     \
    X(register_plugin, "register_plugin", method,                                                  \
      "\n            This method registers all the implementation plugin(i.e connection class)\n"  \
      "            to the telvar plugin manager\n\n"                                               \
      "            It takes OS, platform, MODEL information and based on that\n"                   \
      "            registers it\n\n"                                                               \
      "            cls refer to the connection class\n"                                            \
      "            chassis_type indicates if the connection class is for single_rp or\n"           \
      "            dual_rp or stack(default single_rp)\n\n        ",                               \
      required("self"), required("cls"), none_default("os"), none_default("platform"),             \
      none_default("model"), none_default("os_flavor"), text_default("chassis_type", "single_rp")) \
    X(discover_builtin_plugins, "discover_builtin_plugins", static_method, "loads all plugins")    \
    X(discover_external_plugins, "discover_external_plugins", static_method,                       \
      "\n        discover external plugins defined that users pip installed.\n        ")           \
    X(print_tree, "print_tree", method,                                                            \
      " This Method print the plugin list in tree structure\n\n"                                   \
      "        Sample Tree Structure::\n\n"                                                        \
      "            plugin\n"                                                                       \
      "              |__ alpha\n"                                                                  \
      "                |__ data\n"                                                                 \
      "                  |__ dual_rp\n"                                                            \
      "                  |  |__ cls = <class 'alpha.conn.DualRp'>\n"                               \
      "                  |  |__ path = /opt/alpha/conn.py\n"                                       \
      "                  |__ single_rp\n"                                                          \
      "                    |__ cls = <class 'alpha.conn.SingleRp'>\n"                              \
      "                    |__ path = /opt/alpha/conn.py\n"                                        \
      "\n        ",                                                                                \
      required("self"), required("data"), text_default("output", "plugin"))                        \
    X(repr, "__repr__", method, nullptr, required("self"))

enum class Fn : int {
#define TELVAR_ROLE(role, ...) role,
    TELVAR_FUNCTIONS(TELVAR_ROLE)
#undef TELVAR_ROLE
        count
};

constexpr int kFunctionCount = static_cast<int>(Fn::count);

// What a function's body gets: every parameter, bound, `self` first (none
// for the parameterless static methods), and the thread state running it
// (nullptr in the outermost call, which does not look it up), which the
// body hands on to the module's own functions it calls.
struct Call {
    PyObject* const* args;
    PyThreadState* thread;
    PyObject* operator[](int index) const { return args[index]; }
};

// Body of a function: returns a new reference, or nullptr with an
// exception set.
using Impl = PyObject* (*)(const Call& args);

#define TELVAR_DECLARE_IMPL(role, ...) PyObject* role##_impl(const Call& args);
TELVAR_FUNCTIONS(TELVAR_DECLARE_IMPL)
#undef TELVAR_DECLARE_IMPL

struct FunctionSpec {
    const char* name;
    Kind kind;
    const char* doc;
    Impl impl;
    Param params[kMaxParams];

    constexpr int param_count() const {
        int count = 0;
        while (count < kMaxParams && params[count].name != nullptr) {
            ++count;
        }
        return count;
    }
    constexpr int default_count() const {
        int count = 0;
        for (int i = 0; i < param_count(); ++i) {
            count += params[i].has_default ? 1 : 0;
        }
        return count;
    }
};

inline constexpr FunctionSpec kFunctionSpecs[kFunctionCount] = {
#define TELVAR_SPEC_ROW(role, name, kind, doc, ...) \
    {name, Kind::kind, doc, role##_impl, {__VA_ARGS__}},
    TELVAR_FUNCTIONS(TELVAR_SPEC_ROW)
#undef TELVAR_SPEC_ROW
};

constexpr const FunctionSpec& spec_of(Fn role) { return kFunctionSpecs[static_cast<int>(role)]; }

// --- interned names and module state ---------------------------------------

// Interned strings, created once and kept for the life of the process.
// X(field, text).
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
    X(newline, "\n")                                            \
    X(slash, "/")                                               \
    X(dot, ".")                                                 \
    X(empty, "")                                                \
    X(dot_plugins_dot, ".plugins.")                             \
    X(dot_tests_dot, ".tests.")                                 \
    X(tests, "tests")                                           \
    X(connector, "__ ")                                         \
    X(equals, " = ")                                            \
    X(bar, "  |")                                               \
    X(blank, "  ")                                              \
    X(newline_bar, "\n  |")                                     \
    X(not_found, "Plugin data not found")                       \
    X(not_found_for, "Plugin data not found for %s")            \
    X(not_found_for_open, "Plugin data not found for (")        \
    X(not_found_type, "), type: ")                              \
    X(blank_one, " ")                                           \
    X(registered_for, " already registered for [")              \
    X(comma, ", ")                                              \
    X(quote, "'")                                               \
    X(close_bracket, "], ")                                     \
    X(from_word, " from ")                                      \
    X(overriding, " is overriding this class")                  \
    X(replaced_template, " {} already registered for {}, {} from {} is overriding this class")

struct Names {
#define TELVAR_DECLARE_NAME(field, text) Kept field;
    TELVAR_NAMES(TELVAR_DECLARE_NAME)
#undef TELVAR_DECLARE_NAME
    // Keyword-name tuples of the calls the module makes.
    Kept kw_os_platform_model;
    Kept kw_platform_os;
    Kept kw_os;
    Kept kw_chassis_type;
    Kept kw_data_output;
    Kept kw_group;
};

// The built-in names fetched at module execution.
struct Builtins {
    Kept object;
    Kept property;
    Kept staticmethod;
    Kept import_error;
    Kept hex;
    Kept id;
};

// Everything the module keeps between calls. One module object per process.
struct State {
    Kept module;
    PyObject* globals = nullptr;  // borrowed: the dict of `module`, which lives forever
    Kept builtins_dict;
    Builtins builtins;
    Kept own[kFunctionCount];  // the module's own function objects, by role
};

extern Names names;
extern State state;

inline PyObject* own_function(Fn role) { return state.own[static_cast<int>(role)]; }

// --- helpers every part uses (common.cpp) ------------------------------------

// A global name looked up at use: module globals, then builtins, else
// NameError.
Ref lookup_global(PyObject* name);

// `<global>.<attribute>`, the global looked up at use (log.debug, os.path).
Ref global_attribute(PyObject* global, PyObject* attribute);

// `raise obj` for whatever the error class returned.
PyObject* raise_object(PyObject* obj);

// `raise ConnectionInfraError(<message>)`: the class is looked up first, as
// the interpreter evaluates the expression, then `build_message()` makes
// the message (a Ref, null with an exception set). Always returns nullptr.
template <class BuildMessage>
PyObject* raise_infra_error(BuildMessage&& build_message) {
    Ref error_class = lookup_global(names.ConnectionInfraError);
    if (!error_class) {
        return nullptr;
    }
    Ref message = build_message();
    if (!message) {
        return nullptr;
    }
    Ref error = Ref::steal(PyObject_CallOneArg(error_class.get(), message.get()));
    return error ? raise_object(error.get()) : nullptr;
}

// mapping[key]; a plain dict is searched once, even for the KeyError.
Ref get_item(PyObject* mapping, PyObject* key);

// The concatenation of str pieces, made in one allocation.
Ref join_texts(PyObject* const* pieces, int count);

// ConnectionInfraError(text) for a fixed text.
PyObject* raise_infra_text(PyObject* text);

// NameError "name '<name>' is not defined", with its `name` set.
void raise_name_error(PyObject* name);

// The from-import rule: an attribute of the module, else an already
// imported submodule of that name, else ImportError.
Ref import_from(PyObject* module, PyObject* name);

// --- callables (function.cpp) --------------------------------------------

bool function_type_ready();
// Whether `obj` is one of the module's function objects.
bool is_own_function(PyObject* obj);
// Creates the function object of a role; nullptr with an exception set.
Ref make_function(Fn role);

// `obj.name` looked up as the interpreter does for a method call, without a
// bound-method object where the interpreter would not make one either.
class Method {
  public:
    bool lookup(PyObject* obj, Site site, PyObject* name);
    // Calls the method. `stack[0]` must be the object itself, followed by
    // the positional and then the keyword values (`nargs` counts the object
    // and the positional values). One of the module's own functions gets
    // the same stack through its binder.
    Ref call(PyObject* const* stack, size_t nargs, PyObject* kwnames,
             PyThreadState* thread = nullptr) const;

    // Whether the method is the module's own function of that role.
    bool resolves_to(Fn role) const { return unbound_ && callable_.get() == own_function(role); }

  private:
    Ref callable_;
    bool unbound_ = false;
};

// self.<name>(...) looked up and called at once.
inline Ref call_method(PyObject* obj, Site site, PyObject* name, PyObject* const* stack,
                       size_t nargs, PyObject* kwnames, PyThreadState* thread) {
    Method method;
    if (!method.lookup(obj, site, name)) {
        return {};
    }
    return method.call(stack, nargs, kwnames, thread);
}

// self.validate_arguments(os, platform, model, chassis_type): `params` are
// self and the four values; `view` is a view of self, current again when
// this returns. 0, or -1 with an exception set.
int call_validate_arguments(PyObject* const* params, PyThreadState* thread, ManagerView& view);

// `self.<site>` read as an attribute.
inline Ref self_attribute(PyObject* self, Site site, PyObject* name) {
    PyObject* value = peek_instance_attribute(self, site);
    return value != nullptr ? Ref::hold(value) : Ref::steal(PyObject_GetAttr(self, name));
}

// obj.name() with no arguments, for methods that are never our own.
inline Ref call_method0(PyObject* obj, PyObject* name) {
    return Ref::steal(PyObject_CallMethodNoArgs(obj, name));
}

// --- shared small operations ---------------------------------------------

// PyObject_IsTrue, with None, bools, exact str, exact dicts and plain
// classes answered inline.
TELVAR_ALWAYS_INLINE int is_true(PyObject* value) {
    if (PyUnicode_CheckExact(value)) {  // the usual argument, so first
        return PyUnicode_GET_LENGTH(value) != 0;
    }
    if (value == Py_None || value == Py_False) {
        return 0;
    }
    if (value == Py_True) {
        return 1;
    }
    if (PyDict_CheckExact(value)) {
        return PyDict_GET_SIZE(value) != 0;
    }
    if (Py_IS_TYPE(value, &PyType_Type)) {
        return 1;  // `type` defines neither __bool__ nor __len__
    }
    return python_truth(value);
}

// `a == b` followed by a truth test: the operator itself, without the
// identity shortcut of PyObject_RichCompareBool.
inline int equals(PyObject* a, PyObject* b) {
    Ref result = Ref::steal(PyObject_RichCompare(a, b, Py_EQ));
    return result ? is_true(result.get()) : -1;
}

// Text equality of two exact str, which runs no Python code.
inline bool same_text(PyObject* a, PyObject* b) {
    if (a == b) {
        return true;
    }
    const Py_ssize_t length = PyUnicode_GET_LENGTH(a);
    return length == PyUnicode_GET_LENGTH(b) && PyUnicode_KIND(a) == PyUnicode_KIND(b) &&
           std::memcmp(PyUnicode_DATA(a), PyUnicode_DATA(b),
                       static_cast<size_t>(length) * PyUnicode_KIND(a)) == 0;
}

}  // namespace telvar
