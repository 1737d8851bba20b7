// The sink of the general renderer: prefixes spelled out once, and the
// pieces written through the one text writer.
#include "render/sink.hpp"

#include <algorithm>

namespace telvar {

bool Sink::has_text(size_t from) const {
    for (size_t i = from; i < pieces_.size(); ++i) {
        if (pieces_[i].line != kRemoved) {
            return true;
        }
    }
    return false;
}

// Every node's whole prefix, written once into `prefix_text_`.
bool Sink::spell_prefixes() {
    prefix_text_.truncate(0);
    for (PrefixNode& node : nodes_) {
        const size_t inherited = node.parent >= 0
                                     ? nodes_[static_cast<size_t>(node.parent)].text_length
                                     : 0;
        const auto own = static_cast<size_t>(tree_format::step_length(node.step));
        if (!prefix_text_.reserve(prefix_text_.size() + inherited + own)) {
            return false;
        }
        node.text_start = prefix_text_.size();
        if (node.parent >= 0) {
            prefix_text_.append_copy(nodes_[static_cast<size_t>(node.parent)].text_start,
                                     inherited);
        }
        prefix_text_.append(tree_format::step_text(node.step), own);
        node.text_length = inherited + own;
    }
    return true;
}

// The prefix of node `node`: spelled out (base < 0), or its steps below
// node `base`, outermost first.
bool Sink::write_prefix(TextWriter& writer, int node, int base) {
    if (base < 0) {
        const PrefixNode& spelled = nodes_[static_cast<size_t>(node)];
        return spelled.text_length == 0 ||
               writer.ascii(&prefix_text_[spelled.text_start], spelled.text_length);
    }
    steps_.truncate(0);
    for (int at = node; at != base && at > kRoot; at = nodes_[static_cast<size_t>(at)].parent) {
        if (!steps_.push(static_cast<int>(at))) {
            return false;
        }
    }
    for (size_t i = steps_.size(); i > 0; --i) {
        if (!writer.step(nodes_[static_cast<size_t>(steps_[i - 1])].step)) {
            return false;
        }
    }
    return true;
}

size_t Sink::prefix_length(int node, int base) const {
    if (base < 0) {
        return nodes_[static_cast<size_t>(node)].text_length;
    }
    size_t length = 0;
    for (int at = node; at != base && at > kRoot; at = nodes_[static_cast<size_t>(at)].parent) {
        length += static_cast<size_t>(
            tree_format::step_length(nodes_[static_cast<size_t>(at)].step));
    }
    return length;
}

// Starts `writer` on a str of the measured length and width of the text
// from `from` on, so that the text is written once, in place.
bool Sink::measure(size_t from, int first, int base, TextWriter& writer) const {
    size_t length = 0;
    Py_UCS4 max_char = 0x7f;
    bool cut = false;
    bool first_line = true;
    for (size_t i = from; i < pieces_.size(); ++i) {
        const Piece& piece = pieces_[i];
        if (piece.line == kRemoved) {
            continue;
        }
        PyObject* text = piece.text.get();
        if (piece.line != kContinues) {
            length += (first_line ? 0 : 1) +
                      (piece.line == first ? 0 : prefix_length(piece.line, base));
        }
        first_line = false;
        length += static_cast<size_t>(piece.end - piece.start) +
                  (piece.lead != Lead::none ? static_cast<size_t>(tree_format::kLeadLength) : 0);
        for (Py_ssize_t at = piece.start; (at = find_break(text, at, piece.end)) >= 0; ++at) {
            length += prefix_length(piece.breaks_to, base);
        }
        max_char = std::max(max_char, PyUnicode_MAX_CHAR_VALUE(text));
        cut = cut || ((piece.start != 0 || piece.end != PyUnicode_GET_LENGTH(text)) &&
                      PyUnicode_MAX_CHAR_VALUE(text) > 0x7f);
    }
    return writer.start(static_cast<Py_ssize_t>(length), max_char, cut);
}

bool Sink::write_piece(TextWriter& writer, const Piece& piece, bool first_line, int first,
                       int base) {
    if (piece.line != kContinues) {
        if (!first_line && !writer.line_break()) {
            return false;
        }
        if (piece.line != first && !write_prefix(writer, piece.line, base)) {
            return false;
        }
    }
    return writer.lead(piece.lead) && writer.lines(piece.text.get(), piece.start, piece.end, [&] {
        return write_prefix(writer, piece.breaks_to, base);
    });
}

Ref Sink::text_of(size_t from, int first, int base) {
    if (base < 0 && !spell_prefixes()) {
        return {};
    }
    TextWriter writer;
    if (!measure(from, first, base, writer)) {
        return {};
    }
    bool first_line = true;
    for (size_t i = from; i < pieces_.size(); ++i) {
        const Piece& piece = pieces_[i];
        if (piece.line == kRemoved) {
            continue;
        }
        if (!write_piece(writer, piece, first_line, first, base)) {
            return {};
        }
        first_line = false;
    }
    return writer.finish();
}

Ref Sink::cut_first_line(size_t from) {
    TextWriter line;
    bool seen = false;
    for (size_t i = from; i < pieces_.size(); ++i) {
        Piece& piece = pieces_[i];
        if (piece.line == kRemoved) {
            continue;
        }
        if (seen && piece.line != kContinues) {
            break;  // the next line begins here
        }
        seen = true;
        const Py_ssize_t split = find_break(piece.text.get(), piece.start, piece.end);
        if (!line.lead(piece.lead) ||
            !line.text(piece.text.get(), piece.start, split >= 0 ? split : piece.end)) {
            return {};
        }
        if (split >= 0) {
            // The rest of this piece begins the block's second line.
            piece.start = split + 1;
            piece.line = piece.breaks_to;
            piece.lead = Lead::none;
            break;
        }
        piece.line = kRemoved;
    }
    return line.finish();
}

}  // namespace telvar
