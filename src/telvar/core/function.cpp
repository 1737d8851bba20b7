// The module's function objects: one type for every entry of the class
// table, called through vectorcall, with the argument binding and its error
// texts in one place; and the method-call helper the other parts use.
#include "calls.hpp"

#include <cstdio>
#include <cstring>
#include <initializer_list>
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
    // The binding of the last call with keywords: for its keyword-name
    // tuple (strong) and positional count, where each parameter comes from
    // (an index into the arguments, or -1 for the default).
    PyObject* bound_kwnames;
    Py_ssize_t bound_nargs;
    int16_t bound_from[kMaxParams];
};

// --- argument binding -----------------------------------------------------

PyObject* raise_count_error(const NativeFunction* fn, const char* bound, Py_ssize_t expected,
                            Py_ssize_t given) {
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
                 fn->spec->name, bound, expected, expected == 1 ? "" : "s", given);
    return nullptr;
}

int find_param(const NativeFunction* fn, PyObject* key) {
    for (int i = 0; i < fn->nparams; ++i) {
        if (fn->param_names[i] == key) {
            return i;
        }
    }
    // Not interned (built at run time): compare the text.
    for (int i = 0; i < fn->nparams; ++i) {
        if (PyUnicode_Compare(fn->param_names[i], key) == 0) {
            return i;
        }
    }
    return -1;
}

// Where each keyword value goes: `from[param]` becomes its index in the
// arguments; false with TypeError set.
bool bind_keywords(const NativeFunction* fn, Py_ssize_t nargs, PyObject* kwnames, int16_t* from) {
    const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t i = 0; i < nkw; ++i) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, i);
        if (!PyUnicode_Check(key)) {
            PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", fn->spec->name);
            return false;
        }
        const int index = find_param(fn, key);
        if (index < 0) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'",
                         fn->spec->name, key);
            return false;
        }
        if (from[index] >= 0) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'",
                         fn->spec->name, key);
            return false;
        }
        from[index] = static_cast<int16_t>(nargs + i);
    }
    return true;
}

// Runs a body. Every entry counts one level of recursion, also when one of
// the module's functions calls another without the interpreter in between
// (`known`, the caller's thread state) -- except the outermost: a call from
// the interpreter while no body of the module runs counts none, as the
// interpreter counts none for a built-in function. Anything that could
// recurse runs inside it, so every level that can repeat is counted, and
// the outermost one needs no thread state.
TELVAR_ALWAYS_INLINE PyObject* run_impl(Impl impl, PyObject* const* args, PyThreadState* known) {
    if (known == nullptr && levels::enter_outermost()) {
        PyObject* result = impl(Call{args, nullptr});
        levels::leave_outermost();
        return result;
    }
    PyThreadState* thread = enter_level(known);
    if (thread == nullptr) {
        return nullptr;
    }
    PyObject* result = impl(Call{args, thread});
    leave_level(thread);
    return result;
}

PyObject* run_body(const NativeFunction* fn, PyObject* const* args, PyThreadState* known) {
    return run_impl(fn->spec->impl, args, known);
}

PyObject* call_without_parameters(const NativeFunction* fn, Py_ssize_t nargs, Py_ssize_t nkw,
                                  PyThreadState* thread) {
    if (nargs > 0) {
        PyErr_Format(PyExc_TypeError, "%.200s() takes no arguments (%zd given)", fn->spec->name,
                     nargs);
        return nullptr;
    }
    if (nkw > 0) {
        PyErr_Format(PyExc_TypeError, "%.200s() takes no keyword arguments", fn->spec->name);
        return nullptr;
    }
    return run_body(fn, nullptr, thread);
}

// Where every parameter comes from: an index into the arguments, or -1 for
// its default. False with TypeError set.
bool bind(const NativeFunction* fn, Py_ssize_t nargs, PyObject* kwnames, int16_t* from) {
    for (int i = 0; i < kMaxParams; ++i) {
        from[i] = static_cast<int16_t>(i < nargs ? i : -1);
    }
    if (kwnames != nullptr && !bind_keywords(fn, nargs, kwnames, from)) {
        return false;
    }
    const int required = fn->nparams - fn->ndefaults;
    for (int i = 0; i < required; ++i) {
        if (from[i] < 0) {
            raise_count_error(fn, fn->ndefaults > 0 ? "at least" : "exactly", required, i);
            return false;
        }
    }
    return true;
}

// The binder: from the interpreter's call (`thread` unknown) or from one
// of the module's functions (`thread` its thread state).
// Keyword arguments: each parameter from its position, its keyword or its
// default.
PyObject* run_with_keywords(NativeFunction* fn, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames, PyThreadState* thread) {
    const int16_t* from = fn->bound_from;
    int16_t fresh[kMaxParams];
    if (kwnames != fn->bound_kwnames || nargs != fn->bound_nargs) {
        if (!bind(fn, nargs, kwnames, fresh)) {
            return nullptr;
        }
        from = fresh;
        // A call site's keyword names are one constant tuple: the next call
        // with it skips the search. The old tuple is released only once the
        // new binding is whole: its release can run Python code that calls
        // this function again.
        std::memcpy(fn->bound_from, fresh, sizeof fresh);
        fn->bound_nargs = nargs;
        Ref old = Ref::steal(std::exchange(fn->bound_kwnames, Py_NewRef(kwnames)));
    }
    PyObject* bound[kMaxParams];
    for (int i = 0; i < fn->nparams; ++i) {
        bound[i] = from[i] >= 0 ? args[from[i]] : fn->default_values[i];
    }
    return run_body(fn, bound, thread);
}

PyObject* bind_and_run(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* kwnames,
                       PyThreadState* thread) {
    auto* fn = reinterpret_cast<NativeFunction*>(callable);
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    const Py_ssize_t nkw = kwnames != nullptr ? PyTuple_GET_SIZE(kwnames) : 0;
    if (fn->nparams == 0) {
        return call_without_parameters(fn, nargs, nkw, thread);
    }
    if (nargs > fn->nparams) {
        return raise_count_error(fn, fn->ndefaults > 0 ? "at most" : "exactly", fn->nparams, nargs);
    }
    if (nkw > 0) {
        return run_with_keywords(fn, args, nargs, kwnames, thread);
    }
    // Positional arguments only: the parameters after them take their
    // defaults.
    const int required = fn->nparams - fn->ndefaults;
    if (nargs < required) {
        return raise_count_error(fn, fn->ndefaults > 0 ? "at least" : "exactly", required, nargs);
    }
    PyObject* bound[kMaxParams];
    for (int i = 0; i < fn->nparams; ++i) {
        bound[i] = i < nargs ? args[i] : fn->default_values[i];
    }
    return run_body(fn, bound, thread);
}

// The interpreter's entry into one role. A call with positional arguments
// only is bound here, with the role's parameter count known at compile
// time; anything else goes through the binder.
template <Fn role>
PyObject* role_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf,
                          PyObject* kwnames) {
    constexpr int nparams = spec_of(role).param_count();
    constexpr int required = nparams - spec_of(role).default_count();
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    if (kwnames != nullptr || nargs < required || nargs > nparams) {
        return bind_and_run(callable, args, nargsf, kwnames, nullptr);
    }
    if (nargs == nparams) {
        return run_impl(spec_of(role).impl, args, nullptr);
    }
    const auto* fn = reinterpret_cast<const NativeFunction*>(callable);
    PyObject* bound[nparams > 0 ? nparams : 1];
    for (int i = 0; i < nparams; ++i) {
        bound[i] = i < nargs ? args[i] : fn->default_values[i];
    }
    return run_impl(spec_of(role).impl, bound, nullptr);
}

constexpr vectorcallfunc kRoleVectorcalls[kFunctionCount] = {
#define TELVAR_ROLE_VECTORCALL(role, ...) role_vectorcall<Fn::role>,
    TELVAR_FUNCTIONS(TELVAR_ROLE_VECTORCALL)
#undef TELVAR_ROLE_VECTORCALL
};

// --- the type -------------------------------------------------------------

PyTypeObject* function_type = nullptr;

void function_dealloc(PyObject* self) {
    auto* fn = reinterpret_cast<NativeFunction*>(self);
    PyTypeObject* type = Py_TYPE(self);
    for (PyObject* field : {fn->name, fn->qualname, fn->module, fn->doc, fn->defaults,
                            fn->text_signature, fn->bound_kwnames}) {
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

Ref make_function(Fn role) {
    const FunctionSpec& spec = spec_of(role);
    Ref obj = Ref::steal(PyObject_New(PyObject, function_type));
    if (!obj) {
        return {};
    }
    auto* fn = reinterpret_cast<NativeFunction*>(obj.get());
    // Fields start empty so that dealloc is safe on every failure below.
    fn->vectorcall = kRoleVectorcalls[static_cast<int>(role)];
    fn->spec = &spec;
    fn->nparams = spec.param_count();
    fn->ndefaults = spec.default_count();
    fn->name = fn->qualname = fn->module = fn->doc = fn->defaults = fn->text_signature = nullptr;
    for (int i = 0; i < kMaxParams; ++i) {
        fn->param_names[i] = nullptr;
        fn->default_values[i] = nullptr;
        fn->bound_from[i] = -1;
    }
    fn->bound_kwnames = nullptr;
    fn->bound_nargs = -1;
    fn->name = PyUnicode_InternFromString(spec.name);
    fn->qualname = PyUnicode_FromFormat("PluginManager.%s", spec.name);
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

bool is_own_function(PyObject* obj) { return Py_IS_TYPE(obj, function_type); }

bool Method::lookup(PyObject* obj, Site site) {
    if (PyObject* own = cached_own_method(obj, site)) {
        callable_ = Ref::hold(own);
        unbound_ = true;
        return true;
    }
    callable_ = method_for_call(obj, site_name(site), &unbound_);
    return static_cast<bool>(callable_);
}

Ref Method::call(PyObject* const* stack, size_t nargs, PyObject* kwnames,
                 PyThreadState* thread) const {
    PyObject* callable = callable_.get();
    if (unbound_) {
        if (Py_IS_TYPE(callable, function_type)) {
            return Ref::steal(bind_and_run(callable, stack, nargs, kwnames, thread));
        }
        return Ref::steal(PyObject_Vectorcall(callable, stack, nargs, kwnames));
    }
    // stack[0] is ours to lend: the callee may use it to prepend an argument.
    return Ref::steal(PyObject_Vectorcall(callable, stack + 1,
                                          (nargs - 1) | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames));
}

}  // namespace telvar
