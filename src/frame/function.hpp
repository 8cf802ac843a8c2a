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

#include "convert.hpp"
#include "strings.hpp"
#include "traceback.hpp"

namespace lumabo {

enum class Kind {
    method,         // binds the instance, which must be of the class
    static_method,  // no instance; wrapped by the builtin staticmethod
    function,       // a module-level function
};

// What a parameter must be. The binding refuses anything else before the
// body runs; a refused type carries no traceback entry, a failed conversion
// carries the function's entry like every other binding error.
enum class Accept : unsigned char {
    any,            // any object, handed on as it is
    str_or_none,    // exactly str (no subclass), or None
    tuple_or_none,  // exactly tuple (no subclass), or None
    instance,       // an instance of the class or of a subclass; None refused
    c_long,         // an integer within a C long, handed on as an int
};

// A body receives the instance (nullptr for static methods and functions)
// and its arguments bound to the declared parameters, in order. It returns a
// new reference, or nullptr with an exception set.
using BodyFn = PyObject* (*)(PyObject* self, PyObject* const* args);

namespace detail {
template <BodyFn run>
PyObject* method_call(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* kwnames);
}  // namespace detail

// A body, and the entry of a method's function object with that body
// compiled into it: the usual call reaches the body without a pointer.
// A class file names it `body<function>`.
struct Body {
    BodyFn run;
    vectorcallfunc method_entry;
};

template <BodyFn run>
inline constexpr Body body{run, detail::method_call<run>};

inline constexpr int max_params = 3;

struct MethodDef {
    const char* name;  // bare name, as Python code calls it
    Body body;
    Kind kind = Kind::method;
    std::array<Interned*, max_params> params{};  // besides the instance
    std::array<Accept, max_params> accepts{};    // what each parameter must be
    const char* returns = nullptr;               // return annotation: the class name
    int line = static_cast<int>(std::source_location::current().line());

    // Filled by the exec step: the dotted name of traceback entries, the
    // class the instance must belong to, the module that holds it, and the
    // interned name an override is looked up by.
    const char* where = nullptr;
    PyTypeObject* owner = nullptr;
    const ModuleState* module = nullptr;
    PyObject* interned = nullptr;

    constexpr int nparams() const {
        int n = 0;
        while (n < max_params && params[n]) ++n;
        return n;
    }
    constexpr bool checks_arguments() const {
        for (Accept a : accepts)
            if (a != Accept::any) return true;
        return false;
    }
};

// The method's own traceback entry.
inline void add_traceback(const MethodDef& def) { add_traceback(*def.module, def.where, def.line); }

// The body of a method that does `action` on its instance and returns None.
template <void (*action)(PyObject*)>
PyObject* action_body(PyObject* self, PyObject* const*) {
    action(self);
    Py_RETURN_NONE;
}

// ---------------------------------------------------------------------------
// Errors raised in bodies.

// The exact-type refusal of a property value (a setter has no binding).
inline void raise_argument_type(const char* param, const char* expected, PyObject* got) {
    PyErr_Format(PyExc_TypeError,
                 "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", param,
                 expected, Py_TYPE(got)->tp_name);
}

// What a None that reached a method call of a body would raise.
inline PyObject* none_has_no(const char* attribute) {
    PyErr_Format(PyExc_AttributeError, "'NoneType' object has no attribute '%.30s'", attribute);
    return nullptr;
}

// ---------------------------------------------------------------------------
// Binding.

namespace detail {

// How a binding step ended: with the arguments bound, or refused with an
// exception set, which carries the function's entry unless it is `quiet`.
enum class Bound { ok, refused, quiet };

inline Bound wrong_count(const MethodDef& def, Py_ssize_t expected, Py_ssize_t given) {
    PyErr_Format(PyExc_TypeError, "%.200s() takes exactly %zd positional argument%.1s (%zd given)",
                 def.name, expected, expected == 1 ? "" : "s", given);
    return Bound::refused;
}

inline Bound unexpected_keyword(const MethodDef& def, PyObject* key) {
    PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", def.name, key);
    return Bound::refused;
}

// Only a C caller can pass keyword names that are not strings.
inline Bound keywords_not_strings(const MethodDef& def) {
    PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", def.name);
    return Bound::refused;
}

inline Bound multiple_values(const MethodDef& def, PyObject* key) {
    PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'", def.name,
                 key);
    return Bound::refused;
}

inline Bound wrong_type(const MethodDef& def, int i, const char* expected, PyObject* got) {
    raise_argument_type(def.params[i]->text(), expected, got);
    return Bound::quiet;
}

// Index of the parameter that `key` names, -1 for none, -2 on an error.
// Identity first: keyword names from literal calls are interned like the
// parameter names.
inline int match_keyword(const MethodDef& def, int n, PyObject* key) {
    for (int i = 0; i < n; ++i)
        if (def.params[i]->get() == key) return i;
    if (!PyUnicode_Check(key)) {
        keywords_not_strings(def);
        return -2;
    }
    for (int i = 0; i < n; ++i) {
        PyObject* name = def.params[i]->get();
        if (PyUnicode_CheckExact(key)) {
            if (PyUnicode_GET_LENGTH(key) == PyUnicode_GET_LENGTH(name) &&
                PyObject_Hash(key) == PyObject_Hash(name) && PyUnicode_Compare(key, name) == 0)
                return i;
        } else {
            int eq = PyObject_RichCompareBool(key, name, Py_EQ);
            if (eq < 0) return -2;
            if (eq) return i;
        }
    }
    return -1;
}

// The arguments of one call, bound to the parameters, and what converting
// them made.
struct Arguments {
    PyObject* const* values = nullptr;
    PyObject* slots[max_params] = {};
    Ref converted[max_params];
};

// Binds the arguments (the instance already taken off) to the parameters.
inline Bound bind(const MethodDef& def, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                  Arguments& out) {
    const int n = def.nparams();
    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;

    if (n == 0) {
        // Refusals of a method without parameters carry no entry.
        if (nargs) {
            wrong_count(def, 0, nargs);
            return Bound::quiet;
        }
        if (nkw) {
            PyObject* key = PyTuple_GET_ITEM(kwnames, 0);
            // A name that is no string cannot be shown in the message.
            if (PyUnicode_Check(key))
                unexpected_keyword(def, key);
            else
                keywords_not_strings(def);
            return Bound::quiet;
        }
        return Bound::ok;
    }

    if (nkw == 0) {
        if (nargs != n) return wrong_count(def, n, nargs);
        out.values = args;
    } else {
        if (nargs > n) return wrong_count(def, n, nargs);
        for (Py_ssize_t i = 0; i < nargs; ++i) out.slots[i] = args[i];
        for (Py_ssize_t k = 0; k < nkw; ++k) {
            PyObject* key = PyTuple_GET_ITEM(kwnames, k);
            int i = match_keyword(def, n, key);
            if (i == -2) return Bound::refused;
            if (i < 0) return unexpected_keyword(def, key);
            if (out.slots[i]) return multiple_values(def, key);
            out.slots[i] = args[nargs + k];
        }
        for (int i = 0; i < n; ++i)
            if (!out.slots[i]) return wrong_count(def, n, i);
        out.values = out.slots;
    }
    if (!def.checks_arguments()) return Bound::ok;

    // The declared parameter types, in parameter order.
    if (out.values != out.slots) {
        for (int i = 0; i < n; ++i) out.slots[i] = out.values[i];
        out.values = out.slots;
    }
    for (int i = 0; i < n; ++i) {
        PyObject* value = out.slots[i];
        switch (def.accepts[i]) {
            case Accept::any:
                break;
            case Accept::str_or_none:
                if (value != Py_None && !PyUnicode_CheckExact(value))
                    return wrong_type(def, i, "str", value);
                break;
            case Accept::tuple_or_none:
                if (value != Py_None && !PyTuple_CheckExact(value))
                    return wrong_type(def, i, "tuple", value);
                break;
            case Accept::instance:
                if (value == Py_None || !PyObject_TypeCheck(value, def.owner))
                    return wrong_type(def, i, def.owner->tp_name, value);
                break;
            case Accept::c_long: {
                // Converted once, here: the body reads the int it is given.
                long long v;
                if (!to_long(value, &v)) return Bound::refused;
                if (!PyLong_Check(value)) {
                    out.converted[i] = Ref::steal(PyLong_FromLongLong(v));
                    if (!out.converted[i]) return Bound::refused;
                    out.slots[i] = out.converted[i].get();
                }
                break;
            }
        }
    }
    return Bound::ok;
}

}  // namespace detail

// Binds the arguments of a call (the instance already taken off) to the
// parameters of `def` and runs its body.
inline PyObject* bind_and_run(const MethodDef& def, PyObject* self, PyObject* const* args,
                              Py_ssize_t nargs, PyObject* kwnames) {
    detail::Arguments bound;
    detail::Bound outcome = detail::bind(def, args, nargs, kwnames, bound);
    if (outcome == detail::Bound::ok) {
        PyObject* result = def.body.run(self, bound.values);
        if (result) return result;
        outcome = detail::Bound::refused;
    }
    if (outcome == detail::Bound::refused) add_traceback(def);
    return nullptr;
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
    // What a method's usual call reads, beside the entry point: the class,
    // the argument count it takes as is (the instance included; -1 when its
    // arguments are checked, so that never matches) and the parameter names.
    PyTypeObject* owner;
    Py_ssize_t plain_nargs;
    PyObject* params[max_params];  // the interned parameter names
    // The last keyword names found to name the parameters in order, with
    // the positional count they came with (see note_keywords). Owned, so
    // that no other tuple can take its address.
    PyObject* kwnames_in_order;
    Py_ssize_t kwnames_nargs;
    const MethodDef* def;
    PyObject* name;
    PyObject* qualname;
    PyObject* module;
    PyObject* globals;
    PyObject* code;
    PyObject* annotations;
};

namespace detail {

[[gnu::cold, gnu::noinline]] inline PyObject* body_failed(const MethodDef& def) {
    add_traceback(def);
    return nullptr;
}

// Notes the keyword names of a call if they are the parameter names
// themselves, by identity, for the parameters the positional arguments
// leave, as in obj.f(x=1.0): then the values already stand in parameter
// order. A call site passes the same tuple, a constant of its code, on every
// call, so its next calls with that tuple and count are usual calls.
inline void note_keywords(Function* f, Py_ssize_t nargs, PyObject* kwnames) {
    const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
    if (nargs < 1 || nargs + nkw != f->plain_nargs) return;
    PyObject* const* names = f->params + (nargs - 1);
    for (Py_ssize_t k = 0; k < nkw; ++k)
        if (PyTuple_GET_ITEM(kwnames, k) != names[k]) return;
    Py_XSETREF(f->kwnames_in_order, Py_NewRef(kwnames));
    f->kwnames_nargs = nargs;
}

// Every other call of a method: through the class, with keywords not seen
// before, with an instance of a subclass, or with a wrong count.
[[gnu::noinline]] inline PyObject* method_call_general(Function* f, PyObject* const* args,
                                                       Py_ssize_t nargs, PyObject* kwnames) {
    const MethodDef& def = *f->def;
    if (kwnames) note_keywords(f, nargs, kwnames);
    if (nargs < 1) {
        PyErr_Format(PyExc_TypeError, "%.200s() needs an argument", def.name);
        return nullptr;
    }
    if (!check_instance(def, args[0])) return nullptr;
    return bind_and_run(def, args[0], args + 1, nargs - 1, kwnames);
}

// A method's usual calls, obj.f(), obj.f(1.0) or obj.f(x=1.0): an
// instance of the class itself and the arguments in parameter order, none
// to check. They need nothing of the binding, and read nothing but the
// function object and the instance's type. The body is compiled into the
// entry, whatever the compiler would weigh: a call of it would cost about
// as much as the checks.
template <BodyFn run>
[[gnu::flatten]] PyObject* method_call(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    auto* f = reinterpret_cast<Function*>(callable);
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    const bool in_order = kwnames ? kwnames == f->kwnames_in_order && nargs == f->kwnames_nargs
                                  : nargs == f->plain_nargs;
    if (in_order && Py_IS_TYPE(args[0], f->owner)) [[likely]] {
        PyObject* result = run(args[0], args + 1);
        if (!result) [[unlikely]]
            return body_failed(*f->def);
        return result;
    }
    return method_call_general(f, args, nargs, kwnames);
}

// Static methods and module functions: no instance.
inline PyObject* unbound_call(PyObject* callable, PyObject* const* args, size_t nargsf,
                              PyObject* kwnames) {
    return bind_and_run(*reinterpret_cast<Function*>(callable)->def, nullptr, args,
                        PyVectorcall_NARGS(nargsf), kwnames);
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
    Py_XDECREF(f->kwnames_in_order);
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
    f->vectorcall = def.kind == Kind::method ? def.body.method_entry : detail::unbound_call;
    f->owner = def.owner;
    f->plain_nargs = def.checks_arguments() ? -1 : 1 + n;
    for (int i = 0; i < max_params; ++i) f->params[i] = i < n ? def.params[i]->get() : nullptr;
    f->kwnames_in_order = nullptr;
    f->kwnames_nargs = 0;
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
