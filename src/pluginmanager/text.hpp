// A str built piece by piece in one growing buffer.
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
        if (data_ != inline_) {
            PyMem_Free(data_);
        }
    }

    // The characters of `str` (a str, or a subclass) from `start` to `end`.
    int append(PyObject* str, Py_ssize_t start, Py_ssize_t end) {
        const int kind = PyUnicode_KIND(str);
        const Py_ssize_t count = end - start;
        if (count <= 0) {
            return 0;
        }
        if ((length_ + count > capacity_ || kind > kind_) && reserve(count, kind) < 0) {
            return -1;
        }
        ascii_ = ascii_ && PyUnicode_IS_ASCII(str);
        const char* from = static_cast<const char*>(PyUnicode_DATA(str)) + start * kind;
        if (kind == kind_) {
            copy(data_ + length_ * kind_, from, static_cast<size_t>(count * kind));
        } else {
            for (Py_ssize_t i = 0; i < count; ++i) {
                write(length_ + i, PyUnicode_READ(kind, from, i));
            }
        }
        length_ += count;
        return 0;
    }
    int append(PyObject* str) { return append(str, 0, PyUnicode_GET_LENGTH(str)); }

    // ASCII text.
    int append_ascii(const char* text, size_t length) {
        const Py_ssize_t count = static_cast<Py_ssize_t>(length);
        if (length_ + count > capacity_ && reserve(count, 1) < 0) {
            return -1;
        }
        if (kind_ == 1) {
            copy(data_ + length_, text, length);
        } else {
            for (Py_ssize_t i = 0; i < count; ++i) {
                write(length_ + i, static_cast<unsigned char>(text[i]));
            }
        }
        length_ += count;
        return 0;
    }
    // A literal, its length known when compiled.
    template <size_t size>
    int append_ascii(const char (&text)[size]) {
        return append_ascii(text, size - 1);
    }
    // A text of ASCII characters only, ended by a null character.
    int append_ascii_text(const char* text) { return append_ascii(text, std::strlen(text)); }

    Py_ssize_t length() const { return length_; }

    // The str built so far.
    Ref finish() const {
        const Py_UCS4 most = kind_ == 1 ? (ascii_ ? 0x7f : 0xff) : kind_ == 2 ? 0xffff : 0x10ffff;
        Ref result = Ref::steal(PyUnicode_New(length_, most));
        if (result && length_ > 0) {
            std::memcpy(PyUnicode_DATA(result.get()), data_,
                        static_cast<size_t>(length_) * static_cast<size_t>(kind_));
        }
        return result;
    }

  private:
    void write(Py_ssize_t index, Py_UCS4 ch) { PyUnicode_WRITE(kind_, data_, index, ch); }

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

    // Room for `count` more characters of `kind`, widening what is there.
    int reserve(Py_ssize_t count, int kind) {
        const int new_kind = kind > kind_ ? kind : kind_;
        Py_ssize_t capacity = capacity_;
        if (length_ + count > capacity) {
            // Grow geometrically: the text is built from many small pieces.
            capacity = length_ + count + (length_ + count) / 2 + 64;
        }
        if (capacity == capacity_ && new_kind == kind_) {
            return 0;
        }
        if (capacity > PY_SSIZE_T_MAX / 4) {
            PyErr_NoMemory();
            return -1;
        }
        // The first buffer is inline; a larger one is allocated, and both
        // are widened by copying from the end.
        char* data = static_cast<char*>(
            data_ == inline_
                ? PyMem_Malloc(static_cast<size_t>(capacity) * static_cast<size_t>(new_kind))
                : PyMem_Realloc(data_,
                                static_cast<size_t>(capacity) * static_cast<size_t>(new_kind)));
        if (data == nullptr) {
            PyErr_NoMemory();
            return -1;
        }
        if (data_ == inline_) {
            std::memcpy(data, inline_, static_cast<size_t>(length_) * static_cast<size_t>(kind_));
        }
        data_ = data;
        capacity_ = capacity;
        if (new_kind != kind_) {
            // Widen in place, from the end, so nothing is overwritten unread.
            for (Py_ssize_t i = length_ - 1; i >= 0; --i) {
                PyUnicode_WRITE(new_kind, data_, i, PyUnicode_READ(kind_, data_, i));
            }
            kind_ = new_kind;
        }
        return 0;
    }

    static constexpr Py_ssize_t kInline = 256;
    char inline_[kInline];
    char* data_ = inline_;
    Py_ssize_t length_ = 0;
    Py_ssize_t capacity_ = kInline;
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
