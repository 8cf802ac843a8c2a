// Python-level methods: their definitions, argument binding and the function
// objects that carry them.
//
// A class file describes each method with a `MethodDef` (name, body,
// parameters) and writes the body against already bound arguments. The
// frame does the rest: the fast-call entry, the binding rules and their
// messages, the instance check, and the traceback entry when the body fails.
#pragma once

#include <array>
#include <cstddef>
#include <source_location>

#include <structmember.h>

#include "strings.hpp"
#include "traceback.hpp"

namespace lumabo {

enum class Kind {
    method,         // binds the instance, which must be of the class
    static_method,  // no instance; wrapped by the builtin staticmethod
    function,       // a module-level function
};

// A body receives the instance (nullptr for static methods and functions)
// and its arguments bound to the declared parameters, in order. It returns a
// new reference, or nullptr with an exception set.
using Body = PyObject* (*)(PyObject* self, PyObject* const* args);

inline constexpr int max_params = 3;

struct MethodDef {
    const char* name;  // bare name, "seek"
    Body body;
    Kind kind = Kind::method;
    std::array<Interned*, max_params> params{};  // besides the instance
    const char* returns = nullptr;               // return annotation, e.g. "Music"
    int line = static_cast<int>(std::source_location::current().line());

    // Filled by the exec step: the dotted name of traceback entries and the
    // class the instance must belong to.
    const char* where = nullptr;
    PyTypeObject* owner = nullptr;

    int nparams() const {
        int n = 0;
        while (n < max_params && params[n]) ++n;
        return n;
    }
};

// ---------------------------------------------------------------------------
// Errors of the binding layer.

// A failed exact-type test of an argument carries no traceback entry for the
// function that made it. The call wrapper reads and clears this mark.
inline bool quiet_error = false;

inline PyObject* fail_quietly() {
    quiet_error = true;
    return nullptr;
}

// The exact-type refusal of an argument or property value; in a method body
// use argument_type_error, which also keeps the method's entry away.
inline void raise_argument_type(const char* param, const char* expected, PyObject* got) {
    PyErr_Format(PyExc_TypeError,
                 "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", param,
                 expected, Py_TYPE(got)->tp_name);
}

inline PyObject* argument_type_error(const char* param, const char* expected, PyObject* got) {
    raise_argument_type(param, expected, got);
    return fail_quietly();
}

// What a None that reached a method call of a body would raise.
inline PyObject* none_has_no(const char* attribute) {
    PyErr_Format(PyExc_AttributeError, "'NoneType' object has no attribute '%.30s'", attribute);
    return nullptr;
}

namespace detail {

inline PyObject* wrong_count(const MethodDef& def, Py_ssize_t expected, Py_ssize_t given) {
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
                 def.name, "exactly", expected, expected == 1 ? "" : "s", given);
    return nullptr;
}

inline PyObject* unexpected_keyword(const MethodDef& def, PyObject* key) {
    PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", def.name, key);
    return nullptr;
}

// Only a C caller can pass keyword names that are not strings.
inline PyObject* keywords_not_strings(const MethodDef& def) {
    PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", def.name);
    return nullptr;
}

inline PyObject* multiple_values(const MethodDef& def, PyObject* key) {
    PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'", def.name,
                 key);
    return nullptr;
}

// Runs the body; a failure gains the method's traceback entry unless it was
// a quiet one.
inline PyObject* run_body(const MethodDef& def, PyObject* self, PyObject* const* args) {
    quiet_error = false;  // a mark left by code outside any body (a setter) is stale
    PyObject* result = def.body(self, args);
    if (!result) {
        if (quiet_error)
            quiet_error = false;
        else
            add_traceback(def.where, def.line);
    }
    return result;
}

// Index of the parameter that `key` names, or -1. Identity first: keyword
// names from literal calls are interned like the parameter names.
inline int match_keyword(const MethodDef& def, int n, PyObject* key, bool* error) {
    for (int i = 0; i < n; ++i)
        if (def.params[i]->get() == key) return i;
    if (!PyUnicode_Check(key)) {
        PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", def.name);
        *error = true;
        return -1;
    }
    for (int i = 0; i < n; ++i) {
        PyObject* name = def.params[i]->get();
        if (PyUnicode_CheckExact(key)) {
            if (PyUnicode_GET_LENGTH(key) == PyUnicode_GET_LENGTH(name) &&
                PyObject_Hash(key) == PyObject_Hash(name) && PyUnicode_Compare(key, name) == 0)
                return i;
        } else {
            int eq = PyObject_RichCompareBool(key, name, Py_EQ);
            if (eq < 0) {
                *error = true;
                return -1;
            }
            if (eq) return i;
        }
    }
    return -1;
}

}  // namespace detail

// Binds the arguments of a call (the instance already taken off) to the
// parameters of `def` and runs its body.
inline PyObject* bind_and_run(const MethodDef& def, PyObject* self, PyObject* const* args,
                              Py_ssize_t nargs, PyObject* kwnames) {
    const int n = def.nparams();
    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;

    if (n == 0) {
        // Refusals of a method without parameters carry no entry.
        if (nargs) return detail::wrong_count(def, 0, nargs);
        if (nkw) {
            PyObject* key = PyTuple_GET_ITEM(kwnames, 0);
            // A name that is no string cannot be shown in the message.
            if (!PyUnicode_Check(key)) return detail::keywords_not_strings(def);
            return detail::unexpected_keyword(def, key);
        }
        return detail::run_body(def, self, nullptr);
    }

    if (nkw == 0) {
        if (nargs != n) {
            detail::wrong_count(def, n, nargs);
            add_traceback(def.where, def.line);
            return nullptr;
        }
        return detail::run_body(def, self, args);
    }

    PyObject* bound[max_params] = {};
    if (nargs > n) {
        detail::wrong_count(def, n, nargs);
        add_traceback(def.where, def.line);
        return nullptr;
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) bound[i] = args[i];
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        bool error = false;
        int i = detail::match_keyword(def, n, key, &error);
        if (error) {
            add_traceback(def.where, def.line);
            return nullptr;
        }
        if (i < 0 || bound[i]) {
            if (i < 0)
                detail::unexpected_keyword(def, key);
            else
                detail::multiple_values(def, key);
            add_traceback(def.where, def.line);
            return nullptr;
        }
        bound[i] = args[nargs + k];
    }
    for (int i = 0; i < n; ++i) {
        if (!bound[i]) {
            detail::wrong_count(def, n, i);
            add_traceback(def.where, def.line);
            return nullptr;
        }
    }
    return detail::run_body(def, self, bound);
}

// The instance of a method reached through the class must belong to it
// before the body may look inside.
inline bool check_instance(const MethodDef& def, PyObject* self) {
    if (PyObject_TypeCheck(self, def.owner)) return true;
    PyErr_Format(PyExc_TypeError, "descriptor '%s' for '%s' objects doesn't apply to a '%s' object",
                 def.name, def.owner->tp_name, Py_TYPE(self)->tp_name);
    return false;
}

// Entry for the class's own method table (the pickling methods), with the
// same binding as the function objects below.
template <const MethodDef& def>
PyObject* fastcall_entry(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) {
    return bind_and_run(def, self, args, nargs, kwnames);
}

template <const MethodDef& def>
PyMethodDef method_table_entry() {
    return {def.name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fastcall_entry<def>)),
            METH_FASTCALL | METH_KEYWORDS, nullptr};
}

// ---------------------------------------------------------------------------
// Function objects.

struct Function {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    const MethodDef* def;
    PyObject* name;
    PyObject* qualname;
    PyObject* module;
    PyObject* globals;
    PyObject* code;
    PyObject* annotations;
};

namespace detail {

inline PyObject* function_call(PyObject* callable, PyObject* const* args, size_t nargsf,
                               PyObject* kwnames) {
    const MethodDef& def = *reinterpret_cast<Function*>(callable)->def;
    Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    if (def.kind != Kind::method) return bind_and_run(def, nullptr, args, nargs, kwnames);
    // The usual call, m.play() or m.seek(1.0): an instance of the class itself
    // and every argument by position. It needs nothing of the binding below,
    // whose frame alone costs as much as the rest of the call.
    if (!kwnames && nargs == 1 + def.nparams() && Py_IS_TYPE(args[0], def.owner))
        return detail::run_body(def, args[0], args + 1);
    if (nargs < 1) {
        PyErr_Format(PyExc_TypeError, "%.200s() %s", def.name, "needs an argument");
        return nullptr;
    }
    if (!check_instance(def, args[0])) return nullptr;
    return bind_and_run(def, args[0], args + 1, nargs - 1, kwnames);
}

inline PyObject* function_get(PyObject* self, PyObject* obj, PyObject*) {
    const MethodDef& def = *reinterpret_cast<Function*>(self)->def;
    if (def.kind != Kind::method || obj == nullptr || obj == Py_None) return Py_NewRef(self);
    return PyMethod_New(self, obj);
}

inline void function_dealloc(PyObject* self) {
    auto* f = reinterpret_cast<Function*>(self);
    Py_XDECREF(f->name);
    Py_XDECREF(f->qualname);
    Py_XDECREF(f->module);
    Py_XDECREF(f->globals);
    Py_XDECREF(f->code);
    Py_XDECREF(f->annotations);
    Py_TYPE(self)->tp_free(self);
}

inline PyObject* function_repr(PyObject* self) {
    return PyUnicode_FromFormat("<function %U>", reinterpret_cast<Function*>(self)->qualname);
}

inline PyObject* get_none(PyObject*, void*) { Py_RETURN_NONE; }

// Functions pickle by reference: module and qualified name.
inline PyObject* function_reduce(PyObject* self, PyObject*) {
    return Py_NewRef(reinterpret_cast<Function*>(self)->qualname);
}

inline PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {},
};

inline PyMemberDef function_members[] = {
    {"__name__", Py_T_OBJECT_EX, offsetof(Function, name), Py_READONLY, nullptr},
    {"__qualname__", Py_T_OBJECT_EX, offsetof(Function, qualname), Py_READONLY, nullptr},
    {"__module__", Py_T_OBJECT_EX, offsetof(Function, module), Py_READONLY, nullptr},
    {"__globals__", Py_T_OBJECT_EX, offsetof(Function, globals), Py_READONLY, nullptr},
    {"__code__", Py_T_OBJECT_EX, offsetof(Function, code), Py_READONLY, nullptr},
    {"__annotations__", Py_T_OBJECT_EX, offsetof(Function, annotations), Py_READONLY, nullptr},
    {},
};

inline PyGetSetDef function_getset[] = {
    {"__doc__", get_none, nullptr, nullptr, nullptr},
    {"__defaults__", get_none, nullptr, nullptr, nullptr},
    {"__kwdefaults__", get_none, nullptr, nullptr, nullptr},
    {},
};

}  // namespace detail

// One function type per module; it is not a public name of the package.
inline PyTypeObject FunctionType = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "lumabo_function",
    .tp_basicsize = sizeof(Function),
    .tp_dealloc = detail::function_dealloc,
    .tp_vectorcall_offset = offsetof(Function, vectorcall),
    .tp_repr = detail::function_repr,
    .tp_call = PyVectorcall_Call,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR,
    .tp_methods = detail::function_methods,
    .tp_members = detail::function_members,
    .tp_getset = detail::function_getset,
    .tp_descr_get = detail::function_get,
};

// Static methods and module functions bind no instance, so their type must
// not claim to be a method descriptor: the interpreter would then pass the
// instance of a class that holds one as their first argument in a method
// call, where attribute lookup (function_get) passes none.
inline PyTypeObject UnboundFunctionType = [] {
    PyTypeObject type = FunctionType;
    type.tp_flags &= ~Py_TPFLAGS_METHOD_DESCRIPTOR;
    return type;
}();

// Makes the function object for `def`, whose module is `module_name` and
// whose globals are `globals`. `class_name` is null for module functions.
inline Ref make_function(const MethodDef& def, const char* module_name, const char* class_name,
                         PyObject* globals, const char* file) {
    PyTypeObject* type = def.kind == Kind::method ? &FunctionType : &UnboundFunctionType;
    if (PyType_Ready(type) < 0) return {};
    Ref name = Ref::steal(PyUnicode_InternFromString(def.name));
    Ref qualname = Ref::steal(class_name ? PyUnicode_FromFormat("%s.%s", class_name, def.name)
                                         : PyUnicode_FromString(def.name));
    Ref module = Ref::steal(PyUnicode_FromString(module_name));
    Ref annotations = Ref::steal(PyDict_New());
    if (!name || !qualname || !module || !annotations) return {};
    if (def.returns) {
        Ref ret = Ref::steal(PyUnicode_FromString(def.returns));
        if (!ret || PyDict_SetItemString(annotations.get(), "return", ret.get()) < 0) return {};
    }

    // A code object that lists the parameters, so that introspection shows
    // the signature; it holds no code of its own.
    const int n = def.nparams();
    const int self_arg = def.kind == Kind::method ? 1 : 0;
    Ref varnames = Ref::steal(PyTuple_New(n + self_arg));
    if (!varnames) return {};
    if (self_arg) PyTuple_SET_ITEM(varnames.get(), 0, Py_NewRef(names::self.get()));
    for (int i = 0; i < n; ++i)
        PyTuple_SET_ITEM(varnames.get(), i + self_arg, Py_NewRef(def.params[i]->get()));
    Ref empty = Ref::steal(reinterpret_cast<PyObject*>(PyCode_NewEmpty(file, def.name, def.line)));
    if (!empty) return {};
    Ref replace = Ref::steal(PyObject_GetAttrString(empty.get(), "replace"));
    Ref count = Ref::steal(PyLong_FromLong(n + self_arg));
    Ref kwargs = Ref::steal(PyDict_New());
    if (!replace || !count || !kwargs || PyDict_SetItemString(kwargs.get(), "co_argcount", count.get()) < 0 ||
        PyDict_SetItemString(kwargs.get(), "co_nlocals", count.get()) < 0 ||
        PyDict_SetItemString(kwargs.get(), "co_varnames", varnames.get()) < 0 ||
        PyDict_SetItemString(kwargs.get(), "co_qualname", qualname.get()) < 0)
        return {};
    Ref noargs = Ref::steal(PyTuple_New(0));
    if (!noargs) return {};
    Ref code = Ref::steal(PyObject_Call(replace.get(), noargs.get(), kwargs.get()));
    if (!code) return {};

    auto* f = PyObject_New(Function, type);
    if (!f) return {};
    f->vectorcall = detail::function_call;
    f->def = &def;
    f->name = name.release();
    f->qualname = qualname.release();
    f->module = module.release();
    f->globals = Py_NewRef(globals);
    f->code = code.release();
    f->annotations = annotations.release();
    return Ref::steal(reinterpret_cast<PyObject*>(f));
}

}  // namespace lumabo
