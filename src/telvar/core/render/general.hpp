// The general renderer: print_tree of any non-empty dict, making every call
// the rule makes that can run Python code (a look-up of self.print_tree for
// each child, a key's comparison or concatenation, a value's str(), a dict
// subclass's methods, an override, an output that is not an exact str), in
// the rule's order. Only steps that no Python code can observe are merged:
// while a child's print_tree is the module's own, the child writes its
// lines into the one sink instead of returning a block to be split.
//
// Nothing is remembered from one child to the next: the method is looked
// up again for each, and everything kept across a call is owned.
#pragma once

#include "render/rules.hpp"
#include "render/sink.hpp"

namespace telvar {

// A block as print_tree's caller sees it: written into the sink, or an
// object (when the rule's concatenations had to run as Python code).
struct Block {
    bool written = false;
    Ref object;
};

// One dict being rendered: its first line follows prefix node `first`, its
// further lines `rest`.
struct Level {
    Ref data;
    int first;
    int rest;
    int bar = -1;      // "  |" under `rest`
    int blank = -1;    // "  " under `rest`
    size_t start = 0;  // where the level's text begins in the sink
    Ref output{};      // the text as an object, while the appends run as Python code
    bool appended = false;
};

// A child of a level, between its rendering and its appends.
struct Child {
    Ref key;
    int first = -1;     // prefix node of the child's first line
    int rest = -1;      // prefix node of its further lines (the separator)
    bool last = false;  // `key == last_key`
    size_t mark = 0;    // where its block begins in the sink
    Block block;
};

class Renderer {
  public:
    // `thread` may be unknown (nullptr) in the outermost call.
    Renderer(PyObject* self, PyThreadState* thread)
        : self_(self), thread_(thread != nullptr ? thread : current_thread()) {}

    // print_tree(data, output) for a non-empty dict.
    Ref render(PyObject* data, PyObject* output);

  private:
    bool dict_block(PyObject* data, PyObject* head, PyObject* output, int first, int rest,
                    Block& block);
    bool dict_lines(Level& level, PyObject* head, PyObject* output, Block& block);
    bool render_key(Level& level, const SortedKeys& keys, Py_ssize_t index);
    bool child_prefixes(Level& level, Child& child, PyObject* last_key);
    bool child_block(const Method& print_tree, PyObject* value, PyObject* key, PyObject* label,
                     Child& child);
    bool leaf_block(PyObject* value, PyObject* key, PyObject* label, int first, int rest,
                    Block& block);
    bool append_child(Level& level, Child& child, PyObject* last_key);
    bool append_first_line(Level& level, Child& child, PyObject* last_key);
    bool append_literally(Level& level, Child& child, PyObject* last_key);
    bool to_literal(Level& level);

    PyObject* self_;  // the running call's argument, which outlives it
    PyThreadState* thread_;
    Sink sink_;
};

// `key == last_key`
int last_key_test(PyObject* key, PyObject* last_key);

}  // namespace telvar
