// Owned and borrowed references as distinct C++ types.
//
// A `Ref` owns one strong reference and releases it exactly once: in its
// destructor, unless `release()` has handed it to someone else. A `Borrowed`
// never releases anything; it is valid for as long as somebody else keeps the
// object alive. Converting one into the other is explicit (`Ref::steal`,
// `Ref::borrow`, `.borrowed()`), so a leak or a double release shows up as a
// type error rather than a refcount bug.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace lumabo {

class Borrowed {
public:
    constexpr Borrowed() = default;
    constexpr Borrowed(PyObject* p) : p_(p) {}
    constexpr PyObject* get() const { return p_; }
    constexpr explicit operator bool() const { return p_ != nullptr; }

private:
    PyObject* p_ = nullptr;
};

class [[nodiscard]] Ref {
public:
    constexpr Ref() = default;
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
    Ref& operator=(Ref&& other) noexcept {
        Ref old(std::move(*this));
        p_ = std::exchange(other.p_, nullptr);
        return *this;
    }
    ~Ref() { Py_XDECREF(p_); }

    // Takes over a new reference (the result of a call that returns one).
    static Ref steal(PyObject* p) { return Ref(p); }
    // Takes a new strong reference to an object that is only borrowed.
    static Ref borrow(PyObject* p) { return Ref(Py_XNewRef(p)); }
    static Ref borrow(Borrowed b) { return borrow(b.get()); }

    PyObject* get() const { return p_; }
    Borrowed borrowed() const { return p_; }
    explicit operator bool() const { return p_ != nullptr; }

    // Hands the reference to the caller, who now owns it.
    [[nodiscard]] PyObject* release() { return std::exchange(p_, nullptr); }

private:
    explicit Ref(PyObject* p) : p_(p) {}
    PyObject* p_ = nullptr;
};

// Holds the pending exception aside for a scope and puts it back at its end,
// so that work done in between (deallocation, traceback bookkeeping) never
// disturbs an exception in flight.
class SavedException {
public:
    SavedException() : exc_(Ref::steal(PyErr_GetRaisedException())) {}
    SavedException(const SavedException&) = delete;
    SavedException& operator=(const SavedException&) = delete;
    ~SavedException() {
        if (exc_) PyErr_SetRaisedException(exc_.release());
    }

private:
    Ref exc_;
};

}  // namespace lumabo
