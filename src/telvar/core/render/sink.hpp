// The sink of the general renderer: the lines of a whole rendering,
// written once at the end.
//
// While a child's print_tree is the module's own, the child writes its
// lines straight into the one sink, each line tagged with a prefix node; a
// prefix node is one indentation step under its parent node, and a step
// whose separator is not known yet (the comparison of a key with the last
// key has not run) is filled in later. A piece holds its str object, so
// nothing it points into can go away before the text is written.
#pragma once

#include "render/text.hpp"

namespace telvar {

constexpr int kContinues = -1;  // a piece that continues the current line
constexpr int kRemoved = -2;    // a piece taken out of the text

struct PrefixNode {
    int parent;  // -1 for the root
    Step step;
    // The whole prefix, in the sink's prefix text, once spelled out.
    size_t text_start;
    size_t text_length;
};

struct Piece {
    Ref text;  // a str (exact or not)
    Py_ssize_t start;
    Py_ssize_t end;
    int line;       // prefix node of the line this piece starts, or kContinues / kRemoved
    int breaks_to;  // prefix node of the lines that begin after line breaks in it
    Lead lead;
};

class Sink {
  public:
    static constexpr int kRoot = 0;

    bool start() { return nodes_.push(PrefixNode{-1, Step::none, 0, 0}); }

    // A prefix node one step under `parent`; Step::open: not known yet.
    int node(int parent, Step step) {
        return nodes_.push(PrefixNode{parent, step, 0, 0}) ? static_cast<int>(nodes_.size()) - 1
                                                           : -1;
    }
    void set_step(int node, Step step) { nodes_[static_cast<size_t>(node)].step = step; }

    // `text` begins a new line after the prefix of node `line`; the line
    // breaks inside it begin lines after the prefix of `breaks_to`.
    bool line(int line, PyObject* text, int breaks_to, Lead lead = Lead::none) {
        return pieces_.push(
            Piece{Ref::hold(text), 0, PyUnicode_GET_LENGTH(text), line, breaks_to, lead});
    }
    // `text` continues the current line.
    bool more(PyObject* text, int breaks_to, Lead lead = Lead::none) {
        return line(kContinues, text, breaks_to, lead);
    }

    size_t mark() const { return pieces_.size(); }

    // A slot for a first line that is known only later.
    bool reserve(int line) {
        return pieces_.push(Piece{Ref::hold(names.empty), 0, 0, kRemoved, line, Lead::none});
    }
    void fill(size_t slot, Ref text, int line, int breaks_to) {
        Piece& piece = pieces_[slot];
        piece.end = PyUnicode_GET_LENGTH(text.get());
        piece.text = std::move(text);
        piece.line = line;
        piece.breaks_to = breaks_to;
    }

    // Removes the first line of the text from `from` on and returns it.
    Ref cut_first_line(size_t from);
    // Whether any text is left from `from` on.
    bool has_text(size_t from) const;
    // The text from `from` on as a block of its own, and removed: the line
    // of node `first` without a prefix, every other line with its prefix
    // below node `base`.
    Ref take(size_t from, int first, int base) {
        Ref text = text_of(from, first, base);
        pieces_.truncate(from);
        return text;
    }
    // The whole text.
    Ref finish() { return text_of(0, kRoot, -1); }

  private:
    bool spell_prefixes();
    size_t prefix_length(int node, int base) const;
    bool measure(size_t from, int first, int base, TextWriter& writer) const;
    bool write_prefix(TextWriter& writer, int node, int base);
    bool write_piece(TextWriter& writer, const Piece& piece, bool first_line, int first, int base);
    Ref text_of(size_t from, int first, int base);

    Array<PrefixNode> nodes_;
    Array<Piece> pieces_;
    Array<int> steps_;
    Array<char> prefix_text_;
};

}  // namespace telvar
