// The table of the class's functions, one row per function, and everything
// generated from it: the roles, the bodies' declarations, the binder's
// rows, the attribute sites of `self` that the module looks up, and the
// keyword names it calls them with.
#pragma once

#include "fence/versions.hpp"

namespace telvar {

enum class Kind { method, static_method, property_getter, property_setter };

constexpr int kMaxParams = 7;

struct Param {
    const char* name;
    bool has_default;
    const char* default_text;  // with has_default: nullptr stands for None
};

constexpr Param required(const char* name) { return {name, false, nullptr}; }
constexpr Param none_default(const char* name) { return {name, true, nullptr}; }
constexpr Param text_default(const char* name, const char* text) { return {name, true, text}; }

constexpr int kMaxKeywords = 3;

// Whether the module itself looks `self.<name>` up (and calls it, for a
// method), and with which keyword names it passes the values after `self`
// (none: positionally).
struct SiteColumn {
    bool looked_up;
    int keyword_count;
    const char* keywords[kMaxKeywords];
};

inline constexpr SiteColumn no_site{false, 0, {}};

template <class... Texts>
constexpr SiteColumn self_site(Texts... keywords) {
    static_assert(sizeof...(Texts) <= kMaxKeywords);
    return {true, static_cast<int>(sizeof...(Texts)), {keywords...}};
}

#define TELVAR_VALIDATOR_DOC(text) "\n         " text "\n        "

// Every function of the class, in the order of definition: X(role, attribute
// name (nullptr: the role's own), kind, look-up site, docstring (nullptr:
// none), parameters...). Each body is `<role>_impl`. Adding a validator is
// its row here and its rule in validation.cpp.
#define TELVAR_FUNCTIONS(X)                                                                        \
    X(init, "__init__", method, no_site, "\n            Initialize\n        ", required("self"))   \
    X(plugins_get, "plugins", property_getter, no_site, " Plugin list getter\n        ",           \
      required("self"))                                                                            \
    /* The setter shares the getter's docstring, as it always has. */                              \
    X(plugins_set, "plugins", property_setter, no_site, " Plugin list getter\n        ",           \
      required("self"), required("value"))                                                         \
    X(validate_model, nullptr, method, self_site("os", "platform", "model"),                       \
      TELVAR_VALIDATOR_DOC("Validates Model"), required("self"), required("os"),                   \
      required("platform"), required("model"))                                                     \
    X(validate_platform, nullptr, method, self_site("platform", "os"),                             \
      TELVAR_VALIDATOR_DOC("Validates platform"), required("self"), required("os"),                \
      required("platform"))                                                                        \
    X(validate_os, nullptr, method, self_site("os"), TELVAR_VALIDATOR_DOC("Validates OS"),         \
      required("self"), required("os"))                                                            \
    X(validate_chassis_type, nullptr, method, self_site("chassis_type"),                           \
      TELVAR_VALIDATOR_DOC("Validate chassis"), required("self"), required("chassis_type"))        \
    X(validate_arguments, nullptr, method, self_site(),                                            \
      " Validates the input arguments provided\n        ", required("self"), required("os"),       \
      required("platform"), required("model"), required("chassis_type"))                           \
    X(get_plugin, nullptr, method, no_site,                                                        \
      "\n            This method returns the connection class based on the\n"                      \
      "            input details provided\n        ",                                              \
      required("self"), none_default("os"), none_default("platform"), none_default("model"),       \
      none_default("os_flavor"), text_default("chassis_type", "single_rp"))                        \
    X(unregister_plugin, nullptr, method, no_site,                                                 \
      "\n            This method unregister a particular implementations from\n"                   \
      "            the internal database\n        ",                                               \
      required("self"), none_default("os"), none_default("platform"), none_default("model"),       \
      none_default("os_flavor"), none_default("chassis_type"))                                     \
    X(register_plugin, nullptr, method, no_site,                                                   \
      "\n            This method registers all the implementation plugin(i.e connection class)\n"  \
      "            to the telvar plugin manager\n\n"                                               \
      "            It takes OS, platform, MODEL information and based on that\n"                   \
      "            registers it\n\n"                                                               \
      "            cls refer to the connection class\n"                                            \
      "            chassis_type indicates if the connection class is for single_rp or\n"           \
      "            dual_rp or stack(default single_rp)\n\n        ",                               \
      required("self"), required("cls"), none_default("os"), none_default("platform"),             \
      none_default("model"), none_default("os_flavor"), text_default("chassis_type", "single_rp")) \
    X(discover_builtin_plugins, nullptr, static_method, no_site, "loads all plugins")              \
    X(discover_external_plugins, nullptr, static_method, no_site,                                  \
      "\n        discover external plugins defined that users pip installed.\n        ")           \
    X(print_tree, nullptr, method, self_site("data", "output"),                                    \
      " This Method print the plugin list in tree structure\n\n"                                   \
      "        Sample Tree Structure::\n\n"                                                        \
      "            plugin\n"                                                                       \
      "              |__ alpha\n"                                                                  \
      "                |__ data\n"                                                                 \
      "                  |__ dual_rp\n"                                                            \
      "                  |  |__ cls = <class 'alpha.conn.DualRp'>\n"                               \
      "                  |  |__ path = /opt/alpha/conn.py\n"                                       \
      "                  |__ single_rp\n"                                                          \
      "                    |__ cls = <class 'alpha.conn.SingleRp'>\n"                              \
      "                    |__ path = /opt/alpha/conn.py\n"                                        \
      "\n        ",                                                                                \
      required("self"), required("data"), text_default("output", "plugin"))                        \
    X(repr, "__repr__", method, no_site, nullptr, required("self"))

// The attributes of `self` that the module reads as values: X(site, name).
#define TELVAR_VALUE_SITES(X)       \
    X(plugins, "_plugins")          \
    X(supported_os, "supported_os") \
    X(chassis_type_list, "chassis_type_list")

enum class Fn : int {
#define TELVAR_ROLE(role, ...) role,
    TELVAR_FUNCTIONS(TELVAR_ROLE)
#undef TELVAR_ROLE
        count
};

constexpr int kFunctionCount = static_cast<int>(Fn::count);

// What a function's body gets: every parameter, bound, `self` first (none
// for the parameterless static methods).
struct Call {
    PyObject* const* args;
    PyObject* operator[](int index) const { return args[index]; }
};

// Body of a function: returns a new reference, or nullptr with an
// exception set.
using Impl = PyObject* (*)(const Call& args);

#define TELVAR_DECLARE_IMPL(role, ...) PyObject* role##_impl(const Call& args);
TELVAR_FUNCTIONS(TELVAR_DECLARE_IMPL)
#undef TELVAR_DECLARE_IMPL

struct FunctionSpec {
    const char* name;
    Kind kind;
    SiteColumn site;
    const char* doc;
    Impl impl;
    Param params[kMaxParams];

    constexpr int param_count() const {
        int count = 0;
        while (count < kMaxParams && params[count].name != nullptr) {
            ++count;
        }
        return count;
    }
    constexpr int default_count() const {
        int count = 0;
        for (int i = 0; i < param_count(); ++i) {
            count += params[i].has_default ? 1 : 0;
        }
        return count;
    }
};

constexpr const char* attribute_name(const char* name, const char* role) {
    return name != nullptr ? name : role;
}

inline constexpr FunctionSpec kFunctionSpecs[kFunctionCount] = {
#define TELVAR_SPEC_ROW(role, name, kind, site, doc, ...) \
    {attribute_name(name, #role), Kind::kind, site, doc, role##_impl, {__VA_ARGS__}},
    TELVAR_FUNCTIONS(TELVAR_SPEC_ROW)
#undef TELVAR_SPEC_ROW
};

constexpr const FunctionSpec& spec_of(Fn role) { return kFunctionSpecs[static_cast<int>(role)]; }

// The type of the module's function objects (calls/function.cpp), never freed.
inline PyTypeObject* function_type = nullptr;

// Whether `obj` is one of the module's function objects.
inline bool is_own_function(PyObject* obj) { return Py_IS_TYPE(obj, function_type); }

// --- the attribute sites of `self` ------------------------------------------

// The functions of the table that the module looks up on `self`, in table
// order, come first; then the values.
constexpr int method_sites_before(int role) {
    int count = 0;
    for (int i = 0; i < role; ++i) {
        count += kFunctionSpecs[i].site.looked_up ? 1 : 0;
    }
    return count;
}

constexpr int kMethodSites = method_sites_before(kFunctionCount);

enum class Site : int {
    last_method = kMethodSites - 1,
#define TELVAR_VALUE_SITE(site, name) site,
    TELVAR_VALUE_SITES(TELVAR_VALUE_SITE)
#undef TELVAR_VALUE_SITE
        count
};

constexpr int kSites = static_cast<int>(Site::count);

constexpr bool is_method_site(Site site) { return site <= Site::last_method; }

// The site of a function the module looks up on `self`.
template <Fn role>
constexpr Site site_of() {
    static_assert(spec_of(role).site.looked_up, "the module does not look this function up");
    return static_cast<Site>(method_sites_before(static_cast<int>(role)));
}

}  // namespace telvar
