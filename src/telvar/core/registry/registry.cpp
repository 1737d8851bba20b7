// The registry tree (registry.hpp): the walk down the tree, construction and
// the plugins property.
#include "registry/registry.hpp"

namespace telvar {

namespace {

// `element in node.keys()`
int in_keys(PyObject* node, PyObject* element) {
    if (PyDict_CheckExact(node)) {
        return has_key(node, element);  // what keys() would answer
    }
    Ref keys = py::call_method0(node, names.keys);
    return keys ? py::contains(keys.get(), element) : -1;
}

// Whether `child`, the value that the comparison of `element` with the
// node's keys found, is the node's data map: the value under "data" in the
// node's storage, read by one probe where its keys are all exact str, and
// else by a scan of its entries. Neither runs Python code.
bool is_data_entry(PyObject* node, PyObject* child) {
    if (!PyDict_Check(node)) {
        return false;
    }
    const Inert<> data = inert_find(node, names.data, true);
    if (!data.unknown()) {
        return data.found() && data.value.get() == child;
    }
    Py_ssize_t pos = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(node, &pos, &key, &value)) {
        if (value == child && is_reserved_text(key)) {
            return true;
        }
    }
    return false;
}

// One step of a walk: is `element` a child of `node` (a membership test on
// node.keys(), then node[element])? An element whose text is "data" is
// never one, and the node is not asked about it; nor is the node's own data
// map, whatever key reaches it.
Step find_child(PyObject* node, PyObject* element, Ref& child) {
    if (is_reserved_text(element)) {
        return Step::reserved;
    }
    const Inert<Py_hash_t> hash = inert_hash(element);
    const Inert<> inert = hash.found()
                              ? inert_child(node, element, hash.value, inert_hash(names.data).value)
                              : Inert<>{};
    if (!inert.unknown()) {
        child = Ref::hold(inert.value.get());
        return inert.found() ? Step::child : Step::absent;
    }
    const int present = in_keys(node, element);
    if (present <= 0) {
        return present < 0 ? Step::failed : Step::absent;
    }
    child = get_item(node, element);
    if (!child) {
        return Step::failed;
    }
    return is_data_entry(node, child.get()) ? Step::reserved : Step::child;
}

}  // namespace

PyObject* refuse_reserved() {
    return raise_infra_text("'data' is reserved and cannot be used as a plugin path element");
}

int walk(Ref& node, PyObject* const* path, int length, Missing missing, bool refuse_data) {
    for (int i = 0; i < length; ++i) {
        Ref child;
        const Step step = find_child(node.get(), path[i], child);
        if (step == Step::failed) {
            return -1;
        }
        if (step == Step::reserved && refuse_data) {
            refuse_reserved();
            return -1;
        }
        if (step == Step::child) {
            node = std::move(child);
        } else if (missing == Missing::stop) {
            return i;
        }
    }
    return length;
}

// --- construction and the plugins property --------------------------------

PyObject* init_impl(const Call& args) {
    PyObject* self = args[0];
    Ref registry = Ref::steal(PyDict_New());
    if (!registry || py::set_attribute(self, site_name(Site::plugins), registry.get()) < 0) {
        return nullptr;
    }
    Ref chassis = lookup_global(names.supported_chassis);
    if (!chassis ||
        py::set_attribute(self, site_name(Site::chassis_type_list), chassis.get()) < 0) {
        return nullptr;
    }
    Ref supported = lookup_global(names.supported_os);
    if (!supported || py::set_attribute(self, site_name(Site::supported_os), supported.get()) < 0) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

PyObject* plugins_get_impl(const Call& args) { return registry_root(args[0]).release(); }

PyObject* plugins_set_impl(const Call& /*args*/) {
    // The leading blank is part of the message callers have always seen.
    PyErr_SetString(PyExc_Exception, " Protected Member, cannot modify Plugins");
    return nullptr;
}

}  // namespace telvar
