// Presentation: the registry tree rendered as indented text, and the
// manager's summary representation built on it.
//
// print_tree renders each child through `self.print_tree` and indents the
// child's block line by line into its own. Done literally, every level
// copies the text of all levels below it. Instead, while a child's
// print_tree is the module's own, the child writes its lines straight into
// one shared sink, each line tagged with a prefix node; a prefix node is one
// indentation step ("  |" or "  ") under its parent node, and a step whose
// separator is not known yet (the comparison of a key with the last key
// has not run) is filled in later. The text is assembled once at the end.
//
// Every call the general rule makes that can run Python code (a key's
// comparison or concatenation, a value's str(), a dict subclass's methods,
// an override, an output that is not an exact str) is still made, in the
// rule's order; only steps that no Python code can observe are merged.
#include "common.hpp"

#include <new>
#include <type_traits>

namespace telvar {

namespace {

// A growable array on the Python allocator (no C++ exceptions).
template <class T>
class Array {
  public:
    Array() = default;
    Array(const Array&) = delete;
    Array& operator=(const Array&) = delete;
    ~Array() {
        truncate(0);
        PyMem_Free(items_);
    }

    bool push(T&& item) {
        if (size_ == capacity_ && !grow()) {
            return false;
        }
        new (items_ + size_) T(std::move(item));
        ++size_;
        return true;
    }
    T& operator[](size_t i) { return items_[i]; }
    const T& operator[](size_t i) const { return items_[i]; }
    size_t size() const { return size_; }

    // For plain values: room for `size` items, and bulk appends within it.
    bool reserve(size_t size) {
        while (capacity_ < size) {
            if (!grow()) {
                return false;
            }
        }
        return true;
    }
    void append(const T* items, size_t count) {
        if (count > 0) {
            std::memcpy(static_cast<void*>(items_ + size_), items, count * sizeof(T));
            size_ += count;
        }
    }
    void append_copy(size_t from, size_t count) {
        if (count > 0) {
            std::memmove(static_cast<void*>(items_ + size_), items_ + from, count * sizeof(T));
            size_ += count;
        }
    }
    void truncate(size_t size) {
        while (size_ > size) {
            items_[--size_].~T();
        }
    }

  private:
    bool grow() {
        const size_t capacity = capacity_ == 0 ? 32 : capacity_ * 2;
        if constexpr (std::is_trivially_copyable_v<T>) {
            auto* items = static_cast<T*>(PyMem_Realloc(items_, capacity * sizeof(T)));
            if (items == nullptr) {
                PyErr_NoMemory();
                return false;
            }
            items_ = items;
            capacity_ = capacity;
            return true;
        }
        auto* items = static_cast<T*>(PyMem_Malloc(capacity * sizeof(T)));
        if (items == nullptr) {
            PyErr_NoMemory();
            return false;
        }
        for (size_t i = 0; i < size_; ++i) {
            new (items + i) T(std::move(items_[i]));
            items_[i].~T();
        }
        PyMem_Free(items_);
        items_ = items;
        capacity_ = capacity;
        return true;
    }

    T* items_ = nullptr;
    size_t size_ = 0;
    size_t capacity_ = 0;
};

// --- the sink -----------------------------------------------------------------

constexpr int kContinues = -1;  // a piece that continues the current line
constexpr int kRemoved = -2;    // a piece taken out of the text

struct PrefixNode {
    int parent;      // -1 for the root
    PyObject* step;  // a kept name ("  |", "  ", ""); nullptr while not known
    // The whole prefix, in the sink's prefix text, once the text is put
    // together.
    Py_ssize_t text_start;
    Py_ssize_t text_length;
};

// What a piece writes before its text: nothing, "__ " or " = ".
enum class Lead : uint8_t { none, connector, equals };

struct Piece {
    Ref text;
    Py_ssize_t start;
    Py_ssize_t end;
    Py_ssize_t breaks;  // line breaks in text[start:end]
    int line;           // prefix node of the line this piece starts, or kContinues / kRemoved
    int breaks_to;      // prefix node of the lines that begin after those line breaks
    Lead lead;
};

Py_ssize_t find_break(PyObject* text, Py_ssize_t start, Py_ssize_t end);

// The line breaks in text[start:end]; -1 with an exception set.
Py_ssize_t count_breaks(PyObject* text, Py_ssize_t start, Py_ssize_t end) {
    Py_ssize_t count = 0;
    Py_ssize_t at = find_break(text, start, end);
    for (; at >= 0; at = find_break(text, at + 1, end)) {
        ++count;
    }
    return at < -1 ? -1 : count;  // -2: PyUnicode_FindChar failed
}

Py_ssize_t find_break(PyObject* text, Py_ssize_t start, Py_ssize_t end) {
    if (PyUnicode_KIND(text) == PyUnicode_1BYTE_KIND) {
        const auto* chars = PyUnicode_1BYTE_DATA(text);
        const void* found = std::memchr(chars + start, '\n', static_cast<size_t>(end - start));
        return found == nullptr ? -1 : static_cast<const Py_UCS1*>(found) - chars;
    }
    return PyUnicode_FindChar(text, '\n', start, end, 1);
}

// The widest character of text[start:end], as the bound of its kind.
Py_UCS4 max_char(PyObject* text, Py_ssize_t start, Py_ssize_t end) {
    if (start == 0 && end == PyUnicode_GET_LENGTH(text)) {
        return PyUnicode_MAX_CHAR_VALUE(text);
    }
    const int kind = PyUnicode_KIND(text);
    const void* data = PyUnicode_DATA(text);
    Py_UCS4 widest = 0;
    for (Py_ssize_t i = start; i < end; ++i) {
        const Py_UCS4 ch = PyUnicode_READ(kind, data, i);
        widest = ch > widest ? ch : widest;
    }
    return widest < 0x80 ? 0x7f : widest < 0x100 ? 0xff : widest < 0x10000 ? 0xffff : 0x10ffff;
}

// Writes a measured text into a new str.
class TextWriter {
  public:
    bool allocate(Py_ssize_t length, Py_UCS4 widest) {
        out_ = Ref::steal(PyUnicode_New(length, widest));
        return static_cast<bool>(out_);
    }
    void text(PyObject* text, Py_ssize_t start, Py_ssize_t end) {
        if (PyUnicode_KIND(out_.get()) == PyUnicode_1BYTE_KIND) {
            std::memcpy(PyUnicode_1BYTE_DATA(out_.get()) + pos_, PyUnicode_1BYTE_DATA(text) + start,
                        static_cast<size_t>(end - start));
        } else {
            PyUnicode_CopyCharacters(out_.get(), pos_, text, start, end - start);
        }
        pos_ += end - start;
    }
    void newline() { ascii("\n", 1); }
    void step(PyObject* ascii_text) {
        ascii(static_cast<const char*>(PyUnicode_DATA(ascii_text)),
              PyUnicode_GET_LENGTH(ascii_text));
    }
    void ascii(const char* chars, Py_ssize_t length) {
        const int kind = PyUnicode_KIND(out_.get());
        void* data = PyUnicode_DATA(out_.get());
        if (kind == PyUnicode_1BYTE_KIND) {
            std::memcpy(static_cast<char*>(data) + pos_, chars, static_cast<size_t>(length));
        } else {
            for (Py_ssize_t i = 0; i < length; ++i) {
                PyUnicode_WRITE(kind, data, pos_ + i, static_cast<Py_UCS4>(chars[i]));
            }
        }
        pos_ += length;
    }
    Ref finish() { return std::move(out_); }

  private:
    Ref out_;
    Py_ssize_t pos_ = 0;
};

class Sink {
  public:
    static constexpr int kRoot = 0;

    bool start() { return nodes_.push(PrefixNode{-1, names.empty, 0, 0}); }

    // A prefix node one step under `parent`; `step` nullptr: not known yet.
    int node(int parent, PyObject* step) {
        return nodes_.push(PrefixNode{parent, step, 0, 0}) ? static_cast<int>(nodes_.size()) - 1
                                                           : -1;
    }
    void set_step(int node, PyObject* step) { nodes_[static_cast<size_t>(node)].step = step; }

    // `text` begins a new line after the prefix of node `line`; the line
    // breaks inside it begin lines after the prefix of `breaks_to`.
    bool line(int line, PyObject* text, int breaks_to, Lead lead = Lead::none) {
        const Py_ssize_t length = PyUnicode_GET_LENGTH(text);
        const Py_ssize_t breaks = count_breaks(text, 0, length);
        return breaks >= 0 &&
               pieces_.push(Piece{Ref::hold(text), 0, length, breaks, line, breaks_to, lead});
    }
    // `text` continues the current line.
    bool more(PyObject* text, int breaks_to, Lead lead = Lead::none) {
        return line(kContinues, text, breaks_to, lead);
    }

    size_t mark() const { return pieces_.size(); }

    // A slot for a first line that is known only later.
    bool reserve(int line) {
        return pieces_.push(Piece{Ref::hold(names.empty), 0, 0, 0, kRemoved, line, Lead::none});
    }
    bool fill(size_t slot, Ref text, int line, int breaks_to) {
        Piece& piece = pieces_[slot];
        piece.end = PyUnicode_GET_LENGTH(text.get());
        piece.breaks = count_breaks(text.get(), 0, piece.end);
        piece.text = std::move(text);
        piece.line = line;
        piece.breaks_to = breaks_to;
        return piece.breaks >= 0;
    }

    // Removes the first line of the text from `from` on and returns it.
    Ref cut_first_line(size_t from);
    // Whether any text is left from `from` on.
    bool has_text(size_t from) const {
        for (size_t i = from; i < pieces_.size(); ++i) {
            if (pieces_[i].line != kRemoved) {
                return true;
            }
        }
        return false;
    }
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
    // The steps from node `base` (excluded) down to `node`, outermost first.
    bool collect_steps(int node, int base) {
        steps_.truncate(0);
        for (int at = node; at != base && at > kRoot; at = nodes_[static_cast<size_t>(at)].parent) {
            if (!steps_.push(static_cast<int>(at))) {
                return false;
            }
        }
        return true;
    }
    // Every node's whole prefix, written once into `prefix_text_`.
    bool spell_prefixes() {
        prefix_text_.truncate(0);
        for (size_t i = 0; i < nodes_.size(); ++i) {
            PrefixNode& node = nodes_[i];
            const PrefixNode* parent = node.parent >= 0 ? &nodes_[static_cast<size_t>(node.parent)]
                                                        : nullptr;
            node.text_start = static_cast<Py_ssize_t>(prefix_text_.size());
            node.text_length = 0;
            const Py_ssize_t inherited = parent != nullptr ? parent->text_length : 0;
            const Py_ssize_t own = PyUnicode_GET_LENGTH(node.step);
            if (!prefix_text_.reserve(prefix_text_.size() + static_cast<size_t>(inherited + own))) {
                return false;
            }
            if (parent != nullptr) {
                prefix_text_.append_copy(static_cast<size_t>(parent->text_start),
                                         static_cast<size_t>(inherited));
            }
            prefix_text_.append(static_cast<const char*>(PyUnicode_DATA(node.step)),
                                static_cast<size_t>(own));
            node.text_length = inherited + own;
        }
        return true;
    }
    Py_ssize_t prefix_length(int node, int base) {
        if (base < 0) {
            return nodes_[static_cast<size_t>(node)].text_length;
        }
        Py_ssize_t length = 0;
        for (int at = node; at != base && at > kRoot; at = nodes_[static_cast<size_t>(at)].parent) {
            length += PyUnicode_GET_LENGTH(nodes_[static_cast<size_t>(at)].step);
        }
        return length;
    }
    bool write_prefix(TextWriter& writer, int node, int base) {
        if (base < 0) {
            const PrefixNode& spelled = nodes_[static_cast<size_t>(node)];
            if (spelled.text_length > 0) {
                writer.ascii(&prefix_text_[static_cast<size_t>(spelled.text_start)],
                             spelled.text_length);
            }
            return true;
        }
        if (!collect_steps(node, base)) {
            return false;
        }
        for (size_t i = steps_.size(); i > 0; --i) {
            writer.step(nodes_[static_cast<size_t>(steps_[i - 1])].step);
        }
        return true;
    }
    // Calls visit(piece, first_line) for each piece from `from` on that is
    // not removed, in order, while it returns true.
    template <class Visit>
    bool each_piece(size_t from, Visit&& visit) const {
        bool first_line = true;
        for (size_t i = from; i < pieces_.size(); ++i) {
            const Piece& piece = pieces_[i];
            if (piece.line == kRemoved) {
                continue;
            }
            if (!visit(piece, first_line)) {
                return false;
            }
            first_line = false;
        }
        return true;
    }
    bool measure(size_t from, int first, int base, Py_ssize_t& length, Py_UCS4& widest);
    bool write_piece(TextWriter& writer, const Piece& piece, bool first_line, int first, int base);
    Ref text_of(size_t from, int first, int base);
    Ref write_narrow(Ref out, size_t from, int first);

    Array<PrefixNode> nodes_;
    Array<Piece> pieces_;
    Array<int> steps_;
    Array<char> prefix_text_;
};

constexpr Py_ssize_t kLeadLength = 3;  // "__ " and " = "

const char* lead_text(Lead lead) { return lead == Lead::connector ? "__ " : " = "; }

bool Sink::measure(size_t from, int first, int base, Py_ssize_t& length, Py_UCS4& widest) {
    return each_piece(from, [&](const Piece& piece, bool first_line) {
        if (piece.line != kContinues) {
            length += (first_line ? 0 : 1) +
                      (piece.line == first ? 0 : prefix_length(piece.line, base));
        }
        length += piece.end - piece.start + (piece.lead != Lead::none ? kLeadLength : 0);
        const Py_UCS4 piece_widest = max_char(piece.text.get(), piece.start, piece.end);
        widest = piece_widest > widest ? piece_widest : widest;
        if (piece.breaks > 0) {
            length += piece.breaks * prefix_length(piece.breaks_to, base);
        }
        return true;
    });
}

bool Sink::write_piece(TextWriter& writer, const Piece& piece, bool first_line, int first,
                       int base) {
    if (piece.line != kContinues) {
        if (!first_line) {
            writer.newline();
        }
        if (piece.line != first && !write_prefix(writer, piece.line, base)) {
            return false;
        }
    }
    if (piece.lead != Lead::none) {
        writer.ascii(lead_text(piece.lead), kLeadLength);
    }
    PyObject* text = piece.text.get();
    Py_ssize_t start = piece.start;
    for (Py_ssize_t left = piece.breaks; left > 0; --left) {
        const Py_ssize_t at = find_break(text, start, piece.end);
        writer.text(text, start, at + 1);
        if (!write_prefix(writer, piece.breaks_to, base)) {
            return false;
        }
        start = at + 1;
    }
    writer.text(text, start, piece.end);
    return true;
}

Ref Sink::text_of(size_t from, int first, int base) {
    Py_ssize_t length = 0;
    Py_UCS4 widest = 0x7f;
    TextWriter writer;
    if ((base < 0 && !spell_prefixes()) || !measure(from, first, base, length, widest) ||
        !writer.allocate(length, widest)) {
        return {};
    }
    if (base < 0 && widest <= 0xff) {
        return write_narrow(writer.finish(), from, first);
    }
    const bool written = each_piece(from, [&](const Piece& piece, bool first_line) {
        return write_piece(writer, piece, first_line, first, base);
    });
    return written ? writer.finish() : Ref();
}

// The common case of the whole text in one-byte characters: written
// straight into the new str.
Ref Sink::write_narrow(Ref out, size_t from, int first) {
    char* at = reinterpret_cast<char*>(PyUnicode_1BYTE_DATA(out.get()));
    const char* prefixes = prefix_text_.size() > 0 ? &prefix_text_[0] : nullptr;
    auto put_prefix = [&](int node) {
        const PrefixNode& spelled = nodes_[static_cast<size_t>(node)];
        if (spelled.text_length > 0) {
            std::memcpy(at, prefixes + spelled.text_start,
                        static_cast<size_t>(spelled.text_length));
            at += spelled.text_length;
        }
    };
    each_piece(from, [&](const Piece& piece, bool first_line) {
        if (piece.line != kContinues) {
            if (!first_line) {
                *at++ = '\n';
            }
            if (piece.line != first) {
                put_prefix(piece.line);
            }
        }
        if (piece.lead != Lead::none) {
            std::memcpy(at, lead_text(piece.lead), kLeadLength);
            at += kLeadLength;
        }
        const char* text = reinterpret_cast<const char*>(PyUnicode_1BYTE_DATA(piece.text.get()));
        Py_ssize_t start = piece.start;
        for (Py_ssize_t left = piece.breaks; left > 0; --left) {
            const auto* found = static_cast<const char*>(
                std::memchr(text + start, '\n', static_cast<size_t>(piece.end - start)));
            const Py_ssize_t stop = found - text + 1;
            std::memcpy(at, text + start, static_cast<size_t>(stop - start));
            at += stop - start;
            put_prefix(piece.breaks_to);
            start = stop;
        }
        std::memcpy(at, text + start, static_cast<size_t>(piece.end - start));
        at += piece.end - start;
        return true;
    });
    return out;
}

Ref Sink::cut_first_line(size_t from) {
    Sink line;
    if (!line.start()) {
        return {};
    }
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
        const Py_ssize_t split = piece.breaks > 0
                                     ? find_break(piece.text.get(), piece.start, piece.end)
                                     : -1;
        const Py_ssize_t stop = split >= 0 ? split : piece.end;
        if (!line.pieces_.push(Piece{Ref::hold(piece.text.get()), piece.start, stop, 0, kContinues,
                                     kRoot, piece.lead})) {
            return {};
        }
        if (split >= 0) {
            // The rest of this piece begins the block's second line.
            piece.start = split + 1;
            piece.breaks -= 1;
            piece.line = piece.breaks_to;
            piece.lead = Lead::none;
            break;
        }
        piece.line = kRemoved;
    }
    return line.finish();
}

// --- small pieces of the rule -----------------------------------------------------

// Objects whose truth, str() and comparison with {} run no Python code.
bool is_inert(PyObject* obj) {
    return PyUnicode_CheckExact(obj) || obj == Py_None || PyBool_Check(obj) ||
           PyLong_CheckExact(obj) || Py_IS_TYPE(obj, &PyType_Type) || PyDict_CheckExact(obj);
}

// `not data or data == {}`: 1 when it renders as the empty str, 0 when not,
// -1 on error.
int renders_empty(PyObject* data) {
    const int truth = is_true(data);
    if (truth <= 0) {
        return truth < 0 ? -1 : 1;
    }
    if (is_inert(data)) {
        return 0;  // a true inert value never equals {}
    }
    Ref empty = Ref::steal(PyDict_New());
    return empty ? equals(data, empty.get()) : -1;
}

// `output + " = " + str(data)`
Ref render_leaf(PyObject* data, PyObject* output) {
    Ref head = Ref::steal(PyNumber_Add(output, names.equals));
    Ref text = head ? Ref::steal(PyObject_Str(data)) : Ref();
    return text ? Ref::steal(PyNumber_Add(head.get(), text.get())) : Ref();
}

// The keys of a dict in ascending order, as sorted(data.keys()) gives them.
// A small plain dict of exact str keys is sorted here, without a list.
class SortedKeys {
  public:
    bool ran_python = false;  // keys() or a comparison may have run Python code

    bool collect(PyObject* data) {
        if (PyDict_CheckExact(data) && PyDict_GET_SIZE(data) <= kSmall && collect_small(data)) {
            return true;
        }
        list_ = PyDict_CheckExact(data) ? Ref::steal(PyDict_Keys(data))
                                        : call_method0(data, names.keys);
        if (list_) {
            list_ = Ref::steal(PySequence_List(list_.get()));
        }
        if (!list_ || PyList_Sort(list_.get()) < 0) {
            return false;
        }
        ran_python = !PyDict_CheckExact(data);
        for (Py_ssize_t i = 0; !ran_python && i < count(); ++i) {
            ran_python = !PyUnicode_CheckExact(PyList_GET_ITEM(list_.get(), i));
        }
        if (count() == 0) {
            PyErr_SetString(PyExc_IndexError, "list index out of range");  // sorted_keys[-1]
            return false;
        }
        return true;
    }

    Py_ssize_t count() const { return list_ ? PyList_GET_SIZE(list_.get()) : small_count_; }
    // A new reference: the list may be changed by the code that runs.
    Ref operator[](Py_ssize_t i) const {
        return Ref::hold(list_ ? PyList_GET_ITEM(list_.get(), i) : small_[i].get());
    }

  private:
    static constexpr Py_ssize_t kSmall = 8;

    bool collect_small(PyObject* data) {
        Py_ssize_t pos = 0;
        PyObject* key = nullptr;
        PyObject* value = nullptr;
        while (PyDict_Next(data, &pos, &key, &value)) {
            if (!PyUnicode_CheckExact(key)) {
                for (Py_ssize_t i = 0; i < small_count_; ++i) {
                    small_[i] = Ref();
                }
                small_count_ = 0;
                return false;
            }
            // Insertion sort by code point, which is str's own order.
            Py_ssize_t at = small_count_++;
            Ref held = Ref::hold(key);
            while (at > 0 && PyUnicode_Compare(small_[at - 1].get(), key) > 0) {
                small_[at] = std::move(small_[at - 1]);
                --at;
            }
            small_[at] = std::move(held);
        }
        return small_count_ > 0;
    }

    Ref list_;
    Ref small_[kSmall];
    Py_ssize_t small_count_ = 0;
};

// --- the renderer -----------------------------------------------------------

// A block as print_tree's caller sees it: written into the sink, or an
// object (when the rule's concatenations had to run as Python code).
struct Block {
    bool written = false;
    Ref object;
};

// One dict being rendered: its first line follows prefix node `first`, its
// further lines `rest`.
struct Level {
    PyObject* data;
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
    int first;    // prefix node of the child's first line
    int rest;     // prefix node of its further lines (the separator)
    bool last;    // `key == last_key`
    size_t mark;  // where its block begins in the sink
    Block block;
};

class Renderer {
  public:
    // `thread` may be unknown (nullptr) in the outermost call.
    Renderer(PyObject* self, PyThreadState* thread)
        : self_(self), thread_(thread != nullptr ? thread : current_thread()) {}

    // print_tree(data, output) for a non-empty dict.
    Ref render(PyObject* data, PyObject* output) {
        class_texts_ = Ref::steal(PyDict_New());
        if (!class_texts_ || !sink_.start()) {
            return {};
        }
        Block block;
        if (!dict_block(data, nullptr, output, Sink::kRoot, Sink::kRoot, block)) {
            return {};
        }
        return block.written ? sink_.finish() : std::move(block.object);
    }

  private:
    // Python code may have run: what was resolved or cached may be stale.
    void ran_python() {
        resolved_ = false;
        PyDict_Clear(class_texts_.get());
    }

    bool dict_block(PyObject* data, PyObject* head, PyObject* output, int first, int rest,
                    Block& block);
    bool dict_lines(Level& level, PyObject* head, PyObject* output, Block& block);
    bool render_key(Level& level, const SortedKeys& keys, Py_ssize_t index);
    Ref child_value(PyObject* data, PyObject* key);
    bool child_prefixes(Level& level, Child& child, PyObject* last_key);
    bool child_block(PyObject* value, PyObject* key, PyObject* label, int first, int rest,
                     Block& block);
    bool leaf_block(PyObject* value, PyObject* key, PyObject* label, int first, int rest,
                    Block& block);
    bool resolve_print_tree();
    int last_key_test(PyObject* key, PyObject* last_key);
    bool append_child(Level& level, Child& child, PyObject* last_key);
    bool append_first_line(Level& level, Child& child, PyObject* last_key);
    bool append_lines(Level& level, PyObject* lines, const Child& child, PyObject* last_key);
    bool append_literally(Level& level, Child& child, PyObject* last_key);
    bool to_literal(Level& level);
    Ref value_text(PyObject* value);

    PyObject* self_;
    PyThreadState* thread_;
    Sink sink_;
    Ref class_texts_;  // str() of classes, while no Python code runs
    Method print_tree_;
    bool resolved_ = false;
    bool own_ = false;
};

// self.print_tree, looked up for each child as the rule does, unless the
// last look-up found the module's own function without running Python code
// and none has run since.
bool Renderer::resolve_print_tree() {
    if (resolved_) {
        return true;
    }
    if (!print_tree_.lookup(self_, Site::print_tree, names.print_tree)) {
        return false;
    }
    own_ = print_tree_.resolves_to(Fn::print_tree);
    resolved_ = own_ && Py_TYPE(self_)->tp_getattro == PyObject_GenericGetAttr;
    return true;
}

// `key == last_key`
int Renderer::last_key_test(PyObject* key, PyObject* last_key) {
    if (PyUnicode_CheckExact(key) && PyUnicode_CheckExact(last_key)) {
        return same_text(key, last_key);
    }
    const int last = equals(key, last_key);
    ran_python();
    return last;
}

// str(value); a class's text is kept while no Python code runs.
Ref Renderer::value_text(PyObject* value) {
    if (PyUnicode_CheckExact(value)) {
        return Ref::hold(value);
    }
    if (!Py_IS_TYPE(value, &PyType_Type)) {
        if (!is_inert(value)) {
            ran_python();
        }
        return Ref::steal(PyObject_Str(value));
    }
    PyObject* known = nullptr;
    if (PyDict_GetItemRef(class_texts_.get(), value, &known) != 0) {
        return Ref::steal(known);
    }
    Ref text = Ref::steal(PyObject_Str(value));
    if (!text || PyDict_SetItem(class_texts_.get(), value, text.get()) < 0) {
        return {};
    }
    return text;
}

bool Renderer::dict_block(PyObject* data, PyObject* head, PyObject* output, int first, int rest,
                          Block& block) {
    PyThreadState* thread = enter_level(thread_);
    if (thread == nullptr) {
        return false;
    }
    Level level{data, first, rest};
    const bool done = dict_lines(level, head, output, block);
    leave_level(thread);
    return done;
}

// The block of a non-empty dict whose label is `head` + `output` (head
// nullptr: `output` alone).
bool Renderer::dict_lines(Level& level, PyObject* head, PyObject* output, Block& block) {
    level.start = sink_.mark();
    if (head != nullptr) {
        if (!sink_.line(level.first, output, level.rest, Lead::connector)) {
            return false;
        }
    } else if (PyUnicode_CheckExact(output)) {
        if (!sink_.line(level.first, output, level.rest)) {
            return false;
        }
    } else {
        // The first append runs `output + piece` as Python code: the first
        // line is known only then.
        level.output = Ref::hold(output);
        if (!sink_.reserve(level.first)) {
            return false;
        }
    }
    SortedKeys keys;
    if (!keys.collect(level.data)) {
        return false;
    }
    if (keys.ran_python) {
        ran_python();
    }
    for (Py_ssize_t i = 0; i < keys.count(); ++i) {
        if (!render_key(level, keys, i)) {
            return false;
        }
    }
    block.written = !level.output;
    block.object = std::move(level.output);
    return true;
}

// data[key]
Ref Renderer::child_value(PyObject* data, PyObject* key) {
    if (!PyDict_CheckExact(data) || !PyUnicode_CheckExact(key)) {
        ran_python();  // a dict subclass's __getitem__, or a key's __eq__
    }
    return get_item(data, key);
}

// The prefix nodes of a child: "  |" before its first line and, before the
// others, the separator, which stays open until `key == last_key` has run
// when that comparison can run Python code.
bool Renderer::child_prefixes(Level& level, Child& child, PyObject* last_key) {
    if (level.bar < 0 && (level.bar = sink_.node(level.rest, names.bar)) < 0) {
        return false;
    }
    child.first = level.bar;
    PyObject* key = child.key.get();
    if (!PyUnicode_CheckExact(key) || !PyUnicode_CheckExact(last_key)) {
        child.rest = sink_.node(level.rest, nullptr);
        return child.rest >= 0;
    }
    child.last = same_text(key, last_key);
    if (child.last && level.blank < 0 && (level.blank = sink_.node(level.rest, names.blank)) < 0) {
        return false;
    }
    child.rest = child.last ? level.blank : level.bar;
    return true;
}

bool Renderer::render_key(Level& level, const SortedKeys& keys, Py_ssize_t index) {
    Child child;
    child.key = keys[index];
    Ref last_key = keys[keys.count() - 1];
    PyObject* key = child.key.get();
    // The rule's order: the method look-up, then data[key], then the label.
    if (!resolve_print_tree()) {
        return false;
    }
    Ref value = child_value(level.data, key);
    if (!value) {
        return false;
    }
    Ref label;
    if (!PyUnicode_CheckExact(key)) {
        label = Ref::steal(PyNumber_Add(names.connector, key));
        ran_python();
        if (!label) {
            return false;
        }
    }
    child.mark = sink_.mark();
    return child_prefixes(level, child, last_key.get()) &&
           child_block(value.get(), key, label.get(), child.first, child.rest, child.block) &&
           append_child(level, child, last_key.get());
}

// The child's block, as self.print_tree(data=value, output="__ " + key)
// returns it. `label` is that output when the key is not an exact str.
bool Renderer::child_block(PyObject* value, PyObject* key, PyObject* label, int first, int rest,
                           Block& block) {
    PyObject* output = label != nullptr ? label : key;
    PyObject* head = label != nullptr ? nullptr : names.connector.get();
    if (!own_) {
        Ref text;
        Ref joined = head != nullptr ? Ref::steal(PyUnicode_Concat(head, key)) : Ref::hold(output);
        if (joined) {
            PyObject* stack[] = {self_, value, joined.get()};
            text = print_tree_.call(stack, 1, names.kw_data_output, thread_);
        }
        ran_python();
        block.object = std::move(text);
        return static_cast<bool>(block.object);
    }
    if (!is_inert(value)) {
        ran_python();
    }
    const int empty = renders_empty(value);
    if (empty != 0) {
        // The empty block is one empty line: the prefix alone.
        block.written = empty > 0 && sink_.line(first, names.empty, rest);
        return block.written;
    }
    if (PyDict_Check(value)) {
        return dict_block(value, head, output, first, rest, block);
    }
    return leaf_block(value, key, label, first, rest, block);
}

// `output + " = " + str(value)`
bool Renderer::leaf_block(PyObject* value, PyObject* key, PyObject* label, int first, int rest,
                          Block& block) {
    if (label != nullptr && !PyUnicode_CheckExact(label)) {
        block.object = render_leaf(value, label);
        ran_python();
        return static_cast<bool>(block.object);
    }
    Ref text = value_text(value);
    if (!text) {
        return false;
    }
    if (!PyUnicode_CheckExact(text.get())) {
        // A str subclass may answer the concatenation itself.
        Ref head = label != nullptr ? Ref::steal(PyUnicode_Concat(label, names.equals))
                                    : Ref::steal(PyUnicode_FromFormat("__ %U = ", key));
        block.object = head ? Ref::steal(PyNumber_Add(head.get(), text.get())) : Ref();
        ran_python();
        return static_cast<bool>(block.object);
    }
    block.written = (label != nullptr ? sink_.line(first, label, rest)
                                      : sink_.line(first, key, rest, Lead::connector)) &&
                    sink_.more(text.get(), rest, Lead::equals);
    return block.written;
}

// The child's lines appended to the level's text: "\n  |" before the first,
// "\n" and the separator before the others.
bool Renderer::append_child(Level& level, Child& child, PyObject* last_key) {
    PyObject* key = child.key.get();
    const bool known = PyUnicode_CheckExact(key) && PyUnicode_CheckExact(last_key);
    if (!known) {
        const int last = last_key_test(key, last_key);  // the separator's test
        if (last < 0) {
            return false;
        }
        child.last = last > 0;
        sink_.set_step(child.rest, child.last ? names.blank : names.bar);
    }
    if (child.block.object && PyUnicode_CheckExact(child.block.object.get()) && !level.output) {
        // A plain str block from an override: its lines are indented as if
        // written here.
        if (!sink_.line(child.first, child.block.object.get(), child.rest)) {
            return false;
        }
        child.block.object = Ref();
        child.block.written = true;
    }
    if (!level.output && child.block.written) {
        level.appended = true;
        return known || last_key_test(key, last_key) >= 0;  // the first line's test
    }
    if (!level.appended && child.block.written) {
        return append_first_line(level, child, last_key);
    }
    return append_literally(level, child, last_key);
}

// The first append to an output that is not a plain str: `output + piece`
// runs as Python code. When it gives a plain str, the rest of the child's
// lines stay where they were written.
bool Renderer::append_first_line(Level& level, Child& child, PyObject* last_key) {
    Ref line = sink_.cut_first_line(child.mark);
    if (!line) {
        return false;
    }
    const bool known = PyUnicode_CheckExact(child.key.get()) && PyUnicode_CheckExact(last_key);
    if (!known && last_key_test(child.key.get(), last_key) < 0) {
        return false;  // the first line's test
    }
    // "\n  |" + line for the last key, "\n" + "  |" + line for the others.
    Ref piece = Ref::steal(PyUnicode_Concat(names.newline_bar, line.get()));
    Ref output = piece ? Ref::steal(PyNumber_Add(level.output.get(), piece.get())) : Ref();
    ran_python();
    level.appended = true;
    if (!output) {
        return false;
    }
    if (PyUnicode_CheckExact(output.get())) {
        level.output = Ref();
        return sink_.fill(level.start, std::move(output), level.first, level.rest);
    }
    level.output = std::move(output);
    if (!sink_.has_text(child.mark)) {
        return true;
    }
    Ref rest = sink_.take(child.mark, -1, child.rest);
    Ref lines = rest ? Ref::steal(PyUnicode_Split(rest.get(), names.newline, -1)) : Ref();
    return lines && append_lines(level, lines.get(), child, nullptr);
}

// Appends each line as `output = output + piece`; the first line's piece
// is chosen by `key == last_key` when `last_key` is given.
bool Renderer::append_lines(Level& level, PyObject* lines, const Child& child, PyObject* last_key) {
    Ref iterator = Ref::steal(PyObject_GetIter(lines));
    if (!iterator) {
        return false;
    }
    PyObject* separator = child.last ? names.blank : names.bar;
    bool first_line = last_key != nullptr;
    while (Ref line = Ref::steal(PyIter_Next(iterator.get()))) {
        int last = 0;
        if (first_line && (last = last_key_test(child.key.get(), last_key)) < 0) {
            return false;
        }
        Ref prefix = first_line && last > 0
                         ? Ref::hold(names.newline_bar)
                         : Ref::steal(PyUnicode_Concat(names.newline, separator));
        Ref piece = prefix ? Ref::steal(PyNumber_Add(prefix.get(), line.get())) : Ref();
        level.output = piece ? Ref::steal(PyNumber_Add(level.output.get(), piece.get())) : Ref();
        first_line = false;
        if (!level.output) {
            return false;
        }
    }
    return !PyErr_Occurred();
}

// The level's text so far becomes an object, so that the appends can run
// as the Python code they are.
bool Renderer::to_literal(Level& level) {
    if (level.output) {
        return true;
    }
    level.output = sink_.take(level.start, level.first, level.rest);
    return static_cast<bool>(level.output);
}

// The appends of a whole child block, each `output = output + piece` made
// as the rule makes it.
bool Renderer::append_literally(Level& level, Child& child, PyObject* last_key) {
    Ref block = child.block.written ? sink_.take(child.mark, child.first, child.rest)
                                    : std::move(child.block.object);
    ran_python();
    if (!block || !to_literal(level)) {
        return false;
    }
    Ref lines = PyUnicode_CheckExact(block.get())
                    ? Ref::steal(PyUnicode_Split(block.get(), names.newline, -1))
                    : Ref::steal(
                          PyObject_CallMethodOneArg(block.get(), names.split, names.newline));
    level.appended = true;
    if (!lines || !append_lines(level, lines.get(), child, last_key)) {
        return false;
    }
    if (PyUnicode_CheckExact(level.output.get())) {
        // Plain text again: the rest of the level is written into the sink.
        level.start = sink_.mark();
        if (!sink_.reserve(level.first)) {
            return false;
        }
        return sink_.fill(level.start, std::move(level.output), level.first, level.rest);
    }
    return true;
}

// --- the plain renderer --------------------------------------------------------
//
// A tree of plain dicts with exact str keys and leaves whose truth and str()
// run no Python code (str, None, bool, int, classes of `type`), rendered by
// the module's own print_tree, makes no call that Python code can observe:
// its text is written here in one pass, every prefix known as it is
// written. At anything else it stops before any such call, having changed
// nothing, and the general renderer takes over from the start.
class PlainRenderer {
  public:
    explicit PlainRenderer(PyThreadState* thread)
        : thread_(thread != nullptr ? thread : current_thread()) {}

    // 1 with `text` set, 0 when the tree is not plain, -1 on error.
    int render(PyObject* data, PyObject* output, Ref& text) {
        if (!one_byte(output) || !write(output)) {
            return PyErr_Occurred() ? -1 : 0;
        }
        const int done = dict_lines(data);
        if (done <= 0) {
            return done;
        }
        static const Py_UCS1 kNothing = 0;
        const Py_UCS1* bytes = out_.size() > 0 ? &out_[0] : &kNothing;
        text = Ref::steal(PyUnicode_FromKindAndData(PyUnicode_1BYTE_KIND, bytes,
                                                    static_cast<Py_ssize_t>(out_.size())));
        return text ? 1 : -1;
    }

  private:
    static bool one_byte(PyObject* text) {
        return PyUnicode_CheckExact(text) && PyUnicode_KIND(text) == PyUnicode_1BYTE_KIND;
    }
    bool write(const char* chars, size_t length) {
        if (!out_.reserve(out_.size() + length)) {
            return false;
        }
        out_.append(reinterpret_cast<const Py_UCS1*>(chars), length);
        return true;
    }
    bool write(PyObject* text) {
        return write(reinterpret_cast<const char*>(PyUnicode_1BYTE_DATA(text)),
                     static_cast<size_t>(PyUnicode_GET_LENGTH(text)));
    }
    bool new_line(const char* step) {
        return write("\n", 1) && write(indent_.size() ? &indent_[0] : "", indent_.size()) &&
               write(step, std::strlen(step));
    }

    // str() of a leaf; a class's text is kept, as no code can change it.
    Ref leaf_text(PyObject* value) {
        if (PyUnicode_CheckExact(value)) {
            return Ref::hold(value);
        }
        if (!Py_IS_TYPE(value, &PyType_Type)) {
            return Ref::steal(PyObject_Str(value));
        }
        auto& slot = class_texts_[(reinterpret_cast<uintptr_t>(value) >> 4) % kClassTexts];
        if (slot.cls != value) {
            slot.text = Ref::steal(PyObject_Str(value));
            slot.cls = slot.text ? value : nullptr;
        }
        return Ref::hold(slot.text.get());
    }

    // A leaf's text after " = ": its further lines after the separator.
    int leaf(PyObject* value, const char* separator) {
        Ref text = leaf_text(value);
        if (!text) {
            return -1;
        }
        if (!one_byte(text.get())) {
            return 0;
        }
        const auto* chars = reinterpret_cast<const char*>(PyUnicode_1BYTE_DATA(text.get()));
        const auto length = static_cast<size_t>(PyUnicode_GET_LENGTH(text.get()));
        size_t start = 0;
        if (!write(" = ", 3)) {
            return -1;
        }
        for (const void* found; (found = std::memchr(chars + start, '\n', length - start));) {
            const auto stop = static_cast<size_t>(static_cast<const char*>(found) - chars);
            if (!write(chars + start, stop - start) || !new_line(separator)) {
                return -1;
            }
            start = stop + 1;
        }
        return write(chars + start, length - start) ? 1 : -1;
    }

    int child(PyObject* key, PyObject* value, bool last) {
        const char* separator = last ? "  " : "  |";
        if (!is_inert(value)) {
            return 0;
        }
        const int truth = is_true(value);  // runs no code for these types
        if (truth < 0 || !new_line("  |")) {
            return -1;
        }
        if (truth == 0) {
            return 1;  // the empty block: the connector alone
        }
        if (!write("__ ", 3) || !write(key)) {
            return -1;
        }
        if (!PyDict_CheckExact(value)) {
            return leaf(value, separator);
        }
        const size_t depth = indent_.size();
        if (!indent_.reserve(depth + 3)) {
            return -1;
        }
        indent_.append(separator, std::strlen(separator));
        const int done = dict_lines(value);
        indent_.truncate(depth);
        return done;
    }

    int dict_lines(PyObject* data) {
        if (enter_level(thread_) == nullptr) {
            return -1;
        }
        const int done = children(data);
        leave_level(thread_);
        return done;
    }

    int children(PyObject* data) {
        Ref keys = Ref::steal(PyDict_Keys(data));
        if (!keys) {
            return -1;
        }
        const Py_ssize_t count = PyList_GET_SIZE(keys.get());
        for (Py_ssize_t i = 0; i < count; ++i) {
            if (!one_byte(PyList_GET_ITEM(keys.get(), i))) {
                return 0;
            }
        }
        if (PyList_Sort(keys.get()) < 0) {
            return -1;
        }
        for (Py_ssize_t i = 0; i < count; ++i) {
            PyObject* key = PyList_GET_ITEM(keys.get(), i);
            PyObject* value = PyDict_GetItemWithError(data, key);  // borrowed: nothing runs
            if (value == nullptr) {
                return -1;
            }
            const int done = child(key, value, i == count - 1);
            if (done <= 0) {
                return done;
            }
        }
        return 1;
    }

    static constexpr size_t kClassTexts = 16;
    struct ClassText {
        PyObject* cls = nullptr;
        Ref text;
    };

    PyThreadState* thread_;
    Array<Py_UCS1> out_;
    Array<char> indent_;
    ClassText class_texts_[kClassTexts];
};

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
        cached_own_method(self, Site::print_tree) == own_function(Fn::print_tree)) {
        Ref text;
        PlainRenderer plain(args.thread);
        const int done = plain.render(data, output, text);
        if (done != 0) {
            return text.release();
        }
    }
    Renderer renderer(self, args.thread);
    return renderer.render(data, output).release();
}

PyObject* repr_impl(const Call& args) {
    PyObject* self = args[0];
    Ref cls = Ref::steal(PyObject_GetAttr(self, names.dunder_class));
    Ref cls_text = cls ? Ref::steal(PyObject_Str(cls.get())) : Ref();
    Ref identity = cls_text ? Ref::steal(PyObject_CallOneArg(state.builtins.id, self)) : Ref();
    Ref hex_identity = identity
                           ? Ref::steal(PyObject_CallOneArg(state.builtins.hex, identity.get()))
                           : Ref();
    Ref address = hex_identity ? Ref::steal(PyObject_Str(hex_identity.get())) : Ref();
    Ref summary = address ? Ref::steal(PyUnicode_FromFormat("plugins (%U at %U) ", cls_text.get(),
                                                            address.get()))
                          : Ref();
    Method print_tree;
    if (!summary || !print_tree.lookup(self, Site::print_tree, names.print_tree)) {
        return nullptr;
    }
    Ref registry = self_attribute(self, Site::plugins, names.plugins_attr);
    if (!registry) {
        return nullptr;
    }
    // self.print_tree(data=registry, output=summary)
    PyObject* stack[] = {self, registry.get(), summary.get()};
    return print_tree.call(stack, 1, names.kw_data_output, args.thread).release();
}

}  // namespace telvar
