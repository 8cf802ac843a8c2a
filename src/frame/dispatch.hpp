// Overridable C-level methods: a C-level call on an instance of a Python
// subclass runs the subclass's Python-level override instead of the body.
#pragma once

#include "function.hpp"

namespace lumabo {

enum class Dispatch {
    body,      // no override: run the built-in body
    override,  // an override ran in its place
    failed,    // the lookup or the override failed; exception set, entry added
};

// Only a type that can hold an override needs a lookup: one whose
// instances have a __dict__, a class made by Python code, or an abstract one.
inline bool may_override(PyTypeObject* type) {
    return type->tp_dictoffset != 0 ||
           (type->tp_flags & (Py_TPFLAGS_HEAPTYPE | Py_TPFLAGS_IS_ABSTRACT | Py_TPFLAGS_MANAGED_DICT));
}

// `def` is the method's Python-level definition; `args` are the arguments an
// override receives (new references, e.g. a float).
template <class... Args>
Dispatch dispatch_override(PyObject* self, const MethodDef& def, Args&&... args) {
    PyTypeObject* type = Py_TYPE(self);
    if (!may_override(type)) return Dispatch::body;

    PyObject* name = def.interned;
    Ref attr = Ref::steal(type->tp_getattro ? type->tp_getattro(self, name)
                                            : PyObject_GetAttr(self, name));
    if (!attr) {
        add_traceback(def);
        return Dispatch::failed;
    }
    PyObject* func = PyMethod_Check(attr.get()) ? PyMethod_GET_FUNCTION(attr.get()) : nullptr;
    if (func) {
        bool own = (PyObject_TypeCheck(func, &FunctionType) &&
                    reinterpret_cast<Function*>(func)->def == &def) ||
                   (PyObject_TypeCheck(func, &PyCFunction_Type) &&
                    reinterpret_cast<PyCFunctionObject*>(func)->m_ml->ml_meth ==
                        reinterpret_cast<PyCFunction>(reinterpret_cast<void*>(def.body.run)));
        if (own) return Dispatch::body;
    }

    Ref result;
    if (func) {
        PyObject* argv[] = {self, args.get()...};
        result = Ref::steal(PyObject_Vectorcall(func, argv, 1 + sizeof...(Args), nullptr));
    } else {
        PyObject* argv[] = {nullptr, args.get()...};
        result = Ref::steal(PyObject_Vectorcall(
            attr.get(), argv + 1, sizeof...(Args) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
    }
    if (!result) {
        add_traceback(def);
        return Dispatch::failed;
    }
    return Dispatch::override;
}

// The C-level slot of a method without arguments that C callers may see
// overridden: a subclass's Python-level override runs instead of `action`.
template <void (*action)(PyObject*), const MethodDef& def>
void overridable(PyObject* self, int skip_dispatch) {
    if (!skip_dispatch && dispatch_override(self, def) != Dispatch::body) return;
    action(self);
}

}  // namespace lumabo
