// The module's function objects: one type for every entry of the class
// table, called through vectorcall, with the argument binding and its error
// texts in one place; and the method-call helper the other parts use.
#include "common.hpp"

#include <cstring>

namespace telvar {

namespace {

constexpr int kMaxParams = 7;

struct FunctionSpec {
    const char* name;
    const char* doc;  // nullptr: no docstring (None)
    Impl impl;
    int nparams;
    const char* params[kMaxParams];
    int ndefaults;  // defaults belong to the last `ndefaults` parameters
    // Default values by parameter index; nullptr stands for None.
    const char* defaults[kMaxParams];
};

#define TELVAR_VALIDATOR_DOC(text) "\n         " text "\n        "

// A drawing in the format print_tree produces, for its docstring.
#define TELVAR_SAMPLE_TREE                                          \
    "            plugin\n"                                          \
    "              |__ alpha\n"                                     \
    "                |__ data\n"                                    \
    "                  |__ dual_rp\n"                               \
    "                  |  |__ cls = <class 'alpha.conn.DualRp'>\n"  \
    "                  |  |__ path = /opt/alpha/conn.py\n"          \
    "                  |__ single_rp\n"                             \
    "                    |__ cls = <class 'alpha.conn.SingleRp'>\n" \
    "                    |__ path = /opt/alpha/conn.py\n"

// clang-format off
const FunctionSpec kSpecs[static_cast<int>(Fn::count)] = {
    {"__init__", "\n            Initialize\n        ", init_impl, 1, {"self"}, 0, {}},
    {"plugins", " Plugin list getter\n        ", plugins_get_impl, 1, {"self"}, 0, {}},
    {"plugins", " Plugin list getter\n        ", plugins_set_impl, 2, {"self", "value"}, 0, {}},
    {"validate_model", TELVAR_VALIDATOR_DOC("Validates Model"), validate_model_impl, 4,
     {"self", "os", "platform", "model"}, 0, {}},
    {"validate_platform", TELVAR_VALIDATOR_DOC("Validates platform"), validate_platform_impl, 3,
     {"self", "os", "platform"}, 0, {}},
    {"validate_os", TELVAR_VALIDATOR_DOC("Validates OS"), validate_os_impl, 2, {"self", "os"}, 0, {}},
    {"validate_chassis_type", TELVAR_VALIDATOR_DOC("Validate chassis"), validate_chassis_type_impl,
     2, {"self", "chassis_type"}, 0, {}},
    {"validate_arguments", " Validates the input arguments provided\n        ",
     validate_arguments_impl, 5, {"self", "os", "platform", "model", "chassis_type"}, 0, {}},
    {"get_plugin",
     "\n            This method returns the connection class based on the\n"
     "            input details provided\n        ",
     get_plugin_impl, 6, {"self", "os", "platform", "model", "os_flavor", "chassis_type"}, 5,
     {nullptr, nullptr, nullptr, nullptr, nullptr, "single_rp"}},
    {"unregister_plugin",
     "\n            This method unregister a particular implementations from\n"
     "            the internal database\n        ",
     unregister_plugin_impl, 6, {"self", "os", "platform", "model", "os_flavor", "chassis_type"}, 5,
     {}},
    {"register_plugin",
     "\n            This method registers all the implementation plugin(i.e connection class)\n"
     "            to the telvar plugin manager\n\n"
     "            It takes OS, platform, MODEL information and based on that\n"
     "            registers it\n\n"
     "            cls refer to the connection class\n"
     "            chassis_type indicates if the connection class is for single_rp or\n"
     "            dual_rp or stack(default single_rp)\n\n        ",
     register_plugin_impl, 7, {"self", "cls", "os", "platform", "model", "os_flavor", "chassis_type"},
     5, {nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, "single_rp"}},
    {"discover_builtin_plugins", "loads all plugins", discover_builtin_plugins_impl, 0, {}, 0, {}},
    {"discover_external_plugins",
     "\n        discover external plugins defined that users pip installed.\n        ",
     discover_external_plugins_impl, 0, {}, 0, {}},
    {"print_tree",
     " This Method print the plugin list in tree structure\n\n"
     "        Sample Tree Structure::\n\n" TELVAR_SAMPLE_TREE "\n        ",
     print_tree_impl, 3, {"self", "data", "output"}, 1, {nullptr, nullptr, "plugin"}},
    {"__repr__", nullptr, repr_impl, 1, {"self"}, 0, {}},
};
// clang-format on

struct NativeFunction {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    const FunctionSpec* spec;
    PyObject* name;
    PyObject* qualname;
    PyObject* module;
    PyObject* doc;
    PyObject* defaults;  // tuple, or None
    PyObject* param_names[kMaxParams];
    PyObject* default_values[kMaxParams];  // borrowed from `defaults`
};

// --- argument binding -----------------------------------------------------

PyObject* raise_count_error(const FunctionSpec& spec, const char* bound, Py_ssize_t expected,
                            Py_ssize_t given) {
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
                 spec.name, bound, expected, expected == 1 ? "" : "s", given);
    return nullptr;
}

int find_param(const NativeFunction* fn, PyObject* key) {
    const int n = fn->spec->nparams;
    for (int i = 0; i < n; ++i) {
        if (fn->param_names[i] == key) {
            return i;
        }
    }
    // Not interned (built at run time): compare the text.
    for (int i = 0; i < n; ++i) {
        if (PyUnicode_Compare(fn->param_names[i], key) == 0) {
            return i;
        }
    }
    return -1;
}

PyObject* function_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf,
                              PyObject* kwnames) {
    const auto* fn = reinterpret_cast<NativeFunction*>(callable);
    const FunctionSpec& spec = *fn->spec;
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    const Py_ssize_t nkw = kwnames != nullptr ? PyTuple_GET_SIZE(kwnames) : 0;

    if (spec.nparams == 0) {
        if (nargs > 0) {
            PyErr_Format(PyExc_TypeError, "%.200s() takes no arguments (%zd given)", spec.name,
                         nargs);
            return nullptr;
        }
        if (nkw > 0) {
            PyErr_Format(PyExc_TypeError, "%.200s() takes no keyword arguments", spec.name);
            return nullptr;
        }
        return spec.impl(nullptr);
    }
    if (nargs > spec.nparams) {
        return raise_count_error(spec, spec.ndefaults > 0 ? "at most" : "exactly", spec.nparams,
                                 nargs);
    }
    if (nkw == 0 && nargs == spec.nparams) {
        return spec.impl(args);
    }

    PyObject* bound[kMaxParams] = {};
    for (Py_ssize_t i = 0; i < nargs; ++i) {
        bound[i] = args[i];
    }
    for (Py_ssize_t i = 0; i < nkw; ++i) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, i);
        if (!PyUnicode_Check(key)) {
            PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", spec.name);
            return nullptr;
        }
        const int index = find_param(fn, key);
        if (index < 0) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", spec.name,
                         key);
            return nullptr;
        }
        if (bound[index] != nullptr) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'",
                         spec.name, key);
            return nullptr;
        }
        bound[index] = args[nargs + i];
    }
    const int required = spec.nparams - spec.ndefaults;
    for (int i = 0; i < spec.nparams; ++i) {
        if (bound[i] != nullptr) {
            continue;
        }
        if (i < required) {
            return raise_count_error(spec, spec.ndefaults > 0 ? "at least" : "exactly", required,
                                     i);
        }
        bound[i] = fn->default_values[i];
    }
    return spec.impl(bound);
}

// --- the type -------------------------------------------------------------

PyTypeObject* function_type = nullptr;

void function_dealloc(PyObject* self) {
    auto* fn = reinterpret_cast<NativeFunction*>(self);
    PyTypeObject* type = Py_TYPE(self);
    Py_XDECREF(fn->name);
    Py_XDECREF(fn->qualname);
    Py_XDECREF(fn->module);
    Py_XDECREF(fn->doc);
    Py_XDECREF(fn->defaults);
    for (PyObject* param : fn->param_names) {
        Py_XDECREF(param);
    }
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* function_repr(PyObject* self) {
    auto* fn = reinterpret_cast<NativeFunction*>(self);
    return PyUnicode_FromFormat("<function %U at %p>", fn->qualname, self);
}

// Bound like a Python function: itself on the class, a method on an instance.
PyObject* function_descr_get(PyObject* self, PyObject* obj, PyObject* /*type*/) {
    if (obj == nullptr || obj == Py_None) {
        return Py_NewRef(self);
    }
    return PyMethod_New(self, obj);
}

PyObject* function_get_kwdefaults(PyObject* /*self*/, void* /*closure*/) { Py_RETURN_NONE; }

// inspect.signature() reads this: every parameter positional-or-keyword.
PyObject* function_get_signature(PyObject* self, void* /*closure*/) {
    auto* fn = reinterpret_cast<NativeFunction*>(self);
    Ref inspect = Ref::steal(PyImport_ImportModule("inspect"));
    if (!inspect) {
        return nullptr;
    }
    Ref parameter = Ref::steal(PyObject_GetAttrString(inspect.get(), "Parameter"));
    if (!parameter) {
        return nullptr;
    }
    Ref kind = Ref::steal(PyObject_GetAttrString(parameter.get(), "POSITIONAL_OR_KEYWORD"));
    Ref params = Ref::steal(PyList_New(0));
    if (!kind || !params) {
        return nullptr;
    }
    const FunctionSpec& spec = *fn->spec;
    const int required = spec.nparams - spec.ndefaults;
    Ref default_kw = Ref::steal(PyUnicode_InternFromString("default"));
    Ref default_kwnames = Ref::steal(PyTuple_Pack(1, default_kw.get()));
    if (!default_kwnames) {
        return nullptr;
    }
    for (int i = 0; i < spec.nparams; ++i) {
        // Parameter(name, kind[, default=value])
        PyObject* call_args[] = {fn->param_names[i], kind.get(), fn->default_values[i]};
        Ref param = Ref::steal(PyObject_Vectorcall(parameter.get(), call_args, 2,
                                                   i < required ? nullptr : default_kwnames.get()));
        if (!param || PyList_Append(params.get(), param.get()) < 0) {
            return nullptr;
        }
    }
    return PyObject_CallMethod(inspect.get(), "Signature", "O", params.get());
}

// Pickled by reference, as Python functions are.
PyObject* function_reduce(PyObject* self, PyObject* /*unused*/) {
    return Py_NewRef(reinterpret_cast<NativeFunction*>(self)->qualname);
}

PyMemberDef function_members[] = {
    {"__name__", Py_T_OBJECT_EX, offsetof(NativeFunction, name), Py_READONLY, nullptr},
    {"__qualname__", Py_T_OBJECT_EX, offsetof(NativeFunction, qualname), Py_READONLY, nullptr},
    {"__module__", Py_T_OBJECT_EX, offsetof(NativeFunction, module), Py_READONLY, nullptr},
    {"__doc__", Py_T_OBJECT_EX, offsetof(NativeFunction, doc), Py_READONLY, nullptr},
    {"__defaults__", Py_T_OBJECT_EX, offsetof(NativeFunction, defaults), Py_READONLY, nullptr},
    {"__vectorcalloffset__", Py_T_PYSSIZET, offsetof(NativeFunction, vectorcall), Py_READONLY,
     nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyGetSetDef function_getset[] = {
    {"__kwdefaults__", function_get_kwdefaults, nullptr, nullptr, nullptr},
    {"__signature__", function_get_signature, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot function_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(function_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(function_repr)},
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_descr_get, reinterpret_cast<void*>(function_descr_get)},
    {Py_tp_members, function_members},
    {Py_tp_getset, function_getset},
    {Py_tp_methods, function_methods},
    {0, nullptr},
};

PyType_Spec function_spec = {
    "telvar.core.pluginmanager.native_function",
    sizeof(NativeFunction),
    0,
    // The method-descriptor flag lets `obj.method(...)` skip the bound method.
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR |
        Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    function_slots,
};

}  // namespace

bool function_type_ready() {
    if (function_type == nullptr) {
        function_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&function_spec));
    }
    return function_type != nullptr;
}

Ref make_function(Fn role) {
    const FunctionSpec& spec = kSpecs[static_cast<int>(role)];
    Ref obj = Ref::steal(PyObject_New(PyObject, function_type));
    if (!obj) {
        return {};
    }
    auto* fn = reinterpret_cast<NativeFunction*>(obj.get());
    // Fields start empty so that dealloc is safe on every failure below.
    fn->vectorcall = function_vectorcall;
    fn->spec = &spec;
    fn->name = fn->qualname = fn->module = fn->doc = fn->defaults = nullptr;
    for (int i = 0; i < kMaxParams; ++i) {
        fn->param_names[i] = nullptr;
        fn->default_values[i] = nullptr;
    }

    fn->name = PyUnicode_InternFromString(spec.name);
    fn->qualname = PyUnicode_FromFormat("PluginManager.%s", spec.name);
    fn->module = PyUnicode_InternFromString("telvar.core.pluginmanager");
    fn->doc = spec.doc != nullptr ? PyUnicode_FromString(spec.doc) : Py_NewRef(Py_None);
    if (fn->name == nullptr || fn->qualname == nullptr || fn->module == nullptr ||
        fn->doc == nullptr) {
        return {};
    }
    for (int i = 0; i < spec.nparams; ++i) {
        fn->param_names[i] = PyUnicode_InternFromString(spec.params[i]);
        if (fn->param_names[i] == nullptr) {
            return {};
        }
    }
    if (spec.ndefaults == 0) {
        fn->defaults = Py_NewRef(Py_None);
        return obj;
    }
    fn->defaults = PyTuple_New(spec.ndefaults);
    if (fn->defaults == nullptr) {
        return {};
    }
    const int first = spec.nparams - spec.ndefaults;
    for (int i = first; i < spec.nparams; ++i) {
        PyObject* value = spec.defaults[i] != nullptr ? PyUnicode_InternFromString(spec.defaults[i])
                                                      : Py_NewRef(Py_None);
        if (value == nullptr) {
            return {};
        }
        PyTuple_SET_ITEM(fn->defaults, i - first, value);
        fn->default_values[i] = value;
    }
    return obj;
}

// --- method calls ----------------------------------------------------------

bool Method::lookup(PyObject* obj, PyObject* name) {
#if PY_VERSION_HEX < 0x030D0000
    // Finds an unbound method the way LOAD_ATTR does for a call, honouring
    // instance attributes, data descriptors and custom __getattribute__.
    PyObject* found = nullptr;
    unbound_ = _PyObject_GetMethod(obj, name, &found) == 1;
    callable_ = Ref::steal(found);
#else
    callable_ = Ref::steal(PyObject_GetAttr(obj, name));
    // A method bound to `obj` itself is called as its function with `obj`.
    unbound_ = callable_ && PyMethod_Check(callable_.get()) &&
               PyMethod_GET_SELF(callable_.get()) == obj;
    if (unbound_) {
        callable_ = Ref::hold(PyMethod_GET_FUNCTION(callable_.get()));
    }
#endif
    return static_cast<bool>(callable_);
}

Ref Method::call(PyObject* const* stack, size_t nargs, PyObject* kwnames, Fn own,
                 PyObject* const* direct) {
    if (unbound_) {
        if (callable_.get() == own_function(own)) {
            return Ref::steal(kSpecs[static_cast<int>(own)].impl(direct));
        }
        return Ref::steal(PyObject_Vectorcall(callable_.get(), stack, nargs, kwnames));
    }
    // stack[0] is ours to lend: the callee may use it to prepend an argument.
    return Ref::steal(PyObject_Vectorcall(callable_.get(), stack + 1,
                                          (nargs - 1) | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames));
}

}  // namespace telvar
