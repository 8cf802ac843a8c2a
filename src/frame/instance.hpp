// Allocation and destruction of instances of the module's class.
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

// The start of a class's dealloc (`own_dealloc`): runs the type's finaliser
// first, once, as the interpreter does for its own types. A Python
// subclass's dealloc has run it already, and so has the collector for an
// object it finalised. True when the finaliser resurrected the object: the
// dealloc must stop there.
inline bool resurrected_by_finalizer(PyObject* self, destructor own_dealloc) {
    PyTypeObject* type = Py_TYPE(self);
    if (!type->tp_finalize || type->tp_dealloc != own_dealloc) return false;
    if (PyType_IS_GC(type) && PyObject_GC_IsFinalized(self)) return false;
    return PyObject_CallFinalizerFromDealloc(self) < 0;
}

}  // namespace lumabo
