// The module's function objects: one type for every entry of the class
// table, called through vectorcall, with the argument binding and its error
// texts in one place; and the method-call helper the other parts use.
#include "calls/calls.hpp"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <optional>
#include <utility>

namespace telvar {

namespace {

struct NativeFunction {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    const FunctionSpec* spec;
    int nparams;
    int ndefaults;
    PyObject* name;
    PyObject* qualname;
    PyObject* module;
    PyObject* doc;
    PyObject* defaults;        // tuple, or None
    PyObject* text_signature;  // "(self, os=None, ...)", read by inspect
    PyObject* param_names[kMaxParams];
    PyObject* default_values[kMaxParams];  // borrowed from `defaults`
};

// --- argument binding -----------------------------------------------------

PyObject* raise_count_error(const NativeFunction* fn, const char* bound, Py_ssize_t expected,
                            Py_ssize_t given) {
    return py::set_error_format(PyExc_TypeError,
                                "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
                                fn->spec->name, bound, expected, expected == 1 ? "" : "s", given);
}

// The parameter a keyword names, searched from `hint` on (keywords mostly
// come in the parameters' order); none when no parameter has that name.
std::optional<int> find_param(const NativeFunction* fn, PyObject* key, int hint) {
    for (int n = 0, i = hint; n < fn->nparams; ++n, i = i + 1 < fn->nparams ? i + 1 : 0) {
        if (fn->param_names[i] == key) {
            return i;
        }
    }
    // Not interned (built at run time): compare the text. Both are str (the
    // names are made here, the key checked by the caller), so the
    // comparison raises nothing and runs no Python code.
    for (int i = 0; i < fn->nparams; ++i) {
        if (PyUnicode_Compare(fn->param_names[i], key) == 0) {
            return i;
        }
    }
    return std::nullopt;
}

// Binds every parameter to its position, its keyword or its default;
// false with TypeError set.
bool bind(const NativeFunction* fn, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
          PyObject** bound) {
    for (int i = 0; i < fn->nparams; ++i) {
        bound[i] = i < nargs ? args[i] : nullptr;
    }
    const Py_ssize_t nkw = kwnames != nullptr ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0, hint = 0; k < nkw; ++k) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        if (!PyUnicode_Check(key)) {
            py::set_error_format(PyExc_TypeError, "%.200s() keywords must be strings",
                                 fn->spec->name);
            return false;
        }
        const std::optional<int> found = find_param(fn, key, static_cast<int>(hint));
        if (!found) {
            py::set_error_format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'",
                                 fn->spec->name, key);
            return false;
        }
        const int index = *found;
        if (bound[index] != nullptr) {
            py::set_error_format(PyExc_TypeError,
                                 "%s() got multiple values for keyword argument '%U'",
                                 fn->spec->name, key);
            return false;
        }
        bound[index] = args[nargs + k];
        hint = index + 1 < fn->nparams ? index + 1 : 0;
    }
    const int required = fn->nparams - fn->ndefaults;
    for (int i = 0; i < fn->nparams; ++i) {
        if (bound[i] == nullptr && i < required) {
            raise_count_error(fn, fn->ndefaults > 0 ? "at least" : "exactly", required, i);
            return false;
        }
        bound[i] = bound[i] != nullptr ? bound[i] : fn->default_values[i];
    }
    return true;
}

// The module's own levels in this thread: bounded by the recursion limit,
// as Python calls are, since Py_EnterRecursiveCall bounds only the C stack
// (and a recursion that builds a longer message at every level would run
// out of memory first).
thread_local int own_levels = 0;

// Whether a call from the interpreter runs a body of the module with no
// other body of it running (in any thread: the flag belongs to the entry
// that set it until that entry returns).
bool outermost_running = false;

// Runs a body. Every entry counts one level of recursion, also when one of
// the module's functions calls another without the interpreter in between,
// except the outermost: a call from the interpreter while no body of the
// module runs counts none, as the interpreter counts none for a built-in
// function. Anything that could recurse runs inside it, so every level that
// can repeat is counted. (Counting the outermost too costs the
// validate_arguments row 8 % of its instructions.)
PyObject* run_body(const NativeFunction* fn, PyObject* const* args) {
#ifndef Py_GIL_DISABLED
    if (!outermost_running) {
        outermost_running = true;
        PyObject* result = fn->spec->impl(Call{args});
        outermost_running = false;
        return result;
    }
#endif
    if (!enter_level()) {
        return nullptr;
    }
    PyObject* result = fn->spec->impl(Call{args});
    leave_level();
    return result;
}

PyObject* call_without_parameters(const NativeFunction* fn, Py_ssize_t nargs, Py_ssize_t nkw) {
    if (nargs > 0) {
        return py::set_error_format(PyExc_TypeError, "%.200s() takes no arguments (%zd given)",
                                    fn->spec->name, nargs);
    }
    if (nkw > 0) {
        return py::set_error_format(PyExc_TypeError, "%.200s() takes no keyword arguments",
                                    fn->spec->name);
    }
    return run_body(fn, nullptr);
}

// The binder, the entry from the interpreter and from the module's own
// method calls. A call with positional arguments only, the common one, is
// bound without the general binder.
PyObject* bind_and_run(PyObject* callable, PyObject* const* args, size_t nargsf,
                       PyObject* kwnames) {
    auto* fn = reinterpret_cast<NativeFunction*>(callable);
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    const Py_ssize_t nkw = kwnames != nullptr ? PyTuple_GET_SIZE(kwnames) : 0;
    if (fn->nparams == 0) {
        return call_without_parameters(fn, nargs, nkw);
    }
    if (nargs > fn->nparams) {
        return raise_count_error(fn, fn->ndefaults > 0 ? "at most" : "exactly", fn->nparams, nargs);
    }
    if (kwnames == nullptr && nargs == fn->nparams) {
        return run_body(fn, args);  // every parameter by position: nothing to bind
    }
    PyObject* bound[kMaxParams];
    if (kwnames == nullptr && nargs >= fn->nparams - fn->ndefaults) {
        // Positions, then defaults: no keyword to search for, no parameter missing.
        std::copy_n(args, nargs, bound);
        std::copy(fn->default_values + nargs, fn->default_values + fn->nparams, bound + nargs);
        return run_body(fn, bound);
    }
    return bind(fn, args, nargs, kwnames, bound) ? run_body(fn, bound) : nullptr;
}

// --- the type -------------------------------------------------------------

void function_dealloc(PyObject* self) {
    auto* fn = reinterpret_cast<NativeFunction*>(self);
    PyTypeObject* type = Py_TYPE(self);
    for (PyObject* field :
         {fn->name, fn->qualname, fn->module, fn->doc, fn->defaults, fn->text_signature}) {
        release_reference(field);
    }
    for (PyObject* param : fn->param_names) {
        release_reference(param);
    }
    type->tp_free(self);
    release_reference(reinterpret_cast<PyObject*>(type));
}

PyObject* function_repr(PyObject* self) {
    auto* fn = reinterpret_cast<NativeFunction*>(self);
    return py::format_text("<function %U at %p>", fn->qualname, self).release();
}

// Bound like a Python function: itself on the class, a method on an instance.
PyObject* function_descr_get(PyObject* self, PyObject* obj, PyObject* /*type*/) {
    if (obj == nullptr || obj == Py_None) {
        return Py_NewRef(self);
    }
    return PyMethod_New(self, obj);
}

PyObject* function_get_kwdefaults(PyObject* /*self*/, void* /*closure*/) { Py_RETURN_NONE; }

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
    {"__text_signature__", Py_T_OBJECT_EX, offsetof(NativeFunction, text_signature), Py_READONLY,
     nullptr},
    {"__vectorcalloffset__", Py_T_PYSSIZET, offsetof(NativeFunction, vectorcall), Py_READONLY,
     nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyGetSetDef function_getset[] = {
    {"__kwdefaults__", function_get_kwdefaults, nullptr, nullptr, nullptr},
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

PyType_Spec function_type_spec = {
    "telvar.core.pluginmanager.native_function",
    sizeof(NativeFunction),
    0,
    // The method-descriptor flag lets `obj.method(...)` skip the bound method.
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR |
        Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    function_slots,
};

// "(self, os=None, chassis_type='single_rp')": every parameter positional or
// keyword, as inspect.signature and help() show it.
Ref text_signature(const FunctionSpec& spec) {
    char text[512] = "(";
    size_t used = 1;
    for (int i = 0; i < spec.param_count(); ++i) {
        const Param& param = spec.params[i];
        const char* separator = i > 0 ? ", " : "";
        const int written = !param.has_default ? std::snprintf(text + used, sizeof text - used,
                                                               "%s%s", separator, param.name)
                            : param.default_text == nullptr
                                ? std::snprintf(text + used, sizeof text - used, "%s%s=None",
                                                separator, param.name)
                                : std::snprintf(text + used, sizeof text - used, "%s%s='%s'",
                                                separator, param.name, param.default_text);
        used += static_cast<size_t>(written);
    }
    std::snprintf(text + used, sizeof text - used, ")");
    return Ref::steal(PyUnicode_FromString(text));
}

bool fill_parameters(NativeFunction* fn) {
    const FunctionSpec& spec = *fn->spec;
    for (int i = 0; i < fn->nparams; ++i) {
        fn->param_names[i] = PyUnicode_InternFromString(spec.params[i].name);
        if (fn->param_names[i] == nullptr) {
            return false;
        }
    }
    if (fn->ndefaults == 0) {
        fn->defaults = Py_NewRef(Py_None);
        return true;
    }
    fn->defaults = PyTuple_New(fn->ndefaults);
    if (fn->defaults == nullptr) {
        return false;
    }
    const int first = fn->nparams - fn->ndefaults;
    for (int i = first; i < fn->nparams; ++i) {
        const char* text = spec.params[i].default_text;
        PyObject* value = text != nullptr ? PyUnicode_InternFromString(text) : Py_NewRef(Py_None);
        if (value == nullptr) {
            return false;
        }
        PyTuple_SET_ITEM(fn->defaults, i - first, value);
        fn->default_values[i] = value;
    }
    return true;
}

}  // namespace

bool function_type_ready() {
    if (function_type == nullptr) {
        function_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&function_type_spec));
    }
    return function_type != nullptr;
}

bool enter_level() {
    if (own_levels >= Py_GetRecursionLimit()) {
        // A body is entered with no exception set: none is replaced.
        PyErr_SetString(PyExc_RecursionError, "maximum recursion depth exceeded");
        return false;
    }
    if (Py_EnterRecursiveCall("")) {
        return false;
    }
    ++own_levels;
    return true;
}

void leave_level() {
    --own_levels;
    Py_LeaveRecursiveCall();
}

int levels_left() { return Py_GetRecursionLimit() - own_levels; }

Ref make_function(Fn role) {
    const FunctionSpec& spec = spec_of(role);
    Ref obj = Ref::steal(PyObject_New(PyObject, function_type));
    if (!obj) {
        return {};
    }
    auto* fn = reinterpret_cast<NativeFunction*>(obj.get());
    // Fields start empty so that dealloc is safe on every failure below.
    fn->vectorcall = bind_and_run;
    fn->spec = &spec;
    fn->nparams = spec.param_count();
    fn->ndefaults = spec.default_count();
    fn->name = fn->qualname = fn->module = fn->doc = fn->defaults = fn->text_signature = nullptr;
    for (int i = 0; i < kMaxParams; ++i) {
        fn->param_names[i] = nullptr;
        fn->default_values[i] = nullptr;
    }
    fn->name = PyUnicode_InternFromString(spec.name);
    fn->qualname = py::format_text("PluginManager.%s", spec.name).release();
    fn->module = Py_NewRef(names.module_path.get());
    fn->doc = spec.doc != nullptr ? PyUnicode_FromString(spec.doc) : Py_NewRef(Py_None);
    fn->text_signature = text_signature(spec).release();
    if (fn->name == nullptr || fn->qualname == nullptr || fn->doc == nullptr ||
        fn->text_signature == nullptr || !fill_parameters(fn)) {
        return {};
    }
    return obj;
}

// --- method calls ----------------------------------------------------------

bool Method::lookup(PyObject* obj, Site site) {
    if (const Inert<> own = inert_own_method(obj, site); own.found()) {
        callable_ = Ref::hold(own.value.get());
        unbound_ = true;
        return true;
    }
    callable_ = method_for_call(obj, site_name(site), &unbound_);
    return static_cast<bool>(callable_);
}

Ref Method::call(PyObject* const* stack, size_t nargs, PyObject* kwnames) const {
    PyObject* callable = callable_.get();
    if (unbound_) {
        if (is_own_function(callable)) {
            // The binder runs the body in place; its result is a new reference
            // made by code that may have run Python code.
            return py::ran(bind_and_run(callable, stack, nargs, kwnames));
        }
        return py::vectorcall(callable, stack, nargs, kwnames);
    }
    // stack[0] is ours to lend: the callee may use it to prepend an argument.
    return py::vectorcall(callable, stack + 1, (nargs - 1) | PY_VECTORCALL_ARGUMENTS_OFFSET,
                          kwnames);
}

}  // namespace telvar
