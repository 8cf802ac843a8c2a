// Data handed over in memory: buffers that Python objects export, and the
// file types raylib decodes from memory.
#pragma once

#include <climits>
#include <cstdio>
#include <cstring>
#include <span>

#include <strings.h>

#include "function.hpp"

namespace lumabo {

// A view of an exporter's memory as contiguous bytes (any item format,
// read-only accepted), released exactly once: when the view goes out of
// scope, unless `hand_over` gave it to an object that releases it itself.
class BufferView {
public:
    BufferView() = default;
    BufferView(const BufferView&) = delete;
    BufferView& operator=(const BufferView&) = delete;
    ~BufferView() { PyBuffer_Release(&view_); }

    // False with an exception set: the interpreter's own for an object that
    // exports no such buffer (a str, a non-contiguous view), or a TypeError
    // for an exporter that breaks the protocol.
    bool request(PyObject* exporter) {
        int status = PyObject_GetBuffer(exporter, &view_, PyBUF_SIMPLE);
        if (status == 0) {
            data_ = static_cast<const unsigned char*>(view_.buf);
            size_ = view_.len;
            return true;
        }
        if (status != -1) {
            view_ = {};
            PyErr_SetString(PyExc_TypeError, "Object does not support the Python buffer protocol");
        }
        return false;
    }

    // As `request`, for memory read only during the current call: an exact
    // bytes object is read in place, with no view to export and release
    // (its memory never moves or changes, and the call's argument keeps it
    // alive). Such a view cannot be handed over.
    bool request_for_call(PyObject* exporter) {
        if (PyBytes_CheckExact(exporter)) {
            data_ = reinterpret_cast<const unsigned char*>(PyBytes_AS_STRING(exporter));
            size_ = PyBytes_GET_SIZE(exporter);
            return true;
        }
        return request(exporter);
    }

    const unsigned char* data() const { return data_; }
    Py_ssize_t size() const { return size_; }

    // The view taken by `request`, for an object that keeps it and calls
    // PyBuffer_Release once.
    Py_buffer hand_over() {
        Py_buffer held = view_;
        view_ = {};
        data_ = nullptr;
        size_ = 0;
        return held;
    }

private:
    Py_buffer view_{};
    const unsigned char* data_ = nullptr;
    Py_ssize_t size_ = 0;
};

// A held view that is released once; does nothing when none is held.
inline void release_view(Py_buffer& view) {
    if (view.obj) PyBuffer_Release(&view);
}

// The whole encoded data of a file, as raylib's *FromMemory functions take
// it: at least one byte, and a size that fits their int.
inline bool encoded_data_fits(const BufferView& data) {
    if (data.size() == 0) {
        PyErr_SetString(PyExc_ValueError, "data is empty: it must hold the whole encoded file");
        return false;
    }
    if (data.size() > INT_MAX) {
        PyErr_Format(PyExc_ValueError, "data holds %zd bytes; raylib reads at most %d", data.size(),
                     INT_MAX);
        return false;
    }
    return true;
}

// The file type (extension) of data in memory, as raylib spells it. raylib
// compares the type with its own spellings byte for byte, and an unknown
// one gives nothing decoded with only a log line to tell; the type is
// matched here without regard to case and handed on in raylib's lower-case
// spelling. `known` lists the types raylib decodes for `what`, the kind of
// data a refusal names. Returns that spelling, or null with an exception
// set. The binding lets through only a str or None (Accept::str_or_none);
// None is refused here.
inline const char* known_file_type(PyObject* file_type, std::span<const char* const> known,
                                   const char* what) {
    if (!PyUnicode_CheckExact(file_type)) {
        raise_argument_type("file_type", "str", file_type);
        return nullptr;
    }
    Py_ssize_t length;
    const char* text = PyUnicode_AsUTF8AndSize(file_type, &length);
    if (!text) return nullptr;
    if (length != 0) {
        for (const char* type : known) {
            if (static_cast<Py_ssize_t>(std::strlen(type)) == length &&
                strncasecmp(type, text, static_cast<size_t>(length)) == 0)
                return type;
        }
    }
    // Only the refusal spells out the list, so it is joined here (cut short
    // if it ever outgrew the buffer, rather than allocate on this path).
    char list[128] = "";
    size_t used = 0;
    for (const char* type : known) {
        int written = std::snprintf(list + used, sizeof list - used, "%s%s", used ? ", " : "", type);
        if (written < 0 || static_cast<size_t>(written) >= sizeof list - used) break;
        used += static_cast<size_t>(written);
    }
    if (length == 0)
        PyErr_Format(PyExc_ValueError,
                     "file_type is empty: give the extension of the data's format, one of %s",
                     list);
    else
        PyErr_Format(PyExc_ValueError,
                     "file_type %R is not a format raylib decodes for %s (one of %s)", file_type,
                     what, list);
    return nullptr;
}

}  // namespace lumabo
