// Presentation: print_tree, the registry tree rendered as indented text,
// and the manager's summary representation built on it.
//
// print_tree renders each child through `self.print_tree` and indents the
// child's block line by line into its own. A tree whose rendering makes no
// call that Python code could observe is written in one pass by the plain
// renderer; any other by the general renderer, which makes every such call
// as the rule makes it.
#include "render/general.hpp"
#include "render/plain.hpp"
#include "render/rules.hpp"

namespace telvar {

namespace {

// "plugins (" + cls_text + " at " + address + ") ", from these texts.
MessageTexts<3> summary_texts("plugins (", " at ", ") ");

// The summary line: in one piece when the texts are exact str, else
// concatenated as the rule does, so that a str subclass's own `+` runs.
Ref summary_line(PyObject* cls_text, PyObject* address) {
    if (!summary_texts.ready()) {
        return {};
    }
    PyObject* const pieces[] = {summary_texts[0], cls_text, summary_texts[1], address,
                                summary_texts[2]};
    if (PyUnicode_CheckExact(cls_text) && PyUnicode_CheckExact(address)) {
        return join_texts(pieces, 5);
    }
    Ref line = Ref::hold(pieces[0]);
    for (int i = 1; line && i < 5; ++i) {
        line = py::add(line.get(), pieces[i]);
    }
    return line;
}

}  // namespace

PyObject* print_tree_impl(const Call& args) {
    PyObject* self = args[0];
    PyObject* data = args[1];
    PyObject* output = args[2];
    const int empty = renders_empty(data);
    if (empty != 0) {
        return empty < 0 ? nullptr : Py_NewRef(names.empty.get());
    }
    if (!PyDict_Check(data)) {
        return render_leaf(data, output).release();
    }
    if (PyDict_CheckExact(data) &&
        cached_own_method(self, site_of<Fn::print_tree>()) == own_function(Fn::print_tree)) {
        Ref text;
        if (render_plainly(data, output, text) != Plain::not_plain) {
            return text.release();
        }
    }
    return render_general(self, data, output).release();
}

PyObject* repr_impl(const Call& args) {
    PyObject* self = args[0];
    Ref cls = py::attribute(self, names.dunder_class);
    Ref cls_text = cls ? py::str(cls.get()) : Ref();
    Ref identity = cls_text ? py::call_one(state.builtins.id, self) : Ref();
    Ref hex_identity = identity ? py::call_one(state.builtins.hex, identity.get()) : Ref();
    Ref address = hex_identity ? py::str(hex_identity.get()) : Ref();
    Ref summary = address ? summary_line(cls_text.get(), address.get()) : Ref();
    Method print_tree;
    if (!summary || !print_tree.lookup(self, site_of<Fn::print_tree>())) {
        return nullptr;
    }
    Ref registry = self_attribute(self, Site::plugins);
    if (!registry) {
        return nullptr;
    }
    // self.print_tree(data=registry, output=summary)
    PyObject* stack[] = {self, registry.get(), summary.get()};
    return print_tree.call(stack, 1, keywords_of(Fn::print_tree)).release();
}

}  // namespace telvar
