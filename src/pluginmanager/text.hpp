// A str built from whole strs and ASCII text, copied as they come into one
// buffer and made a str once at the end: the tree's text is written once
// whatever its length, where joining it piece by piece costs a call and a
// reference per piece.
//
// The buffer is kept in the kind (1, 2 or 4 bytes a character) of the widest
// piece so far. CPython stores every str in the narrowest kind that holds
// its characters, and marks one of ASCII characters only: so the widest
// bound that CPython gives for the pieces (PyUnicode_MAX_CHAR_VALUE) is the
// bound of the whole, and the finished str is made to that bound, in the
// form CPython itself would give it.
#pragma once

#include <cstring>

#include "refs.hpp"

namespace corvane {

class TextBuilder {
  public:
    TextBuilder() noexcept = default;
    TextBuilder(const TextBuilder&) = delete;
    TextBuilder& operator=(const TextBuilder&) = delete;
    ~TextBuilder() { PyMem_Free(data_); }

    // A whole str (or str subclass: its characters).
    int append(PyObject* str) {
        const int kind = PyUnicode_KIND(str);
        const Py_ssize_t length = PyUnicode_GET_LENGTH(str);
        if (length == 0) {
            return 0;
        }
        const Py_UCS4 bound = PyUnicode_MAX_CHAR_VALUE(str);
        if (kind > kind_ && widen(kind) < 0) {
            return -1;
        }
        if (reserve(length) < 0) {
            return -1;
        }
        bound_ = bound > bound_ ? bound : bound_;
        const void* from = PyUnicode_DATA(str);
        if (kind == kind_) {
            std::memcpy(data_ + length_ * kind_, from, static_cast<size_t>(length) * kind_);
        } else {
            for (Py_ssize_t i = 0; i < length; ++i) {
                PyUnicode_WRITE(kind_, data_, length_ + i, PyUnicode_READ(kind, from, i));
            }
        }
        length_ += length;
        return 0;
    }

    // ASCII text.
    int append_ascii(const char* text, size_t size) {
        const Py_ssize_t length = static_cast<Py_ssize_t>(size);
        if (length == 0) {
            return 0;
        }
        if (reserve(length) < 0) {
            return -1;
        }
        if (kind_ == PyUnicode_1BYTE_KIND) {
            std::memcpy(data_ + length_, text, size);
        } else {
            for (Py_ssize_t i = 0; i < length; ++i) {
                PyUnicode_WRITE(kind_, data_, length_ + i, static_cast<unsigned char>(text[i]));
            }
        }
        length_ += length;
        return 0;
    }

    Py_ssize_t length() const { return length_; }

    // The characters from `start` to `end` as a str of their own, in the
    // form CPython gives it, with `first` characters left out at the start
    // and `after_break` after every line break.
    Ref region(Py_ssize_t start, Py_ssize_t end, Py_ssize_t first, Py_ssize_t after_break) const {
        const Py_ssize_t most = end - start > 0 ? end - start : 0;
        char* copy = static_cast<char*>(PyMem_Malloc(static_cast<size_t>(most) * kind_ + 1));
        if (copy == nullptr) {
            PyErr_NoMemory();
            return Ref();
        }
        Py_ssize_t size = 0;
        Py_ssize_t skip = first;
        for (Py_ssize_t i = start; i < end; ++i) {
            const Py_UCS4 ch = PyUnicode_READ(kind_, data_, i);
            if (skip > 0) {
                --skip;
                continue;
            }
            PyUnicode_WRITE(kind_, copy, size++, ch);
            if (ch == '\n') {
                skip = after_break;
            }
        }
        Ref text = Ref::steal(PyUnicode_FromKindAndData(kind_, copy, size));
        PyMem_Free(copy);
        return text;
    }

    Ref finish() const {
        Ref result = Ref::steal(PyUnicode_New(length_, bound_));
        if (result && length_ > 0) {
            std::memcpy(PyUnicode_DATA(result.get()), data_, static_cast<size_t>(length_) * kind_);
        }
        return result;
    }

  private:
    // Room for `more` characters after those written.
    int reserve(Py_ssize_t more) {
        if (length_ + more <= capacity_) {
            return 0;
        }
        Py_ssize_t capacity = 2 * (length_ + more) + 256;
        if (capacity > PY_SSIZE_T_MAX / 4) {
            PyErr_NoMemory();
            return -1;
        }
        char* data =
            static_cast<char*>(PyMem_Realloc(data_, static_cast<size_t>(capacity) * kind_));
        if (data == nullptr) {
            PyErr_NoMemory();
            return -1;
        }
        data_ = data;
        capacity_ = capacity;
        return 0;
    }

    // Rewrites what is written in `kind`, wider than the current one.
    int widen(int kind) {
        const Py_ssize_t capacity = capacity_ > 0 ? capacity_ : 1;
        char* data = static_cast<char*>(PyMem_Malloc(static_cast<size_t>(capacity) * kind));
        if (data == nullptr) {
            PyErr_NoMemory();
            return -1;
        }
        for (Py_ssize_t i = 0; i < length_; ++i) {
            PyUnicode_WRITE(kind, data, i, PyUnicode_READ(kind_, data_, i));
        }
        PyMem_Free(data_);
        data_ = data;
        capacity_ = capacity;
        kind_ = kind;
        return 0;
    }

    char* data_ = nullptr;
    Py_ssize_t length_ = 0;
    Py_ssize_t capacity_ = 0;  // in characters of the current kind
    int kind_ = PyUnicode_1BYTE_KIND;
    Py_UCS4 bound_ = 0x7f;  // ASCII until a piece says otherwise
};

}  // namespace corvane
