// lumabo.cursor.cursor: the mouse cursor of the raylib window.
//
// `Cursor` is a stateless handle: every instance acts on the one raylib
// cursor. The only state is `cursor_enabled`, which records whether the
// cursor was last enabled or disabled through this module.
#include "frame.hpp"

#include <lumabo/lumabo.h>

#include <raylib.h>

namespace {

using namespace lumabo;

constexpr const char* module_name = "lumabo.cursor.cursor";

struct CursorObject {
    PyObject_HEAD
    const lumabo_Cursor_vtable* vtab;
};

ModuleState state{.file = "src/lumabo/cursor/cursor.cpp"};
int cursor_enabled = 0;
lumabo_Cursor_vtable vtable;
extern PyTypeObject CursorType;

Interned s_state{"__pyx_state"};
Interned s_type{"__pyx_type"};
Interned s_checksum{"__pyx_checksum"};
Interned s_unpickle{"__pyx_unpickle_Cursor"};
Interned s_dict{"__dict__"};
Interned s_new{"__new__"};
Interned s_update{"update"};

// What pickling says when it refuses.
namespace message {
constexpr const char* incompatible = "Incompatible checksums (0x%llx vs (0x%x, 0x%x, 0x%x) = (%s))";
constexpr const char* none_state =
    "cannot pass None into a C function argument that is declared 'not None'";
constexpr const char* not_tuple = "Expected %s, got %.200s";
constexpr const char* undefined = "name '%U' is not defined";
}  // namespace message

// ---------------------------------------------------------------------------
// Actions. The plain slots always act; they touch no Python object.

void c_enable(PyObject*) {
    cursor_enabled = 1;
    EnableCursor();
}
void c_disable(PyObject*) {
    cursor_enabled = 0;
    DisableCursor();
}
void c_show(PyObject*) { ShowCursor(); }
void c_hide(PyObject*) { HideCursor(); }

// The Python-level methods act directly: an override in a subclass is found
// by ordinary attribute lookup before they are reached. The C-level slots
// of the same names look for one first.
MethodDef enable_def{.name = "enable", .body = body<action_body<c_enable>>};
MethodDef disable_def{.name = "disable", .body = body<action_body<c_disable>>};
MethodDef show_def{.name = "show", .body = body<action_body<c_show>>};
MethodDef hide_def{.name = "hide", .body = body<action_body<c_hide>>};

void fill_vtable() {
    vtable = {
        .c_enable = c_enable,
        .c_disable = c_disable,
        .c_show = c_show,
        .c_hide = c_hide,
        .enable = overridable<c_enable, enable_def>,
        .disable = overridable<c_disable, disable_def>,
        .show = overridable<c_show, show_def>,
        .hide = overridable<c_hide, hide_def>,
    };
}

// ---------------------------------------------------------------------------
// Properties.

PyObject* get_on_screen(PyObject*, void*) { return new_bool(IsCursorOnScreen()); }
PyObject* get_enabled(PyObject*, void*) { return new_bool(cursor_enabled != 0); }
PyObject* get_hidden(PyObject*, void*) { return new_bool(IsCursorHidden()); }

PyGetSetDef cursor_getset[] = {
    {"on_screen", get_on_screen, nullptr, nullptr, nullptr},
    {"enabled", get_enabled, nullptr, nullptr, nullptr},
    {"hidden", get_hidden, nullptr, nullptr, nullptr},
    {},
};

// ---------------------------------------------------------------------------
// Pickling. A Cursor has no fields, so its pickled form names the class,
// carries the layout checksum and, for subclass instances, their __dict__.

constexpr long long checksum_written = 0xe3b0c44;  // sha256 of the empty field list
// The first seven hex digits of the sha256, sha1 and md5 of the empty field
// list: pickles of every flavour of the layout load.
constexpr int checksums_accepted[] = {0xe3b0c44, 0xda39a3e, 0xd41d8cd};

Entry set_state_entry{"__pyx_unpickle_Cursor__set_state", Accessor::none, true};

// Merges element 0 of `pickled` (an exact tuple) into the instance dictionary.
bool set_state(PyObject* result, PyObject* pickled) {
    if (PyTuple_GET_SIZE(pickled) == 0) return true;
    PyObject* attrs = PyTuple_GET_ITEM(pickled, 0);
    int truth = PyObject_IsTrue(attrs);
    if (truth <= 0) {
        if (truth < 0) add_traceback(set_state_entry);
        return truth == 0;
    }
    Ref dict = Ref::steal(PyObject_GenericGetDict(result, nullptr));
    if (!dict) {
        add_traceback(set_state_entry);
        return false;
    }
    if (PyDict_CheckExact(dict.get())) {
        if (PyDict_Update(dict.get(), attrs) < 0) {
            add_traceback(set_state_entry);
            return false;
        }
        return true;
    }
    Ref done = Ref::steal(PyObject_CallMethodOneArg(dict.get(), s_update.get(), attrs));
    if (!done) add_traceback(set_state_entry);
    return bool(done);
}

PyObject* cursor_reduce(PyObject* self, PyObject* const*) {
    Ref pickled = Ref::steal(PyTuple_New(0));
    if (!pickled) return nullptr;
    PyObject* found = nullptr;
    if (PyObject_GetOptionalAttr(self, s_dict.get(), &found) < 0) return nullptr;
    Ref dict = Ref::steal(found);
    bool use_setstate = false;
    if (dict && dict.get() != Py_None) {
        int truth = dict.get() == Py_True    ? 1
                    : dict.get() == Py_False ? 0
                                             : PyObject_IsTrue(dict.get());
        if (truth < 0) return nullptr;
        if (truth) {
            pickled = Ref::steal(PyTuple_Pack(1, dict.get()));
            if (!pickled) return nullptr;
            use_setstate = true;
        }
    }
    Ref unpickle = Ref::borrow(PyDict_GetItemWithError(state.dict, s_unpickle.get()));
    if (!unpickle && !PyErr_Occurred()) {
        if (PyObject_GetOptionalAttr(state.builtins, s_unpickle.get(), &found) < 0)
            return nullptr;
        unpickle = Ref::steal(found);
        if (!unpickle) PyErr_Format(PyExc_NameError, message::undefined, s_unpickle.get());
    }
    if (!unpickle) return nullptr;
    if (use_setstate)
        return Py_BuildValue("O(OLO)O", unpickle.get(), Py_TYPE(self), checksum_written, Py_None,
                             pickled.get());
    return Py_BuildValue("O(OLO)", unpickle.get(), Py_TYPE(self), checksum_written, pickled.get());
}

PyObject* cursor_setstate(PyObject* self, PyObject* const* args) {
    PyObject* pickled = args[0];
    if (PyTuple_CheckExact(pickled)) {
        if (!set_state(self, pickled)) return nullptr;
        Py_RETURN_NONE;
    }
    if (pickled == Py_None)
        PyErr_SetString(PyExc_TypeError, message::none_state);
    else
        PyErr_Format(PyExc_TypeError, message::not_tuple, "tuple", Py_TYPE(pickled)->tp_name);
    return nullptr;
}

// __pyx_unpickle_Cursor(__pyx_type, __pyx_checksum, __pyx_state): the
// checksum comes as an int in range, the state as an exact tuple or None.
PyObject* unpickle_cursor(PyObject*, PyObject* const* args) {
    PyObject* type = args[0];
    PyObject* pickled = args[2];
    const long long checksum = PyLong_AsLongLong(args[1]);
    bool accepted = false;
    for (int c : checksums_accepted) accepted |= c == checksum;
    if (!accepted) {
        // pickle is imported only when a pickle does not match.
        Ref pickle = Ref::steal(PyImport_ImportModule("pickle"));
        Ref error = pickle ? Ref::steal(PyObject_GetAttrString(pickle.get(), "PickleError")) : Ref();
        if (error)
            PyErr_Format(error.get(), message::incompatible,
                         static_cast<unsigned long long>(checksum), checksums_accepted[0],
                         checksums_accepted[1], checksums_accepted[2], "");
        return nullptr;
    }
    // One argument, whatever it is: a tuple must not become the argument list.
    Ref result = Ref::steal(
        PyObject_CallMethodOneArg(reinterpret_cast<PyObject*>(&CursorType), s_new.get(), type));
    if (!result) return nullptr;
    if (pickled != Py_None && !set_state(result.get(), pickled)) return nullptr;
    return result.release();
}

MethodDef reduce_def{.name = "__reduce__", .body = body<cursor_reduce>};
MethodDef setstate_def{.name = "__setstate__", .body = body<cursor_setstate>, .params = {&s_state}};
MethodDef unpickle_def{.name = "__pyx_unpickle_Cursor",
                       .body = body<unpickle_cursor>,
                       .kind = Kind::function,
                       .params = {&s_type, &s_checksum, &s_state},
                       .accepts = {Accept::any, Accept::c_long, Accept::tuple_or_none}};

// The pickling methods live in the type's method table rather than being
// function objects; a text signature (and no docstring) lets introspection
// show their parameters all the same.
PyMethodDef with_signature(PyMethodDef entry, const char* signature) {
    entry.ml_doc = signature;
    return entry;
}

PyMethodDef cursor_methods[] = {
    with_signature(method_table_entry<reduce_def>(), "__reduce__($self, /)\n--\n\n"),
    with_signature(method_table_entry<setstate_def>(), "__setstate__($self, __pyx_state)\n--\n\n"),
    {},
};

// ---------------------------------------------------------------------------
// The type.

PyObject* cursor_new(PyTypeObject* type, PyObject*, PyObject*) {
    CursorObject* self = allocate<CursorObject>(type);
    if (!self) return nullptr;
    self->vtab = &vtable;
    return reinterpret_cast<PyObject*>(self);
}

void cursor_dealloc(PyObject* self) {
    if (resurrected_by_finalizer(self, cursor_dealloc)) return;
    Py_TYPE(self)->tp_free(self);
}

PyTypeObject CursorType = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "lumabo.cursor.cursor.Cursor",
    .tp_basicsize = sizeof(CursorObject),
    .tp_dealloc = cursor_dealloc,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE,
    .tp_methods = cursor_methods,
    .tp_getset = cursor_getset,
    .tp_new = cursor_new,
};

// ---------------------------------------------------------------------------
// The module.

bool install();

constexpr MethodDef* all_methods[] = {&enable_def, &disable_def,  &show_def,    &hide_def,
                                      &reduce_def, &setstate_def, &unpickle_def};
constexpr Entry* all_entries[] = {&set_state_entry};

constexpr ModuleConfig config{
    .short_name = "cursor",
    .full_name = module_name,
    .class_name = "Cursor",
    .state = &state,
    .type = &CursorType,
    .vtable = &vtable,
    .fill_vtable = fill_vtable,
    .methods = all_methods,
    .entries = all_entries,
    .install = install,
};

bool install() {
    cursor_enabled = 1;
    if (!install_method<config>(enable_def) || !install_method<config>(disable_def) ||
        !install_method<config>(show_def) || !install_method<config>(hide_def))
        return false;
    Ref cursor = Ref::steal(PyObject_CallNoArgs(reinterpret_cast<PyObject*>(&CursorType)));
    if (!cursor || PyModule_AddObjectRef(state.module, "cursor", cursor.get()) < 0) return false;
    return install_function<config>(unpickle_def);
}

}  // namespace

PyMODINIT_FUNC PyInit_cursor() { return PyModuleDef_Init(&lumabo::module_definition<config>); }
