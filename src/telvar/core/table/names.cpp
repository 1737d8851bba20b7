// The interned names, the site names and the keyword tuples, made when the
// module is created.
#include "table/names.hpp"

namespace telvar {

Names names;

namespace {

bool keep(Kept& slot, PyObject* obj) {
    slot.reset(Ref::steal(obj));
    return obj != nullptr;
}

// The keyword-name tuple of a looked-up function's column; none for a call
// with positional arguments only.
bool keep_keywords(Kept& slot, const SiteColumn& site) {
    if (site.keyword_count == 0) {
        return true;
    }
    Ref tuple = Ref::steal(PyTuple_New(site.keyword_count));
    for (int i = 0; tuple && i < site.keyword_count; ++i) {
        PyObject* keyword = PyUnicode_InternFromString(site.keywords[i]);
        if (keyword == nullptr) {
            return false;
        }
        PyTuple_SET_ITEM(tuple.get(), i, keyword);
    }
    return keep(slot, tuple.release());
}

// Every site's attribute name: the looked-up functions' in table order,
// then the values'.
bool intern_sites() {
    int site = 0;
    for (int role = 0; role < kFunctionCount; ++role) {
        const FunctionSpec& spec = kFunctionSpecs[role];
        if (spec.site.looked_up &&
            (!keep(names.sites[site++], PyUnicode_InternFromString(spec.name)) ||
             !keep_keywords(names.keywords[role], spec.site))) {
            return false;
        }
    }
    const char* const value_names[] = {
#define TELVAR_VALUE_SITE_NAME(site, name) name,
        TELVAR_VALUE_SITES(TELVAR_VALUE_SITE_NAME)
#undef TELVAR_VALUE_SITE_NAME
    };
    for (const char* name : value_names) {
        if (!keep(names.sites[site++], PyUnicode_InternFromString(name))) {
            return false;
        }
    }
    return true;
}

}  // namespace

bool intern_names() {
#define TELVAR_INTERN_NAME(field, text)                         \
    if (!keep(names.field, PyUnicode_InternFromString(text))) { \
        return false;                                           \
    }
    TELVAR_NAMES(TELVAR_INTERN_NAME)
    TELVAR_TREE_TEXTS(TELVAR_INTERN_NAME)
#undef TELVAR_INTERN_NAME
    return intern_sites() && keep(names.kw_group, PyTuple_Pack(1, names.group.get()));
}

}  // namespace telvar
