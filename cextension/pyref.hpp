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

// References gathered before the object that will hold them exists, so that
// no half-filled tuple is ever visible to code the gathering runs (a
// processor, a key's __eq__, the cycle collector through gc.get_referrers).
class RefBuffer {
public:
    RefBuffer() noexcept = default;
    RefBuffer(const RefBuffer&) = delete;
    RefBuffer& operator=(const RefBuffer&) = delete;
    ~RefBuffer()
    {
        for (Py_ssize_t i = 0; i < size_; ++i) {
            Py_DECREF(items_[i]);
        }
        if (items_ != inline_items_) {
            PyMem_Free(items_);
        }
    }

    // Room for `capacity` references; false with MemoryError set.
    bool reserve(Py_ssize_t capacity) noexcept
    {
        if (capacity <= capacity_) {
            return true;
        }
        auto* items = static_cast<PyObject**>(PyMem_Malloc(static_cast<size_t>(capacity) * sizeof(PyObject*)));
        if (items == nullptr) {
            PyErr_NoMemory();
            return false;
        }
        for (Py_ssize_t i = 0; i < size_; ++i) {
            items[i] = items_[i];
        }
        if (items_ != inline_items_) {
            PyMem_Free(items_);
        }
        items_ = items;
        capacity_ = capacity;
        return true;
    }

    // Takes over a new reference; the room must have been reserved.
    void push(PyObject* owned) noexcept { items_[size_++] = owned; }

    // Takes over a new reference, growing the room as needed; false with
    // MemoryError set (the reference is then released).
    bool append(PyObject* owned) noexcept
    {
        if (size_ == capacity_ && !reserve(capacity_ * 2)) {
            Py_DECREF(owned);
            return false;
        }
        push(owned);
        return true;
    }

    Py_ssize_t size() const noexcept { return size_; }

    // The gathered references, still owned by the buffer.
    PyObject* const* items() const noexcept { return items_; }

    // Hands the gathered references to the caller, who takes them from the
    // returned items (valid while the buffer lives) before anything is
    // gathered again.
    PyObject* const* release_items() noexcept
    {
        size_ = 0;
        return items_;
    }

    // A new tuple of the gathered references, which it takes over; filling it
    // runs no Python code.
    PyObject* to_tuple() noexcept
    {
        PyObject* tuple = PyTuple_New(size_);
        if (tuple == nullptr) {
            return nullptr;
        }
        for (Py_ssize_t i = 0; i < size_; ++i) {
            PyTuple_SET_ITEM(tuple, i, items_[i]);
        }
        size_ = 0;
        return tuple;
    }

    // A new list of the gathered references, which it takes over.
    PyObject* to_list() noexcept
    {
        PyObject* list = PyList_New(size_);
        if (list == nullptr) {
            return nullptr;
        }
        for (Py_ssize_t i = 0; i < size_; ++i) {
            PyList_SET_ITEM(list, i, items_[i]);
        }
        size_ = 0;
        return list;
    }

private:
    static constexpr Py_ssize_t INLINE_CAPACITY = 16;
    PyObject* inline_items_[INLINE_CAPACITY];
    PyObject** items_ = inline_items_;
    Py_ssize_t size_ = 0;
    Py_ssize_t capacity_ = INLINE_CAPACITY;
};

// The interpreter's recursion guard for the life of a scope: operations that
// hand a row's values to generic calls recurse when the values are a row.
class RecursionGuard {
public:
    explicit RecursionGuard(const char* where) noexcept : entered_(Py_EnterRecursiveCall(where) == 0) {}
    RecursionGuard(const RecursionGuard&) = delete;
    RecursionGuard& operator=(const RecursionGuard&) = delete;
    ~RecursionGuard()
    {
        if (entered_) {
            Py_LeaveRecursiveCall();
        }
    }

    // False with RecursionError set when the limit was reached.
    explicit operator bool() const noexcept { return entered_; }

private:
    bool entered_;
};

// Method tables store every function as PyCFunction; the cast through a
// generic function pointer keeps the compiler's cast check quiet.
template <typename Function>
inline PyCFunction as_method(Function function) noexcept
{
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

}  // namespace orvane
