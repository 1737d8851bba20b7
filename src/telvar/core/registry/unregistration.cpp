// Unregistration of connection classes by OS, platform, model, OS flavour
// and chassis type (the tree: registry.hpp).
#include "registry/registry.hpp"

namespace telvar {

namespace {

PyObject* raise_nothing_found() { return raise_infra_text("Plugin data not found"); }

}  // namespace

// Addresses one exact node; every check comes before the one deletion.
PyObject* unregister_plugin_impl(const Call& args) {
    PyObject* self = args[0];
    PyObject* chassis_type = args[5];
    // The caller's chassis type is never validated here.
    CallPath at(args, 1, names.single_rp);
    if (at.length < 0) {
        return nullptr;
    }
    Ref node = registry_root(self);
    const int walked = node ? walk(node, at.path, at.length, Missing::stop, false) : -1;
    if (walked < at.length) {
        return walked < 0 ? nullptr : raise_nothing_found();
    }
    if (chassis_type == Py_None) {
        const int has_data = has_key(node.get(), names.data);
        if (has_data <= 0) {
            return has_data < 0 ? nullptr : raise_nothing_found();
        }
        return py::del_item(node.get(), names.data) < 0 ? nullptr : Py_NewRef(Py_None);
    }
    Ref data;
    const int has_data = find_entry(node.get(), names.data, data);
    if (has_data <= 0) {
        return has_data < 0 ? nullptr : raise_nothing_found();
    }
    const int registered = has_key(data.get(), chassis_type);
    if (registered == 0) {
        return raise_infra_formatted("Plugin data not found for %s", chassis_type);
    }
    if (registered < 0 || py::del_item(data.get(), chassis_type) < 0) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

}  // namespace telvar
