// Allocation of instances of the module's class.
#pragma once

#include "refs.hpp"

namespace lumabo {

// Allocates a zero-filled instance of `type` (the module's class or a
// subclass). An abstract subclass goes through object.__new__, which
// refuses it with the interpreter's own error.
template <class Object>
Object* allocate(PyTypeObject* type) {
    PyObject* self;
    if (type->tp_flags & Py_TPFLAGS_IS_ABSTRACT) {
        Ref empty = Ref::steal(PyTuple_New(0));
        if (!empty) return nullptr;
        self = PyBaseObject_Type.tp_new(type, empty.get(), nullptr);
    } else {
        self = type->tp_alloc(type, 0);
    }
    return reinterpret_cast<Object*>(self);
}

}  // namespace lumabo
