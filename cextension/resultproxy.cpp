// orvane.rowkern: BaseRow, the stored result row with its key lookup,
// tuplegetter, which fetches several items of a row in one call, and the
// read methods of a result over the rows it holds (BaseResult, RowBuffer).

#include "compat.hpp"
#include "pyref.hpp"

#include <cstddef>
#include <cstdint>
#include <cstring>

using orvane::RecursionGuard;
using orvane::Ref;
using orvane::RefBuffer;

namespace {

struct BaseRow {
    PyObject_HEAD
    PyObject* parent;  // result metadata: receiver of the host calls
    PyObject* row;     // the values: a tuple unless replaced through _data
    PyObject* keymap;  // exact dict: key -> record whose first item is the index
    std::int64_t key_style;
};

struct TupleGetter {
    PyObject_HEAD
    Py_ssize_t item_count;
    PyObject* items;  // the creation arguments, the tuple itself; () once cleared
    vectorcallfunc vectorcall;
};

extern PyTypeObject BaseRowType;
extern PyTypeObject TupleGetterType;

// Key styles with a meaning of their own; every other value allows both
// integer and keymap access without host calls.
constexpr std::int64_t KEY_INTEGER_ONLY = 0;
constexpr std::int64_t KEY_OBJECTS_ONLY = 1;
constexpr std::int64_t KEY_OBJECTS_BUT_WARN = 2;

const char* const FIELDS_UNSET = "the row's parent, data and keymap are not set";

BaseRow* as_row(PyObject* self) noexcept
{
    return reinterpret_cast<BaseRow*>(self);
}

TupleGetter* as_getter(PyObject* self) noexcept
{
    return reinterpret_cast<TupleGetter*>(self);
}

// A row made by __new__ alone, or cleared by the cycle collector, has empty
// fields; everything but deallocation and traversal refuses it with one error.
bool fields_ready(BaseRow* self)
{
    if (self->parent != nullptr && self->row != nullptr && self->keymap != nullptr) {
        return true;
    }
    PyErr_SetString(PyExc_RuntimeError, FIELDS_UNSET);
    return false;
}

PyObject* field_or_raise(PyObject* field)
{
    if (field == nullptr) {
        PyErr_SetString(PyExc_RuntimeError, FIELDS_UNSET);
        return nullptr;
    }
    return Py_NewRef(field);
}

// A field held for use across code that may replace or clear it.
Ref hold_field(PyObject* field)
{
    return Ref(field_or_raise(field));
}

// Process-wide caches hold objects of the interpreter that created them. The
// main interpreter outlives every other, so only it fills and reads them; a
// sub-interpreter (which may load this module first) looks things up afresh.
bool in_main_interpreter()
{
    return PyInterpreterState_Get() == PyInterpreterState_Main();
}

// Host modules are imported on first use and, in the main interpreter, kept.
PyObject* row_module_cache = nullptr;
PyObject* result_module_cache = nullptr;

Ref host_module(PyObject*& cache, const char* name)
{
    bool cacheable = in_main_interpreter();
    if (cacheable && cache != nullptr) {
        return Ref::borrow(cache);
    }
    Ref module(PyImport_ImportModule(name));
    // Another thread may have filled the cache while the import ran.
    if (module && cacheable && cache == nullptr) {
        cache = Py_NewRef(module.get());
    }
    return module;
}

// A keymap miss: ordinary errors raised while hashing or comparing the key
// count as a miss too (PyDict_GetItem would do the same but, since 3.14,
// also reports every such error on stderr). An interrupt or SystemExit is
// not a miss: it leaves the error set, and the result empty.
Ref keymap_record(PyObject* keymap, PyObject* key)
{
    PyObject* record;
    if (orvane::compat::dict_get_item_ref(keymap, key, &record) < 0) {
        orvane::compat::clear_ordinary_error();
    }
    return Ref(record);
}

// Tuple access as PyTuple_GetItem does it (IndexError out of range,
// SystemError for anything but a tuple), without the call in the common case.
PyObject* item_as_new_reference(PyObject* sequence, Py_ssize_t index)
{
    if (PyTuple_CheckExact(sequence) && index >= 0 && index < PyTuple_GET_SIZE(sequence)) {
        return Py_NewRef(PyTuple_GET_ITEM(sequence, index));
    }
    return Py_XNewRef(PyTuple_GetItem(sequence, index));
}

// PyLong_AsLongLong, reading a small exact int in place.
bool as_int64(PyObject* number, long long& value)
{
#if PY_VERSION_HEX >= 0x030C0000
    if (PyLong_CheckExact(number) && PyUnstable_Long_IsCompact(reinterpret_cast<PyLongObject*>(number))) {
        value = PyUnstable_Long_CompactValue(reinterpret_cast<PyLongObject*>(number));
        return true;
    }
#endif
    value = PyLong_AsLongLong(number);
    return !(value == -1 && PyErr_Occurred());
}

// A method of the row's parent, called with the parent held: the lookup on
// it may run code that replaces the row's parent.
template <typename... Args>
PyObject* call_parent(BaseRow* self, const char* method, const char* format, Args... args)
{
    Ref parent = hold_field(self->parent);
    if (!parent) {
        return nullptr;
    }
    return PyObject_CallMethod(parent.get(), method, format, args...);
}

// ---- construction ---------------------------------------------------------

PyObject* take_raised_exception();

// What the call protocol makes of a function that returned a value and left
// an exception set: SystemError, caused by that exception.
void refuse_result_with_exception(PyObject* processor)
{
    Ref stray(take_raised_exception());
    PyErr_Format(PyExc_SystemError, "%R returned a result with an exception set", processor);
    if (!stray) {
        return;
    }
    Ref error(take_raised_exception());
    if (!error) {
        return;
    }
    PyException_SetCause(error.get(), Py_NewRef(stray.get()));
    PyException_SetContext(error.get(), stray.release());
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(error.release());
#else
    PyErr_Restore(Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(error.get()))), error.get(),
                  PyException_GetTraceback(error.get()));
    error.release();
#endif
}

// A built-in function of one argument is called as the interpreter calls
// it, without going through the general call protocol first. A faulty one
// that fails without setting an exception, or returns a value with one set,
// fails as it would through that protocol, with SystemError at its own row:
// a batch reports the exception that stopped it, and no later processor
// runs with an exception pending.
PyObject* call_processor(PyObject* processor, PyObject* value)
{
    if (!PyCFunction_CheckExact(processor) || PyCFunction_GET_FLAGS(processor) != METH_O) {
        return PyObject_CallOneArg(processor, value);
    }
    PyObject* result = PyCFunction_GET_FUNCTION(processor)(PyCFunction_GET_SELF(processor), value);
    if (result == nullptr) {
        if (!PyErr_Occurred()) {
            PyErr_Format(PyExc_SystemError, "%R returned NULL without setting an exception", processor);
        }
    } else if (PyErr_Occurred()) {
        Py_DECREF(result);
        refuse_result_with_exception(processor);
        return nullptr;
    }
    return result;
}

// Processors run arbitrary code and may shrink either list, so each step
// re-reads the sizes and holds its own references to the processor and to a
// value a list holds (a tuple's values stay while the tuple is held).
// The results are gathered first and become a tuple only when all are in.
bool apply_processors(PyObject* processors, PyObject* values, RefBuffer& processed)
{
    Py_ssize_t count = PySequence_Fast_GET_SIZE(values);
    if (!processed.reserve(count)) {
        return false;
    }
    const bool values_fixed = PyTuple_Check(values);
    for (Py_ssize_t i = 0; i < count; ++i) {
        if (i >= PySequence_Fast_GET_SIZE(processors) || i >= PySequence_Fast_GET_SIZE(values)) {
            PyErr_SetString(PyExc_RuntimeError, "row or processors changed size during construction");
            return false;
        }
        PyObject* processor = PySequence_Fast_GET_ITEM(processors, i);
        PyObject* value = PySequence_Fast_GET_ITEM(values, i);
        if (processor == Py_None) {
            processed.push(Py_NewRef(value));
            continue;
        }
        Ref held_processor = Ref::borrow(processor);
        Ref held_value = values_fixed ? Ref() : Ref::borrow(value);
        PyObject* result = call_processor(processor, value);
        if (result == nullptr) {
            return false;
        }
        processed.push(result);
    }
    return true;
}

// ---- value tuples the collector need not walk ------------------------------

// The decimal number type of the C implementation, found in the main
// interpreter when the first of its numbers is stored, and kept.
PyTypeObject* c_decimal_type = nullptr;

// Whether `type` is that decimal type. It is looked up in the loaded module,
// so nothing is imported. A class written in Python can take the name and be
// set in the module's place, but cannot be immutable.
bool is_c_decimal(PyTypeObject* type)
{
    if (type == c_decimal_type) {
        return true;
    }
    if (c_decimal_type != nullptr || !PyType_HasFeature(type, Py_TPFLAGS_IMMUTABLETYPE) ||
        std::strcmp(type->tp_name, "decimal.Decimal") != 0 || !in_main_interpreter()) {
        return false;
    }
    Ref module_name(PyUnicode_InternFromString("_decimal"));
    Ref module(module_name ? PyImport_GetModule(module_name.get()) : nullptr);
    PyObject* found = nullptr;
    if (module && PyModule_CheckExact(module.get())) {
        Ref attribute_name(PyUnicode_InternFromString("Decimal"));
        if (attribute_name) {
            orvane::compat::dict_get_item_ref(PyModule_GetDict(module.get()), attribute_name.get(), &found);
        }
    }
    PyErr_Clear();
    Ref decimal_class(found);
    if (decimal_class.get() != reinterpret_cast<PyObject*>(type)) {
        return false;
    }
    // The look-up may have run code (a module's __spec__) that stored one first.
    if (c_decimal_type == nullptr) {
        c_decimal_type = reinterpret_cast<PyTypeObject*>(decimal_class.release());
    }
    return true;
}

// A tuple of values none of which can lead back to it cannot take part in a
// cycle, and is left out of the collector's walks, as the interpreter itself
// does with tuples of untracked values (and does, on its first pass, with the
// values rows keep or copy unprocessed). Values count as such that the
// collector does not track, and C decimal numbers: immutable, they refer to
// nothing but their type, and a cycle through that type runs through the
// loaded decimal module, which is never garbage. The decimal numbers are
// left out of the walks as well: a typed row would otherwise add one tracked
// object per decimal column to every young collection.
void untrack_if_acyclic(PyObject* tuple)
{
    bool acyclic = true;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(tuple); ++i) {
        PyObject* value = PyTuple_GET_ITEM(tuple, i);
        // The type's flag alone, read in place: a type object that is not
        // collector-aware itself merely keeps the tuple tracked.
        if (!PyType_IS_GC(Py_TYPE(value))) {
            continue;
        }
        if (PyTuple_CheckExact(value)) {
            acyclic = acyclic && !PyObject_GC_IsTracked(value);
        } else if (is_c_decimal(Py_TYPE(value))) {
            if (PyObject_GC_IsTracked(value)) {
                PyObject_GC_UnTrack(value);
            }
        } else {
            acyclic = false;
        }
    }
    if (acyclic) {
        PyObject_GC_UnTrack(tuple);
    }
}

// The allocation may run the cycle collector and with it finalizers that
// resize a list of values, so the list is read only once the tuple exists.
PyObject* copy_values(PyObject* values)
{
    for (;;) {
        Py_ssize_t count = PySequence_Fast_GET_SIZE(values);
        PyObject* result = PyTuple_New(count);
        if (result == nullptr) {
            return nullptr;
        }
        if (count == PySequence_Fast_GET_SIZE(values)) {
            PyObject** items = PySequence_Fast_ITEMS(values);
            for (Py_ssize_t i = 0; i < count; ++i) {
                PyTuple_SET_ITEM(result, i, Py_NewRef(items[i]));
            }
            return result;
        }
        Py_DECREF(result);
    }
}

// The stored value tuple for `row` after `processors`; null with the error.
// Once processors have run, the reference `row` holds is released before the
// tuple is made: a fetched row that nothing else holds is freed then, and the
// tuple takes its place in memory, beside the values just made from it.
PyObject* processed_values(PyObject* processors, Ref& row)
{
    if (processors == Py_None && PyTuple_CheckExact(row.get())) {
        return copy_values(row.get());
    }
    Ref values(PySequence_Fast(row.get(), "row must be a sequence"));
    if (!values) {
        return nullptr;
    }
    if (processors == Py_None) {
        return copy_values(values.get());
    }
    if (!PyList_Check(processors) && !PyTuple_Check(processors)) {
        PyErr_Format(PyExc_TypeError, "processors must be None, a list or a tuple, not %.200s",
                     Py_TYPE(processors)->tp_name);
        return nullptr;
    }
    Py_ssize_t value_count = PySequence_Fast_GET_SIZE(values.get());
    Py_ssize_t processor_count = PySequence_Fast_GET_SIZE(processors);
    if (value_count != processor_count) {
        PyErr_Format(PyExc_RuntimeError,
                     "number of values in row (%zd) differ from number of column processors (%zd)",
                     value_count, processor_count);
        return nullptr;
    }
    RefBuffer processed;
    if (!apply_processors(processors, values.get(), processed)) {
        return nullptr;
    }
    values = Ref();
    row = Ref();
    PyObject* tuple = processed.to_tuple();
    if (tuple != nullptr) {
        untrack_if_acyclic(tuple);
    }
    return tuple;
}

// Initialisation from the five arguments in order: parent, processors,
// keymap, key style, row.
int init_row(BaseRow* self, PyObject* const* args)
{
    PyObject* keymap = args[2];
    Py_XSETREF(self->parent, Py_NewRef(args[0]));
    Ref row = Ref::borrow(args[4]);
    PyObject* stored = processed_values(args[1], row);
    if (stored == nullptr) {
        return -1;
    }
    Py_XSETREF(self->row, stored);

    if (!PyDict_CheckExact(keymap)) {
        PyErr_SetString(PyExc_TypeError, "keymap must be a dict");
        return -1;
    }
    Py_XSETREF(self->keymap, Py_NewRef(keymap));

    long long style;
    if (!as_int64(args[3], style)) {
        return -1;
    }
    self->key_style = style;
    return 0;
}

// The usual five arguments are read in place; any other count goes to the
// interpreter's unpacking for its error. Keywords are ignored.
void install_row_class_vectorcall(PyTypeObject* cls);

int baserow_init(PyObject* obj, PyObject* args, PyObject*)
{
    install_row_class_vectorcall(Py_TYPE(obj));
    if (PyTuple_GET_SIZE(args) == 5) {
        return init_row(as_row(obj), &PyTuple_GET_ITEM(args, 0));
    }
    PyObject* unpacked[5];
    if (!PyArg_UnpackTuple(args, "BaseRow", 5, 5, &unpacked[0], &unpacked[1], &unpacked[2], &unpacked[3],
                           &unpacked[4])) {
        return -1;
    }
    return init_row(as_row(obj), unpacked);
}

// Whether calling `cls` comes down to BaseRow's own creation and
// initialisation: neither the class nor its metaclass overrides a step.
bool keeps_baserow_construction(PyTypeObject* cls)
{
    return cls->tp_new == PyType_GenericNew && cls->tp_init == baserow_init &&
           Py_TYPE(cls)->tp_call == PyType_Type.tp_call;
}

// The call of the type itself with a tuple and a dict, for whatever the
// vector call below does not take on.
PyObject* call_type_generically(PyObject* cls, PyObject* const* args, size_t nargsf, PyObject* kwnames)
{
    Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    Ref positional(PyTuple_New(nargs));
    if (!positional) {
        return nullptr;
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) {
        PyTuple_SET_ITEM(positional.get(), i, Py_NewRef(args[i]));
    }
    Ref keywords;
    if (kwnames != nullptr && PyTuple_GET_SIZE(kwnames) != 0) {
        keywords = Ref(PyDict_New());
        if (!keywords) {
            return nullptr;
        }
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(kwnames); ++i) {
            if (PyDict_SetItem(keywords.get(), PyTuple_GET_ITEM(kwnames, i), args[nargs + i]) < 0) {
                return nullptr;
            }
        }
    }
    return Py_TYPE(cls)->tp_call(cls, positional.get(), keywords.get());
}

// Calling a row class: what the type's call would do (BaseRow's creation,
// then BaseRow's initialisation, keywords ignored) without packing the
// arguments into a tuple. A class that has since changed a step, or a call
// with another count, takes the type's ordinary call.
PyObject* row_class_vectorcall(PyObject* cls_object, PyObject* const* args, size_t nargsf, PyObject* kwnames)
{
    auto* cls = reinterpret_cast<PyTypeObject*>(cls_object);
    if (PyVectorcall_NARGS(nargsf) != 5 || !keeps_baserow_construction(cls)) {
        return call_type_generically(cls_object, args, nargsf, kwnames);
    }
    PyObject* obj = cls->tp_alloc(cls, 0);
    if (obj == nullptr) {
        return nullptr;
    }
    if (init_row(as_row(obj), args) < 0) {
        Py_DECREF(obj);
        return nullptr;
    }
    return obj;
}

// A row class is called through the vector call above from its first
// ordinary construction on (the field is not inherited), which leaves the
// classes' interface as it is.
void install_row_class_vectorcall(PyTypeObject* cls)
{
    if (cls->tp_vectorcall == nullptr && keeps_baserow_construction(cls)) {
        cls->tp_vectorcall = row_class_vectorcall;
    }
}

// ---- rows by the batch ----------------------------------------------------

// The host's ResultMetaData class, looked up by an interned name (fresh
// strings would fill a cache of the interpreter's on every look-up).
Ref host_metadata_class()
{
    Ref module = host_module(result_module_cache, "orvane.engine.result");
    Ref name(module ? PyUnicode_InternFromString("ResultMetaData") : nullptr);
    return Ref(name ? PyObject_GetAttr(module.get(), name.get()) : nullptr);
}

// One new row of `cls` from `row`, as BaseRow's own __new__ and __init__
// would make it, for a class that keeps both and with a keymap and key style
// already validated. The values are processed before the instance exists, so
// no code ever sees it half-filled. On success `row` is released.
PyObject* make_row(PyTypeObject* cls, PyObject* parent, PyObject* processors, PyObject* keymap, long long key_style,
                   Ref& row)
{
    // A fetched tuple cannot change, so without processors the row keeps it
    // instead of a copy: the batch serves results, whose fetched tuples are
    // not used again. The kept tuple is left out of the collector's walks by
    // the rule for processed ones; the interpreter's own pass would keep one
    // that holds a decimal number tracked for good.
    bool kept = processors == Py_None && PyTuple_CheckExact(row.get());
    Ref values(kept ? Py_NewRef(row.get()) : processed_values(processors, row));
    if (!values) {
        return nullptr;
    }
    if (kept && PyObject_GC_IsTracked(values.get())) {
        untrack_if_acyclic(values.get());
    }
    PyObject* obj = cls->tp_alloc(cls, 0);
    if (obj == nullptr) {
        return nullptr;
    }
    BaseRow* self = as_row(obj);
    self->parent = Py_NewRef(parent);
    self->row = values.release();
    self->keymap = Py_NewRef(keymap);
    self->key_style = key_style;
    row = Ref();
    return obj;
}

// What a batch passes to every row: the class and the first four arguments
// of its construction. A keymap or key style that initialisation would
// refuse, or a key style whose conversion runs code, leaves every row to the
// class itself, so that each failure comes at the point the call would
// report it.
struct BatchArguments {
    PyObject* cls;
    PyObject* const* args;  // parent, processors, keymap, key style
    bool direct;
    long long key_style;

    BatchArguments(PyObject* cls_object, PyObject* const* arguments) : cls(cls_object), args(arguments)
    {
        direct = keeps_baserow_construction(reinterpret_cast<PyTypeObject*>(cls)) && PyDict_CheckExact(args[2]) &&
                 PyLong_Check(args[3]);
        key_style = 0;
        if (direct) {
            key_style = PyLong_AsLongLong(args[3]);
            if (key_style == -1 && PyErr_Occurred()) {
                PyErr_Clear();
                direct = false;
            }
        }
    }

    // The row made from `fetched`, which is released on success. A processor
    // may have given the class a step of its own since the batch began.
    PyObject* make(Ref& fetched) const
    {
        if (direct && keeps_baserow_construction(reinterpret_cast<PyTypeObject*>(cls))) {
            return make_row(reinterpret_cast<PyTypeObject*>(cls), args[0], args[1], args[2], key_style, fetched);
        }
        PyObject* call_args[] = {args[0], args[1], args[2], args[3], fetched.get()};
        PyObject* made = PyObject_Vectorcall(cls, call_args, 5, nullptr);
        if (made != nullptr) {
            fetched = Ref();
        }
        return made;
    }
};

bool batch_arity(const char* name, Py_ssize_t nargs)
{
    if (nargs != 5) {
        PyErr_Format(PyExc_TypeError, "%s expected 5 arguments, got %zd", name, nargs);
        return false;
    }
    return true;
}

// cls._make_rows(parent, processors, keymap, key_style, rows): the list of
// cls(parent, processors, keymap, key_style, r) for every r in rows, with
// the same values, errors and references as those calls. Where one of them
// would fail its exception is raised and no row escapes.
PyObject* baserow_make_rows(PyObject* cls, PyObject* const* args, Py_ssize_t nargs)
{
    if (!batch_arity("_make_rows", nargs)) {
        return nullptr;
    }
    Ref rows(PySequence_Fast(args[4], "rows must be a sequence"));
    if (!rows) {
        return nullptr;
    }
    BatchArguments batch(cls, args);
    RefBuffer made;
    if (!made.reserve(PySequence_Fast_GET_SIZE(rows.get()))) {
        return nullptr;
    }
    // Processors may resize a list of rows; each step re-reads its size.
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(rows.get()); ++i) {
        Ref row = Ref::borrow(PySequence_Fast_GET_ITEM(rows.get(), i));
        PyObject* made_row = batch.make(row);
        if (made_row == nullptr || !made.append(made_row)) {
            return nullptr;
        }
    }
    return made.to_list();
}

// Puts `owned` at `index` of the list, or at its end if the list has since
// become shorter; false with the error (the reference is then released).
bool place_in_list(PyObject* list, Py_ssize_t index, PyObject* owned)
{
    if (index < PyList_GET_SIZE(list)) {
        return PyList_SetItem(list, index, owned) == 0;
    }
    Ref appended(owned);
    return PyList_Append(list, appended.get()) == 0;
}

// The exception being raised, taken out of the error indicator as an object
// that carries its traceback.
PyObject* take_raised_exception()
{
#if PY_VERSION_HEX >= 0x030C0000
    return PyErr_GetRaisedException();
#else
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    if (value != nullptr && traceback != nullptr) {
        PyException_SetTraceback(value, traceback);
    }
    Py_XDECREF(type);
    Py_XDECREF(traceback);
    return value;
#endif
}

// Fills `outcome`, a new (None, None) tuple that nothing else holds, with
// (rows made, the exception that stopped the batch or None) and hands it over.
PyObject* in_place_outcome(Ref& outcome, Py_ssize_t made, bool stopped)
{
    Ref error(stopped ? take_raised_exception() : Py_NewRef(Py_None));
    PyObject* count = PyLong_FromSsize_t(made);
    if (count == nullptr) {
        return nullptr;
    }
    PyObject** items = &PyTuple_GET_ITEM(outcome.get(), 0);
    Py_SETREF(items[0], count);
    Py_SETREF(items[1], error.release());
    // A collection during the batch leaves a tuple of two Nones out of its
    // walks; the exception's traceback leads back to the frame that will
    // hold this tuple, so that cycle must stay visible to the collector.
    if (stopped && !PyObject_GC_IsTracked(outcome.get())) {
        PyObject_GC_Track(outcome.get());
    }
    return outcome.release();
}

// The number of values a batch's fetched rows must have (the result's
// columns), from its optional sixth argument: -1 for None or no argument,
// -2 with the error set.
Py_ssize_t batch_width(PyObject* const* args, Py_ssize_t nargs)
{
    if (nargs < 6 || args[5] == Py_None) {
        return -1;
    }
    if (!PyLong_Check(args[5])) {
        PyErr_Format(PyExc_TypeError, "width must be None or an int, not %.200s", Py_TYPE(args[5])->tp_name);
        return -2;
    }
    Py_ssize_t width = PyLong_AsSsize_t(args[5]);
    if (width < 0) {
        if (!PyErr_Occurred()) {
            PyErr_SetString(PyExc_ValueError, "width must not be negative");
        }
        return -2;
    }
    return width;
}

// Whether `fetched` has `width` values (any number for -1): one comparison
// for a tuple or a list. False with ValueError, or with the error its length
// raised.
bool has_width(PyObject* fetched, Py_ssize_t width)
{
    if (width < 0) {
        return true;
    }
    Py_ssize_t length = PyTuple_CheckExact(fetched)  ? PyTuple_GET_SIZE(fetched)
                        : PyList_CheckExact(fetched) ? PyList_GET_SIZE(fetched)
                                                     : PyObject_Size(fetched);
    if (length == width) {
        return true;
    }
    if (length >= 0) {
        PyErr_Format(PyExc_ValueError, "a fetched row has %zd values where the result has %zd columns", length,
                     width);
    }
    return false;
}

// Replaces each item of `list`, a fetched row, by what `make` makes of it (a
// new reference, or nullptr with the error set), first to last, and returns
// (made, error) as _make_rows_in_place does.
template <typename Make>
PyObject* replace_each_in_place(PyObject* list, Make&& make)
{
    // Allocated first, so that a batch that ran does not fail for want of it.
    Ref outcome(PyTuple_Pack(2, Py_None, Py_None));
    if (!outcome) {
        return nullptr;
    }
    // Making may resize the list; each step re-reads its size.
    Py_ssize_t i = 0;
    for (; i < PyList_GET_SIZE(list); ++i) {
        Ref fetched(PyList_GET_ITEM(list, i));
        PyList_SET_ITEM(list, i, Py_NewRef(Py_None));
        // Kept until what it makes exists, so that a failure at any step, an
        // allocation after the values are converted included, leaves it in
        // its place; freed right after, before the next row's values are.
        Ref kept = Ref::borrow(fetched.get());
        PyObject* made = make(fetched);
        if (made == nullptr) {
            {
                orvane::compat::SavedException error;
                place_in_list(list, i, kept.release());
            }
            return in_place_outcome(outcome, i, true);
        }
        kept = Ref();
        if (!place_in_list(list, i, made)) {
            return in_place_outcome(outcome, i, true);
        }
    }
    return in_place_outcome(outcome, i, false);
}

// cls._make_rows_in_place(parent, processors, keymap, key_style, fetched[, width]):
// replaces each fetched row of the list by its row, as _make_rows makes it,
// and returns (made, error): how many rows were made, from the first on, and
// the exception (any, KeyboardInterrupt included) that stopped the batch, or
// None. The list then holds the rows made, then the fetched rows from the
// failing one on, so the caller knows each item for what it is even where
// fetched rows are rows of the same class. The list gives up each fetched row
// while its row is made, so a fetched row that nothing else holds is freed as
// soon as its row exists, and the rows take the memory of the fetched rows
// they replace. With a width, a fetched row with another number of values
// stops the batch (ValueError). Wrong arguments raise.
PyObject* baserow_make_rows_in_place(PyObject* cls, PyObject* const* args, Py_ssize_t nargs)
{
    if (nargs != 5 && nargs != 6) {
        PyErr_Format(PyExc_TypeError, "_make_rows_in_place expected 5 or 6 arguments, got %zd", nargs);
        return nullptr;
    }
    Py_ssize_t width = batch_width(args, nargs);
    if (width == -2) {
        return nullptr;
    }
    if (!PyList_Check(args[4])) {
        PyErr_Format(PyExc_TypeError, "fetched must be a list, not %.200s", Py_TYPE(args[4])->tp_name);
        return nullptr;
    }
    Ref list = Ref::borrow(args[4]);
    BatchArguments batch(cls, args);
    return replace_each_in_place(list.get(), [&](Ref& fetched) {
        return has_width(fetched.get(), width) ? batch.make(fetched) : nullptr;
    });
}

// ---- rows as instances of an application's class ---------------------------

// How an instance is made (see orvane.row_classes, which proves the direct
// ways equal to calling the class for the classes it gives them to).
constexpr long MADE_BY_KEYWORDS = 0;  // the class called with the columns as keywords
constexpr long MADE_INTO_SLOTS = 1;   // allocated by the type, values stored into slots
constexpr long MADE_AS_TUPLE = 2;     // tuple.__new__(class, the fields' values)

// What a batch of instances is made by: (how, class, layout, defaults), read
// once per batch. The shape tuple is held for the batch, and with it the
// objects it refers to.
struct ObjectShape {
    long how = -1;
    PyObject* cls = nullptr;
    PyObject* layout = nullptr;    // a tuple: keywords, slot descriptors or the fields' columns
    PyObject* defaults = nullptr;  // a tuple: (slot, value) pairs, or each field's default
    Py_ssize_t* offsets = nullptr; // into slots: each column's slot, then each default's
    ObjectShape() = default;
    ObjectShape(const ObjectShape&) = delete;
    ObjectShape& operator=(const ObjectShape&) = delete;
    ~ObjectShape() { PyMem_Free(offsets); }
};

// The offset of a slot that holds any object, where `descriptor` is such a
// slot of `cls` or of a base; -1 with TypeError otherwise.
Py_ssize_t slot_offset(PyTypeObject* cls, PyObject* descriptor)
{
    if (Py_IS_TYPE(descriptor, &PyMemberDescr_Type)) {
        auto* member = reinterpret_cast<PyMemberDescrObject*>(descriptor);
        PyTypeObject* owner = reinterpret_cast<PyDescrObject*>(descriptor)->d_type;
        if (member->d_member->type == Py_T_OBJECT_EX && (member->d_member->flags & Py_READONLY) == 0 &&
            PyType_IsSubtype(cls, owner)) {
            return member->d_member->offset;
        }
    }
    PyErr_Format(PyExc_TypeError, "%R is not a writable object slot of %R", descriptor, cls);
    return -1;
}

bool read_shape(PyObject* shape_object, ObjectShape& shape)
{
    if (!PyTuple_CheckExact(shape_object) || PyTuple_GET_SIZE(shape_object) != 4) {
        PyErr_SetString(PyExc_TypeError, "shape must be a tuple (how, class, layout, defaults)");
        return false;
    }
    PyObject* how = PyTuple_GET_ITEM(shape_object, 0);
    shape.cls = PyTuple_GET_ITEM(shape_object, 1);
    shape.layout = PyTuple_GET_ITEM(shape_object, 2);
    shape.defaults = PyTuple_GET_ITEM(shape_object, 3);
    shape.how = PyLong_Check(how) ? PyLong_AsLong(how) : -1;
    if (shape.how == -1 && PyErr_Occurred()) {
        return false;
    }
    if (shape.how < MADE_BY_KEYWORDS || shape.how > MADE_AS_TUPLE || !PyType_Check(shape.cls) ||
        !PyTuple_CheckExact(shape.layout) || !PyTuple_CheckExact(shape.defaults)) {
        PyErr_SetString(PyExc_TypeError, "shape must be a tuple (how, class, layout, defaults)");
        return false;
    }
    auto* cls = reinterpret_cast<PyTypeObject*>(shape.cls);
    Py_ssize_t columns = PyTuple_GET_SIZE(shape.layout);
    Py_ssize_t defaults = PyTuple_GET_SIZE(shape.defaults);
    if (shape.how == MADE_AS_TUPLE) {
        if (!PyType_IsSubtype(cls, &PyTuple_Type) || defaults != columns) {
            PyErr_SetString(PyExc_TypeError, "a tuple shape needs a tuple subclass and a default per field");
            return false;
        }
        for (Py_ssize_t i = 0; i < columns; ++i) {
            if (!PyLong_CheckExact(PyTuple_GET_ITEM(shape.layout, i))) {
                PyErr_SetString(PyExc_TypeError, "a tuple shape gives each field's column as an int");
                return false;
            }
        }
    }
    if (shape.how != MADE_INTO_SLOTS) {
        return true;
    }
    shape.offsets = static_cast<Py_ssize_t*>(PyMem_Malloc(static_cast<size_t>(columns + defaults + 1) * sizeof(Py_ssize_t)));
    if (shape.offsets == nullptr) {
        PyErr_NoMemory();
        return false;
    }
    for (Py_ssize_t i = 0; i < columns + defaults; ++i) {
        // Each column's slot, then each default's, which its pair names.
        PyObject* descriptor;
        if (i < columns) {
            descriptor = PyTuple_GET_ITEM(shape.layout, i);
        } else {
            PyObject* pair = PyTuple_GET_ITEM(shape.defaults, i - columns);
            if (!PyTuple_CheckExact(pair) || PyTuple_GET_SIZE(pair) != 2) {
                PyErr_SetString(PyExc_TypeError, "slot defaults are (slot, value) pairs");
                return false;
            }
            descriptor = PyTuple_GET_ITEM(pair, 0);
        }
        shape.offsets[i] = slot_offset(cls, descriptor);
        if (shape.offsets[i] < 0) {
            return false;
        }
    }
    return true;
}

// The values of `row` after their processors, column by column, into
// `values`, for a result of `columns` columns (-1: as many as the row has).
// None, and a value whose type is its column's ready type, pass without the
// processor; a value that is None in a column that does not take it stops
// them with ValueError, as a processor's refusal would.
bool checked_values(PyObject* processors, PyObject* ready, PyObject* not_none, PyObject* row, Py_ssize_t columns,
                    RefBuffer& values)
{
    // A fetched tuple is read as it is; the caller holds it.
    Ref sequence(PyTuple_CheckExact(row) ? Py_NewRef(row) : PySequence_Fast(row, "row must be a sequence"));
    if (!sequence) {
        return false;
    }
    Py_ssize_t count = PySequence_Fast_GET_SIZE(sequence.get());
    const bool processed = processors != Py_None;
    if ((columns >= 0 && count != columns) || (processed && PySequence_Fast_GET_SIZE(processors) != count)) {
        PyErr_Format(PyExc_ValueError, "a fetched row has %zd values where the result has %zd columns", count, columns);
        return false;
    }
    if (!values.reserve(count)) {
        return false;
    }
    const bool values_fixed = PyTuple_Check(sequence.get());
    const Py_ssize_t ready_types = ready != Py_None ? PyTuple_GET_SIZE(ready) : 0;
    const Py_ssize_t none_checks = not_none != Py_None ? PyTuple_GET_SIZE(not_none) : 0;
    // Only a processor runs code, which may shrink either list: the sizes are
    // read again after each call.
    bool called = false;
    for (Py_ssize_t i = 0; i < count; ++i) {
        if (called && (i >= PySequence_Fast_GET_SIZE(sequence.get()) ||
                       (processed && i >= PySequence_Fast_GET_SIZE(processors)))) {
            PyErr_SetString(PyExc_RuntimeError, "row or processors changed size during construction");
            return false;
        }
        PyObject* value = PySequence_Fast_GET_ITEM(sequence.get(), i);
        PyObject* processor = nullptr;
        PyObject* result;
        if (value == Py_None || !processed ||
            (i < ready_types && reinterpret_cast<PyObject*>(Py_TYPE(value)) == PyTuple_GET_ITEM(ready, i)) ||
            (processor = PySequence_Fast_GET_ITEM(processors, i)) == Py_None) {
            result = Py_NewRef(value);
        } else {
            Ref held_processor = Ref::borrow(processor);
            Ref held_value = values_fixed ? Ref() : Ref::borrow(value);
            called = true;
            result = call_processor(processor, value);
            if (result == nullptr) {
                return false;
            }
        }
        values.push(result);
        if (result == Py_None) {
            if (i < none_checks && PyTuple_GET_ITEM(not_none, i) == Py_True) {
                PyErr_Format(PyExc_ValueError, "column %zd does not take None", i);
                return false;
            }
        } else if (PyType_IS_GC(Py_TYPE(result)) && is_c_decimal(Py_TYPE(result)) && PyObject_GC_IsTracked(result)) {
            // As in a row's tuple, a C decimal number is left out of the
            // collector's walks (see `untrack_if_acyclic`).
            PyObject_GC_UnTrack(result);
        }
    }
    return true;
}

// One instance of the shape's class from the values, as the class's own
// construction makes it.
PyObject* make_object(const ObjectShape& shape, RefBuffer& values)
{
    Py_ssize_t count = values.size();
    if (shape.how == MADE_BY_KEYWORDS) {
        return PyObject_Vectorcall(shape.cls, values.items(), 0, shape.layout);
    }
    auto* cls = reinterpret_cast<PyTypeObject*>(shape.cls);
    if (shape.how == MADE_INTO_SLOTS) {
        // What object.__new__ does for a class with no abstract methods; the
        // slots are empty, and nothing runs before the instance is filled.
        PyObject* obj = cls->tp_alloc(cls, 0);
        if (obj == nullptr) {
            return nullptr;
        }
        char* base = reinterpret_cast<char*>(obj);
        PyObject* const* items = values.release_items();
        for (Py_ssize_t i = 0; i < count; ++i) {
            *reinterpret_cast<PyObject**>(base + shape.offsets[i]) = items[i];
        }
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(shape.defaults); ++i) {
            PyObject* value = PyTuple_GET_ITEM(PyTuple_GET_ITEM(shape.defaults, i), 1);
            Py_XSETREF(*reinterpret_cast<PyObject**>(base + shape.offsets[count + i]), Py_NewRef(value));
        }
        return obj;
    }
    RefBuffer fields;
    Py_ssize_t field_count = PyTuple_GET_SIZE(shape.layout);
    if (!fields.reserve(field_count)) {
        return nullptr;
    }
    for (Py_ssize_t i = 0; i < field_count; ++i) {
        Py_ssize_t column = PyLong_AsSsize_t(PyTuple_GET_ITEM(shape.layout, i));
        if (column >= count) {
            PyErr_SetString(PyExc_IndexError, "a field's column is out of range");
            return nullptr;
        }
        fields.push(Py_NewRef(column >= 0 ? values.items()[column] : PyTuple_GET_ITEM(shape.defaults, i)));
    }
    Ref tuple(fields.to_tuple());
    Ref arguments(tuple ? PyTuple_Pack(1, tuple.get()) : nullptr);
    return arguments ? PyTuple_Type.tp_new(cls, arguments.get(), nullptr) : nullptr;
}

// The number of values each fetched row must have: one per keyword or slot,
// and for a tuple one per field that a column fills.
Py_ssize_t shape_columns(const ObjectShape& shape)
{
    if (shape.how != MADE_AS_TUPLE) {
        return PyTuple_GET_SIZE(shape.layout);
    }
    Py_ssize_t columns = 0;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(shape.layout); ++i) {
        columns += PyLong_AsSsize_t(PyTuple_GET_ITEM(shape.layout, i)) >= 0;
    }
    return columns;
}

// _make_objects(shape, processors, ready, not_none, fetched): replaces each
// fetched row of the list by an instance made from it, first to last, and
// returns (made, error) as _make_rows_in_place does: how many were made, and
// the exception (any, an interrupt included) that stopped the batch, or
// None. The list then holds the instances made, then the fetched rows from
// the failing one on. A row of another number of values stops the batch.
// Wrong arguments raise.
PyObject* rowkern_make_objects(PyObject*, PyObject* const* args, Py_ssize_t nargs)
{
    if (nargs != 5) {
        PyErr_Format(PyExc_TypeError, "_make_objects expected 5 arguments, got %zd", nargs);
        return nullptr;
    }
    PyObject* processors = args[1];
    PyObject* ready = args[2];
    PyObject* not_none = args[3];
    if (!PyList_Check(args[4])) {
        PyErr_SetString(PyExc_TypeError, "fetched must be a list");
        return nullptr;
    }
    if ((processors != Py_None && !PyList_Check(processors) && !PyTuple_Check(processors)) ||
        (ready != Py_None && !PyTuple_Check(ready)) || (not_none != Py_None && !PyTuple_Check(not_none))) {
        PyErr_SetString(PyExc_TypeError,
                        "processors must be None, a list or a tuple, and ready and not_none None or a tuple");
        return nullptr;
    }
    Ref shape_held = Ref::borrow(args[0]);
    Ref processors_held = Ref::borrow(processors);
    Ref ready_held = Ref::borrow(ready);
    Ref not_none_held = Ref::borrow(not_none);
    Ref list = Ref::borrow(args[4]);
    ObjectShape shape;
    if (!read_shape(shape_held.get(), shape)) {
        return nullptr;
    }
    Py_ssize_t columns = shape_columns(shape);
    return replace_each_in_place(list.get(), [&](Ref& fetched) -> PyObject* {
        RefBuffer values;
        if (!checked_values(processors, ready, not_none, fetched.get(), columns, values)) {
            return nullptr;
        }
        return make_object(shape, values);
    });
}

// ---- slots of BaseRow -----------------------------------------------------

int baserow_clear(PyObject* obj)
{
    BaseRow* self = as_row(obj);
    Py_CLEAR(self->parent);
    Py_CLEAR(self->row);
    Py_CLEAR(self->keymap);
    return 0;
}

// Rows nested through their values free one another recursively; the
// trashcan bounds the depth.
void baserow_dealloc(PyObject* obj)
{
    PyObject_GC_UnTrack(obj);
    Py_TRASHCAN_BEGIN(obj, baserow_dealloc)
    baserow_clear(obj);
    PyObject_GC_Del(obj);
    Py_TRASHCAN_END
}

int baserow_traverse(PyObject* obj, visitproc visit, void* arg)
{
    BaseRow* self = as_row(obj);
    Py_VISIT(self->parent);
    Py_VISIT(self->row);
    Py_VISIT(self->keymap);
    return 0;
}

Py_ssize_t baserow_length(PyObject* obj)
{
    BaseRow* self = as_row(obj);
    if (!fields_ready(self)) {
        return -1;
    }
    if (PyTuple_CheckExact(self->row)) {
        return PyTuple_GET_SIZE(self->row);
    }
    Ref row = Ref::borrow(self->row);
    RecursionGuard guard(" in the length of a row");
    if (!guard) {
        return -1;
    }
    return PySequence_Size(row.get());
}

PyObject* baserow_item(PyObject* obj, Py_ssize_t index)
{
    BaseRow* self = as_row(obj);
    if (!fields_ready(self)) {
        return nullptr;
    }
    return item_as_new_reference(self->row, index);
}

Py_hash_t baserow_hash(PyObject* obj)
{
    BaseRow* self = as_row(obj);
    if (!fields_ready(self)) {
        return -1;
    }
    Ref row = Ref::borrow(self->row);
    RecursionGuard guard(" in the hash of a row");
    if (!guard) {
        return -1;
    }
    return PyObject_Hash(row.get());
}

PyObject* baserow_iter(PyObject* obj)
{
    BaseRow* self = as_row(obj);
    if (!fields_ready(self)) {
        return nullptr;
    }
    Ref row = Ref::borrow(self->row);
    RecursionGuard guard(" while iterating a row");
    if (!guard) {
        return nullptr;
    }
    Ref values(PySequence_Tuple(row.get()));
    if (!values) {
        return nullptr;
    }
    return PyObject_GetIter(values.get());
}

// ---- key lookup -----------------------------------------------------------

PyObject* raise_unless_raised(PyObject* result, const char* method)
{
    if (result != nullptr) {
        Py_DECREF(result);
        PyErr_Format(PyExc_RuntimeError, "%s() returned instead of raising", method);
    }
    return nullptr;
}

// The key is an exact int, so its conversion runs no Python code; the
// length of anything but a tuple may, and may recurse into a nested row.
PyObject* lookup_position(BaseRow* self, PyObject* key)
{
    long long index;
    if (!as_int64(key, index)) {
        return nullptr;
    }
    if (PyTuple_CheckExact(self->row)) {
        if (index < 0) {
            index += PyTuple_GET_SIZE(self->row);
        }
        return item_as_new_reference(self->row, static_cast<Py_ssize_t>(index));
    }
    Ref row = Ref::borrow(self->row);
    if (index < 0) {
        RecursionGuard guard(" in the length of a row");
        if (!guard) {
            return nullptr;
        }
        Py_ssize_t length = PySequence_Size(row.get());
        if (length < 0) {
            return nullptr;
        }
        index += length;
    }
    return item_as_new_reference(row.get(), static_cast<Py_ssize_t>(index));
}

PyObject* lookup_slice(BaseRow* self, PyObject* key)
{
    Ref row = Ref::borrow(self->row);
    RecursionGuard guard(" while slicing a row");
    if (!guard) {
        return nullptr;
    }
    Ref sliced(PyObject_GetItem(row.get(), key));
    if (!sliced) {
        return nullptr;
    }
    return PySequence_Tuple(sliced.get());
}

// Code run by the lookup (a key's __hash__ or __eq__, the host calls) may
// replace or clear the row's fields, so the keymap is held while it is
// searched, the record until the end, the parent for each host call, and
// `row` is read only after the last call returned.
PyObject* lookup_in_keymap(BaseRow* self, PyObject* key, bool warn)
{
    Ref record;
    {
        Ref keymap = Ref::borrow(self->keymap);
        record = keymap_record(keymap.get(), key);
    }
    if (!record && PyErr_Occurred()) {
        return nullptr;
    }
    if (!record) {
        if (Py_IS_TYPE(key, &PySlice_Type)) {
            PyErr_SetString(PyExc_KeyError, "can't use slices for mapping access");
            return nullptr;
        }
        record = Ref(call_parent(self, "_key_fallback", "OO", key, Py_None));
        if (!record) {
            return nullptr;
        }
    }
    // The held record keeps its first item alive.
    PyObject* first = PyTuple_CheckExact(record.get()) && PyTuple_GET_SIZE(record.get()) > 0
                          ? PyTuple_GET_ITEM(record.get(), 0)
                          : PyTuple_GetItem(record.get(), 0);
    if (first == nullptr) {
        return nullptr;
    }
    if (first == Py_None) {
        return raise_unless_raised(call_parent(self, "_raise_for_ambiguous_column_name", "(O)", record.get()),
                                   "_raise_for_ambiguous_column_name");
    }
    long long index;
    if (!as_int64(first, index)) {
        return nullptr;
    }
    if (warn) {
        // Format "O" spreads a tuple key into one argument per element.
        Ref warned(call_parent(self, "_warn_for_nonint", "O", key));
        if (!warned) {
            return nullptr;
        }
    }
    if (self->row == nullptr) {
        PyErr_SetString(PyExc_RuntimeError, FIELDS_UNSET);
        return nullptr;
    }
    return item_as_new_reference(self->row, static_cast<Py_ssize_t>(index));
}

PyObject* lookup_key(BaseRow* self, PyObject* key, bool as_mapping)
{
    if (!fields_ready(self)) {
        return nullptr;
    }
    if (Py_IS_TYPE(key, &PyLong_Type)) {
        if (self->key_style == KEY_OBJECTS_ONLY) {
            PyErr_Format(PyExc_KeyError, "%R", key);
            return nullptr;
        }
        return lookup_position(self, key);
    }
    if (Py_IS_TYPE(key, &PySlice_Type) && self->key_style != KEY_OBJECTS_ONLY) {
        return lookup_slice(self, key);
    }
    if (self->key_style == KEY_INTEGER_ONLY && !as_mapping) {
        return raise_unless_raised(call_parent(self, "_raise_for_nonint", "(O)", key), "_raise_for_nonint");
    }
    return lookup_in_keymap(self, key, !as_mapping && self->key_style == KEY_OBJECTS_BUT_WARN);
}

bool mapping_flag(BaseRow* self)
{
    return self->key_style != KEY_INTEGER_ONLY && self->key_style != KEY_OBJECTS_BUT_WARN;
}

PyObject* baserow_subscript(PyObject* obj, PyObject* key)
{
    BaseRow* self = as_row(obj);
    return lookup_key(self, key, mapping_flag(self));
}

bool has_instance_dict(PyTypeObject* type)
{
    return type->tp_dictoffset != 0 || PyType_HasFeature(type, Py_TPFLAGS_MANAGED_DICT);
}

// Whether the generic lookup could find `name`: a name no class in the MRO
// defines, on an instance without a dict, is certainly a column name.
bool may_be_attribute(PyObject* obj, PyObject* name)
{
    PyTypeObject* type = Py_TYPE(obj);
    return !PyUnicode_CheckExact(name) || has_instance_dict(type) ||
           orvane::compat::type_lookup(type, name) != nullptr;
}

// The generic lookup first; asked to suppress AttributeError, it makes a miss
// cost no exception object.
PyObject* baserow_getattro(PyObject* obj, PyObject* name)
{
    if (may_be_attribute(obj, name)) {
        PyObject* attribute = orvane::compat::generic_getattr_or_null(obj, name);
        if (attribute != nullptr || PyErr_Occurred()) {
            return attribute;
        }
    }
    // A name is never an integer or slice key, and attribute access sets the
    // as-mapping flag, so the key lookup comes down to the keymap path.
    BaseRow* self = as_row(obj);
    PyObject* value = fields_ready(self) ? lookup_in_keymap(self, name, false) : nullptr;
    if (value != nullptr || !PyErr_ExceptionMatches(PyExc_KeyError)) {
        return value;
    }
    PyErr_Clear();
    Ref ascii(PyUnicode_AsASCIIString(name));
    if (!ascii) {
        return nullptr;
    }
    PyErr_Format(PyExc_AttributeError, "Could not locate column in row for column '%.200s'",
                 PyBytes_AS_STRING(ascii.get()));
    return nullptr;
}

// Setting or deleting goes the generic way for what a class or an instance
// dict defines (the field setters among them); any other name, a column's
// first, is refused as a row is read-only. Reads are not touched.
int baserow_setattro(PyObject* obj, PyObject* name, PyObject* value)
{
    if (may_be_attribute(obj, name)) {
        return PyObject_GenericSetAttr(obj, name, value);
    }
    Ref type_name(PyType_GetName(Py_TYPE(obj)));
    if (!type_name) {
        return -1;
    }
    PyErr_Format(PyExc_AttributeError, "%U is read-only: cannot %s attribute %R", type_name.get(),
                 value == nullptr ? "delete" : "set", name);
    return -1;
}

// ---- methods of BaseRow ---------------------------------------------------

PyObject* baserow_values_impl(PyObject* obj, PyObject*)
{
    BaseRow* self = as_row(obj);
    if (!fields_ready(self)) {
        return nullptr;
    }
    Ref row = Ref::borrow(self->row);
    RecursionGuard guard(" while listing the values of a row");
    if (!guard) {
        return nullptr;
    }
    return PySequence_List(row.get());
}

PyObject* baserow_reduce(PyObject* obj, PyObject*)
{
    if (!fields_ready(as_row(obj))) {
        return nullptr;
    }
    Ref state(PyObject_CallMethod(obj, "__getstate__", nullptr));
    if (!state) {
        return nullptr;
    }
    Ref module = host_module(row_module_cache, "orvane.engine.row");
    if (!module) {
        return nullptr;
    }
    Ref reconstructor(PyObject_GetAttrString(module.get(), "rowproxy_reconstructor"));
    if (!reconstructor) {
        return nullptr;
    }
    Ref cls(PyObject_GetAttrString(obj, "__class__"));
    if (!cls) {
        return nullptr;
    }
    return Py_BuildValue("(O(OO))", reconstructor.get(), cls.get(), state.get());
}

PyObject* baserow_get_by_key_impl(PyObject* obj, PyObject* key)
{
    return lookup_key(as_row(obj), key, false);
}

PyObject* baserow_filter_on_values(PyObject* obj, PyObject* filters)
{
    BaseRow* self = as_row(obj);
    if (!fields_ready(self)) {
        return nullptr;
    }
    Ref module = host_module(row_module_cache, "orvane.engine.row");
    if (!module) {
        return nullptr;
    }
    Ref row_class(PyObject_GetAttrString(module.get(), "Row"));
    if (!row_class) {
        return nullptr;
    }
    Ref key_style(PyLong_FromLongLong(self->key_style));
    if (!key_style) {
        return nullptr;
    }
    // The import and the attribute fetch may have replaced or cleared the
    // fields, and the new row's processors may do so mid-call.
    if (!fields_ready(self)) {
        return nullptr;
    }
    Ref parent = Ref::borrow(self->parent);
    Ref keymap = Ref::borrow(self->keymap);
    Ref values = Ref::borrow(self->row);
    return PyObject_CallFunctionObjArgs(row_class.get(), parent.get(), filters, keymap.get(),
                                        key_style.get(), values.get(), nullptr);
}

// ---- attribute descriptors of BaseRow -------------------------------------

bool refuse_deletion(PyObject* value, const char* field)
{
    if (value != nullptr) {
        return false;
    }
    PyErr_Format(PyExc_TypeError, "Cannot delete the '%s' attribute", field);
    return true;
}

PyObject* baserow_get_parent(PyObject* obj, void*)
{
    return field_or_raise(as_row(obj)->parent);
}

int baserow_set_parent(PyObject* obj, PyObject* value, void*)
{
    if (refuse_deletion(value, "parent")) {
        return -1;
    }
    Ref metadata_class = host_metadata_class();
    if (!metadata_class) {
        return -1;
    }
    int accepted = PyObject_IsInstance(value, metadata_class.get());
    if (accepted < 0 && !orvane::compat::clear_ordinary_error()) {
        return -1;
    }
    if (accepted != 1) {
        PyErr_SetString(PyExc_TypeError, "The 'parent' attribute value must be an instance of ResultMetaData");
        return -1;
    }
    Py_XSETREF(as_row(obj)->parent, Py_NewRef(value));
    return 0;
}

PyObject* baserow_get_data(PyObject* obj, void*)
{
    return field_or_raise(as_row(obj)->row);
}

int baserow_set_data(PyObject* obj, PyObject* value, void*)
{
    if (refuse_deletion(value, "row")) {
        return -1;
    }
    if (!PySequence_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "The 'row' attribute value must be a sequence");
        return -1;
    }
    Py_XSETREF(as_row(obj)->row, Py_NewRef(value));
    return 0;
}

PyObject* baserow_get_keymap(PyObject* obj, void*)
{
    return field_or_raise(as_row(obj)->keymap);
}

int baserow_set_keymap(PyObject* obj, PyObject* value, void*)
{
    if (refuse_deletion(value, "keymap")) {
        return -1;
    }
    if (!PyDict_CheckExact(value)) {
        PyErr_SetString(PyExc_TypeError, "The 'keymap' attribute value must be a dict");
        return -1;
    }
    Py_XSETREF(as_row(obj)->keymap, Py_NewRef(value));
    return 0;
}

PyObject* baserow_get_key_style(PyObject* obj, void*)
{
    return PyLong_FromLongLong(as_row(obj)->key_style);
}

int baserow_set_key_style(PyObject* obj, PyObject* value, void*)
{
    if (refuse_deletion(value, "key_style")) {
        return -1;
    }
    if (!PyLong_CheckExact(value)) {
        PyErr_SetString(PyExc_TypeError, "The 'key_style' attribute value must be an integer");
        return -1;
    }
    long long style = PyLong_AsLongLong(value);
    if (style == -1 && PyErr_Occurred()) {
        return -1;
    }
    as_row(obj)->key_style = style;
    return 0;
}

// ---- tables and type of BaseRow -------------------------------------------

PyMethodDef baserow_methods[] = {
    {"_values_impl", orvane::as_method(baserow_values_impl), METH_NOARGS,
     "Return the values represented by this BaseRow as a list."},
    {"__reduce__", orvane::as_method(baserow_reduce), METH_NOARGS, "Pickle support method."},
    {"_get_by_key_impl", orvane::as_method(baserow_get_by_key_impl), METH_O,
     "implement mapping-like getitem as well as sequence getitem"},
    {"_get_by_key_impl_mapping", orvane::as_method(baserow_subscript), METH_O,
     "implement mapping-like getitem as well as sequence getitem"},
    {"_filter_on_values", orvane::as_method(baserow_filter_on_values), METH_O,
     "return a new Row with per-value filters applied to columns"},
    {"_make_rows", orvane::as_method(baserow_make_rows), METH_FASTCALL | METH_CLASS,
     "Return a list of rows of this class, one per sequence of fetched values."},
    {"_make_rows_in_place", orvane::as_method(baserow_make_rows_in_place), METH_FASTCALL | METH_CLASS,
     "Replace each sequence of fetched values in the list by a row of this class."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef baserow_getset[] = {
    {"_parent", baserow_get_parent, baserow_set_parent, "ResultMetaData", nullptr},
    {"_data", baserow_get_data, baserow_set_data, "processed data list", nullptr},
    {"_keymap", baserow_get_keymap, baserow_set_keymap, "Key to (obj, index) dict", nullptr},
    {"_key_style", baserow_get_key_style, baserow_set_key_style, "Return the key style", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PySequenceMethods baserow_as_sequence = {
    .sq_length = baserow_length,
    .sq_item = baserow_item,
};

PyMappingMethods baserow_as_mapping = {
    .mp_length = baserow_length,
    .mp_subscript = baserow_subscript,
};

PyTypeObject BaseRowType = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "orvane.rowkern.BaseRow",
    .tp_basicsize = sizeof(BaseRow),
    .tp_dealloc = baserow_dealloc,
    .tp_as_sequence = &baserow_as_sequence,
    .tp_as_mapping = &baserow_as_mapping,
    .tp_hash = baserow_hash,
    .tp_getattro = baserow_getattro,
    .tp_setattro = baserow_setattro,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC,
    .tp_doc = "BaseRow is a abstract base class for Row",
    .tp_traverse = baserow_traverse,
    .tp_clear = baserow_clear,
    .tp_iter = baserow_iter,
    .tp_methods = baserow_methods,
    .tp_getset = baserow_getset,
    .tp_init = baserow_init,
};

// ---- tuplegetter ----------------------------------------------------------

// The name of the method a getter asks rows for, and BaseRow's own method of
// that name; kept in the main interpreter only.
PyObject* getter_method_name = nullptr;
PyObject* baserow_getter_method = nullptr;

constexpr const char* GETTER_METHOD = "_get_by_key_impl_mapping";

Ref getter_method_name_ref()
{
    if (!in_main_interpreter()) {
        return Ref(PyUnicode_FromString(GETTER_METHOD));
    }
    if (getter_method_name == nullptr) {
        PyObject* name = PyUnicode_InternFromString(GETTER_METHOD);
        if (name == nullptr) {
            return Ref();
        }
        baserow_getter_method = orvane::compat::type_lookup(&BaseRowType, name);
        getter_method_name = name;
    }
    return Ref::borrow(getter_method_name);
}

// A row whose class keeps BaseRow's method and attribute lookup, and has no
// instance dict that could shadow the method, can be read by the key lookup
// directly: that is what calling the method would do. Code run by a lookup
// may change the row's class, so this is asked for every item.
bool reads_row_directly(PyObject* operand, PyObject* name)
{
    PyTypeObject* type = Py_TYPE(operand);
    if (type == &BaseRowType) {
        return true;
    }
    if (!PyType_IsSubtype(type, &BaseRowType) || type->tp_getattro != baserow_getattro || has_instance_dict(type)) {
        return false;
    }
    PyObject* own_method = name == getter_method_name ? baserow_getter_method
                                                      : orvane::compat::type_lookup(&BaseRowType, name);
    return orvane::compat::type_lookup(type, name) == own_method;
}

// The tuple of `fetch(item)` for every item, first to last; the first
// failure ends the fetching. The values are gathered before the tuple is
// made, since fetching runs code that must not see a half-filled tuple.
template <typename Fetch>
PyObject* fetch_items(PyObject* items, Fetch fetch)
{
    Py_ssize_t count = PyTuple_GET_SIZE(items);
    RefBuffer values;
    if (!values.reserve(count)) {
        return nullptr;
    }
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject* value = fetch(PyTuple_GET_ITEM(items, i));
        if (value == nullptr) {
            return nullptr;
        }
        values.push(value);
    }
    return values.to_tuple();
}

PyObject* tuplegetter_vectorcall(PyObject* obj, PyObject* const* args, size_t nargsf, PyObject* kwnames);

PyObject* tuplegetter_new(PyTypeObject*, PyObject* args, PyObject* kwargs)
{
    if (kwargs != nullptr) {
        if (!PyDict_CheckExact(kwargs)) {
            PyErr_BadInternalCall();
            return nullptr;
        }
        if (PyDict_GET_SIZE(kwargs) != 0) {
            PyErr_Format(PyExc_TypeError, "%.200s() takes no keyword arguments", "tuplegetter");
            return nullptr;
        }
    }
    TupleGetter* self = PyObject_GC_New(TupleGetter, &TupleGetterType);
    if (self == nullptr) {
        return nullptr;
    }
    self->items = Py_NewRef(args);
    self->item_count = PyTuple_GET_SIZE(args);
    self->vectorcall = tuplegetter_vectorcall;
    PyObject_GC_Track(self);
    return reinterpret_cast<PyObject*>(self);
}

// A cleared getter holds no items, so every later use stays safe.
int tuplegetter_clear(PyObject* obj)
{
    TupleGetter* self = as_getter(obj);
    PyObject* empty = PyTuple_New(0);
    if (empty == nullptr) {
        PyErr_Clear();
        return 0;
    }
    self->item_count = 0;
    Py_SETREF(self->items, empty);
    return 0;
}

void tuplegetter_dealloc(PyObject* obj)
{
    PyObject_GC_UnTrack(obj);
    Py_TRASHCAN_BEGIN(obj, tuplegetter_dealloc)
    Py_CLEAR(as_getter(obj)->items);
    PyObject_GC_Del(obj);
    Py_TRASHCAN_END
}

int tuplegetter_traverse(PyObject* obj, visitproc visit, void* arg)
{
    Py_VISIT(as_getter(obj)->items);
    return 0;
}

// The operand is the first positional argument; further arguments and
// keywords are ignored. The caller holds the operand for the call; the
// items are held here, since a fetch may drop the last other reference.
PyObject* tuplegetter_vectorcall(PyObject* obj, PyObject* const* args, size_t nargsf, PyObject*)
{
    if (PyVectorcall_NARGS(nargsf) < 1) {
        PyErr_SetString(PyExc_TypeError, "tuplegetter() needs an operand to fetch the items from");
        return nullptr;
    }
    PyObject* operand = args[0];
    Ref items = Ref::borrow(as_getter(obj)->items);
    Ref name = getter_method_name_ref();
    if (!name) {
        return nullptr;
    }
    if (reads_row_directly(operand, name.get())) {
        // The full test is repeated only once the class, or anything its
        // lookups depend on, has changed since it was made.
        PyTypeObject* checked_type = Py_TYPE(operand);
        unsigned int checked_version = orvane::compat::type_version(checked_type);
        return fetch_items(items.get(), [operand, &name, checked_type, checked_version](PyObject* item) {
            bool unchanged = Py_TYPE(operand) == checked_type && checked_version != 0 &&
                             orvane::compat::type_version(checked_type) == checked_version;
            if (unchanged || reads_row_directly(operand, name.get())) {
                return baserow_subscript(operand, item);
            }
            return PyObject_CallMethodOneArg(operand, name.get(), item);
        });
    }
    int by_method = orvane::compat::has_attribute_quietly(operand, name.get());
    if (by_method < 0) {
        return nullptr;
    }
    if (by_method) {
        return fetch_items(items.get(), [operand, &name](PyObject* item) {
            return PyObject_CallMethodOneArg(operand, name.get(), item);
        });
    }
    return fetch_items(items.get(), [operand](PyObject* item) { return PyObject_GetItem(operand, item); });
}

PyObject* tuplegetter_repr(PyObject* obj)
{
    const char* name = Py_TYPE(obj)->tp_name;
    int entered = Py_ReprEnter(obj);
    if (entered != 0) {
        return entered > 0 ? PyUnicode_FromFormat("%s(...)", name) : nullptr;
    }
    Ref items = Ref::borrow(as_getter(obj)->items);
    PyObject* text = PyTuple_GET_SIZE(items.get()) == 1
                         ? PyUnicode_FromFormat("%s(%R)", name, PyTuple_GET_ITEM(items.get(), 0))
                         : PyUnicode_FromFormat("%s%R", name, items.get());
    Py_ReprLeave(obj);
    return text;
}

PyObject* tuplegetter_reduce(PyObject* obj, PyObject*)
{
    return PyTuple_Pack(2, reinterpret_cast<PyObject*>(Py_TYPE(obj)), as_getter(obj)->items);
}

PyMethodDef tuplegetter_methods[] = {
    {"__reduce__", orvane::as_method(tuplegetter_reduce), METH_NOARGS, "Return state information for pickling"},
    {nullptr, nullptr, 0, nullptr},
};

PyTypeObject TupleGetterType = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "orvane.engine.util.tuplegetter",
    .tp_basicsize = sizeof(TupleGetter),
    .tp_dealloc = tuplegetter_dealloc,
    .tp_vectorcall_offset = offsetof(TupleGetter, vectorcall),
    .tp_repr = tuplegetter_repr,
    .tp_call = PyVectorcall_Call,
    .tp_getattro = PyObject_GenericGetAttr,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL,
    .tp_doc = "tuplegetter(item, ...) --> tuplegetter object\n\n"
              "Return a callable object that fetches the given item(s) from its operand\n"
              "and returns them as a tuple.\n",
    .tp_traverse = tuplegetter_traverse,
    .tp_clear = tuplegetter_clear,
    .tp_methods = tuplegetter_methods,
    .tp_new = tuplegetter_new,
};

// ---- results: the rows a result holds, and its read methods ---------------
//
// A RowBuffer holds the rows of one result taken from its cursor and not yet
// delivered: the built rows ready to be taken, then the fetched rows waiting
// to be built. Every change to it is one call here that either happens whole
// or not at all: what it allocates is allocated before anything moves, and
// nothing it does runs Python code between taking rows and handing them over.
//
// BaseResult is the base of the synchronous result: its public read methods
// are these functions, so that no Python frame of the result stands between
// rows leaving the buffer and the caller (a signal handler runs in the frame
// that is executing, right after a call returns). They call back into the
// result's Python core only to fetch and build more rows, before anything is
// taken.

struct RowBuffer {
    PyObject_HEAD
    PyObject* ready;       // a list of built rows; those from `next` on wait
    Py_ssize_t next;
    PyObject* unbuilt;     // a list of fetched rows, or null; rows an earlier
                           // build made but could not settle may lead it
    PyObject* stopped;     // what stopped a build after the ready rows, held
    Py_ssize_t position;   // the position in the result of the first unbuilt row
};

RowBuffer* as_buffer(PyObject* obj)
{
    return reinterpret_cast<RowBuffer*>(obj);
}

// The ready list is the list the rows were built in, which code that ran
// during the build may still hold and resize: every read re-checks its size.
Py_ssize_t ready_count(const RowBuffer* self)
{
    if (self->ready == nullptr) {
        return 0;
    }
    Py_ssize_t size = PyList_GET_SIZE(self->ready);
    return size > self->next ? size - self->next : 0;
}

void drop_ready_if_taken(RowBuffer* self)
{
    if (self->ready != nullptr && self->next >= PyList_GET_SIZE(self->ready)) {
        self->next = 0;
        Py_CLEAR(self->ready);
    }
}

// The first ready row, now delivered; null with no error set where none is.
// The list lets go of it, so that rows are freed as the caller drops them.
PyObject* take_one(RowBuffer* self)
{
    if (ready_count(self) == 0) {
        return nullptr;
    }
    PyObject* row = PyList_GET_ITEM(self->ready, self->next);
    PyList_SET_ITEM(self->ready, self->next, Py_NewRef(Py_None));
    ++self->next;
    drop_ready_if_taken(self);
    return row;
}

// Up to `size` ready rows (all for a negative size) as a new list, now
// delivered; null with the error and nothing taken. Where every row is
// taken, the list itself is handed over.
PyObject* take_rows(RowBuffer* self, Py_ssize_t size)
{
    for (;;) {
        Py_ssize_t count = ready_count(self);
        if (size < 0 || size > count) {
            size = count;
        }
        if (size == 0) {
            return PyList_New(0);
        }
        if (self->next == 0 && size == PyList_GET_SIZE(self->ready)) {
            PyObject* all = self->ready;
            self->ready = nullptr;
            return all;
        }
        PyObject* ready = self->ready;
        Py_ssize_t next = self->next;
        Ref taken(PyList_New(size));
        if (!taken) {
            return nullptr;
        }
        // Before 3.12 an allocation may run the collector, and with it code
        // that reads this buffer.
        if (self->ready != ready || self->next != next || ready_count(self) < size) {
            continue;
        }
        for (Py_ssize_t i = 0; i < size; ++i) {
            PyList_SET_ITEM(taken.get(), i, Py_NewRef(PyList_GET_ITEM(ready, next + i)));
        }
        self->next = next + size;
        drop_ready_if_taken(self);
        return taken.release();
    }
}

// Moves the first `made` unbuilt rows (rows the build made) behind the ready
// ones: true, or false with the error and nothing moved.
bool settle(RowBuffer* self, Py_ssize_t made)
{
    for (;;) {
        Ref unbuilt = Ref::borrow(self->unbuilt);
        if (!unbuilt || made <= 0) {
            return true;
        }
        Ref ready = Ref::borrow(self->ready);
        Py_ssize_t size = PyList_GET_SIZE(unbuilt.get());
        Py_ssize_t moved = made < size ? made : size;
        Py_ssize_t next = self->next;
        Py_ssize_t count = ready_count(self);
        // A read that gathers chunk after chunk (fetchall) adds each to the
        // ready list where it stands, rather than copying all it holds each
        // time. Growing a list allocates no object, so no Python code runs;
        // where it fails, nothing has moved.
        if (count > 0 && next == 0 && moved == size) {
            Py_ssize_t end = PyList_GET_SIZE(ready.get());
            if (PyList_SetSlice(ready.get(), end, end, unbuilt.get()) < 0) {
                return false;
            }
            self->unbuilt = nullptr;
            self->position += moved;
            Py_DECREF(unbuilt.get());
            return true;
        }
        // Where nothing waits ready and every row was made, the list the rows
        // were built in becomes the ready list as it is.
        bool whole = count == 0 && moved == size;
        Ref now_ready(whole ? Py_NewRef(unbuilt.get()) : PyList_New(count + moved));
        if (!now_ready) {
            return false;
        }
        Ref rest;
        if (moved < size && !(rest = Ref(PyList_New(size - moved)))) {
            return false;
        }
        // Before 3.12 an allocation may run the collector, and with it code
        // that reads this buffer: then all starts again.
        if (self->unbuilt != unbuilt.get() || PyList_GET_SIZE(unbuilt.get()) != size || self->ready != ready.get() ||
            self->next != next || ready_count(self) != count) {
            continue;
        }
        if (!whole) {
            for (Py_ssize_t i = 0; i < count; ++i) {
                PyList_SET_ITEM(now_ready.get(), i, Py_NewRef(PyList_GET_ITEM(ready.get(), next + i)));
            }
            for (Py_ssize_t i = 0; i < moved; ++i) {
                PyList_SET_ITEM(now_ready.get(), count + i, Py_NewRef(PyList_GET_ITEM(unbuilt.get(), i)));
            }
        }
        for (Py_ssize_t i = moved; i < size; ++i) {
            PyList_SET_ITEM(rest.get(), i - moved, Py_NewRef(PyList_GET_ITEM(unbuilt.get(), i)));
        }
        PyObject* old_ready = self->ready;
        PyObject* old_unbuilt = self->unbuilt;
        self->ready = now_ready.release();
        self->next = 0;
        self->unbuilt = rest.release();
        self->position += moved;
        Py_XDECREF(old_ready);
        Py_XDECREF(old_unbuilt);
        return true;
    }
}

// Keeps `fetched`, the rows a driver returned, as the unbuilt rows: Py_True,
// Py_False where there were none, or null with the error.
PyObject* keep_fetched(RowBuffer* self, Ref fetched)
{
    if (!PyList_CheckExact(fetched.get())) {
        fetched = Ref(PySequence_List(fetched.get()));
        if (!fetched) {
            return nullptr;
        }
    }
    if (PyList_GET_SIZE(fetched.get()) == 0) {
        Py_RETURN_FALSE;
    }
    if (self->unbuilt != nullptr) {
        // Rows came in meanwhile (a driver that read this result itself).
        Ref before = Ref::borrow(self->unbuilt);
        Ref both(PySequence_Concat(before.get(), fetched.get()));
        if (!both) {
            return nullptr;
        }
        fetched = std::move(both);
    }
    PyObject* old = self->unbuilt;
    self->unbuilt = fetched.release();
    Py_XDECREF(old);
    Py_RETURN_TRUE;
}

bool refuse_unless_built(RowBuffer* self)
{
    if (self->unbuilt != nullptr) {
        PyErr_SetString(PyExc_RuntimeError, "fetched rows wait to be built; build them before fetching more");
        return false;
    }
    return true;
}

// buffer.fetch(function, *arguments): calls the driver's fetch and keeps the
// sequence of rows it returns, before any Python code can run.
PyObject* buffer_fetch(PyObject* obj, PyObject* const* args, Py_ssize_t nargs)
{
    if (nargs < 1) {
        PyErr_SetString(PyExc_TypeError, "fetch expected a function to call");
        return nullptr;
    }
    RowBuffer* self = as_buffer(obj);
    if (!refuse_unless_built(self)) {
        return nullptr;
    }
    Ref fetched(PyObject_Vectorcall(args[0], args + 1, static_cast<size_t>(nargs - 1), nullptr));
    if (!fetched) {
        return nullptr;
    }
    return keep_fetched(self, std::move(fetched));
}

// buffer.fetch_rows(iterable): keeps each row the iterable yields, one at a
// time (an iterating cursor, or fetchone's rows). Room for a row is made
// before it is taken, so that a failed allocation loses none; whatever stops
// the iteration, the rows taken are kept.
PyObject* buffer_fetch_rows(PyObject* obj, PyObject* iterable)
{
    RowBuffer* self = as_buffer(obj);
    if (!refuse_unless_built(self)) {
        return nullptr;
    }
    Ref iterator(PyObject_GetIter(iterable));
    Ref rows(PyList_New(0));
    if (!iterator || !rows) {
        return nullptr;
    }
    bool failed = false;
    for (;;) {
        if (PyList_Append(rows.get(), Py_None) < 0) {
            failed = true;
            break;
        }
        Py_ssize_t last = PyList_GET_SIZE(rows.get()) - 1;
        PyObject* row = PyIter_Next(iterator.get());
        if (row == nullptr) {
            // Giving back the room made leaves the list's storage as it is,
            // which cannot fail as a resize could.
            PyObject* room = PyList_GET_ITEM(rows.get(), last);
            Py_SET_SIZE(rows.get(), last);
            Py_DECREF(room);
            failed = PyErr_Occurred() != nullptr;
            break;
        }
        PyList_SetItem(rows.get(), last, row);
    }
    if (PyList_GET_SIZE(rows.get()) == 0) {
        if (failed) {
            return nullptr;
        }
        Py_RETURN_FALSE;
    }
    if (failed) {
        orvane::compat::SavedException error;
        Ref kept(keep_fetched(self, std::move(rows)));
        return nullptr;
    }
    return keep_fetched(self, std::move(rows));
}

// buffer.receive(fetched): keeps a chunk that an async driver delivered.
PyObject* buffer_receive(PyObject* obj, PyObject* fetched)
{
    RowBuffer* self = as_buffer(obj);
    return keep_fetched(self, Ref::borrow(fetched));
}

PyObject* buffer_take(PyObject* obj, PyObject* const* args, Py_ssize_t nargs)
{
    Py_ssize_t size = -1;
    if (nargs > 1) {
        PyErr_Format(PyExc_TypeError, "take expected at most 1 argument, got %zd", nargs);
        return nullptr;
    }
    if (nargs == 1 && args[0] != Py_None) {
        size = PyNumber_AsSsize_t(args[0], PyExc_OverflowError);
        if (size == -1 && PyErr_Occurred()) {
            return nullptr;
        }
        if (size < 0) {
            PyErr_SetString(PyExc_ValueError, "the number of rows to take cannot be negative");
            return nullptr;
        }
    }
    return take_rows(as_buffer(obj), size);
}

PyObject* buffer_take_one(PyObject* obj, PyObject*)
{
    PyObject* row = take_one(as_buffer(obj));
    return row != nullptr ? row : Py_NewRef(Py_None);
}

PyObject* buffer_first(PyObject* obj, PyObject*)
{
    RowBuffer* self = as_buffer(obj);
    if (ready_count(self) == 0) {
        Py_RETURN_NONE;
    }
    return Py_NewRef(PyList_GET_ITEM(self->ready, self->next));
}

// buffer.take_first(row): takes the first ready row if it is `row`.
PyObject* buffer_take_first(PyObject* obj, PyObject* row)
{
    RowBuffer* self = as_buffer(obj);
    if (ready_count(self) == 0 || PyList_GET_ITEM(self->ready, self->next) != row) {
        Py_RETURN_FALSE;
    }
    Py_DECREF(take_one(self));
    Py_RETURN_TRUE;
}

PyObject* buffer_settle(PyObject* obj, PyObject* made)
{
    Py_ssize_t count = PyNumber_AsSsize_t(made, PyExc_OverflowError);
    if (count == -1 && PyErr_Occurred()) {
        return nullptr;
    }
    if (!settle(as_buffer(obj), count)) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

// buffer.replace_unbuilt(old, new): the unbuilt rows become `new` (the same
// rows, reshaped) if they still are `old`.
PyObject* buffer_replace_unbuilt(PyObject* obj, PyObject* const* args, Py_ssize_t nargs)
{
    if (nargs != 2) {
        PyErr_Format(PyExc_TypeError, "replace_unbuilt expected 2 arguments, got %zd", nargs);
        return nullptr;
    }
    if (!PyList_CheckExact(args[1])) {
        PyErr_Format(PyExc_TypeError, "the unbuilt rows must be a list, not %.200s", Py_TYPE(args[1])->tp_name);
        return nullptr;
    }
    RowBuffer* self = as_buffer(obj);
    if (self->unbuilt != args[0]) {
        Py_RETURN_FALSE;
    }
    Py_SETREF(self->unbuilt, Py_NewRef(args[1]));
    Py_RETURN_TRUE;
}

Py_ssize_t buffer_length(PyObject* obj)
{
    return ready_count(as_buffer(obj));
}

PyObject* buffer_get_unbuilt(PyObject* obj, void*)
{
    RowBuffer* self = as_buffer(obj);
    return Py_NewRef(self->unbuilt != nullptr ? self->unbuilt : Py_None);
}

PyObject* buffer_get_position(PyObject* obj, void*)
{
    return PyLong_FromSsize_t(as_buffer(obj)->position);
}

PyObject* buffer_get_stopped(PyObject* obj, void*)
{
    RowBuffer* self = as_buffer(obj);
    return Py_NewRef(self->stopped != nullptr ? self->stopped : Py_None);
}

int buffer_set_stopped(PyObject* obj, PyObject* value, void*)
{
    if (value != nullptr && value != Py_None && !PyExceptionInstance_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "stopped must be an exception or None");
        return -1;
    }
    Py_XSETREF(as_buffer(obj)->stopped, value == Py_None ? nullptr : Py_XNewRef(value));
    return 0;
}

int buffer_traverse(PyObject* obj, visitproc visit, void* arg)
{
    RowBuffer* self = as_buffer(obj);
    Py_VISIT(self->ready);
    Py_VISIT(self->unbuilt);
    Py_VISIT(self->stopped);
    return 0;
}

int buffer_clear(PyObject* obj)
{
    RowBuffer* self = as_buffer(obj);
    Py_CLEAR(self->ready);
    Py_CLEAR(self->unbuilt);
    Py_CLEAR(self->stopped);
    return 0;
}

void buffer_dealloc(PyObject* obj)
{
    PyObject_GC_UnTrack(obj);
    buffer_clear(obj);
    Py_TYPE(obj)->tp_free(obj);
}

PyMethodDef buffer_methods[] = {
    {"fetch", orvane::as_method(buffer_fetch), METH_FASTCALL,
     "Call the function (a driver's fetch) with the arguments, and keep the rows it returns as unbuilt "
     "rows; whether there were any."},
    {"fetch_rows", orvane::as_method(buffer_fetch_rows), METH_O,
     "Keep each row the iterable yields as an unbuilt row; whether there were any."},
    {"receive", orvane::as_method(buffer_receive), METH_O,
     "Keep a chunk of fetched rows as unbuilt rows; whether there were any."},
    {"take", orvane::as_method(buffer_take), METH_FASTCALL,
     "Up to size ready rows (all of them for None), now delivered."},
    {"take_one", orvane::as_method(buffer_take_one), METH_NOARGS,
     "The first ready row, now delivered, or None."},
    {"first", orvane::as_method(buffer_first), METH_NOARGS, "The first ready row, not taken, or None."},
    {"take_first", orvane::as_method(buffer_take_first), METH_O,
     "Take the first ready row if it is the given row; whether it was."},
    {"settle", orvane::as_method(buffer_settle), METH_O,
     "Move the first made unbuilt rows, which a build made, behind the ready ones."},
    {"replace_unbuilt", orvane::as_method(buffer_replace_unbuilt), METH_FASTCALL,
     "Make new the unbuilt rows if they still are old; whether they were."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef buffer_getset[] = {
    {"unbuilt", buffer_get_unbuilt, nullptr, "The list of fetched rows waiting to be built, or None.", nullptr},
    {"position", buffer_get_position, nullptr, "The position in the result of the first unbuilt row.", nullptr},
    {"stopped", buffer_get_stopped, buffer_set_stopped,
     "The exception that stopped a build, held until the ready rows are delivered, or None.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PySequenceMethods buffer_as_sequence = {
    .sq_length = buffer_length,
};

PyTypeObject RowBufferType = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "orvane.rowkern.RowBuffer",
    .tp_basicsize = sizeof(RowBuffer),
    .tp_dealloc = buffer_dealloc,
    .tp_as_sequence = &buffer_as_sequence,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC,
    .tp_doc = "The rows of a result taken from its cursor and not yet delivered: the ready rows, "
              "then the unbuilt ones.",
    .tp_traverse = buffer_traverse,
    .tp_clear = buffer_clear,
    .tp_methods = buffer_methods,
    .tp_getset = buffer_getset,
};

struct BaseResult {
    PyObject_HEAD
    PyObject* rows;        // the RowBuffer
    PyObject* fill;        // fill(size or None) -> bool: fetches and builds more rows
    PyObject* arraysize;   // arraysize() -> int, the cursor's at the call
    PyObject* chunk;       // the size iteration fills by
    PyThread_type_lock lock;
    unsigned long owner;   // the thread that holds the lock, 0 for none
};

BaseResult* as_result(PyObject* obj)
{
    return reinterpret_cast<BaseResult*>(obj);
}

bool served(BaseResult* self)
{
    if (self->lock == nullptr) {
        PyErr_SetString(PyExc_RuntimeError, "the result was not set up: call _serve first");
        return false;
    }
    return true;
}

bool refuse_reentry(BaseResult* self)
{
    if (self->owner != 0 && self->owner == PyThread_get_thread_ident()) {
        PyErr_SetString(PyExc_RuntimeError,
                        "a read of this result was started from within a read of it in the same thread "
                        "(by a value's method or a signal handler)");
        return false;
    }
    return true;
}

// Takes the result's lock: true, or false with the error and the lock not
// taken. A contended lock is waited for without the interpreter's lock, and
// a signal handler that raises stops the wait.
bool take_lock(BaseResult* self)
{
    if (!served(self) || !refuse_reentry(self)) {
        return false;
    }
    if (!PyThread_acquire_lock(self->lock, NOWAIT_LOCK)) {
        for (;;) {
            PyLockStatus status;
            Py_BEGIN_ALLOW_THREADS
            status = PyThread_acquire_lock_timed(self->lock, -1, 1);
            Py_END_ALLOW_THREADS
            if (status == PY_LOCK_ACQUIRED) {
                break;
            }
            if (Py_MakePendingCalls() < 0) {
                return false;
            }
        }
    }
    self->owner = PyThread_get_thread_ident();
    return true;
}

void give_lock(BaseResult* self)
{
    self->owner = 0;
    PyThread_release_lock(self->lock);
}

// Whether an exception is a value refused by a converter, which building the
// same row again raises again, rather than an interrupt or a failed
// allocation, which would not come back (the core's _is_refusal).
bool is_refusal(PyObject* error)
{
    return PyErr_GivenExceptionMatches(error, PyExc_Exception) &&
           !PyErr_GivenExceptionMatches(error, PyExc_MemoryError);
}

PyObject* raised_exception()
{
#if PY_VERSION_HEX >= 0x030C0000
    return PyErr_GetRaisedException();
#else
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    if (value != nullptr && traceback != nullptr) {
        PyException_SetTraceback(value, traceback);
    }
    Py_XDECREF(type);
    Py_XDECREF(traceback);
    return value;
#endif
}

// Raises `error`, which it takes over.
void raise_exception(PyObject* error)
{
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(error);
#else
    PyErr_Restore(Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(error))), error, PyException_GetTraceback(error));
#endif
}

// With the lock held: fetches and builds rows until `wanted` are ready (all
// the rest for a negative count). 1 once they are or the rows have ended, -1
// with the error; the rows made before an error stay ready.
int fill_until(BaseResult* self, Py_ssize_t wanted)
{
    RowBuffer* rows = as_buffer(self->rows);
    for (;;) {
        Py_ssize_t count = ready_count(rows);
        if (wanted >= 0 && count >= wanted) {
            return 1;
        }
        Ref size(wanted < 0 ? Py_NewRef(Py_None) : PyLong_FromSsize_t(wanted - count));
        if (!size) {
            return -1;
        }
        Ref more(PyObject_CallOneArg(self->fill, size.get()));
        if (!more) {
            return -1;
        }
        int truth = PyObject_IsTrue(more.get());
        if (truth <= 0) {
            return truth < 0 ? -1 : 1;
        }
    }
}

// An exception that stopped iteration's build, held for after the rows made
// before it, is raised by the next fetch; a refused value is raised again
// when its row is built again, and is let go.
bool raise_held(BaseResult* self)
{
    RowBuffer* rows = as_buffer(self->rows);
    if (rows->stopped == nullptr) {
        return false;
    }
    PyObject* held = rows->stopped;
    rows->stopped = nullptr;
    if (is_refusal(held)) {
        Py_DECREF(held);
        return false;
    }
    raise_exception(held);
    return true;
}

// Up to `size` rows (all the rest for a negative size).
PyObject* read_rows(BaseResult* self, Py_ssize_t size)
{
    if (!take_lock(self)) {
        return nullptr;
    }
    PyObject* taken = nullptr;
    if (!raise_held(self) && fill_until(self, size) == 1) {
        taken = take_rows(as_buffer(self->rows), size);
    }
    give_lock(self);
    return taken;
}

PyObject* result_fetchall(PyObject* obj, PyObject*)
{
    return read_rows(as_result(obj), -1);
}

PyObject* result_fetchmany(PyObject* obj, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames)
{
    BaseResult* self = as_result(obj);
    PyObject* size = nargs > 0 ? args[0] : Py_None;
    Py_ssize_t keywords = kwnames != nullptr ? PyTuple_GET_SIZE(kwnames) : 0;
    if (nargs + keywords > 1) {
        PyErr_Format(PyExc_TypeError, "fetchmany() takes at most 1 argument (%zd given)", nargs + keywords);
        return nullptr;
    }
    if (keywords == 1) {
        if (PyUnicode_CompareWithASCIIString(PyTuple_GET_ITEM(kwnames, 0), "size") != 0) {
            PyErr_Format(PyExc_TypeError, "fetchmany() got an unexpected keyword argument '%S'",
                         PyTuple_GET_ITEM(kwnames, 0));
            return nullptr;
        }
        size = args[0];
    }
    if (!served(self)) {
        return nullptr;
    }
    Ref asked;
    if (size == Py_None) {
        asked = Ref(PyObject_CallNoArgs(self->arraysize));
        if (!asked) {
            return nullptr;
        }
        size = asked.get();
    }
    Py_ssize_t count = PyNumber_AsSsize_t(size, PyExc_OverflowError);
    if (count == -1 && PyErr_Occurred()) {
        return nullptr;
    }
    if (count < 0) {
        PyErr_SetString(PyExc_ValueError, "fetchmany() size cannot be negative");
        return nullptr;
    }
    return read_rows(self, count);
}

PyObject* result_fetchone(PyObject* obj, PyObject*)
{
    BaseResult* self = as_result(obj);
    if (!take_lock(self)) {
        return nullptr;
    }
    PyObject* row = nullptr;
    if (!raise_held(self) && fill_until(self, 1) == 1) {
        row = take_one(as_buffer(self->rows));
        if (row == nullptr) {
            row = Py_NewRef(Py_None);
        }
    }
    give_lock(self);
    return row;
}

// With no row ready: fetches and builds a chunk. 1 once rows are ready, 0 at
// the end of the rows, -1 with the error. Where a build stops after making
// rows, its exception is held to be raised after them.
int wait_for_rows(BaseResult* self)
{
    if (!take_lock(self)) {
        return -1;
    }
    RowBuffer* rows = as_buffer(self->rows);
    int outcome = 1;
    for (;;) {
        if (ready_count(rows) > 0) {
            break;
        }
        if (rows->stopped != nullptr) {
            PyObject* held = rows->stopped;
            rows->stopped = nullptr;
            raise_exception(held);
            outcome = -1;
            break;
        }
        Ref more(PyObject_CallOneArg(self->fill, self->chunk));
        if (!more) {
            if (ready_count(rows) == 0) {
                outcome = -1;
                break;
            }
            PyObject* error = raised_exception();
            if (is_refusal(error)) {
                Py_DECREF(error);
            } else {
                Py_XSETREF(rows->stopped, error);
            }
            break;
        }
        int truth = PyObject_IsTrue(more.get());
        if (truth <= 0) {
            outcome = truth;
            break;
        }
    }
    give_lock(self);
    return outcome;
}

PyObject* result_iternext(PyObject* obj)
{
    BaseResult* self = as_result(obj);
    if (!served(self) || !refuse_reentry(self)) {
        return nullptr;
    }
    for (;;) {
        PyObject* row = take_one(as_buffer(self->rows));
        if (row != nullptr || wait_for_rows(self) <= 0) {
            return row;
        }
    }
}

int result_traverse(PyObject* obj, visitproc visit, void* arg)
{
    BaseResult* self = as_result(obj);
    Py_VISIT(self->rows);
    Py_VISIT(self->fill);
    Py_VISIT(self->arraysize);
    Py_VISIT(self->chunk);
    return 0;
}

int result_clear(PyObject* obj)
{
    BaseResult* self = as_result(obj);
    Py_CLEAR(self->rows);
    Py_CLEAR(self->fill);
    Py_CLEAR(self->arraysize);
    Py_CLEAR(self->chunk);
    return 0;
}

void result_dealloc(PyObject* obj)
{
    PyTypeObject* type = Py_TYPE(obj);
    PyObject_GC_UnTrack(obj);
    BaseResult* self = as_result(obj);
    result_clear(obj);
    if (self->lock != nullptr) {
        PyThread_free_lock(self->lock);
        self->lock = nullptr;
    }
    type->tp_free(obj);
}

// result._serve(rows, fill, arraysize, chunk): sets the result up once.
PyObject* result_serve(PyObject* obj, PyObject* const* args, Py_ssize_t nargs)
{
    BaseResult* self = as_result(obj);
    if (nargs != 4) {
        PyErr_Format(PyExc_TypeError, "_serve expected 4 arguments, got %zd", nargs);
        return nullptr;
    }
    if (self->lock != nullptr) {
        PyErr_SetString(PyExc_RuntimeError, "the result is set up already");
        return nullptr;
    }
    if (!PyObject_TypeCheck(args[0], &RowBufferType)) {
        PyErr_Format(PyExc_TypeError, "rows must be an orvane.rowkern.RowBuffer, not %.200s",
                     Py_TYPE(args[0])->tp_name);
        return nullptr;
    }
    if (!PyCallable_Check(args[1]) || !PyCallable_Check(args[2])) {
        PyErr_SetString(PyExc_TypeError, "fill and arraysize must be callable");
        return nullptr;
    }
    if (!PyLong_CheckExact(args[3])) {
        PyErr_SetString(PyExc_TypeError, "chunk must be an int");
        return nullptr;
    }
    PyThread_type_lock lock = PyThread_allocate_lock();
    if (lock == nullptr) {
        return PyErr_NoMemory();
    }
    Py_XSETREF(self->rows, Py_NewRef(args[0]));
    Py_XSETREF(self->fill, Py_NewRef(args[1]));
    Py_XSETREF(self->arraysize, Py_NewRef(args[2]));
    Py_XSETREF(self->chunk, Py_NewRef(args[3]));
    self->lock = lock;
    Py_RETURN_NONE;
}

PyObject* result_each(PyObject* obj, PyObject* make);

PyMethodDef result_methods[] = {
    {"_serve", orvane::as_method(result_serve), METH_FASTCALL,
     "Set the result up: its RowBuffer, fill(size) that fetches and builds more rows, arraysize() and "
     "the size iteration fills by."},
    {"fetchone", orvane::as_method(result_fetchone), METH_NOARGS, "The next row, or None at the end."},
    {"fetchmany", orvane::as_method(result_fetchmany), METH_FASTCALL | METH_KEYWORDS,
     "Up to size rows, the cursor's arraysize (read at the call) by default."},
    {"fetchall", orvane::as_method(result_fetchall), METH_NOARGS, "All the rows that are left."},
    {"_each", orvane::as_method(result_each), METH_O,
     "An iterator of make(row) for each row; a row is taken once make has returned."},
    {nullptr, nullptr, 0, nullptr},
};

PyTypeObject BaseResultType = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "orvane.rowkern.BaseResult",
    .tp_basicsize = sizeof(BaseResult),
    .tp_dealloc = result_dealloc,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC,
    .tp_doc = "The read methods of a result, over the rows its RowBuffer holds.",
    .tp_traverse = result_traverse,
    .tp_clear = result_clear,
    .tp_iter = PyObject_SelfIter,
    .tp_iternext = result_iternext,
    .tp_methods = result_methods,
};

struct EachRow {
    PyObject_HEAD
    PyObject* result;
    PyObject* make;
};

EachRow* as_each(PyObject* obj)
{
    return reinterpret_cast<EachRow*>(obj);
}

// make(row) runs with the row still ready, so that whatever it raises leaves
// the row for the next read; the row is taken only if it is still the first
// ready one once make has returned (code make ran may have read the result).
PyObject* each_iternext(PyObject* obj)
{
    EachRow* each = as_each(obj);
    Ref result = Ref::borrow(each->result);
    Ref make = Ref::borrow(each->make);
    BaseResult* self = as_result(result.get());
    if (!served(self) || !refuse_reentry(self)) {
        return nullptr;
    }
    RowBuffer* rows = as_buffer(self->rows);
    Ref keep_rows = Ref::borrow(self->rows);
    for (;;) {
        if (ready_count(rows) == 0) {
            int outcome = wait_for_rows(self);
            if (outcome <= 0) {
                return nullptr;
            }
            continue;
        }
        Ref ready = Ref::borrow(rows->ready);
        Py_ssize_t next = rows->next;
        Ref row = Ref::borrow(PyList_GET_ITEM(ready.get(), next));
        Ref item(PyObject_CallOneArg(make.get(), row.get()));
        if (!item) {
            return nullptr;
        }
        if (rows->ready == ready.get() && rows->next == next && ready_count(rows) > 0 &&
            PyList_GET_ITEM(ready.get(), next) == row.get()) {
            Py_DECREF(take_one(rows));
            return item.release();
        }
    }
}

int each_traverse(PyObject* obj, visitproc visit, void* arg)
{
    Py_VISIT(as_each(obj)->result);
    Py_VISIT(as_each(obj)->make);
    return 0;
}

int each_clear(PyObject* obj)
{
    Py_CLEAR(as_each(obj)->result);
    Py_CLEAR(as_each(obj)->make);
    return 0;
}

void each_dealloc(PyObject* obj)
{
    PyObject_GC_UnTrack(obj);
    each_clear(obj);
    PyObject_GC_Del(obj);
}

PyTypeObject EachRowType = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "orvane.rowkern.EachRow",
    .tp_basicsize = sizeof(EachRow),
    .tp_dealloc = each_dealloc,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC,
    .tp_doc = "Something made of each row of a result, a row at a time.",
    .tp_traverse = each_traverse,
    .tp_clear = each_clear,
    .tp_iter = PyObject_SelfIter,
    .tp_iternext = each_iternext,
};

PyObject* result_each(PyObject* obj, PyObject* make)
{
    if (!PyCallable_Check(make)) {
        PyErr_SetString(PyExc_TypeError, "make must be callable");
        return nullptr;
    }
    EachRow* each = PyObject_GC_New(EachRow, &EachRowType);
    if (each == nullptr) {
        return nullptr;
    }
    each->result = Py_NewRef(obj);
    each->make = Py_NewRef(make);
    PyObject_GC_Track(reinterpret_cast<PyObject*>(each));
    return reinterpret_cast<PyObject*>(each);
}

// ---- module ---------------------------------------------------------------

PyObject* safe_rowproxy_reconstructor(PyObject*, PyObject* args)
{
    PyObject *cls, *state;
    if (!PyArg_ParseTuple(args, "OO", &cls, &state)) {
        return nullptr;
    }
    Ref instance(PyObject_CallMethod(cls, "__new__", "(O)", cls));
    if (!instance) {
        return nullptr;
    }
    if (!PyObject_TypeCheck(instance.get(), &BaseRowType)) {
        PyErr_Format(PyExc_TypeError, "__new__ of %R returned %.200s, not a BaseRow instance", cls,
                     Py_TYPE(instance.get())->tp_name);
        return nullptr;
    }
    Ref restored(PyObject_CallMethod(instance.get(), "__setstate__", "(O)", state));
    if (!restored) {
        return nullptr;
    }
    BaseRow* row = as_row(instance.get());
    if (row->parent == nullptr || row->row == nullptr || row->keymap == nullptr) {
        PyErr_SetString(PyExc_RuntimeError,
                        "__setstate__ for BaseRow subclasses must set values for parent, row, and keymap");
        return nullptr;
    }
    return instance.release();
}

// _types_of(items, index=None): the set of the types of a list's items, or
// of each item's value at `index`. The result layer looks at every chunk this
// way; here it costs no call per item.
PyObject* rowkern_types_of(PyObject*, PyObject* const* args, Py_ssize_t nargs)
{
    if (nargs < 1 || nargs > 2) {
        PyErr_Format(PyExc_TypeError, "_types_of expected 1 or 2 arguments, got %zd", nargs);
        return nullptr;
    }
    if (!PyList_Check(args[0])) {
        PyErr_Format(PyExc_TypeError, "items must be a list, not %.200s", Py_TYPE(args[0])->tp_name);
        return nullptr;
    }
    Ref list = Ref::borrow(args[0]);
    Ref index;
    Py_ssize_t position = 0;
    if (nargs == 2 && args[1] != Py_None) {
        if (!PyLong_CheckExact(args[1])) {
            PyErr_Format(PyExc_TypeError, "index must be an int, not %.200s", Py_TYPE(args[1])->tp_name);
            return nullptr;
        }
        index = Ref::borrow(args[1]);
        position = PyLong_AsSsize_t(index.get());
        if (position == -1 && PyErr_Occurred()) {
            return nullptr;
        }
    }
    Ref types(PySet_New(nullptr));
    if (!types) {
        return nullptr;
    }
    // The set holds the last type added, so the pointer stays that type's.
    PyTypeObject* last = nullptr;
    // Subscripts and type hashes may run code that resizes the list; each
    // step re-reads its size.
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list.get()); ++i) {
        Ref item = Ref::borrow(PyList_GET_ITEM(list.get(), i));
        Ref value;
        if (!index) {
            value = std::move(item);
        } else if (PyTuple_CheckExact(item.get()) && 0 <= position && position < PyTuple_GET_SIZE(item.get())) {
            value = Ref::borrow(PyTuple_GET_ITEM(item.get(), position));
        } else {
            value = Ref(PyObject_GetItem(item.get(), index.get()));
            if (!value) {
                return nullptr;
            }
        }
        PyTypeObject* type = Py_TYPE(value.get());
        if (type == last) {
            continue;
        }
        if (PySet_Add(types.get(), reinterpret_cast<PyObject*>(type)) < 0) {
            return nullptr;
        }
        last = type;
    }
    return types.release();
}

PyMethodDef rowkern_functions[] = {
    {"_make_objects", orvane::as_method(rowkern_make_objects), METH_FASTCALL,
     "Make an instance of an application's class from each fetched row, into a list."},
    {"_types_of", orvane::as_method(rowkern_types_of), METH_FASTCALL,
     "The set of the types of a list's items, or of each item's value at index."},
    {"safe_rowproxy_reconstructor", orvane::as_method(safe_rowproxy_reconstructor), METH_VARARGS,
     "reconstruct a Row instance from its pickled form."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef rowkern_module = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "rowkern",
    .m_doc = "Module containing C versions of core ResultProxy classes.",
    .m_size = -1,
    .m_methods = rowkern_functions,
};

}  // namespace

PyMODINIT_FUNC PyInit_rowkern(void)
{
    BaseRowType.tp_new = PyType_GenericNew;
    BaseRowType.tp_vectorcall = row_class_vectorcall;
    RowBufferType.tp_new = PyType_GenericNew;
    BaseResultType.tp_new = PyType_GenericNew;
    if (PyType_Ready(&BaseRowType) < 0 || PyType_Ready(&TupleGetterType) < 0 || PyType_Ready(&RowBufferType) < 0 ||
        PyType_Ready(&BaseResultType) < 0 || PyType_Ready(&EachRowType) < 0) {
        return nullptr;
    }
    Ref module(PyModule_Create2(&rowkern_module, 1013));
    if (!module ||
        PyModule_AddObjectRef(module.get(), "BaseRow", reinterpret_cast<PyObject*>(&BaseRowType)) < 0 ||
        PyModule_AddObjectRef(module.get(), "tuplegetter", reinterpret_cast<PyObject*>(&TupleGetterType)) < 0 ||
        PyModule_AddObjectRef(module.get(), "RowBuffer", reinterpret_cast<PyObject*>(&RowBufferType)) < 0 ||
        PyModule_AddObjectRef(module.get(), "BaseResult", reinterpret_cast<PyObject*>(&BaseResultType)) < 0) {
        return nullptr;
    }
    return module.release();
}
