// Module frame: initialisation (create and exec), the imports the methods
// rely on, the PluginManager class, construction and the plugins property.
#include "common.hpp"

namespace telvar {

Names names;
State state;

namespace {

constexpr const char* kModuleDoc =
    "\n"
    "Module:\n"
    "    telvar.core.pluginmanager\n"
    "\n"
    "Authors:\n"
    "    The telvar maintainers\n"
    "\n"
    "Description:\n"
    "    This module provides\n"
    "    1. Methods for identifying and loading plugin implementations\n"
    "    2. Methods for validating and accessing platform implementation\n";

constexpr const char* kClassDoc =
    "\n        Loads all plugin implementation,\n        provides API's for accessing plugins\n    ";

// --- interned names ---------------------------------------------------------

bool intern_names() {
#define TELVAR_INTERN_NAME(field, text)                                \
    if ((names.field = PyUnicode_InternFromString(text)) == nullptr) { \
        return false;                                                  \
    }
    TELVAR_NAMES(TELVAR_INTERN_NAME)
#undef TELVAR_INTERN_NAME
    names.kw_os_platform_model = PyTuple_Pack(3, names.os, names.platform, names.model);
    names.kw_platform_os = PyTuple_Pack(2, names.platform, names.os);
    names.kw_os = PyTuple_Pack(1, names.os);
    names.kw_chassis_type = PyTuple_Pack(1, names.chassis_type);
    names.kw_data_output = PyTuple_Pack(2, names.data, names.output);
    names.kw_group = PyTuple_Pack(1, names.group);
    return names.kw_os_platform_model != nullptr && names.kw_platform_os != nullptr &&
           names.kw_os != nullptr && names.kw_chassis_type != nullptr &&
           names.kw_data_output != nullptr && names.kw_group != nullptr;
}

// --- execution of the module body -------------------------------------------

bool fetch_builtin(const char* name, PyObject** slot) {
    PyObject* value = PyDict_GetItemString(state.builtins, name);  // borrowed
    if (value == nullptr) {
        PyErr_Format(PyExc_NameError, "name '%s' is not defined", name);
        return false;
    }
    *slot = Py_NewRef(value);
    return true;
}

bool fetch_builtins() {
    Ref builtins_module = Ref::steal(PyImport_ImportModule("builtins"));
    if (!builtins_module) {
        return false;
    }
    state.builtins = Py_NewRef(PyModule_GetDict(builtins_module.get()));
    return fetch_builtin("object", &state.builtin_object) &&
           fetch_builtin("property", &state.builtin_property) &&
           fetch_builtin("staticmethod", &state.builtin_staticmethod) &&
           fetch_builtin("ImportError", &state.builtin_import_error) &&
           fetch_builtin("hex", &state.builtin_hex) && fetch_builtin("id", &state.builtin_id);
}

bool bind_global(PyObject* name, PyObject* value) {
    return PyDict_SetItem(state.globals, name, value) == 0;
}

// `import <name>`
bool import_module_statement(PyObject* name) {
    Ref module = Ref::steal(
        PyImport_ImportModuleLevelObject(name, state.globals, nullptr, nullptr, 0));
    return module && bind_global(name, module.get());
}

// `from <module> import <names...>` at the given level; binds each name as
// soon as it is found.
bool from_import_statement(const char* module_name, int level,
                           std::initializer_list<PyObject*> imported) {
    Ref name = Ref::steal(PyUnicode_FromString(module_name));
    Ref fromlist = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(imported.size())));
    if (!name || !fromlist) {
        return false;
    }
    Py_ssize_t i = 0;
    for (PyObject* item : imported) {
        PyTuple_SET_ITEM(fromlist.get(), i++, Py_NewRef(item));
    }
    Ref module = Ref::steal(PyImport_ImportModuleLevelObject(name.get(), state.globals, nullptr,
                                                             fromlist.get(), level));
    if (!module) {
        return false;
    }
    for (PyObject* item : imported) {
        Ref value = import_from(module.get(), item);
        if (!value || !bind_global(item, value.get())) {
            return false;
        }
    }
    return true;
}

bool set_item(PyObject* mapping, PyObject* key, PyObject* value) {
    return value != nullptr && PyObject_SetItem(mapping, key, value) == 0;
}

bool store_function(PyObject* ns, Fn role, PyObject* name) {
    Ref fn = make_function(role);
    if (!fn) {
        return false;
    }
    Py_XSETREF(state.own[static_cast<int>(role)], Py_NewRef(fn.get()));
    return set_item(ns, name, fn.get());
}

bool store_static_function(PyObject* ns, Fn role, const char* name) {
    Ref fn = make_function(role);
    Ref key = Ref::steal(PyUnicode_InternFromString(name));
    if (!fn || !key) {
        return false;
    }
    Py_XSETREF(state.own[static_cast<int>(role)], Py_NewRef(fn.get()));
    Ref wrapped = Ref::steal(PyObject_CallOneArg(state.builtin_staticmethod, fn.get()));
    return set_item(ns, key.get(), wrapped.get());
}

bool store_named_function(PyObject* ns, Fn role, const char* name) {
    Ref key = Ref::steal(PyUnicode_InternFromString(name));
    return key && store_function(ns, role, key.get());
}

// The class statement: namespace from the metaclass's __prepare__, entries in
// table order, then the metaclass called with name, bases and namespace.
bool build_class() {
    auto* metaclass = reinterpret_cast<PyObject*>(Py_TYPE(state.builtin_object));
    Ref bases = Ref::steal(PyTuple_Pack(1, state.builtin_object));
    if (!bases) {
        return false;
    }
    Ref ns = Ref::steal(PyObject_CallMethodObjArgs(metaclass, names.dunder_prepare,
                                                   names.PluginManager, bases.get(), nullptr));
    if (!ns) {
        return false;
    }
    Ref module_name = Ref::steal(PyUnicode_FromString("telvar.core.pluginmanager"));
    Ref class_doc = Ref::steal(PyUnicode_FromString(kClassDoc));
    if (!set_item(ns.get(), names.dunder_module, module_name.get()) ||
        !set_item(ns.get(), names.dunder_qualname, names.PluginManager) ||
        !set_item(ns.get(), names.dunder_doc, class_doc.get())) {
        return false;
    }
    if (!store_named_function(ns.get(), Fn::init, "__init__")) {
        return false;
    }

    // plugins = property(getter); plugins = plugins.setter(setter)
    Ref plugins_name = Ref::steal(PyUnicode_InternFromString("plugins"));
    Ref getter = make_function(Fn::plugins_get);
    Ref setter = make_function(Fn::plugins_set);
    if (!plugins_name || !getter || !setter) {
        return false;
    }
    Py_XSETREF(state.own[static_cast<int>(Fn::plugins_get)], Py_NewRef(getter.get()));
    Py_XSETREF(state.own[static_cast<int>(Fn::plugins_set)], Py_NewRef(setter.get()));
    Ref read_only = Ref::steal(PyObject_CallOneArg(state.builtin_property, getter.get()));
    if (!set_item(ns.get(), plugins_name.get(), read_only.get())) {
        return false;
    }
    Ref prop = Ref::steal(PyObject_GetItem(ns.get(), plugins_name.get()));
    if (!prop) {
        return false;
    }
    Ref read_write = Ref::steal(PyObject_CallMethodOneArg(prop.get(), names.setter, setter.get()));
    if (!set_item(ns.get(), plugins_name.get(), read_write.get())) {
        return false;
    }

    if (!store_function(ns.get(), Fn::validate_model, names.validate_model) ||
        !store_function(ns.get(), Fn::validate_platform, names.validate_platform) ||
        !store_function(ns.get(), Fn::validate_os, names.validate_os) ||
        !store_function(ns.get(), Fn::validate_chassis_type, names.validate_chassis_type) ||
        !store_function(ns.get(), Fn::validate_arguments, names.validate_arguments) ||
        !store_named_function(ns.get(), Fn::get_plugin, "get_plugin") ||
        !store_named_function(ns.get(), Fn::unregister_plugin, "unregister_plugin") ||
        !store_named_function(ns.get(), Fn::register_plugin, "register_plugin") ||
        !store_static_function(ns.get(), Fn::discover_builtin_plugins,
                               "discover_builtin_plugins") ||
        !store_static_function(ns.get(), Fn::discover_external_plugins,
                               "discover_external_plugins") ||
        !store_function(ns.get(), Fn::print_tree, names.print_tree) ||
        !store_named_function(ns.get(), Fn::repr, "__repr__")) {
        return false;
    }

    Ref cls = Ref::steal(PyObject_CallFunctionObjArgs(metaclass, names.PluginManager, bases.get(),
                                                      ns.get(), nullptr));
    return cls && bind_global(names.PluginManager, cls.get());
}

// The module body, in source order.
bool run_module_body() {
    return import_module_statement(names.os) && import_module_statement(names.pkgutil) &&
           import_module_statement(names.importlib) &&
           from_import_statement("telvar", 0, {names.log}) &&
           from_import_statement("telvar.plugins", 0,
                                 {names.supported_chassis, names.supported_os}) &&
           from_import_statement("inspect", 0, {names.getfile}) &&
           from_import_statement("errors", 1, {names.ConnectionInfraError}) &&
           from_import_statement("pkg_resources", 0, {names.iter_entry_points}) &&
           bind_global(names.ENTRYPOINT_GROUP, names.telvar_plugins) && build_class();
}

// --- create and exec ----------------------------------------------------------

int64_t loaded_interpreter = -1;
bool executed = false;

bool copy_spec_attribute(PyObject* module, PyObject* spec, PyObject* from, PyObject* to,
                         bool skip_none) {
    Ref value = Ref::steal(PyObject_GetAttr(spec, from));
    if (!value) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
            return false;
        }
        PyErr_Clear();
        return true;
    }
    if (skip_none && value.get() == Py_None) {
        return true;
    }
    return PyObject_SetAttr(module, to, value.get()) == 0;
}

PyObject* module_create(PyObject* spec, PyModuleDef* /*def*/) {
    const int64_t current = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (current == -1) {
        return nullptr;
    }
    if (loaded_interpreter == -1) {
        loaded_interpreter = current;
    } else if (current != loaded_interpreter) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one "
                        "interpreter per process.");
        return nullptr;
    }
    if (state.module != nullptr) {
        return Py_NewRef(state.module);
    }
    if (!function_type_ready() || !intern_names()) {
        return nullptr;
    }
    Ref name = Ref::steal(PyObject_GetAttrString(spec, "name"));
    if (!name) {
        return nullptr;
    }
    Ref module = Ref::steal(PyModule_NewObject(name.get()));
    if (!module ||
        !copy_spec_attribute(module.get(), spec, names.loader, names.dunder_loader, false) ||
        !copy_spec_attribute(module.get(), spec, names.origin, names.dunder_file, false) ||
        !copy_spec_attribute(module.get(), spec, names.parent, names.dunder_package, false) ||
        !copy_spec_attribute(module.get(), spec, names.submodule_search_locations,
                             names.dunder_path, true)) {
        return nullptr;
    }
    state.module = Py_NewRef(module.get());
    return module.release();
}

int module_exec(PyObject* module) {
    if (module != state.module) {
        PyErr_SetString(PyExc_RuntimeError,
                        "Module 'pluginmanager' has already been imported. Re-initialisation is "
                        "not supported.");
        return -1;
    }
    if (executed) {
        return 0;
    }
    state.globals = PyModule_GetDict(module);  // borrowed: the module lives forever
    if (state.builtins == nullptr && !fetch_builtins()) {
        return -1;
    }
    // A body that failed part way runs again from the start on the next
    // import, so the error is reported again instead of a half-built module.
    if (!run_module_body()) {
        return -1;
    }
    executed = true;
    return 0;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(module_create)},
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "pluginmanager", kModuleDoc, 0,       nullptr,
    module_slots,          nullptr,         nullptr,    nullptr,
};

}  // namespace

// --- helpers shared by every part ---------------------------------------------

Ref lookup_global(PyObject* name) {
    PyObject* value = PyDict_GetItemWithError(state.globals, name);  // borrowed
    if (value == nullptr && !PyErr_Occurred()) {
        value = PyDict_GetItemWithError(state.builtins, name);
        if (value == nullptr && !PyErr_Occurred()) {
            PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
        }
    }
    return Ref::hold(value);
}

Ref global_attribute(PyObject* global, PyObject* attribute) {
    Ref value = lookup_global(global);
    return value ? Ref::steal(PyObject_GetAttr(value.get(), attribute)) : Ref();
}

PyObject* raise_object(PyObject* obj) {
    if (PyExceptionInstance_Check(obj)) {
        PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(obj)), obj);
    } else if (PyExceptionClass_Check(obj)) {
        PyErr_SetNone(obj);
    } else {
        PyErr_SetString(PyExc_TypeError, "exceptions must derive from BaseException");
    }
    return nullptr;
}

PyObject* raise_connection_error(Ref error_class, Ref message) {
    if (!error_class || !message) {
        return nullptr;
    }
    Ref error = Ref::steal(PyObject_CallOneArg(error_class.get(), message.get()));
    if (!error) {
        return nullptr;
    }
    return raise_object(error.get());
}

Ref import_from(PyObject* module, PyObject* name) {
    Ref value = Ref::steal(PyObject_GetAttr(module, name));
    if (value || !PyErr_ExceptionMatches(PyExc_AttributeError)) {
        return value;
    }
    PyErr_Clear();
    Ref package = Ref::steal(PyObject_GetAttr(module, names.dunder_name));
    if (!package) {
        PyErr_Clear();
    } else if (PyUnicode_Check(package.get())) {
        Ref full_name = Ref::steal(PyUnicode_FromFormat("%U.%U", package.get(), name));
        if (!full_name) {
            return {};
        }
        Ref submodule = Ref::steal(PyImport_GetModule(full_name.get()));
        if (submodule || PyErr_Occurred()) {
            return submodule;
        }
    }
    PyObject* shown = package ? package.get() : Py_None;
    Ref location = Ref::steal(PyModule_Check(module) ? PyModule_GetFilenameObject(module)
                                                     : nullptr);
    if (!location) {
        PyErr_Clear();
    }
    Ref message = Ref::steal(
        location ? PyUnicode_FromFormat("cannot import name %R from %R (%S)", name, shown,
                                        location.get())
                 : PyUnicode_FromFormat("cannot import name %R from %R (unknown location)", name,
                                        shown));
    if (!message) {
        return {};
    }
    PyErr_SetImportError(message.get(), package ? package.get() : nullptr, location.get());
    return {};
}

// --- construction and the plugins property --------------------------------

PyObject* init_impl(PyObject* const* args) {
    PyObject* self = args[0];
    Ref registry = Ref::steal(PyDict_New());
    if (!registry || PyObject_SetAttr(self, names.plugins_attr, registry.get()) < 0) {
        return nullptr;
    }
    Ref chassis = lookup_global(names.supported_chassis);
    if (!chassis || PyObject_SetAttr(self, names.chassis_type_list, chassis.get()) < 0) {
        return nullptr;
    }
    Ref supported = lookup_global(names.supported_os);
    if (!supported || PyObject_SetAttr(self, names.supported_os, supported.get()) < 0) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

PyObject* plugins_get_impl(PyObject* const* args) {
    return PyObject_GetAttr(args[0], names.plugins_attr);
}

PyObject* plugins_set_impl(PyObject* const* /*args*/) {
    PyErr_SetString(PyExc_Exception, " Protected Member, cannot modify Plugins");
    return nullptr;
}

}  // namespace telvar

PyMODINIT_FUNC PyInit_pluginmanager(void) { return PyModuleDef_Init(&telvar::module_def); }
