// Conversions of arguments and property values to C types, with the
// messages callers see for values that do not convert.
#pragma once

#include <climits>
#include <cstring>

#include "refs.hpp"

namespace lumabo {

// A C float: an exact float directly, anything else through the
// interpreter's float conversion; the double is narrowed to single precision.
inline bool to_float(PyObject* value, float* out) {
    if (PyFloat_CheckExact(value)) [[likely]] {
        *out = static_cast<float>(PyFloat_AS_DOUBLE(value));
        return true;
    }
    double d = PyFloat_AsDouble(value);
    if (d == -1.0 && PyErr_Occurred()) return false;
    *out = static_cast<float>(d);
    return true;
}

namespace detail {

// An object that is no int goes through its __int__, whose result must be
// an int (a strict subclass is still taken, with a deprecation warning).
inline Ref int_from_dunder(PyObject* value) {
    PyNumberMethods* nb = Py_TYPE(value)->tp_as_number;
    if (!nb || !nb->nb_int) {
        PyErr_SetString(PyExc_TypeError, "an integer is required");
        return {};
    }
    Ref result = Ref::steal(nb->nb_int(value));
    if (!result || PyLong_CheckExact(result.get())) return result;
    if (PyLong_Check(result.get())) {
        if (PyErr_WarnFormat(PyExc_DeprecationWarning, 1,
                             "__int__ returned non-int (type %.200s).  The ability to return an "
                             "instance of a strict subclass of int is deprecated, and may be "
                             "removed in a future version of Python.",
                             Py_TYPE(result.get())->tp_name) < 0)
            return {};
        return result;
    }
    PyErr_Format(PyExc_TypeError, "__int__ returned non-int (type %.200s)",
                 Py_TYPE(result.get())->tp_name);
    return {};
}

}  // namespace detail

// A C long (64 bits); overflow raises the interpreter's OverflowError. An
// exact int of one digit, the usual argument, is read in place.
inline bool to_long(PyObject* value, long long* out) {
    if (PyLong_CheckExact(value)) [[likely]] {
        auto* number = reinterpret_cast<PyLongObject*>(value);
        if (PyUnstable_Long_IsCompact(number)) {
            *out = PyUnstable_Long_CompactValue(number);
            return true;
        }
    }
    Ref owned;
    if (!PyLong_Check(value)) {
        owned = detail::int_from_dunder(value);
        if (!owned) return false;
        value = owned.get();
    }
    long long v = PyLong_AsLongLong(value);
    if (v == -1 && PyErr_Occurred()) return false;
    *out = v;
    return true;
}

// A C int (32 bits).
inline bool to_int(PyObject* value, int* out) {
    long long v;
    if (!to_long(value, &v)) {
        if (PyErr_ExceptionMatches(PyExc_OverflowError)) {
            PyErr_SetString(PyExc_OverflowError, "value too large to convert to int");
        }
        return false;
    }
    if (v < INT_MIN || v > INT_MAX) {
        PyErr_SetString(PyExc_OverflowError, "value too large to convert to int");
        return false;
    }
    *out = static_cast<int>(v);
    return true;
}

// A file name for raylib: the UTF-8 bytes of a str. A NUL character inside
// would end raylib's C string early, so that another file than the one named
// is opened: refused as the interpreter's own file functions refuse it.
inline Ref encode_path(PyObject* name) {
    Ref bytes = Ref::steal(PyUnicode_AsUTF8String(name));
    if (bytes && std::strlen(PyBytes_AS_STRING(bytes.get())) !=
                     static_cast<size_t>(PyBytes_GET_SIZE(bytes.get()))) {
        PyErr_SetString(PyExc_ValueError, "embedded null character in path");
        return {};
    }
    return bytes;
}

inline PyObject* new_bool(bool b) { return Py_NewRef(b ? Py_True : Py_False); }

}  // namespace lumabo
