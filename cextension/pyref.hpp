// Shared by the three extension modules: an owner for one strong reference,
// so that every early return releases what a function holds.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace orvane {

class Ref {
public:
    Ref() noexcept = default;
    // Takes over a new reference (or nullptr, as returned by a failing API call).
    explicit Ref(PyObject* owned) noexcept : obj_(owned) {}
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& other) noexcept : obj_(other.release()) {}
    Ref& operator=(Ref&& other) noexcept
    {
        reset(other.release());
        return *this;
    }
    ~Ref() { Py_XDECREF(obj_); }

    // Takes a new reference to a borrowed object.
    static Ref borrow(PyObject* borrowed) noexcept { return Ref(Py_XNewRef(borrowed)); }

    PyObject* get() const noexcept { return obj_; }
    explicit operator bool() const noexcept { return obj_ != nullptr; }

    // Hands the reference to the caller.
    PyObject* release() noexcept
    {
        PyObject* obj = obj_;
        obj_ = nullptr;
        return obj;
    }

    // Drops the held reference only after the new one is in place, since
    // releasing can run arbitrary code that may look at this owner.
    void reset(PyObject* owned = nullptr) noexcept
    {
        PyObject* old = obj_;
        obj_ = owned;
        Py_XDECREF(old);
    }

private:
    PyObject* obj_ = nullptr;
};

// Method tables store every function as PyCFunction; the cast through a
// generic function pointer keeps the compiler's cast check quiet.
template <typename Function>
inline PyCFunction as_method(Function function) noexcept
{
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

}  // namespace orvane
