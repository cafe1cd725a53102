// orvane.frozkern: immutabledict, a read-only mapping over a private dict.

#include "pyref.hpp"

using orvane::Ref;

extern "C" Py_EXPORTED_SYMBOL Py_ssize_t ImmutableDict_length(PyObject* self);

namespace {

struct ImmutableDict {
    PyObject_HEAD
    PyObject* dict;  // exact dict made for this instance, never changed
};

extern PyTypeObject ImmutableDictType;

ImmutableDict* as_immutabledict(PyObject* self) noexcept
{
    return reinterpret_cast<ImmutableDict*>(self);
}

PyObject* inner(PyObject* self) noexcept
{
    return as_immutabledict(self)->dict;
}

// The dict is filled before the collector can see the instance.
PyObject* wrap_dict(PyTypeObject* type, Ref dict)
{
    ImmutableDict* self = PyObject_GC_New(ImmutableDict, type);
    if (self == nullptr) {
        return nullptr;
    }
    self->dict = dict.release();
    PyObject_GC_Track(self);
    return reinterpret_cast<PyObject*>(self);
}

// KeyError carries the key itself as its only argument (a tuple key too);
// a str key is reported through a plain str copy of its text.
void raise_missing_key(PyObject* key)
{
    Ref argument;
    if (PyUnicode_Check(key)) {
        Ref utf8(PyUnicode_AsUTF8String(key));
        if (utf8) {
            argument = Ref(PyUnicode_DecodeUTF8(PyBytes_AS_STRING(utf8.get()),
                                                PyBytes_GET_SIZE(utf8.get()), nullptr));
            if (!argument) {
                return;
            }
        } else if (PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) {
            PyErr_Clear();
        } else {
            return;
        }
    }
    Ref args(PyTuple_Pack(1, argument ? argument.get() : key));
    if (args) {
        PyErr_SetObject(PyExc_KeyError, args.get());
    }
}

// ---- slots ----------------------------------------------------------------

PyObject* immutabledict_new(PyTypeObject*, PyObject* args, PyObject* kwargs)
{
    PyObject* source = nullptr;
    if (!PyArg_UnpackTuple(args, "ImmutableDict", 0, 1, &source)) {
        return nullptr;
    }
    // Keyword arguments are not added to a copied exact dict.
    Ref dict(source != nullptr && PyDict_CheckExact(source)
                 ? PyDict_Copy(source)
                 : PyObject_Call(reinterpret_cast<PyObject*>(&PyDict_Type), args, kwargs));
    if (!dict) {
        return nullptr;
    }
    return wrap_dict(&ImmutableDictType, std::move(dict));
}

// Calls of the type itself come here, without an argument tuple; the result
// and the errors are those of the constructor above.
PyObject* immutabledict_vectorcall(PyObject*, PyObject* const* args, size_t nargsf, PyObject* kwnames)
{
    Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    if (nargs > 1) {
        PyErr_Format(PyExc_TypeError, "ImmutableDict expected at most 1 argument, got %zd", nargs);
        return nullptr;
    }
    Ref dict(nargs == 1 && PyDict_CheckExact(args[0])
                 ? PyDict_Copy(args[0])
                 : PyObject_Vectorcall(reinterpret_cast<PyObject*>(&PyDict_Type), args, nargsf, kwnames));
    if (!dict) {
        return nullptr;
    }
    return wrap_dict(&ImmutableDictType, std::move(dict));
}

void immutabledict_dealloc(PyObject* self)
{
    PyObject_GC_UnTrack(self);
    Py_CLEAR(as_immutabledict(self)->dict);
    PyObject_GC_Del(self);
}

int immutabledict_traverse(PyObject* self, visitproc visit, void* arg)
{
    Py_VISIT(inner(self));
    return 0;
}

PyObject* immutabledict_repr(PyObject* self)
{
    return PyUnicode_FromFormat("immutabledict(%R)", inner(self));
}

PyObject* immutabledict_subscript(PyObject* self, PyObject* key)
{
    PyObject* value = PyDict_GetItemWithError(inner(self), key);
    if (value != nullptr) {
        return Py_NewRef(value);
    }
    if (!PyErr_Occurred()) {
        raise_missing_key(key);
    }
    return nullptr;
}

// The inner dict is compared with dicts and with other instances' inner
// dicts, and never handed to code that could keep or change it: any other
// operand gets NotImplemented, so the interpreter asks that operand's own
// comparison with this instance instead.
PyObject* immutabledict_richcompare(PyObject* self, PyObject* other, int op)
{
    if (Py_IS_TYPE(other, &ImmutableDictType)) {
        return PyObject_RichCompare(inner(self), inner(other), op);
    }
    if (!PyDict_Check(other)) {
        Py_RETURN_NOTIMPLEMENTED;
    }
    if (Py_TYPE(other)->tp_richcompare == PyDict_Type.tp_richcompare) {
        return PyObject_RichCompare(inner(self), other, op);
    }
    // A dict subclass with a comparison of its own is asked first and would
    // receive the left operand: give it a copy, so that it decides as before.
    Ref copy(PyDict_Copy(inner(self)));
    if (!copy) {
        return nullptr;
    }
    return PyObject_RichCompare(copy.get(), other, op);
}

PyObject* immutabledict_iter(PyObject* self)
{
    return PyObject_GetIter(inner(self));
}

// ---- methods --------------------------------------------------------------

PyObject* immutabledict_union(PyObject* self, PyObject* args, PyObject* kwargs)
{
    PyObject* source = nullptr;
    if (!PyArg_UnpackTuple(args, "ImmutableDict", 0, 1, &source)) {
        return nullptr;
    }
    Ref other;
    if (source != nullptr && PyDict_CheckExact(source)) {
        // Keyword arguments are not added on this path.
        other = Ref::borrow(source);
    } else {
        other = Ref(PyObject_Call(reinterpret_cast<PyObject*>(&PyDict_Type), args, kwargs));
        if (!other) {
            return nullptr;
        }
    }
    if (PyDict_Size(other.get()) == 0) {
        return Py_NewRef(self);
    }
    Ref merged(PyDict_Copy(inner(self)));
    if (!merged || PyDict_Update(merged.get(), other.get()) < 0) {
        return nullptr;
    }
    return wrap_dict(Py_TYPE(self), std::move(merged));
}

PyObject* immutabledict_merge_with(PyObject* self, PyObject* args)
{
    Ref merged;  // made at the first argument that contributes
    for (Py_ssize_t i = 0, n = PyTuple_GET_SIZE(args); i < n; ++i) {
        PyObject* argument = PyTuple_GET_ITEM(args, i);
        Ref source;
        if (argument == Py_None) {
            continue;
        }
        if (PyDict_CheckExact(argument)) {
            if (PyDict_GET_SIZE(argument) == 0) {
                continue;
            }
            source = Ref::borrow(argument);
        } else {
            // A converted argument counts even when it comes out empty.
            source = Ref(PyObject_CallOneArg(reinterpret_cast<PyObject*>(&PyDict_Type), argument));
            if (!source) {
                return nullptr;
            }
        }
        if (!merged) {
            merged = Ref(PyDict_Copy(inner(self)));
            if (!merged) {
                return nullptr;
            }
        }
        if (PyDict_Update(merged.get(), source.get()) < 0) {
            return nullptr;
        }
    }
    if (!merged) {
        return Py_NewRef(self);
    }
    return wrap_dict(Py_TYPE(self), std::move(merged));
}

PyObject* immutabledict_keys(PyObject* self, PyObject*)
{
    return PyDict_Keys(inner(self));
}

PyObject* immutabledict_contains(PyObject* self, PyObject* key)
{
    int found = PyDict_Contains(inner(self), key);
    if (found < 0) {
        return nullptr;
    }
    return PyBool_FromLong(found);
}

PyObject* immutabledict_items(PyObject* self, PyObject*)
{
    return PyDict_Items(inner(self));
}

PyObject* immutabledict_values(PyObject* self, PyObject*)
{
    return PyDict_Values(inner(self));
}

// Takes its arguments without a tuple. The messages are those of a bound
// positional-only method whose tuple is unpacked under the name "key".
PyObject* immutabledict_get(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames)
{
    if (kwnames != nullptr && PyTuple_GET_SIZE(kwnames) != 0) {
        PyErr_SetString(PyExc_TypeError, "get() takes no keyword arguments");
        return nullptr;
    }
    if (nargs < 1) {
        PyErr_Format(PyExc_TypeError, "key expected at least 1 argument, got %zd", nargs);
        return nullptr;
    }
    if (nargs > 2) {
        PyErr_Format(PyExc_TypeError, "key expected at most 2 arguments, got %zd", nargs);
        return nullptr;
    }
    PyObject* value = PyDict_GetItemWithError(inner(self), args[0]);
    if (value != nullptr) {
        return Py_NewRef(value);
    }
    if (PyErr_Occurred()) {
        return nullptr;
    }
    return Py_NewRef(nargs == 2 ? args[1] : Py_None);
}

// The reduction hands out a copy: whoever holds the result could otherwise
// change this instance through it.
PyObject* immutabledict_reduce(PyObject* self, PyObject*)
{
    Ref copy(PyDict_Copy(inner(self)));
    if (!copy) {
        return nullptr;
    }
    return Py_BuildValue("O(O)", Py_TYPE(self), copy.get());
}

// ---- tables ---------------------------------------------------------------

PyMethodDef immutabledict_methods[] = {
    {"union", orvane::as_method(immutabledict_union), METH_VARARGS | METH_KEYWORDS,
     "provide a union of this dictionary with the given dictionary-like arguments"},
    {"merge_with", orvane::as_method(immutabledict_merge_with), METH_VARARGS,
     "provide a union of this dictionary with those given"},
    {"keys", orvane::as_method(immutabledict_keys), METH_NOARGS, "return dictionary keys"},
    {"__contains__", orvane::as_method(immutabledict_contains), METH_O,
     "test a member for containment"},
    {"items", orvane::as_method(immutabledict_items), METH_NOARGS, "return dictionary items"},
    {"values", orvane::as_method(immutabledict_values), METH_NOARGS, "return dictionary values"},
    {"get", orvane::as_method(immutabledict_get), METH_FASTCALL | METH_KEYWORDS, "get a value"},
    {"__reduce__", orvane::as_method(immutabledict_reduce), METH_NOARGS, "Pickle support method."},
    {nullptr, nullptr, 0, nullptr},
};

PyMappingMethods immutabledict_as_mapping = {
    .mp_length = ImmutableDict_length,
    .mp_subscript = immutabledict_subscript,
    .mp_ass_subscript = nullptr,
};

// ---- type and module ------------------------------------------------------

PyTypeObject ImmutableDictType = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "orvane.frozkern.immutabledict",
    .tp_basicsize = sizeof(ImmutableDict),
    .tp_dealloc = immutabledict_dealloc,
    .tp_repr = immutabledict_repr,
    .tp_as_mapping = &immutabledict_as_mapping,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC,
    .tp_doc = "immutable dictionary",
    .tp_traverse = immutabledict_traverse,
    .tp_richcompare = immutabledict_richcompare,
    .tp_iter = immutabledict_iter,
    .tp_methods = immutabledict_methods,
    .tp_new = immutabledict_new,
    .tp_vectorcall = immutabledict_vectorcall,
};

PyModuleDef frozkern_module = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "frozkern",
    .m_doc = "immutable dictionary implementation",
    .m_size = -1,
};

}  // namespace

extern "C" Py_EXPORTED_SYMBOL Py_ssize_t ImmutableDict_length(PyObject* self)
{
    return PyDict_Size(inner(self));
}

PyMODINIT_FUNC PyInit_frozkern(void)
{
    if (PyType_Ready(&ImmutableDictType) < 0) {
        return nullptr;
    }
    Ref module(PyModule_Create2(&frozkern_module, 1013));
    if (!module ||
        PyModule_AddObjectRef(module.get(), "immutabledict",
                              reinterpret_cast<PyObject*>(&ImmutableDictType)) < 0) {
        return nullptr;
    }
    return module.release();
}
