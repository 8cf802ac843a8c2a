// Traceback entries and errors that cannot propagate.
#pragma once

#include <source_location>

#include "state.hpp"

#include <frameobject.h>

namespace lumabo {

// Appends an entry named `function` to the pending exception's traceback: a
// frame of the module's source file whose globals are the module's
// namespace (a fresh dictionary once a failed exec step has dropped it).
// `line` defaults to the caller's line, a real line of the module's source.
// If the entry cannot be made the exception stays exactly as it was.
inline void add_traceback(const ModuleState& module, const char* function,
                          int line = static_cast<int>(std::source_location::current().line())) {
    Ref exc = Ref::steal(PyErr_GetRaisedException());
    if (!exc) return;
    Ref code = Ref::steal(reinterpret_cast<PyObject*>(PyCode_NewEmpty(module.file, function, line)));
    Ref globals = Ref::borrow(module.dict);
    if (code && !globals) globals = Ref::steal(PyDict_New());
    Ref frame;
    if (code && globals) {
        frame = Ref::steal(reinterpret_cast<PyObject*>(
            PyFrame_New(PyThreadState_Get(), reinterpret_cast<PyCodeObject*>(code.get()),
                        globals.get(), nullptr)));
    }
    if (!frame) PyErr_Clear();
    PyErr_SetRaisedException(exc.release());
    if (frame) PyTraceBack_Here(reinterpret_cast<PyFrameObject*>(frame.get()));
}

// The traceback entry of a function that is no Python-level method: a
// C-level function ("new"), a property's accessor (its name, get or set), a
// helper of the module. The exec step derives its dotted name the way it
// does the methods' ("<module>.<Class>.new", "<module>.<Class>.<name>.__get__").
enum class Accessor { none, get, set };

struct Entry {
    const char* name;
    Accessor accessor = Accessor::none;
    bool module_level = false;  // named after the module alone, not its class

    // Filled by the exec step.
    const char* where = nullptr;
    const ModuleState* module = nullptr;
};

inline void add_traceback(const Entry& entry,
                          int line = static_cast<int>(std::source_location::current().line())) {
    add_traceback(*entry.module, entry.where, line);
}

// A new result, or the failure with `entry`.
inline PyObject* or_entry(const Entry& entry, PyObject* result,
                          int line = static_cast<int>(std::source_location::current().line())) {
    if (!result) add_traceback(entry, line);
    return result;
}

// Reports an error that happened where it cannot propagate (deallocation):
// printed through the excepthook first, then handed to the unraisable hook
// with `context` naming where it happened.
inline void report_unraisable(const char* context) {
    Ref exc = Ref::steal(PyErr_GetRaisedException());
    if (!exc) return;
    PyErr_SetRaisedException(Py_NewRef(exc.get()));
    PyErr_PrintEx(0);
    Ref where = Ref::steal(PyUnicode_FromString(context));
    if (!where) {
        PyErr_Clear();
        where = Ref::borrow(Py_None);
    }
    PyErr_SetRaisedException(exc.release());
    PyErr_WriteUnraisable(where.get());
}

}  // namespace lumabo
