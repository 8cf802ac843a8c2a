// Interned names, made once when the module executes.
//
// A module declares its names as statics (`Interned s_position{"position"};`).
// Each one links itself into a list at load time; the exec step interns the
// whole list, so the strings and their hashes exist before the first call and
// keyword matching can compare by identity.
#pragma once

#include "refs.hpp"

namespace lumabo {

class Interned {
public:
    explicit Interned(const char* text) : text_(text), next_(head()) { head() = this; }
    Interned(const Interned&) = delete;
    Interned& operator=(const Interned&) = delete;

    PyObject* get() const { return obj_; }
    const char* text() const { return text_; }

    // Interns every declared name. Names stay for the life of the process.
    static bool make_all() {
        for (Interned* s = head(); s; s = s->next_) {
            if (s->obj_) continue;
            s->obj_ = PyUnicode_InternFromString(s->text_);
            if (!s->obj_ || PyObject_Hash(s->obj_) == -1) return false;
        }
        return true;
    }

private:
    static Interned*& head() {
        static constinit Interned* first = nullptr;
        return first;
    }

    const char* text_;
    PyObject* obj_ = nullptr;
    Interned* next_;
};

// Names the frame itself uses.
namespace names {
inline Interned vtable{"__pyx_vtable__"};
inline Interned reduce{"__reduce__"};
inline Interned setstate{"__setstate__"};
inline Interned self{"self"};
}  // namespace names

}  // namespace lumabo
