// Plugin discovery: importing the plugin modules that ship in telvar.plugins,
// and loading the plugins other distributions advertise through entry points.
#include "calls/calls.hpp"

namespace telvar {

namespace {

// `from telvar.plugins import <first>, <second>`
bool import_plugin_package(PyObject* first, PyObject* second, Ref& first_value, Ref& second_value) {
    Ref fromlist = Ref::steal(PyTuple_Pack(2, first, second));
    if (!fromlist) {
        return false;
    }
    Ref package = py::import(names.telvar_plugins, state.globals, fromlist.get(), 0);
    if (!package) {
        return false;
    }
    first_value = import_from(package.get(), first);
    if (!first_value) {
        return false;
    }
    second_value = import_from(package.get(), second);
    return static_cast<bool>(second_value);
}

// The handler of the ImportError fallback: the package's own directory
// becomes the only search path.
bool locate_by_file(Ref& plugins_path, Ref& telvar_name) {
    Ref telvar_init;
    if (!import_plugin_package(names.dunder_file, names.dunder_name, telvar_init, telvar_name)) {
        return false;
    }
    Ref os_path = global_attribute(names.os, names.path);
    if (!os_path) {
        return false;
    }
    Ref directory = py::call_method1(os_path.get(), names.dirname, telvar_init.get());
    plugins_path = directory ? Ref::steal(PyList_New(1)) : Ref();
    if (plugins_path) {
        PyList_SET_ITEM(plugins_path.get(), 0, directory.release());
    }
    return static_cast<bool>(plugins_path);
}

bool locate_plugins(Ref& plugins_path, Ref& telvar_name) {
    if (import_plugin_package(names.dunder_path, names.dunder_name, plugins_path, telvar_name)) {
        return true;
    }
    if (!PyErr_ExceptionMatches(state.builtins.import_error)) {
        return false;
    }
    // Run the fallback with the ImportError as the exception being handled,
    // so that a failure inside it carries it as its context.
    Ref handled = Ref::steal(PyErr_GetRaisedException());
    Ref outer = Ref::steal(PyErr_GetHandledException());
    py::set_handled(handled.get());
    const bool found = locate_by_file(plugins_path, telvar_name);
    py::set_handled(outer.get());
    return found;
}

// The three name tests: inside a ".plugins." package, not a test module.
int is_plugin_module(PyObject* name) {
    int result = py::contains(name, names.dot_plugins_dot);
    if (result <= 0) {
        return result;
    }
    result = py::contains(name, names.dot_tests_dot);
    if (result != 0) {
        return result < 0 ? -1 : 0;
    }
    Ref ends = py::call_method1(name, names.endswith, names.tests);
    if (!ends) {
        return -1;
    }
    result = is_true(ends.get());
    return result < 0 ? -1 : !result;
}

// Unpacks a walk item into exactly three values, as `_finder, name, _ispkg
// = item` does, and returns the middle one.
Ref module_name_of(PyObject* item) {
    Ref iterator = py::iter(item);
    if (!iterator) {
        if (PyErr_ExceptionMatches(PyExc_TypeError) && Py_TYPE(item)->tp_iter == nullptr &&
            !PySequence_Check(item)) {
            py::set_error_format(PyExc_TypeError, "cannot unpack non-iterable %.200s object",
                                 Py_TYPE(item)->tp_name);
        }
        return {};
    }
    Ref values[3];
    for (int i = 0; i < 3; ++i) {
        values[i] = py::next(iterator.get());
        if (!values[i]) {
            if (!PyErr_Occurred()) {
                py::set_error_format(PyExc_ValueError,
                                     "not enough values to unpack (expected 3, got %d)", i);
            }
            return {};
        }
    }
    Ref extra = py::next(iterator.get());
    if (extra) {
#ifdef TELVAR_PY314_UNPACK_COUNTS
        // As the interpreter says it: with the count where it has one.
        if (PyList_CheckExact(item) || PyTuple_CheckExact(item) || PyDict_CheckExact(item)) {
            py::set_error_format(PyExc_ValueError,
                                 "too many values to unpack (expected 3, got %zd)",
                                 PyDict_CheckExact(item) ? PyDict_Size(item) : Py_SIZE(item));
            return {};
        }
#endif
        // A value came, so no exception is set.
        PyErr_SetString(PyExc_ValueError, "too many values to unpack (expected 3)");
        return {};
    }
    if (PyErr_Occurred()) {
        return {};
    }
    return std::move(values[1]);
}

}  // namespace

PyObject* discover_builtin_plugins_impl(const Call& /*args*/) {
    Ref plugins_path;
    Ref telvar_name;
    if (!locate_plugins(plugins_path, telvar_name)) {
        return nullptr;
    }
    Ref walk_packages = global_attribute(names.pkgutil, names.walk_packages);
    Ref prefix = walk_packages ? py::add(telvar_name.get(), names.dot) : Ref();
    PyObject* walk_args[] = {plugins_path.get(), prefix.get()};
    Ref walk = prefix ? py::vectorcall(walk_packages.get(), walk_args, 2, nullptr) : Ref();
    Ref iterator = walk ? py::iter(walk.get()) : Ref();
    if (!iterator) {
        return nullptr;
    }
    while (Ref item = py::next(iterator.get())) {
        Ref name = module_name_of(item.get());
        if (!name) {
            return nullptr;
        }
        const int wanted = is_plugin_module(name.get());
        if (wanted < 0) {
            return nullptr;
        }
        if (wanted == 0) {
            continue;
        }
        Ref importlib = lookup_global(names.importlib);
        if (!importlib || !py::call_method1(importlib.get(), names.import_module, name.get())) {
            return nullptr;
        }
    }
    if (PyErr_Occurred()) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

PyObject* discover_external_plugins_impl(const Call& /*args*/) {
    Ref iter_entry_points = lookup_global(names.iter_entry_points);
    Ref group = iter_entry_points ? lookup_global(names.ENTRYPOINT_GROUP) : Ref();
    PyObject* call_args[] = {group.get()};
    Ref entry_points = group ? py::vectorcall(iter_entry_points.get(), call_args, 0, names.kw_group)
                             : Ref();
    Ref iterator = entry_points ? py::iter(entry_points.get()) : Ref();
    if (!iterator) {
        return nullptr;
    }
    while (Ref plugin = py::next(iterator.get())) {
        // log.debug("Loading external plugin %s from %s" % (name, module_name)), then load().
        Ref debug = global_attribute(names.log, names.debug);
        Ref name = debug ? py::attribute(plugin.get(), names.name) : Ref();
        Ref name_text = name ? py::str(name.get()) : Ref();
        Ref module_name = name_text ? py::attribute(plugin.get(), names.module_name) : Ref();
        Ref module_text = module_name ? py::str(module_name.get()) : Ref();
        Ref message = module_text ? py::format_text("Loading external plugin %U from %U",
                                                    name_text.get(), module_text.get())
                                  : Ref();
        if (!message || !py::call_one(debug.get(), message.get()) ||
            !py::call_method0(plugin.get(), names.load)) {
            return nullptr;
        }
    }
    if (PyErr_Occurred()) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

}  // namespace telvar
