// A str built piece by piece: the pieces are copied into a chain of
// buffers, never moved again, and into the str once at the end, so building
// costs the same per character whatever the length of the whole.
//
// Characters are kept in the narrowest kind (1, 2 or 4 bytes) that holds all
// the pieces so far, widened when a wider piece arrives. A str is always
// stored in the narrowest kind that holds its characters, so the kinds of
// the pieces tell the kind of the whole, and the finished str is exact.
#pragma once

#include <cstring>

#include "refs.hpp"

namespace corvane {

class Text {
  public:
    Text() noexcept = default;
    Text(const Text&) = delete;
    Text& operator=(const Text&) = delete;
    ~Text() {
        for (Py_ssize_t i = 0; i < filled_count_; ++i) {
            release(filled_[i].data);
        }
        release(chunk_.data);
        PyMem_Free(filled_);
    }

    // The characters of `str` (a str, or a subclass) from `start` to `end`.
    int append(PyObject* str, Py_ssize_t start, Py_ssize_t end) {
        const int kind = PyUnicode_KIND(str);
        if (end <= start) {
            return 0;
        }
        if (kind > kind_ && widen(kind) < 0) {
            return -1;
        }
        ascii_ = ascii_ && PyUnicode_IS_ASCII(str);
        const char* from = static_cast<const char*>(PyUnicode_DATA(str));
        if (kind == kind_ && chunk_.used + (end - start) <= chunk_.capacity) {
            copy(chunk_.data + chunk_.used * kind, from + start * kind,
                 static_cast<size_t>((end - start) * kind));
            chunk_.used += end - start;
            length_ += end - start;
            return 0;
        }
        for (Py_ssize_t i = start; i < end;) {
            if (chunk_.used == chunk_.capacity && next_chunk(end - i) < 0) {
                return -1;
            }
            const Py_ssize_t room = chunk_.capacity - chunk_.used;
            const Py_ssize_t count = end - i < room ? end - i : room;
            if (kind == kind_) {
                copy(chunk_.data + chunk_.used * kind, from + i * kind,
                     static_cast<size_t>(count * kind));
            } else {
                for (Py_ssize_t j = 0; j < count; ++j) {
                    PyUnicode_WRITE(kind_, chunk_.data, chunk_.used + j,
                                    PyUnicode_READ(kind, from, i + j));
                }
            }
            chunk_.used += count;
            length_ += count;
            i += count;
        }
        return 0;
    }
    int append(PyObject* str) { return append(str, 0, PyUnicode_GET_LENGTH(str)); }

    // ASCII text.
    int append_ascii(const char* text, size_t length) {
        const Py_ssize_t end = static_cast<Py_ssize_t>(length);
        for (Py_ssize_t i = 0; i < end;) {
            if (chunk_.used == chunk_.capacity && next_chunk(end - i) < 0) {
                return -1;
            }
            const Py_ssize_t room = chunk_.capacity - chunk_.used;
            const Py_ssize_t count = end - i < room ? end - i : room;
            if (kind_ == 1) {
                copy(chunk_.data + chunk_.used, text + i, static_cast<size_t>(count));
            } else {
                for (Py_ssize_t j = 0; j < count; ++j) {
                    PyUnicode_WRITE(kind_, chunk_.data, chunk_.used + j,
                                    static_cast<unsigned char>(text[i + j]));
                }
            }
            chunk_.used += count;
            length_ += count;
            i += count;
        }
        return 0;
    }
    // A literal, its length known when compiled.
    template <size_t size>
    int append_ascii(const char (&text)[size]) {
        return append_ascii(text, size - 1);
    }
    // A text of ASCII characters only, ended by a null character.
    int append_ascii_text(const char* text) { return append_ascii(text, std::strlen(text)); }

    // The str built so far.
    // The number of characters so far.
    size_t length() const { return static_cast<size_t>(length_); }

    Ref finish() const {
        const Py_UCS4 most = kind_ == 1 ? (ascii_ ? 0x7f : 0xff) : kind_ == 2 ? 0xffff : 0x10ffff;
        Ref result = Ref::steal(PyUnicode_New(length_, most));
        if (!result) {
            return result;
        }
        char* to = static_cast<char*>(PyUnicode_DATA(result.get()));
        for (Py_ssize_t i = 0; i < filled_count_; ++i) {
            const size_t size = static_cast<size_t>(filled_[i].used) * static_cast<size_t>(kind_);
            std::memcpy(to, filled_[i].data, size);
            to += size;
        }
        std::memcpy(to, chunk_.data, static_cast<size_t>(chunk_.used) * static_cast<size_t>(kind_));
        return result;
    }

  private:
    struct Chunk {
        char* data;
        Py_ssize_t used;      // characters written
        Py_ssize_t capacity;  // characters it holds, of the current kind
    };

    // Most pieces are a few characters long: copied in place, not by a call.
    static void copy(char* to, const char* from, size_t size) {
        if (size <= 16) {
            for (size_t i = 0; i < size; ++i) {
                to[i] = from[i];
            }
        } else {
            std::memcpy(to, from, size);
        }
    }

    void release(char* data) const {
        if (data != inline_) {
            PyMem_Free(data);
        }
    }

    // Sets the full chunk aside and starts one with room for `needed`
    // characters at least: as large as what is written so far, within bounds.
    int next_chunk(Py_ssize_t needed) {
        if (filled_count_ == filled_capacity_) {
            const Py_ssize_t capacity = 2 * filled_capacity_ + 8;
            Chunk* filled = static_cast<Chunk*>(
                PyMem_Realloc(filled_, static_cast<size_t>(capacity) * sizeof(Chunk)));
            if (filled == nullptr) {
                PyErr_NoMemory();
                return -1;
            }
            filled_ = filled;
            filled_capacity_ = capacity;
        }
        Py_ssize_t capacity = length_ < kLargest ? length_ : kLargest;
        capacity = capacity < needed ? needed : capacity;
        capacity = capacity < kSmallest ? kSmallest : capacity;
        if (capacity > PY_SSIZE_T_MAX / 4) {
            PyErr_NoMemory();
            return -1;
        }
        char* data = static_cast<char*>(
            PyMem_Malloc(static_cast<size_t>(capacity) * static_cast<size_t>(kind_)));
        if (data == nullptr) {
            PyErr_NoMemory();
            return -1;
        }
        filled_[filled_count_++] = chunk_;
        chunk_ = {data, 0, capacity};
        return 0;
    }

    // Rewrites every chunk in `kind`, wider than the current one.
    int widen(int kind) {
        for (Py_ssize_t i = -1; i < filled_count_; ++i) {
            Chunk& chunk = i < 0 ? chunk_ : filled_[i];
            // The inline buffer holds fewer characters once they are wider.
            const Py_ssize_t capacity = chunk.data == inline_ ? chunk.used : chunk.capacity;
            char* data = static_cast<char*>(PyMem_Malloc(
                static_cast<size_t>(capacity > 0 ? capacity : 1) * static_cast<size_t>(kind)));
            if (data == nullptr) {
                PyErr_NoMemory();
                return -1;
            }
            for (Py_ssize_t j = 0; j < chunk.used; ++j) {
                PyUnicode_WRITE(kind, data, j, PyUnicode_READ(kind_, chunk.data, j));
            }
            release(chunk.data);
            chunk = {data, chunk.used, capacity};
        }
        kind_ = kind;
        return 0;
    }

    static constexpr Py_ssize_t kInline = 256;
    static constexpr Py_ssize_t kSmallest = 1024;
    static constexpr Py_ssize_t kLargest = Py_ssize_t{1} << 20;

    char inline_[kInline];
    Chunk chunk_ = {inline_, 0, kInline};  // the chunk being written
    Chunk* filled_ = nullptr;              // the chunks before it, in order
    Py_ssize_t filled_count_ = 0;
    Py_ssize_t filled_capacity_ = 0;
    Py_ssize_t length_ = 0;
    int kind_ = 1;
    bool ascii_ = true;
};

// The concatenation of `count` strs, made in one allocation.
inline Ref concat(PyObject* const* pieces, int count) {
    Py_ssize_t length = 0;
    int kind = PyUnicode_1BYTE_KIND;
    bool ascii = true;
    for (int i = 0; i < count; ++i) {
        length += PyUnicode_GET_LENGTH(pieces[i]);
        kind = PyUnicode_KIND(pieces[i]) > kind ? PyUnicode_KIND(pieces[i]) : kind;
        ascii = ascii && PyUnicode_IS_ASCII(pieces[i]);
    }
    const Py_UCS4 most = kind == 1 ? (ascii ? 0x7f : 0xff) : kind == 2 ? 0xffff : 0x10ffff;
    Ref result = Ref::steal(PyUnicode_New(length, most));
    if (!result) {
        return result;
    }
    char* to = static_cast<char*>(PyUnicode_DATA(result.get()));
    Py_ssize_t at = 0;
    for (int i = 0; i < count; ++i) {
        const Py_ssize_t size = PyUnicode_GET_LENGTH(pieces[i]);
        const int piece_kind = PyUnicode_KIND(pieces[i]);
        const void* from = PyUnicode_DATA(pieces[i]);
        if (piece_kind == kind) {
            std::memcpy(to + at * kind, from, static_cast<size_t>(size * kind));
        } else {
            for (Py_ssize_t j = 0; j < size; ++j) {
                PyUnicode_WRITE(kind, to, at + j, PyUnicode_READ(piece_kind, from, j));
            }
        }
        at += size;
    }
    return result;
}

}  // namespace corvane
