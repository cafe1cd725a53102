// The interpreter calls whose availability depends on the CPython version,
// and the private ones this project relies on. Each private call is wrapped
// here and nowhere else, so that the day one goes away the build breaks in
// this file, next to the note on what replaces it.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

// The member types of slots, public in the main header from 3.12.
#if PY_VERSION_HEX < 0x030C0000
#include <structmember.h>
#define Py_T_OBJECT_EX T_OBJECT_EX
#define Py_READONLY READONLY
#endif

namespace orvane::compat {

// A dictionary lookup returning a strong reference: 1 with *result set when
// found, 0 with *result null on a miss, -1 with an exception set on failure.
// Public from 3.13; before that the borrowed result is turned into a strong
// reference before any other code can run.
inline int dict_get_item_ref(PyObject* dict, PyObject* key, PyObject** result)
{
#if PY_VERSION_HEX >= 0x030D0000
    return PyDict_GetItemRef(dict, key, result);
#else
    PyObject* found = PyDict_GetItemWithError(dict, key);
    *result = Py_XNewRef(found);
    if (found != nullptr) {
        return 1;
    }
    return PyErr_Occurred() ? -1 : 0;
#endif
}

// Clears the pending error and returns true when it is an ordinary one (an
// Exception subclass); an interrupt, SystemExit or any other exception that
// is not meant to be caught stays set, and false is returned.
inline bool clear_ordinary_error()
{
    if (!PyErr_ExceptionMatches(PyExc_Exception)) {
        return false;
    }
    PyErr_Clear();
    return true;
}

// Whether `obj` has the attribute `name`: 1 when it has, 0 when not or when
// the lookup failed with an ordinary exception, -1 with any other exception
// (an interrupt, SystemExit) left set. From 3.13 PyObject_HasAttr reports
// such failures as unraisable; before, it swallows all of them.
inline int has_attribute_quietly(PyObject* obj, PyObject* name)
{
#if PY_VERSION_HEX >= 0x030D0000
    int found = PyObject_HasAttrWithError(obj, name);
#else
    PyObject* attribute = PyObject_GetAttr(obj, name);
    int found = attribute != nullptr ? 1 : -1;
    Py_XDECREF(attribute);
#endif
    if (found < 0 && clear_ordinary_error()) {
        return 0;
    }
    return found;
}

// Sets the exception being raised aside for the life of a scope, for cleanup
// that must not run with it set, and raises it again at the end (replacing
// any error the cleanup left).
class SavedException {
public:
    SavedException() noexcept
    {
#if PY_VERSION_HEX >= 0x030C0000
        raised_ = PyErr_GetRaisedException();
#else
        PyErr_Fetch(&type_, &raised_, &traceback_);
#endif
    }
    SavedException(const SavedException&) = delete;
    SavedException& operator=(const SavedException&) = delete;
    ~SavedException()
    {
#if PY_VERSION_HEX >= 0x030C0000
        PyErr_SetRaisedException(raised_);
#else
        PyErr_Restore(type_, raised_, traceback_);
#endif
    }

private:
    PyObject* raised_ = nullptr;
#if PY_VERSION_HEX < 0x030C0000
    PyObject* type_ = nullptr;
    PyObject* traceback_ = nullptr;
#endif
};

// PRIVATE: the generic attribute lookup that, asked to suppress it, reports a
// missing attribute by returning null with no exception set, so a miss costs
// no exception object. Public replacement: PyObject_GenericGetAttr followed by
// clearing the AttributeError (PyObject_GetOptionalAttr, 3.13+, would go
// through the type's own tp_getattro and so cannot serve inside one).
inline PyObject* generic_getattr_or_null(PyObject* obj, PyObject* name)
{
    return _PyObject_GenericGetAttrWithDict(obj, name, nullptr, 1);
}

// PRIVATE: the attribute a type's MRO gives `name`, without running any
// Python code, as a borrowed reference (or null, with no exception set).
// Used only for identity tests and to learn whether a name is defined at all.
// Public replacement: walking PyType_GetDict (3.12+) over the type's __mro__;
// 3.14's _PyType_LookupRef returns a strong reference but is private too.
inline PyObject* type_lookup(PyTypeObject* type, PyObject* name)
{
    return _PyType_Lookup(type, name);
}

// INTERNAL FIELD: the type's method-cache version, renewed (or zero) after
// any change to the type or its bases, so that an unchanged non-zero tag
// proves that lookups on the type still give what they gave. Public
// replacement: none; without it every test would repeat the full lookup.
inline unsigned int type_version(PyTypeObject* type)
{
    return type->tp_version_tag;
}

}  // namespace orvane::compat
