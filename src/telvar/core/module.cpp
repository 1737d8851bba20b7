// Module frame: initialisation (create and exec), the imports the methods
// rely on, and the PluginManager class assembled from the function table.
#include "calls/calls.hpp"

#include <initializer_list>

namespace telvar {

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

// --- execution of the module body -------------------------------------------

Ref fetch_builtin(PyObject* builtins_dict, const char* name) {
    Ref name_object = Ref::steal(PyUnicode_InternFromString(name));
    Ref value;
    const int found = name_object ? py::dict_get(builtins_dict, name_object.get(), value) : -1;
    if (found == 0) {
        raise_name_error(name_object.get());
    }
    return value;
}

// The six built-in names, fetched anew by every execution that has not yet
// succeeded, and stored only once all of them were found.
bool fetch_builtins() {
    Ref builtins_module = py::import(names.builtins, nullptr, nullptr, 0);
    if (!builtins_module) {
        return false;
    }
    Ref dict = Ref::hold(PyModule_GetDict(builtins_module.get()));
    Ref object = fetch_builtin(dict.get(), "object");
    Ref property = object ? fetch_builtin(dict.get(), "property") : Ref();
    Ref staticmethod = property ? fetch_builtin(dict.get(), "staticmethod") : Ref();
    Ref import_error = staticmethod ? fetch_builtin(dict.get(), "ImportError") : Ref();
    Ref hex = import_error ? fetch_builtin(dict.get(), "hex") : Ref();
    Ref id = hex ? fetch_builtin(dict.get(), "id") : Ref();
    if (!id) {
        return false;
    }
    state.builtins_dict.reset(std::move(dict));
    state.builtins.object.reset(std::move(object));
    state.builtins.property.reset(std::move(property));
    state.builtins.staticmethod.reset(std::move(staticmethod));
    state.builtins.import_error.reset(std::move(import_error));
    state.builtins.hex.reset(std::move(hex));
    state.builtins.id.reset(std::move(id));
    return true;
}

bool bind_global(PyObject* name, PyObject* value) {
    return py::dict_set(state.globals, name, value) == 0;
}

// `import <name>`
bool import_module_statement(PyObject* name) {
    Ref module = py::import(name, state.globals, nullptr, 0);
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
    Ref module = py::import(name.get(), state.globals, fromlist.get(), level);
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

// The value a class-table entry stores: the function itself, wrapped in
// staticmethod, a new property, or the namespace's property with this setter.
Ref class_entry(PyObject* ns, PyObject* key, Kind kind, PyObject* fn) {
    switch (kind) {
        case Kind::method:
            return Ref::hold(fn);
        case Kind::static_method:
            return py::call_one(state.builtins.staticmethod, fn);
        case Kind::property_getter:
            return py::call_one(state.builtins.property, fn);
        case Kind::property_setter: {
            Ref prop = py::item(ns, key);
            return prop ? py::call_method1(prop.get(), names.setter, fn) : Ref();
        }
    }
    return {};
}

bool store_entries(PyObject* ns) {
    for (int i = 0; i < kFunctionCount; ++i) {
        const auto role = static_cast<Fn>(i);
        Ref fn = make_function(role);
        Ref key = Ref::steal(PyUnicode_InternFromString(spec_of(role).name));
        if (!fn || !key) {
            return false;
        }
        state.own[i].reset(Ref::hold(fn.get()));
        Ref entry = class_entry(ns, key.get(), spec_of(role).kind, fn.get());
        if (!entry || py::set_item(ns, key.get(), entry.get()) < 0) {
            return false;
        }
    }
    return true;
}

// The class statement: namespace from the metaclass's __prepare__, entries in
// table order, then the metaclass called with name, bases and namespace.
bool build_class() {
    PyObject* object = state.builtins.object;
    auto* metaclass = reinterpret_cast<PyObject*>(Py_TYPE(object));
    Ref bases = Ref::steal(PyTuple_Pack(1, object));
    if (!bases) {
        return false;
    }
    PyObject* prepare_args[] = {metaclass, names.PluginManager, bases.get()};
    Ref ns = py::vectorcall_method(names.dunder_prepare, prepare_args, 3);
    Ref class_doc = Ref::steal(PyUnicode_FromString(kClassDoc));
    if (!ns || !class_doc || py::set_item(ns.get(), names.dunder_module, names.module_path) < 0 ||
        py::set_item(ns.get(), names.dunder_qualname, names.PluginManager) < 0 ||
        py::set_item(ns.get(), names.dunder_doc, class_doc.get()) < 0 || !store_entries(ns.get())) {
        return false;
    }
    PyObject* class_args[] = {names.PluginManager, bases.get(), ns.get()};
    Ref cls = py::vectorcall(metaclass, class_args, 3);
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
    Ref value;
    const int has = py::optional_attribute(spec, from, value);
    if (has <= 0) {
        return has == 0;
    }
    if (skip_none && value.get() == Py_None) {
        return true;
    }
    return py::set_attribute(module, to, value.get()) == 0;
}

bool same_interpreter() {
    const int64_t current = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (current == -1) {
        return false;
    }
    if (loaded_interpreter == -1) {
        loaded_interpreter = current;
    } else if (current != loaded_interpreter) {
        // The interpreter's id was read without an error: none is set.
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one "
                        "interpreter per process.");
        return false;
    }
    return true;
}

PyObject* module_create(PyObject* spec, PyModuleDef* /*def*/) {
    if (!same_interpreter()) {
        return nullptr;
    }
    if (state.module != nullptr) {
        return Py_NewRef(state.module.get());
    }
    if (!function_type_ready() || !intern_names()) {
        return nullptr;
    }
    Ref name = py::attribute(spec, names.name);
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
    state.module.reset(Ref::hold(module.get()));
    return module.release();
}

// Each import of the one module object makes the interpreter forget the
// module's (empty) state block and allocate a new one before this runs; the
// forgotten block is released here.
void release_forgotten_state(PyObject* module) {
    static void* last_state = nullptr;
    void* current = PyModule_GetState(module);
    if (last_state != nullptr && last_state != current) {
        PyMem_Free(last_state);
    }
    last_state = current;
}

int module_exec(PyObject* module) {
    if (module != state.module) {
        // The import machinery calls exec with no exception set.
        PyErr_SetString(PyExc_RuntimeError,
                        "Module 'pluginmanager' has already been imported. Re-initialisation is "
                        "not supported.");
        return -1;
    }
    release_forgotten_state(module);
    if (executed) {
        return 0;
    }
    state.globals = PyModule_GetDict(module);
    // A body that failed part way runs again from the start on the next
    // import, so the error is reported again instead of a half-built module.
    if (!fetch_builtins() || !run_module_body()) {
        return -1;
    }
    Ref manager_class = lookup_global(names.PluginManager);
    if (!manager_class) {
        return -1;
    }
    internals_self_test(manager_class.get());
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

}  // namespace telvar

PyMODINIT_FUNC PyInit_pluginmanager(void) { return PyModuleDef_Init(&telvar::module_def); }
