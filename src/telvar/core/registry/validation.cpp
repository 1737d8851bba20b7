// Argument validation: one validator per identifying argument, and the
// combined gate that runs them in a fixed order.
#include "registry/validation.hpp"

#include "calls/calls.hpp"

#include <array>
#include <cstdint>

namespace telvar {

namespace {

// The classes of the ASCII characters that str.islower() and str.isdigit()
// look at, one load a character (a comparison of each costs the validation
// row 9 %).
constexpr uint8_t kUpper = 1;
constexpr uint8_t kLower = 2;
constexpr uint8_t kDigit = 4;

constexpr std::array<uint8_t, 128> ascii_classes() {
    std::array<uint8_t, 128> classes{};
    for (int ch = 0; ch < 128; ++ch) {
        classes[ch] = ch >= 'A' && ch <= 'Z'   ? kUpper
                      : ch >= 'a' && ch <= 'z' ? kLower
                      : ch >= '0' && ch <= '9' ? kDigit
                                               : 0;
    }
    return classes;
}

constexpr std::array<uint8_t, 128> kAsciiClasses = ascii_classes();

// str.islower() or str.isdigit() for an exact ASCII str: some a-z and no
// A-Z, or nothing but 0-9.
inline bool ascii_is_lower_or_digit(const unsigned char* chars, Py_ssize_t length) {
    uint8_t any = 0;
    uint8_t all = kDigit;
    for (Py_ssize_t i = 0; i < length; ++i) {
        const uint8_t classes = kAsciiClasses[chars[i] & 0x7f];
        any |= classes;
        all &= classes;
    }
    const bool lower = (any & kLower) != 0 && (any & kUpper) == 0;
    const bool digits_only = length > 0 && all != 0;
    return lower || digits_only;
}

// value.islower() or value.isdigit(), the methods looked up on the value so
// that a subclass's override is used: 1, 0, or -1 with an exception set.
TELVAR_NOINLINE int general_is_lower_or_digit(PyObject* value) {
    Ref lower = py::call_method0(value, names.islower);
    if (!lower) {
        return -1;
    }
    const int is_lower = is_true(lower.get());
    if (is_lower != 0) {
        return is_lower;
    }
    Ref digit = py::call_method0(value, names.isdigit);
    if (!digit) {
        return -1;
    }
    return is_true(digit.get());
}

inline int is_lower_or_digit(PyObject* value) {
    if (PyUnicode_CheckExact(value) && PyUnicode_IS_ASCII(value)) {
        return ascii_is_lower_or_digit(static_cast<const unsigned char*>(PyUnicode_DATA(value)),
                                       PyUnicode_GET_LENGTH(value));
    }
    return general_is_lower_or_digit(value);
}

// ConnectionInfraError(prefix + str(value))
TELVAR_COLD PyObject* raise_with_value(const char* prefix, PyObject* value) {
    return raise_infra_error([&]() -> Ref {
        Ref text = py::str(value);
        return text ? py::format_text("%s%U", prefix, text.get()) : Ref();
    });
}

// ConnectionInfraError(prefix + str(self.<list>) + middle + str(value))
TELVAR_COLD PyObject* raise_not_in_list(const char* prefix, PyObject* self, Site site,
                                        const char* middle, PyObject* value) {
    return raise_infra_error([&]() -> Ref {
        Ref list = self_attribute(self, site);
        Ref list_text = list ? py::str(list.get()) : Ref();
        Ref value_text = list_text ? py::str(value) : Ref();
        return value_text
                   ? py::format_text("%s%U%s%U", prefix, list_text.get(), middle, value_text.get())
                   : Ref();
    });
}

// A model or platform must be a str that is lower case or all digits: 0,
// or -1 with an exception set.
inline int check_case(PyObject* value, const char* not_str_text, const char* case_template) {
    if (!PyUnicode_Check(value)) {
        raise_infra_text(not_str_text);
        return -1;
    }
    const int accepted = is_lower_or_digit(value);
    if (accepted != 0) {
        return accepted < 0 ? -1 : 0;
    }
    raise_infra_formatted(case_template, value);
    return -1;
}

// `value in items` for an exact list, where it runs no Python code: each
// item looked at is the value itself or an exact str, compared with an
// exact str. Unknown when only the list's own test can tell.
TELVAR_ALWAYS_INLINE Told inert_in_list(PyObject* items, PyObject* value) {
    if (!PyList_CheckExact(items) || !PyUnicode_CheckExact(value)) {
        return Told::unknown;
    }
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items); ++i) {
        PyObject* item = PyList_GET_ITEM(items, i);
        if (item == value) {
            return Told::found;
        }
        if (!PyUnicode_CheckExact(item)) {
            return Told::unknown;
        }
        if (same_text(item, value)) {
            return Told::found;
        }
    }
    return Told::absent;
}

// `value in self.<site>`: 1, 0, or -1 with an exception set. The list is
// read without a reference while nothing can run Python code, and held
// otherwise.
TELVAR_ALWAYS_INLINE int in_instance_list(PyObject* self, ManagerView& view, Site site,
                                          PyObject* value) {
    const Inert<> list = view.attribute(site);
    const Told in_list = list.found() ? inert_in_list(list.value.get(), value) : Told::unknown;
    if (in_list != Told::unknown) {
        return in_list == Told::found ? 1 : 0;
    }
    Ref held = list.found() ? Ref::hold(list.value.get()) : py::attribute(self, site_name(site));
    return held ? py::contains(held.get(), value) : -1;
}

// "%s is not part of the built-in list of supported OSes.", and what
// follows its "%s".
MessageTexts<2> unsupported_texts("%s is not part of the built-in list of supported OSes.",
                                  " is not part of the built-in list of supported OSes.");

// An OS outside the built-in list is accepted, with a debug record: false
// with an exception set when the record cannot be made.
TELVAR_COLD bool log_unsupported(PyObject* os) {
    if (!unsupported_texts.ready()) {
        return false;
    }
    if (PyUnicode_CheckExact(os)) {
        // `template % os` is the str and the rest of the template, made
        // without running Python code, so `log.debug` may be looked up after
        // it: as the interpreter calls a method, without a bound method.
        PyObject* const pieces[] = {os, unsupported_texts[1]};
        Ref message = join_texts(pieces, 2);
        Ref logger = message ? lookup_global(names.log) : Ref();
        PyObject* args[] = {logger.get(), message.get()};
        return logger &&
               py::vectorcall_method(names.debug, args, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET);
    }
    Ref debug = global_attribute(names.log, names.debug);
    Ref message = debug ? py::percent(unsupported_texts[0], os) : Ref();
    return message && py::call_one(debug.get(), message.get());
}

// The validators' rules: 0 when the value is accepted, -1 with an exception
// set. Inline, so that validate_arguments runs them without a call.

TELVAR_ALWAYS_INLINE int check_model(PyObject* os, PyObject* platform, PyObject* model) {
    int truth = is_true(model);
    if (truth <= 0) {
        return truth;
    }
    truth = is_true(platform);
    if (truth > 0) {
        truth = is_true(os);
    }
    if (truth < 0) {
        return -1;
    }
    if (truth == 0) {
        raise_with_value("OS and platform are required for Model: ", model);
        return -1;
    }
    // " Model (%s) has to be in lowecase": leading blank and spelling kept as
    // callers have always seen them.
    return check_case(model, "Model should be of type str", " Model (%s) has to be in lowecase");
}

TELVAR_ALWAYS_INLINE int check_platform(PyObject* os, PyObject* platform) {
    const int truth = is_true(platform);
    if (truth <= 0) {
        return truth;
    }
    if (os == Py_None) {
        raise_with_value("OS information not provided for platform: ", platform);
        return -1;
    }
    return check_case(platform, "platform should be of type str",
                      "platform (%s) has to be in lowercase");
}

// The three steps take the truth value each where they read it: a value in
// the list, or a false one, is tested twice.
TELVAR_ALWAYS_INLINE int check_os(PyObject* self, PyObject* os, ManagerView& view) {
    int truth = is_true(os);
    if (truth < 0) {
        return -1;
    }
    if (truth > 0) {
        const int supported = in_instance_list(self, view, Site::supported_os, os);
        if (supported <= 0) {
            // Not in the list: noted in the debug log, and accepted.
            return supported == 0 && log_unsupported(os) ? 0 : -1;
        }
    }
    truth = is_true(os);
    if (truth != 0) {
        return truth < 0 ? -1 : 0;
    }
    // " , but got ": the blank before the comma is part of the message.
    raise_not_in_list("OS should be one of these ", self, Site::supported_os, " , but got ", os);
    return -1;
}

TELVAR_ALWAYS_INLINE int check_chassis_type(PyObject* self, PyObject* chassis_type,
                                            ManagerView& view) {
    const int truth = is_true(chassis_type);
    if (truth < 0) {
        return -1;
    }
    if (truth > 0) {
        const int member = in_instance_list(self, view, Site::chassis_type_list, chassis_type);
        if (member != 0) {
            return member < 0 ? -1 : 0;
        }
    }
    raise_not_in_list("chassis Type should be one of these ", self, Site::chassis_type_list,
                      ", but got ", chassis_type);
    return -1;
}

PyObject* none_unless_failed(int status) { return status < 0 ? nullptr : Py_NewRef(Py_None); }

}  // namespace

PyObject* validate_model_impl(const Call& args) {
    return none_unless_failed(check_model(args[1], args[2], args[3]));
}

PyObject* validate_platform_impl(const Call& args) {
    return none_unless_failed(check_platform(args[1], args[2]));
}

PyObject* validate_os_impl(const Call& args) {
    ManagerView view(args[0]);
    return none_unless_failed(check_os(args[0], args[1], view));
}

PyObject* validate_chassis_type_impl(const Call& args) {
    ManagerView view(args[0]);
    return none_unless_failed(check_chassis_type(args[0], args[1], view));
}

namespace {

// self.<role>(...): the module's own function of that name runs its rule
// here at once (`rule`); anything else is looked up and called (see
// Method::call) with self and a value for each of the role's parameters,
// passed by the keywords of its row in the function table (in that order),
// or positionally when the row names none.
template <Fn role, class Rule, class... Values>
TELVAR_ALWAYS_INLINE bool run_validator(PyObject* self, ManagerView& view, Rule&& rule,
                                        Values... values) {
    constexpr Site site = site_of<role>();
    constexpr int count = spec_of(role).param_count() - 1;
    constexpr int keywords = spec_of(role).site.keyword_count;
    static_assert(sizeof...(Values) == count, "a value for every parameter but self");
    static_assert(keywords == 0 || keywords == count, "every value or none by keyword");
    if (view.own_method(site).value.get() == own_function(role)) {
        return rule() == 0;
    }
    PyObject* stack[] = {self, values...};
    return static_cast<bool>(
        call_method(self, site, stack, 1 + count - keywords, keywords_of(role)));
}

// `os == "linux"`: 1, 0, or -1 with an exception set. An exact str is
// compared by its text.
inline int is_linux(PyObject* os) {
    return PyUnicode_CheckExact(os) ? same_text(os, names.linux)
                                    : py::compare(os, names.linux, Py_EQ);
}

// The body of validate_arguments.
int validate_all(PyObject* const* params, ManagerView& view) {
    PyObject* self = params[0];
    PyObject* os = params[1];
    PyObject* platform = params[2];
    PyObject* model = params[3];
    PyObject* chassis_type = params[4];
    const bool accepted = run_validator<Fn::validate_model>(
                              self, view, [&] { return check_model(os, platform, model); }, os,
                              platform, model) &&
                          run_validator<Fn::validate_platform>(
                              self, view, [&] { return check_platform(os, platform); }, platform,
                              os) &&
                          run_validator<Fn::validate_os>(
                              self, view, [&] { return check_os(self, os, view); }, os);
    if (!accepted) {
        return -1;
    }
    const int linux_os = is_linux(os);
    if (linux_os != 0) {
        return linux_os < 0 ? -1 : 0;
    }
    return run_validator<Fn::validate_chassis_type>(
               self, view, [&] { return check_chassis_type(self, chassis_type, view); },
               chassis_type)
               ? 0
               : -1;
}

}  // namespace

int call_validate_arguments(PyObject* const* params) {
    ManagerView view(params[0]);
    const bool validated = run_validator<Fn::validate_arguments>(
        params[0], view, [&] { return validate_all(params, view); }, params[1], params[2],
        params[3], params[4]);
    return validated ? 0 : -1;
}

PyObject* validate_arguments_impl(const Call& args) {
    ManagerView view(args[0]);
    return none_unless_failed(validate_all(args.args, view));
}

}  // namespace telvar
