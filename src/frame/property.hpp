// Properties whose shape the classes share.
#pragma once

#include <type_traits>

#include "convert.hpp"
#include "traceback.hpp"

namespace lumabo {

// Property deletion that the class does not support.
inline int refuse_delete() {
    PyErr_SetString(PyExc_NotImplementedError, "__del__");
    return -1;
}

// A float property cached in the instance as the single-precision value
// raylib was last told: a read returns the cache and never asks raylib; a
// write stores the value, then `tell` passes it on to raylib.
template <class Object>
struct CachedFloat {
    using object_type = Object;
    const char* name;
    float Object::*field;
    void (*tell)(Object&, float);
    Entry get{name, Accessor::get};
    Entry set{name, Accessor::set};
};

namespace detail {

template <auto& prop>
using owner_of = typename std::remove_cvref_t<decltype(prop)>::object_type;

template <auto& prop>
PyObject* get_cached(PyObject* self, void*) {
    auto& object = *reinterpret_cast<owner_of<prop>*>(self);
    return or_entry(prop.get, PyFloat_FromDouble(object.*prop.field));
}

template <auto& prop>
int set_cached(PyObject* self, PyObject* value, void*) {
    if (!value) return refuse_delete();
    float v;
    if (!to_float(value, &v)) {
        add_traceback(prop.set);
        return -1;
    }
    auto& object = *reinterpret_cast<owner_of<prop>*>(self);
    object.*prop.field = v;
    prop.tell(object, v);
    return 0;
}

}  // namespace detail

// The property's entry in the class's property table.
template <auto& prop>
constexpr PyGetSetDef cached_float() {
    return {prop.name, detail::get_cached<prop>, detail::set_cached<prop>, nullptr, nullptr};
}

}  // namespace lumabo
