// The module definition and its create and exec steps, shared by every
// module of the package. A module describes itself in one `ModuleConfig`,
// keeps its `ModuleState` in its own source file, and exports
// `PyInit_<name>` returning `module_definition<config>`.
#pragma once

#include <array>
#include <cstdio>
#include <source_location>
#include <span>
#include <string_view>

#include "dispatch.hpp"

namespace lumabo {

// A builtin the module uses, fetched once by the exec step.
struct BuiltinSlot {
    const char* name = nullptr;
    PyObject** slot = nullptr;
};

// A type of a sibling module whose C-level method table the module calls,
// imported by the exec step. `size` is the instance size the module was
// built against (from the sibling's header).
struct SiblingType {
    const char* module;  // the sibling module's full name
    const char* name;    // the type's name in it
    Py_ssize_t size;
    PyTypeObject* type = nullptr;  // a strong reference, for the life of the process
    const void* table = nullptr;
};

template <class Table>
struct Sibling : SiblingType {
    const Table* vtable() const { return static_cast<const Table*>(table); }
};

struct ModuleConfig {
    const char* short_name;  // the definition's name: the last part of the full name
    const char* full_name;   // "lumabo.<name>.<name>"
    const char* class_name;  // the class the module defines
    ModuleState* state;      // the module's own, in its source file
    PyTypeObject* type;
    void* vtable;               // the class's C-level method table ...
    void (*fill_vtable)();      // ... and what fills it
    std::span<MethodDef* const> methods;  // every method of the module
    std::span<Entry* const> entries{};    // every other traceback entry
    std::array<BuiltinSlot, 2> builtins{};
    std::span<SiblingType* const> siblings{};  // imported in this order
    bool pickling = true;           // the class defines __reduce__/__setstate__
    bool (*install)() = nullptr;    // installs the Python-level methods, in order
    int line = static_cast<int>(std::source_location::current().line());
};

// ---------------------------------------------------------------------------
// Steps of the exec step that other code (and tests of the frame) reach too.

// Warns when the running interpreter is not the one the module was built
// for. Returns -1 when the warning was turned into an error.
inline int check_version(const char* module, unsigned long runtime = Py_Version,
                         int major = PY_MAJOR_VERSION, int minor = PY_MINOR_VERSION) {
    int rt_major = static_cast<int>((runtime >> 24) & 0xff);
    int rt_minor = static_cast<int>((runtime >> 16) & 0xff);
    if (rt_major == major && rt_minor == minor) return 0;
    char message[200];
    std::snprintf(message, sizeof message,
                  "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d",
                  major, minor, module, "does not match", rt_major, rt_minor);
    return PyErr_WarnEx(nullptr, message, 1);
}

namespace detail {

// Takes the sibling's type and its C-level method table.
inline bool import_sibling(SiblingType& sibling) {
    Ref module = Ref::steal(PyImport_ImportModule(sibling.module));
    if (!module) return false;
    Ref type = Ref::steal(PyObject_GetAttrString(module.get(), sibling.name));
    if (!type) return false;
    if (!PyType_Check(type.get())) {
        PyErr_Format(PyExc_TypeError, "%.200s.%.200s is not a type object", sibling.module,
                     sibling.name);
        return false;
    }
    auto* t = reinterpret_cast<PyTypeObject*>(type.get());
    Py_ssize_t itemsize = t->tp_itemsize;
    if (itemsize && itemsize < 8) itemsize = 8;
    static constexpr const char* size_changed =
        "%.200s.%.200s size changed, may indicate binary incompatibility. Expected %zd from C "
        "header, got %zd from PyObject";
    if (t->tp_basicsize + itemsize < sibling.size) {
        PyErr_Format(PyExc_ValueError, size_changed, sibling.module, sibling.name, sibling.size,
                     t->tp_basicsize + itemsize);
        return false;
    }
    if (t->tp_basicsize > sibling.size &&
        PyErr_WarnFormat(nullptr, 0, size_changed, sibling.module, sibling.name, sibling.size,
                         t->tp_basicsize) < 0)
        return false;

    Py_XSETREF(sibling.type, reinterpret_cast<PyTypeObject*>(type.release()));
    Ref dict = Ref::steal(PyType_GetDict(sibling.type));
    PyObject* capsule = dict ? PyDict_GetItemWithError(dict.get(), names::vtable.get()) : nullptr;
    if (!capsule) {
        if (!PyErr_Occurred()) PyErr_SetObject(PyExc_KeyError, names::vtable.get());
        return false;
    }
    void* table = PyCapsule_GetPointer(capsule, nullptr);
    if (!table) {
        if (!PyErr_Occurred())
            PyErr_SetString(PyExc_RuntimeError, "invalid vtable found for imported type");
        return false;
    }
    sibling.table = table;
    return true;
}

// Stores `value` in the class dictionary and drops the type's attribute
// cache: a static type is immutable from Python, so the frame writes there.
inline bool set_class_item(PyTypeObject* type, PyObject* name, PyObject* value) {
    Ref dict = Ref::steal(PyType_GetDict(type));
    if (!dict || PyDict_SetItem(dict.get(), name, value) < 0) return false;
    PyType_Modified(type);
    return true;
}

}  // namespace detail

// ---------------------------------------------------------------------------
// Installation of the Python-level methods (called from a module's install).

namespace detail {

template <const ModuleConfig& config>
constexpr PyObject** builtin_slot(std::string_view name) {
    for (const BuiltinSlot& b : config.builtins)
        if (b.name && name == b.name) return b.slot;
    return nullptr;
}

// Makes the function object of a method of the class and stores it in the
// class dictionary under the method's name.
template <const ModuleConfig& config>
Ref store_method(const MethodDef& def, PyObject* name) {
    Ref f = make_function(def, config.full_name, config.class_name, config.state->dict,
                          config.state->file);
    if (!f || !set_class_item(config.type, name, f.get())) return {};
    return f;
}

}  // namespace detail

template <const ModuleConfig& config>
bool install_method(const MethodDef& def) {
    Ref name = Ref::steal(PyUnicode_InternFromString(def.name));
    return name && detail::store_method<config>(def, name.get());
}

// A static method is stored as a plain function first, then wrapped by the
// builtin staticmethod and stored again.
template <const ModuleConfig& config>
bool install_static_method(const MethodDef& def) {
    constexpr PyObject** staticmethod = detail::builtin_slot<config>("staticmethod");
    static_assert(staticmethod, "a module with static methods lists the builtin staticmethod");
    Ref name = Ref::steal(PyUnicode_InternFromString(def.name));
    Ref f = name ? detail::store_method<config>(def, name.get()) : Ref();
    Ref wrapped = f ? Ref::steal(PyObject_CallOneArg(*staticmethod, f.get())) : Ref();
    return wrapped && detail::set_class_item(config.type, name.get(), wrapped.get());
}

template <const ModuleConfig& config>
bool install_function(const MethodDef& def) {
    Ref f = make_function(def, config.full_name, nullptr, config.state->dict, config.state->file);
    return f && PyDict_SetItemString(config.state->dict, def.name, f.get()) == 0;
}

// ---------------------------------------------------------------------------
// The create and exec steps.

template <const ModuleConfig& config>
PyObject* create_step(PyObject* spec, PyModuleDef*) {
    ModuleState& state = *config.state;
    long long id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (id == -1) return nullptr;
    if (state.interpreter == -1) {
        state.interpreter = id;
    } else if (state.interpreter != id) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one "
                        "interpreter per process.");
        return nullptr;
    }
    if (state.module) return Py_NewRef(state.module);

    Ref name = Ref::steal(PyObject_GetAttrString(spec, "name"));
    if (!name) return nullptr;
    Ref module = Ref::steal(PyModule_NewObject(name.get()));
    if (!module) return nullptr;
    PyObject* dict = PyModule_GetDict(module.get());
    struct Copy {
        const char* from;
        const char* to;
        bool none_too;
    };
    static constexpr Copy copies[] = {
        {"loader", "__loader__", true},
        {"origin", "__file__", true},
        {"parent", "__package__", true},
        {"submodule_search_locations", "__path__", false},
    };
    for (const Copy& c : copies) {
        Ref value = Ref::steal(PyObject_GetAttrString(spec, c.from));
        if (!value) {
            if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return nullptr;
            PyErr_Clear();
            continue;
        }
        if (value.get() == Py_None && !c.none_too) continue;
        if (PyDict_SetItemString(dict, c.to, value.get()) < 0) return nullptr;
    }
    return module.release();
}

namespace detail {

template <const ModuleConfig& config>
bool fetch_builtins() {
    const ModuleState& state = *config.state;
    for (const BuiltinSlot& b : config.builtins) {
        if (!b.name) continue;
        PyObject* value = PyObject_GetAttrString(state.builtins, b.name);
        if (!value) {
            if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
            PyErr_Clear();
            PyErr_Format(PyExc_NameError, "name '%U' is not defined",
                         Ref::steal(PyUnicode_FromString(b.name)).get());
            return false;
        }
        Py_XSETREF(*b.slot, value);
    }
    return true;
}

// Publishes the type: its C-level method table as the __pyx_vtable__
// capsule, then the class itself as a module attribute.
template <const ModuleConfig& config>
bool publish_type() {
    config.fill_vtable();
    if (PyType_Ready(config.type) < 0) return false;
    Ref capsule = Ref::steal(PyCapsule_New(config.vtable, nullptr, nullptr));
    if (!capsule || !set_class_item(config.type, names::vtable.get(), capsule.get())) return false;
    return PyModule_AddObjectRef(config.state->module, config.class_name,
                                 reinterpret_cast<PyObject*>(config.type)) == 0;
}

// Makes the class's own __reduce__ and __setstate__ (from its method table)
// the ones pickling finds.
template <const ModuleConfig& config>
bool setup_pickling() {
    if (!config.pickling) return true;
    Ref dict = Ref::steal(PyType_GetDict(config.type));
    for (Interned* name : {&names::reduce, &names::setstate}) {
        PyObject* own = dict ? PyDict_GetItemWithError(dict.get(), name->get()) : nullptr;
        Ref keep = Ref::borrow(own);
        if (!keep || !set_class_item(config.type, name->get(), keep.get())) {
            PyErr_Clear();
            PyErr_Format(PyExc_RuntimeError, "Unable to initialize pickling for %.200s",
                         config.type->tp_name);
            return false;
        }
    }
    return true;
}

// "<module>.<Class>.<name>", "<module>.<name>" at module level, with ".__get__"
// or ".__set__" for an accessor: kept for the life of the process.
template <const ModuleConfig& config>
const char* dotted_name(const char* name, bool module_level, Accessor accessor = Accessor::none) {
    const char* suffix = accessor == Accessor::get   ? ".__get__"
                         : accessor == Accessor::set ? ".__set__"
                                                     : "";
    PyObject* where = module_level
                          ? PyUnicode_FromFormat("%s.%s%s", config.full_name, name, suffix)
                          : PyUnicode_FromFormat("%s.%s.%s%s", config.full_name, config.class_name,
                                                 name, suffix);
    return where ? PyUnicode_AsUTF8(where) : nullptr;
}

// Names the module's methods and entries: their dotted names, and the
// interned names overrides are looked up by.
template <const ModuleConfig& config>
bool prepare_names() {
    for (MethodDef* def : config.methods) {
        if (def->module) continue;
        const char* where = dotted_name<config>(def->name, def->kind == Kind::function);
        PyObject* interned = where ? PyUnicode_InternFromString(def->name) : nullptr;
        if (!interned) return false;
        def->where = where;
        def->interned = interned;
        def->owner = config.type;
        def->module = config.state;
    }
    for (Entry* entry : config.entries) {
        if (entry->module) continue;
        entry->where = dotted_name<config>(entry->name, entry->module_level, entry->accessor);
        if (!entry->where) return false;
        entry->module = config.state;
    }
    return true;
}

template <const ModuleConfig& config>
int fail_exec(bool with_entry) {
    if (with_entry) {
        char where[128];
        std::snprintf(where, sizeof where, "init %s", config.full_name);
        add_traceback(*config.state, where, config.line);
    }
    // The namespace dies with the failed module, but a class that was made
    // ready stays reachable: its entries then name a namespace of their own.
    Py_CLEAR(config.state->module);
    Py_CLEAR(config.state->dict);
    return -1;
}

}  // namespace detail

template <const ModuleConfig& config>
int exec_step(PyObject* module) {
    ModuleState& state = *config.state;
    // 1. A module executes once per process.
    if (state.module) {
        if (state.module == module) return 0;
        PyErr_Format(PyExc_RuntimeError,
                     "Module '%s' has already been imported. Re-initialisation is not supported.",
                     config.short_name);
        return -1;
    }
    // 2. Keep the module and its namespace.
    state.module = Py_NewRef(module);
    state.dict = Py_NewRef(PyModule_GetDict(module));

    // 3. __builtins__.
    if (!state.builtins) state.builtins = PyImport_ImportModule("builtins");
    if (!state.builtins || PyModule_AddObjectRef(module, "__builtins__", state.builtins) < 0)
        return detail::fail_exec<config>(false);
    // 4. The interpreter the module was built for.
    if (check_version(config.full_name) < 0) return detail::fail_exec<config>(false);
    // 5. Names, made once.
    if (!Interned::make_all() || !detail::prepare_names<config>())
        return detail::fail_exec<config>(false);

    // 6. sys.modules.
    PyObject* modules = PyImport_GetModuleDict();
    int has = PyDict_ContainsString(modules, config.full_name);
    if (has < 0 || (!has && PyDict_SetItemString(modules, config.full_name, module) < 0))
        return detail::fail_exec<config>(true);
    // 7. Builtins the module uses.
    if (!detail::fetch_builtins<config>()) return detail::fail_exec<config>(true);
    // 8. The class and its C-level method table.
    if (!detail::publish_type<config>()) return detail::fail_exec<config>(true);
    // 9. Pickling.
    if (!detail::setup_pickling<config>()) return detail::fail_exec<config>(true);
    // 10. The sibling types.
    for (SiblingType* sibling : config.siblings)
        if (!detail::import_sibling(*sibling)) return detail::fail_exec<config>(true);
    // 11. Python-level methods and the remaining module attributes.
    if (config.install && !config.install()) return detail::fail_exec<config>(true);
    return 0;
}

template <const ModuleConfig& config>
inline PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(create_step<config>)},
    {Py_mod_exec, reinterpret_cast<void*>(exec_step<config>)},
    {0, nullptr},
};

template <const ModuleConfig& config>
inline PyModuleDef module_definition = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = config.short_name,
    .m_doc = nullptr,
    .m_size = 0,
    .m_methods = nullptr,
    .m_slots = module_slots<config>,
    .m_traverse = nullptr,
    .m_clear = nullptr,
    .m_free = nullptr,
};

}  // namespace lumabo
