// Argument validation: one validator per identifying argument, and the
// combined gate that runs them in a fixed order.
#include "common.hpp"

#include <cstring>

namespace telvar {

namespace {

// str.islower() for an exact str, without the method call.
bool text_is_lower(PyObject* text) {
    if (PyUnicode_IS_ASCII(text)) {
        const auto* chars = static_cast<const unsigned char*>(PyUnicode_DATA(text));
        bool cased = false;
        for (Py_ssize_t i = 0, n = PyUnicode_GET_LENGTH(text); i < n; ++i) {
            if (chars[i] >= 'A' && chars[i] <= 'Z') {
                return false;
            }
            cased = cased || (chars[i] >= 'a' && chars[i] <= 'z');
        }
        return cased;
    }
    const int kind = PyUnicode_KIND(text);
    const void* data = PyUnicode_DATA(text);
    const Py_ssize_t length = PyUnicode_GET_LENGTH(text);
    bool cased = false;
    for (Py_ssize_t i = 0; i < length; ++i) {
        const Py_UCS4 ch = PyUnicode_READ(kind, data, i);
        if (Py_UNICODE_ISUPPER(ch) || Py_UNICODE_ISTITLE(ch)) {
            return false;
        }
        if (!cased && Py_UNICODE_ISLOWER(ch)) {
            cased = true;
        }
    }
    return cased;
}

// str.isdigit() for an exact str, without the method call.
bool text_is_digit(PyObject* text) {
    const int kind = PyUnicode_KIND(text);
    const void* data = PyUnicode_DATA(text);
    const Py_ssize_t length = PyUnicode_GET_LENGTH(text);
    if (length == 0) {
        return false;
    }
    for (Py_ssize_t i = 0; i < length; ++i) {
        if (!Py_UNICODE_ISDIGIT(PyUnicode_READ(kind, data, i))) {
            return false;
        }
    }
    return true;
}

// value.islower() or value.isdigit(), the methods looked up on the value so
// that a subclass's override is used: 1, 0, or -1 with an exception set.
int is_lower_or_digit(PyObject* value) {
    if (PyUnicode_CheckExact(value)) {
        return text_is_lower(value) || text_is_digit(value);
    }
    Ref lower = call_method0(value, names.islower);
    if (!lower) {
        return -1;
    }
    const int is_lower = PyObject_IsTrue(lower.get());
    if (is_lower != 0) {
        return is_lower;
    }
    Ref digit = call_method0(value, names.isdigit);
    if (!digit) {
        return -1;
    }
    return PyObject_IsTrue(digit.get());
}

PyObject* raise_with_text(const char* text) {
    return raise_infra_error([text] { return Ref::steal(PyUnicode_FromString(text)); });
}

// ConnectionInfraError(prefix + str(value))
PyObject* raise_with_value(const char* prefix, PyObject* value) {
    return raise_infra_error([&]() -> Ref {
        Ref text = Ref::steal(PyObject_Str(value));
        return text ? Ref::steal(PyUnicode_FromFormat("%s%U", prefix, text.get())) : Ref();
    });
}

// ConnectionInfraError(template % value)
PyObject* raise_formatted(const char* template_text, PyObject* value) {
    return raise_infra_error([&]() -> Ref {
        Ref format = Ref::steal(PyUnicode_FromString(template_text));
        return format ? Ref::steal(PyUnicode_Format(format.get(), value)) : Ref();
    });
}

// ConnectionInfraError(prefix + str(self.<list>) + middle + str(value))
PyObject* raise_not_in_list(const char* prefix, PyObject* self, Site site, PyObject* list_name,
                            const char* middle, PyObject* value) {
    return raise_infra_error([&]() -> Ref {
        Ref list = self_attribute(self, site, list_name);
        Ref list_text = list ? Ref::steal(PyObject_Str(list.get())) : Ref();
        Ref value_text = list_text ? Ref::steal(PyObject_Str(value)) : Ref();
        return value_text ? Ref::steal(PyUnicode_FromFormat("%s%U%s%U", prefix, list_text.get(),
                                                            middle, value_text.get()))
                          : Ref();
    });
}

// A model or platform must be a str that is lower case or all digits.
PyObject* check_case(PyObject* value, const char* not_str_text, const char* case_template) {
    if (!PyUnicode_Check(value)) {
        return raise_with_text(not_str_text);
    }
    const int accepted = is_lower_or_digit(value);
    if (accepted != 0) {
        return accepted < 0 ? nullptr : Py_NewRef(Py_None);
    }
    return raise_formatted(case_template, value);
}

// 1 when `value` is in self.<list_name>, 0 when not, -1 on error.
// `value in items` for a plain list: answered here while each item looked
// at is the value itself or an exact str, whose comparison runs no Python
// code; anything else is left to the list's own test.
int in_list(PyObject* items, PyObject* value) {
    if (PyList_CheckExact(items) && PyUnicode_CheckExact(value)) {
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items); ++i) {
            PyObject* item = PyList_GET_ITEM(items, i);
            if (item == value) {
                return 1;
            }
            if (!PyUnicode_CheckExact(item)) {
                return PySequence_Contains(items, value);
            }
            if (same_text(item, value)) {
                return 1;
            }
        }
        return 0;
    }
    return PySequence_Contains(items, value);
}

int in_instance_list(PyObject* self, Site site, PyObject* list_name, PyObject* value) {
    Ref list = self_attribute(self, site, list_name);
    return list ? in_list(list.get(), value) : -1;
}

// An OS outside the built-in list is accepted, with a debug record.
PyObject* log_unsupported(PyObject* os) {
    Ref debug = global_attribute(names.log, names.debug);
    Ref format = debug ? Ref::steal(PyUnicode_FromString(
                             "%s is not part of the built-in list of supported OSes."))
                       : Ref();
    Ref message = format ? Ref::steal(PyUnicode_Format(format.get(), os)) : Ref();
    Ref result = message ? Ref::steal(PyObject_CallOneArg(debug.get(), message.get())) : Ref();
    return result ? Py_NewRef(Py_None) : nullptr;
}

}  // namespace

PyObject* validate_model_impl(const Call& args) {
    PyObject* os = args[1];
    PyObject* platform = args[2];
    PyObject* model = args[3];
    int truth = is_true(model);
    if (truth <= 0) {
        return truth < 0 ? nullptr : Py_NewRef(Py_None);
    }
    truth = is_true(platform);
    if (truth > 0) {
        truth = is_true(os);
    }
    if (truth < 0) {
        return nullptr;
    }
    if (truth == 0) {
        return raise_with_value("OS and platform are required for Model: ", model);
    }
    // " Model (%s) has to be in lowecase": leading blank and spelling kept as
    // callers have always seen them.
    return check_case(model, "Model should be of type str", " Model (%s) has to be in lowecase");
}

PyObject* validate_platform_impl(const Call& args) {
    PyObject* os = args[1];
    PyObject* platform = args[2];
    const int truth = is_true(platform);
    if (truth <= 0) {
        return truth < 0 ? nullptr : Py_NewRef(Py_None);
    }
    if (os == Py_None) {
        return raise_with_value("OS information not provided for platform: ", platform);
    }
    return check_case(platform, "platform should be of type str",
                      "platform (%s) has to be in lowercase");
}

// The three steps take the truth value each where they read it: a value in
// the list, or a false one, is tested twice.
PyObject* validate_os_impl(const Call& args) {
    PyObject* self = args[0];
    PyObject* os = args[1];
    int truth = is_true(os);
    if (truth < 0) {
        return nullptr;
    }
    if (truth > 0) {
        const int supported = in_instance_list(self, Site::supported_os, names.supported_os, os);
        if (supported < 0) {
            return nullptr;
        }
        if (supported == 0) {
            return log_unsupported(os);
        }
    }
    truth = is_true(os);
    if (truth != 0) {
        return truth < 0 ? nullptr : Py_NewRef(Py_None);
    }
    // " , but got ": the blank before the comma is part of the message.
    return raise_not_in_list("OS should be one of these ", self, Site::supported_os,
                             names.supported_os, " , but got ", os);
}

PyObject* validate_chassis_type_impl(const Call& args) {
    PyObject* self = args[0];
    PyObject* chassis_type = args[1];
    const int truth = is_true(chassis_type);
    if (truth < 0) {
        return nullptr;
    }
    if (truth > 0) {
        const int member = in_instance_list(self, Site::chassis_type_list, names.chassis_type_list,
                                            chassis_type);
        if (member != 0) {
            return member < 0 ? nullptr : Py_NewRef(Py_None);
        }
    }
    return raise_not_in_list("chassis Type should be one of these ", self, Site::chassis_type_list,
                             names.chassis_type_list, ", but got ", chassis_type);
}

PyObject* validate_arguments_impl(const Call& args) {
    PyObject* self = args[0];
    PyObject* os = args[1];
    PyObject* platform = args[2];
    PyObject* model = args[3];
    PyObject* chassis_type = args[4];
    // self.validate_model(os=os, platform=platform, model=model)
    PyObject* model_stack[] = {self, os, platform, model};
    if (!call_method(self, Site::validate_model, names.validate_model, model_stack, 1,
                     names.kw_os_platform_model, args.thread)) {
        return nullptr;
    }
    // self.validate_platform(platform=platform, os=os)
    PyObject* platform_stack[] = {self, platform, os};
    if (!call_method(self, Site::validate_platform, names.validate_platform, platform_stack, 1,
                     names.kw_platform_os, args.thread)) {
        return nullptr;
    }
    // self.validate_os(os=os)
    PyObject* os_stack[] = {self, os};
    if (!call_method(self, Site::validate_os, names.validate_os, os_stack, 1, names.kw_os,
                     args.thread)) {
        return nullptr;
    }
    // `os == "linux"`; an exact str equal to it is the same ASCII text.
    const int is_linux = PyUnicode_CheckExact(os)
                             ? os == names.linux ||
                                   (PyUnicode_IS_ASCII(os) && PyUnicode_GET_LENGTH(os) == 5 &&
                                    std::memcmp(PyUnicode_DATA(os), "linux", 5) == 0)
                             : PyObject_RichCompareBool(os, names.linux, Py_EQ);
    if (is_linux != 0) {
        return is_linux < 0 ? nullptr : Py_NewRef(Py_None);
    }
    // self.validate_chassis_type(chassis_type=chassis_type)
    PyObject* chassis_stack[] = {self, chassis_type};
    if (!call_method(self, Site::validate_chassis_type, names.validate_chassis_type, chassis_stack,
                     1, names.kw_chassis_type, args.thread)) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

}  // namespace telvar
