// orvane.convkern: converters of fetched values (truth value, str, float,
// ISO date, time and datetime text) and two configurable processor types.

#include "pyref.hpp"

// The header defines a static pointer of its own, unused here: the parsers
// keep the interface in the atomic holder below.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wunused-variable"
#include <datetime.h>
#pragma GCC diagnostic pop

#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>

using orvane::Ref;

namespace {

struct UnicodeResultProcessor {
    PyObject_HEAD
    PyObject* encoding;  // bytes: the codec name
    PyObject* errors;    // bytes: the error handler name
};

struct DecimalResultProcessor {
    PyObject_HEAD
    PyObject* type;       // called with each formatted value
    PyObject* format;     // str: applied with % to each value
    int fixed_digits;     // N where format is "%.Nf" and N <= MAX_FIXED_DIGITS, else -1
};

extern PyTypeObject UnicodeResultProcessorType;
extern PyTypeObject DecimalResultProcessorType;

// Filled once per process by the first initialisation that imports the
// capsule; never released. The interface belongs to the interpreter that
// initialised the module (recorded by its id, which is never reused): another
// interpreter shares the module's functions but not that interpreter's
// datetime module, which may be gone or, in it, not set up.
std::atomic<PyDateTime_CAPI*> datetime_api{nullptr};
std::atomic<int64_t> datetime_api_interpreter{-1};
// The `fromisoformat` methods of the datetime, date and time types, taken by
// that same interpreter with the interface (null where that failed); never
// released.
enum IsoKind { ISO_DATETIME, ISO_DATE, ISO_TIME, ISO_KINDS };
std::atomic<PyObject*> fromisoformat_methods[ISO_KINDS] = {};

// The interface for the calling interpreter; null with an error set when it
// cannot be imported there.
PyDateTime_CAPI* current_datetime_api()
{
    int64_t interpreter = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (interpreter == datetime_api_interpreter.load(std::memory_order_acquire)) {
        return datetime_api.load(std::memory_order_relaxed);
    }
    return static_cast<PyDateTime_CAPI*>(PyCapsule_Import(PyDateTime_CAPSULE_NAME, 0));
}

const char* const NOT_INITIALIZED = "the processor has not been initialized: call __init__ first";

// ---- simple converters ----------------------------------------------------

PyObject* int_to_boolean(PyObject*, PyObject* value)
{
    if (value == Py_None) {
        Py_RETURN_NONE;
    }
    int truth = PyObject_IsTrue(value);
    if (truth < 0) {
        return nullptr;
    }
    return PyBool_FromLong(truth);
}

PyObject* to_str(PyObject*, PyObject* value)
{
    if (value == Py_None) {
        Py_RETURN_NONE;
    }
    return PyObject_Str(value);
}

PyObject* to_float(PyObject*, PyObject* value)
{
    if (value == Py_None) {
        Py_RETURN_NONE;
    }
    return PyNumber_Float(value);
}

// ---- ISO parsers ----------------------------------------------------------

// Fields in the order the formats read them. The parse leaves a field it
// does not reach untouched.
struct IsoFields {
    unsigned int year = 0, month = 0, day = 0;
    unsigned int hour = 0, minute = 0, second = 0, microsecond = 0;
};

// The C library's sscanf is the reference for what each format accepts. The
// canonical shapes (fixed-width digits, as databases write them) are read by
// hand first, since sscanf costs several times the rest of a parse; every
// other text goes to sscanf.
bool digits_at(const char* text, int from, int count, unsigned int& value)
{
    unsigned int result = 0;
    for (int i = from; i < from + count; ++i) {
        if (text[i] < '0' || text[i] > '9') {
            return false;
        }
        result = result * 10 + static_cast<unsigned int>(text[i] - '0');
    }
    value = result;
    return true;
}

// Microseconds per unit of the fraction's last digit, by the number of
// digits: ".5" is half a second, ".000250" a quarter of a millisecond.
constexpr unsigned int FRACTION_SCALE[] = {0, 100000, 10000, 1000, 100, 10, 1};

// A fraction read from digits alone is a decimal fraction of a second. One
// read with a sign, or after skipped white space, keeps its value as a count
// of microseconds.
unsigned int fraction_microseconds(const char* text, int start, int end, unsigned int value)
{
    for (int i = start; i < end; ++i) {
        if (text[i] < '0' || text[i] > '9') {
            return value;
        }
    }
    return value * FRACTION_SCALE[end - start];
}

// After "...SS" the formats go on with ".%6u": anything but '.' ends the
// parse there; '.' followed by a digit reads up to six digits.
int canonical_fraction(const char* text, int dot, int count_without, unsigned int& microsecond)
{
    if (text[dot] != '.') {
        return count_without;
    }
    const char* fraction = text + dot + 1;
    unsigned int value = 0;
    int digits = 0;
    for (; digits < 6 && fraction[digits] >= '0' && fraction[digits] <= '9'; ++digits) {
        value = value * 10 + static_cast<unsigned int>(fraction[digits] - '0');
    }
    if (digits == 0) {
        return -2;  // white space or a sign may follow: leave it to sscanf
    }
    microsecond = value * FRACTION_SCALE[digits];
    return count_without + 1;
}

// The canonical readers test characters left to right and stop at the first
// one out of place, so they never read past the terminating NUL.

// "YYYY-MM-DD": returns the sscanf count, or -2 where the text has another shape.
int scan_canonical_date(const char* text, IsoFields& f)
{
    bool canonical = digits_at(text, 0, 4, f.year) && text[4] == '-' && digits_at(text, 5, 2, f.month) &&
                     text[7] == '-' && digits_at(text, 8, 2, f.day);
    return canonical ? 3 : -2;
}

// "HH:MM:SS[.f...]" from position `at`, after `count_before` fields.
int scan_canonical_time(const char* text, int at, IsoFields& f, int count_before)
{
    bool canonical = digits_at(text, at, 2, f.hour) && text[at + 2] == ':' &&
                     digits_at(text, at + 3, 2, f.minute) && text[at + 5] == ':' &&
                     digits_at(text, at + 6, 2, f.second);
    if (!canonical) {
        return -2;
    }
    return canonical_fraction(text, at + 8, count_before + 3, f.microsecond);
}

int scan_datetime(const char* text, IsoFields& f)
{
    if (scan_canonical_date(text, f) == 3 && text[10] == ' ') {
        int count = scan_canonical_time(text, 11, f, 3);
        if (count != -2) {
            return count;
        }
    }
    f = IsoFields{};
    int start = 0, end = 0;
    int count = std::sscanf(text, "%4u-%2u-%2u %2u:%2u:%2u.%n%6u%n", &f.year, &f.month, &f.day, &f.hour,
                            &f.minute, &f.second, &start, &f.microsecond, &end);
    if (count == 7) {
        f.microsecond = fraction_microseconds(text, start, end, f.microsecond);
    }
    return count;
}

int scan_time(const char* text, IsoFields& f)
{
    int count = scan_canonical_time(text, 0, f, 0);
    if (count != -2) {
        return count;
    }
    f = IsoFields{};
    int start = 0, end = 0;
    count = std::sscanf(text, "%2u:%2u:%2u.%n%6u%n", &f.hour, &f.minute, &f.second, &start, &f.microsecond, &end);
    if (count == 4) {
        f.microsecond = fraction_microseconds(text, start, end, f.microsecond);
    }
    return count;
}

int scan_date(const char* text, IsoFields& f)
{
    int count = scan_canonical_date(text, f);
    if (count != -2) {
        return count;
    }
    f = IsoFields{};
    return std::sscanf(text, "%4u-%2u-%2u", &f.year, &f.month, &f.day);
}

// The fields reach the constructors as signed values, so a field written
// with a minus sign is refused there.
int as_signed(unsigned int field)
{
    return static_cast<int>(field);
}

PyObject* build_datetime(PyDateTime_CAPI* api, const IsoFields& f)
{
    return api->DateTime_FromDateAndTime(as_signed(f.year), as_signed(f.month), as_signed(f.day),
                                         as_signed(f.hour), as_signed(f.minute), as_signed(f.second),
                                         as_signed(f.microsecond), Py_None, api->DateTimeType);
}

PyObject* build_time(PyDateTime_CAPI* api, const IsoFields& f)
{
    return api->Time_FromTime(as_signed(f.hour), as_signed(f.minute), as_signed(f.second),
                              as_signed(f.microsecond), Py_None, api->TimeType);
}

PyObject* build_date(PyDateTime_CAPI* api, const IsoFields& f)
{
    return api->Date_FromDate(as_signed(f.year), as_signed(f.month), as_signed(f.day), api->DateType);
}

struct IsoParser {
    int (*scan)(const char*, IsoFields&);
    int least_count;
    int most_count;
    PyObject* (*build)(PyDateTime_CAPI*, const IsoFields&);
    const char* parse_failure;  // formats over the value's ASCII repr
    const char* not_a_string;
};

constexpr IsoParser DATETIME_PARSER = {
    scan_datetime, 6, 7, build_datetime, "Couldn't parse datetime string: %.200s",
    "Couldn't parse datetime string '%.200s' - value is not a string.",
};
constexpr IsoParser TIME_PARSER = {
    scan_time, 3, 4, build_time, "Couldn't parse time string: %.200s",
    "Couldn't parse time string '%.200s' - value is not a string.",
};
constexpr IsoParser DATE_PARSER = {
    scan_date, 3, 3, build_date, "Couldn't parse date string: %.200s",
    "Couldn't parse date string '%.200s' - value is not a string.",
};

// ValueError over the value's repr; an error of the repr itself, or of its
// ASCII encoding, is raised instead.
PyObject* raise_with_repr(PyObject* value, const char* message)
{
    Ref repr(PyObject_Repr(value));
    if (!repr) {
        return nullptr;
    }
    Ref ascii(PyUnicode_AsASCIIString(repr.get()));
    if (!ascii) {
        return nullptr;
    }
    PyErr_Format(PyExc_ValueError, message, PyBytes_AS_STRING(ascii.get()));
    return nullptr;
}

PyObject* parse_iso(PyObject* value, const IsoParser& parser)
{
    if (value == Py_None) {
        Py_RETURN_NONE;
    }
    // An ASCII str keeps its text as NUL-terminated bytes, which is exactly
    // what its ASCII encoding would copy out.
    if (!PyUnicode_Check(value) || !PyUnicode_IS_ASCII(value)) {
        return raise_with_repr(value, parser.not_a_string);
    }
    const char* text = static_cast<const char*>(PyUnicode_DATA(value));
    IsoFields fields;
    int count = parser.scan(text, fields);
    if (count < parser.least_count || count > parser.most_count) {
        return raise_with_repr(value, parser.parse_failure);
    }
    PyDateTime_CAPI* api = current_datetime_api();
    if (api == nullptr) {
        return nullptr;
    }
    return parser.build(api, fields);
}

PyObject* str_to_datetime(PyObject*, PyObject* value)
{
    return parse_iso(value, DATETIME_PARSER);
}

PyObject* str_to_time(PyObject*, PyObject* value)
{
    return parse_iso(value, TIME_PARSER);
}

PyObject* str_to_date(PyObject*, PyObject* value)
{
    return parse_iso(value, DATE_PARSER);
}

// ---- exact ISO readers ----------------------------------------------------

// The result of the interpreter's own `fromisoformat` for every text: the
// canonical shapes databases write ("YYYY-MM-DD", "HH:MM:SS[.ffffff]" and a
// date and a time joined by 'T' or ' ') are read here, with every field
// checked against the constructor's ranges; every other value, and every
// canonical text that a field puts out of range, goes to `fromisoformat`, so
// that its exact result or error comes back.

bool canonical_date_at(const char* text, IsoFields& f)
{
    return digits_at(text, 0, 4, f.year) && text[4] == '-' && digits_at(text, 5, 2, f.month) && text[7] == '-' &&
           digits_at(text, 8, 2, f.day);
}

bool canonical_time_at(const char* text, Py_ssize_t length, IsoFields& f)
{
    if (length != 8 && length != 15) {
        return false;
    }
    bool fields = digits_at(text, 0, 2, f.hour) && text[2] == ':' && digits_at(text, 3, 2, f.minute) &&
                  text[5] == ':' && digits_at(text, 6, 2, f.second);
    if (!fields) {
        return false;
    }
    f.microsecond = 0;
    return length == 8 || (text[8] == '.' && digits_at(text, 9, 6, f.microsecond));
}

bool is_leap_year(unsigned int year)
{
    return year % 4 == 0 && (year % 100 != 0 || year % 400 == 0);
}

bool date_in_range(const IsoFields& f)
{
    static constexpr unsigned int DAYS_IN_MONTH[] = {0, 31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (f.year < 1 || f.month < 1 || f.month > 12 || f.day < 1) {
        return false;
    }
    unsigned int days = DAYS_IN_MONTH[f.month] + (f.month == 2 && is_leap_year(f.year) ? 1 : 0);
    return f.day <= days;
}

// 24:00 and a leap second are left to `fromisoformat`.
bool time_in_range(const IsoFields& f)
{
    return f.hour < 24 && f.minute < 60 && f.second < 60;
}

// The text of an exact ASCII str, else null.
const char* canonical_candidate(PyObject* value, Py_ssize_t& length)
{
    if (!PyUnicode_CheckExact(value) || !PyUnicode_IS_ASCII(value)) {
        return nullptr;
    }
    length = PyUnicode_GET_LENGTH(value);
    return static_cast<const char*>(PyUnicode_DATA(value));
}

PyObject* from_isoformat(IsoKind kind, PyTypeObject* type, PyObject* value)
{
    int64_t interpreter = PyInterpreterState_GetID(PyInterpreterState_Get());
    PyObject* cached = interpreter == datetime_api_interpreter.load(std::memory_order_acquire)
                           ? fromisoformat_methods[kind].load(std::memory_order_relaxed)
                           : nullptr;
    Ref method(cached != nullptr ? Py_NewRef(cached)
                                 : PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "fromisoformat"));
    if (!method) {
        return nullptr;
    }
    return PyObject_CallOneArg(method.get(), value);
}

PyObject* iso_datetime(PyObject*, PyObject* value)
{
    PyDateTime_CAPI* api = current_datetime_api();
    if (api == nullptr) {
        return nullptr;
    }
    Py_ssize_t length;
    const char* text = canonical_candidate(value, length);
    IsoFields f;
    if (text != nullptr && (length == 19 || length == 26) && canonical_date_at(text, f) &&
        (text[10] == 'T' || text[10] == ' ') && canonical_time_at(text + 11, length - 11, f) && date_in_range(f) &&
        time_in_range(f)) {
        return build_datetime(api, f);
    }
    return from_isoformat(ISO_DATETIME, api->DateTimeType, value);
}

PyObject* iso_date(PyObject*, PyObject* value)
{
    PyDateTime_CAPI* api = current_datetime_api();
    if (api == nullptr) {
        return nullptr;
    }
    Py_ssize_t length;
    const char* text = canonical_candidate(value, length);
    IsoFields f;
    if (text != nullptr && length == 10 && canonical_date_at(text, f) && date_in_range(f)) {
        return build_date(api, f);
    }
    return from_isoformat(ISO_DATE, api->DateType, value);
}

PyObject* iso_time(PyObject*, PyObject* value)
{
    PyDateTime_CAPI* api = current_datetime_api();
    if (api == nullptr) {
        return nullptr;
    }
    Py_ssize_t length;
    const char* text = canonical_candidate(value, length);
    IsoFields f;
    if (text != nullptr && canonical_time_at(text, length, f) && time_in_range(f)) {
        return build_time(api, f);
    }
    return from_isoformat(ISO_TIME, api->TimeType, value);
}

// ---- UnicodeResultProcessor ------------------------------------------------

UnicodeResultProcessor* as_unicode(PyObject* self) noexcept
{
    return reinterpret_cast<UnicodeResultProcessor*>(self);
}

// A codec name is handed to the codec registry as a C string, so a name
// with a NUL in it would silently name another codec.
PyObject* codec_name_bytes(PyObject* name)
{
    Ref ascii(PyUnicode_AsASCIIString(name));
    if (ascii && std::strlen(PyBytes_AS_STRING(ascii.get())) != static_cast<size_t>(PyBytes_GET_SIZE(ascii.get()))) {
        PyErr_SetString(PyExc_ValueError, "embedded null character in codec or error handler name");
        return nullptr;
    }
    return ascii.release();
}

int unicode_init(PyObject* obj, PyObject* args, PyObject* kwargs)
{
    static const char* keywords[] = {"encoding", "errors", nullptr};
    PyObject* encoding = nullptr;
    PyObject* errors = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "U|U:__init__", const_cast<char**>(keywords), &encoding,
                                     &errors)) {
        return -1;
    }
    Ref encoding_bytes(codec_name_bytes(encoding));
    if (!encoding_bytes) {
        return -1;
    }
    Ref errors_bytes(errors != nullptr ? codec_name_bytes(errors) : PyBytes_FromString("strict"));
    if (!errors_bytes) {
        return -1;
    }
    UnicodeResultProcessor* self = as_unicode(obj);
    Py_XSETREF(self->encoding, encoding_bytes.release());
    Py_XSETREF(self->errors, errors_bytes.release());
    return 0;
}

// The names are bytes and hold nothing, but a subclass instance may well
// sit in a cycle, and the collector then walks the whole object.
int unicode_traverse(PyObject* obj, visitproc visit, void* arg)
{
    UnicodeResultProcessor* self = as_unicode(obj);
    Py_VISIT(self->encoding);
    Py_VISIT(self->errors);
    return 0;
}

// A cleared processor refuses to process, as an uninitialised one does.
int unicode_clear(PyObject* obj)
{
    UnicodeResultProcessor* self = as_unicode(obj);
    Py_CLEAR(self->encoding);
    Py_CLEAR(self->errors);
    return 0;
}

void unicode_dealloc(PyObject* obj)
{
    PyObject_GC_UnTrack(obj);
    unicode_clear(obj);
    Py_TYPE(obj)->tp_free(obj);
}

// PyUnicode_Decode decodes these spellings with its built-in UTF-8 decoder,
// never through the codec registry; calling that decoder directly spares
// normalising the name on every value.
bool names_utf8(PyObject* encoding)
{
    const char* name = PyBytes_AS_STRING(encoding);
    return std::strcmp(name, "utf-8") == 0 || std::strcmp(name, "utf8") == 0;
}

PyObject* decode_bytes(UnicodeResultProcessor* self, PyObject* value)
{
    if (self->encoding == nullptr || self->errors == nullptr) {
        PyErr_SetString(PyExc_RuntimeError, NOT_INITIALIZED);
        return nullptr;
    }
    if (!PyBytes_Check(value)) {
        char* unused_buffer;
        Py_ssize_t unused_length;
        PyBytes_AsStringAndSize(value, &unused_buffer, &unused_length);  // raises its TypeError
        return nullptr;
    }
    const char* buffer = PyBytes_AS_STRING(value);
    Py_ssize_t length = PyBytes_GET_SIZE(value);
    // The codec machinery runs Python code that may initialise this
    // processor again; the names must outlive the call.
    Ref encoding = Ref::borrow(self->encoding);
    Ref errors = Ref::borrow(self->errors);
    const char* errors_name = PyBytes_AS_STRING(errors.get());
    if (names_utf8(encoding.get())) {
        // No name means "strict" to the built-in decoder, and spares it
        // preparing for a named handler on every call.
        bool strict = std::strcmp(errors_name, "strict") == 0;
        return PyUnicode_DecodeUTF8(buffer, length, strict ? nullptr : errors_name);
    }
    return PyUnicode_Decode(buffer, length, PyBytes_AS_STRING(encoding.get()), errors_name);
}

PyObject* unicode_process(PyObject* obj, PyObject* value)
{
    if (value == Py_None) {
        Py_RETURN_NONE;
    }
    return decode_bytes(as_unicode(obj), value);
}

PyObject* unicode_conditional_process(PyObject* obj, PyObject* value)
{
    if (value == Py_None) {
        Py_RETURN_NONE;
    }
    if (PyUnicode_Check(value)) {
        return Py_NewRef(value);
    }
    return decode_bytes(as_unicode(obj), value);
}

PyMethodDef unicode_methods[] = {
    {"process", orvane::as_method(unicode_process), METH_O, "The value processor itself."},
    {"conditional_process", orvane::as_method(unicode_conditional_process), METH_O,
     "Conditional version of the value processor."},
    {nullptr, nullptr, 0, nullptr},
};

PyTypeObject UnicodeResultProcessorType = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "orvane.convkern.UnicodeResultProcessor",
    .tp_basicsize = sizeof(UnicodeResultProcessor),
    .tp_dealloc = unicode_dealloc,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC,
    .tp_doc = "UnicodeResultProcessor objects",
    .tp_traverse = unicode_traverse,
    .tp_clear = unicode_clear,
    .tp_methods = unicode_methods,
    .tp_init = unicode_init,
    .tp_free = PyObject_GC_Del,
};

// ---- DecimalResultProcessor ------------------------------------------------

DecimalResultProcessor* as_decimal(PyObject* self) noexcept
{
    return reinterpret_cast<DecimalResultProcessor*>(self);
}

// Digits after the point that the exact arithmetic below handles: the value
// times ten to that power stays below 2**103.
constexpr int MAX_FIXED_DIGITS = 15;

// N where `format` is exactly "%.Nf" with N <= MAX_FIXED_DIGITS, else -1.
int fixed_point_digits(PyObject* format)
{
    Py_ssize_t length;
    const char* text = PyUnicode_AsUTF8AndSize(format, &length);
    if (text == nullptr) {
        PyErr_Clear();
        return -1;
    }
    if (length < 4 || length > 5 || text[0] != '%' || text[1] != '.' || text[length - 1] != 'f') {
        return -1;
    }
    int digits = 0;
    for (Py_ssize_t i = 2; i < length - 1; ++i) {
        if (text[i] < '0' || text[i] > '9') {
            return -1;
        }
        digits = digits * 10 + (text[i] - '0');
    }
    return digits <= MAX_FIXED_DIGITS ? digits : -1;
}

// `value` written as "%.<digits>f" writes it: the exact binary value rounded
// half to even, with a minus sign wherever the sign bit is set. Returns the
// length written to `out` (room for 64 characters), or 0 for values the
// 128-bit arithmetic does not reach (infinities, NaN, magnitudes from 2**77).
Py_ssize_t format_fixed_point(double value, int digits, char* out)
{
    uint64_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    const int biased_exponent = static_cast<int>((bits >> 52) & 0x7ff);
    if (biased_exponent == 0x7ff) {
        return 0;
    }
    uint64_t mantissa = bits & ((uint64_t{1} << 52) - 1);
    int exponent = -1074;
    if (biased_exponent != 0) {
        mantissa |= uint64_t{1} << 52;
        exponent = biased_exponent - 1075;
    }
    unsigned __int128 scaled = mantissa;
    for (int i = 0; i < digits; ++i) {
        scaled *= 10;
    }
    unsigned __int128 rounded;
    if (exponent >= 0) {
        if (exponent > 24) {
            return 0;
        }
        rounded = scaled << exponent;
    } else if (-exponent > 120) {
        rounded = 0;  // below half a unit of the last digit
    } else {
        const int shift = -exponent;
        rounded = scaled >> shift;
        const unsigned __int128 remainder = scaled - (rounded << shift);
        const unsigned __int128 half = static_cast<unsigned __int128>(1) << (shift - 1);
        if (remainder > half || (remainder == half && (rounded & 1) != 0)) {
            ++rounded;
        }
    }
    char reversed[48];
    int count = 0;
    while (rounded > UINT64_MAX) {
        reversed[count++] = static_cast<char>('0' + static_cast<int>(rounded % 10));
        rounded /= 10;
    }
    // The usual magnitudes take the much cheaper 64-bit division.
    uint64_t low = static_cast<uint64_t>(rounded);
    do {
        reversed[count++] = static_cast<char>('0' + static_cast<int>(low % 10));
        low /= 10;
    } while (low != 0 || count <= digits);
    Py_ssize_t length = 0;
    if (std::signbit(value)) {
        out[length++] = '-';
    }
    while (count > digits) {
        out[length++] = reversed[--count];
    }
    if (digits > 0) {
        out[length++] = '.';
        while (count > 0) {
            out[length++] = reversed[--count];
        }
    }
    return length;
}

// The text `format % value` makes; an exact float under a "%.Nf" format is
// written directly, without the general formatting machinery.
PyObject* formatted_value(DecimalResultProcessor* self, PyObject* format, PyObject* value)
{
    if (self->fixed_digits >= 0 && PyFloat_CheckExact(value)) {
        char text[64];
        Py_ssize_t length = format_fixed_point(PyFloat_AS_DOUBLE(value), self->fixed_digits, text);
        if (length > 0) {
            PyObject* result = PyUnicode_New(length, 127);
            if (result != nullptr) {
                std::memcpy(PyUnicode_1BYTE_DATA(result), text, static_cast<size_t>(length));
            }
            return result;
        }
    }
    Ref argument(PyTuple_Pack(1, value));
    if (!argument) {
        return nullptr;
    }
    return PyUnicode_Format(format, argument.get());
}

int decimal_init(PyObject* obj, PyObject* args, PyObject*)
{
    PyObject *type, *format;
    if (!PyArg_ParseTuple(args, "OU", &type, &format)) {
        return -1;
    }
    DecimalResultProcessor* self = as_decimal(obj);
    // Releasing the old type or format may run code that uses this
    // processor: it must find the new fields all in place.
    Ref old_type(self->type);
    Ref old_format(self->format);
    self->type = Py_NewRef(type);
    self->format = Py_NewRef(format);
    self->fixed_digits = fixed_point_digits(format);
    return 0;
}

// The type is often a bound method of the object that owns the processor
// (a column converting through its own method): a cycle.
int decimal_traverse(PyObject* obj, visitproc visit, void* arg)
{
    DecimalResultProcessor* self = as_decimal(obj);
    Py_VISIT(self->type);
    Py_VISIT(self->format);
    return 0;
}

// A cleared processor refuses to process, as an uninitialised one does.
int decimal_clear(PyObject* obj)
{
    DecimalResultProcessor* self = as_decimal(obj);
    Py_CLEAR(self->type);
    Py_CLEAR(self->format);
    return 0;
}

// Processors chained through `type` free one another recursively; the
// trashcan defers the links beyond a safe depth, so a chain of any length
// is freed without exhausting the C stack.
void decimal_dealloc(PyObject* obj)
{
    PyObject_GC_UnTrack(obj);
    Py_TRASHCAN_BEGIN(obj, decimal_dealloc)
    decimal_clear(obj);
    Py_TYPE(obj)->tp_free(obj);
    Py_TRASHCAN_END
}

PyObject* decimal_process(PyObject* obj, PyObject* value)
{
    if (value == Py_None) {
        Py_RETURN_NONE;
    }
    DecimalResultProcessor* self = as_decimal(obj);
    if (self->type == nullptr || self->format == nullptr) {
        PyErr_SetString(PyExc_RuntimeError, NOT_INITIALIZED);
        return nullptr;
    }
    // Formatting and the call run Python code that may initialise this
    // processor again.
    Ref type = Ref::borrow(self->type);
    Ref format = Ref::borrow(self->format);
    Ref text(formatted_value(self, format.get(), value));
    if (!text) {
        return nullptr;
    }
    return PyObject_CallOneArg(type.get(), text.get());
}

PyMethodDef decimal_methods[] = {
    {"process", orvane::as_method(decimal_process), METH_O, "The value processor itself."},
    {nullptr, nullptr, 0, nullptr},
};

PyTypeObject DecimalResultProcessorType = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "orvane.DecimalResultProcessor",
    .tp_basicsize = sizeof(DecimalResultProcessor),
    .tp_dealloc = decimal_dealloc,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC,
    .tp_doc = "DecimalResultProcessor objects",
    .tp_traverse = decimal_traverse,
    .tp_clear = decimal_clear,
    .tp_methods = decimal_methods,
    .tp_init = decimal_init,
    .tp_free = PyObject_GC_Del,
};

// ---- _DecimalTextProcessor -------------------------------------------------

// Plain decimal text ("-12.345", "+.5", "7.") made into a decimal quantised
// to `scale` digits after the point, half to even, by digit arithmetic: the
// rounded digits are written as text that `decimal_type` reads exactly.
// Every other value (not an exact str, non-ASCII, white space, exponents,
// NaN and the infinities, underscores) goes to `general`, which gives the
// same result for plain text too. Given an exponent and a context, finite
// decimals of exactly `decimal_type` with fewer whole digits than a column
// holds are quantised here too, as `general` would quantise them: drivers
// that read the column as decimals hand over nothing else. An exact
// processor rounds nothing: text with digits beyond the scale that are not
// all zeros, and decimals that quantising would change, go to `general`,
// which refuses them.
struct DecimalTextProcessor {
    PyObject_HEAD
    PyObject* decimal_type;
    PyObject* general;
    Py_ssize_t scale;
    int exact;
    PyObject* exponent;  // both or neither
    PyObject* context;
    // Interned names of the decimal methods called, held by the instance so
    // that each interpreter's processors use their own.
    PyObject* is_finite_name;
    PyObject* adjusted_name;
    PyObject* quantize_name;
};

extern PyTypeObject DecimalTextProcessorType;

DecimalTextProcessor* as_decimal_text(PyObject* self) noexcept
{
    return reinterpret_cast<DecimalTextProcessor*>(self);
}

// Scales beyond this go to `general` whole: the rounded text would be mostly
// zeros, and its length must stay far from any limit.
constexpr Py_ssize_t MAX_TEXT_SCALE = 1000;

// Texts with more digits before the point than this go to `general`, which
// refuses values too large for a decimal column.
constexpr Py_ssize_t MAX_WHOLE_DIGITS = 131072;

// The parts of plain decimal text: an optional sign, digits, an optional
// point and digits, with at least one digit in all.
struct PlainDecimal {
    bool negative = false;
    const char* whole = nullptr;
    Py_ssize_t whole_length = 0;
    const char* fraction = nullptr;
    Py_ssize_t fraction_length = 0;
};

bool is_digit(char c)
{
    return c >= '0' && c <= '9';
}

bool parse_plain_decimal(const char* text, Py_ssize_t length, PlainDecimal& d)
{
    Py_ssize_t at = 0;
    if (at < length && (text[at] == '+' || text[at] == '-')) {
        d.negative = text[at] == '-';
        ++at;
    }
    d.whole = text + at;
    while (at < length && is_digit(text[at])) {
        ++at;
    }
    d.whole_length = text + at - d.whole;
    if (at < length && text[at] == '.') {
        ++at;
        d.fraction = text + at;
        while (at < length && is_digit(text[at])) {
            ++at;
        }
        d.fraction_length = text + at - d.fraction;
    }
    return at == length && d.whole_length + d.fraction_length > 0;
}

// Whether the digits of `d` beyond `scale` after the point are all zeros.
bool fits_scale(const PlainDecimal& d, Py_ssize_t scale)
{
    for (Py_ssize_t i = scale; i < d.fraction_length; ++i) {
        if (d.fraction[i] != '0') {
            return false;
        }
    }
    return true;
}

// The text of `d` rounded to `scale` digits after the point, half to even:
// the sign where the text has a minus, the whole digits without leading
// zeros (at least one), then the point and `scale` digits (none for scale 0).
PyObject* rounded_decimal_text(const PlainDecimal& d, Py_ssize_t scale)
{
    Py_ssize_t skipped = 0;
    while (skipped < d.whole_length && d.whole[skipped] == '0') {
        ++skipped;
    }
    const char* whole = d.whole + skipped;
    Py_ssize_t whole_length = d.whole_length - skipped;
    // The kept digits are the whole digits and the first `scale` digits of
    // the fraction, padded with zeros; one more in front leaves room for a carry.
    Py_ssize_t kept = whole_length + scale;
    Py_ssize_t size = kept + 1;
    char short_digits[64];
    char* digits = size <= 64 ? short_digits : static_cast<char*>(PyMem_Malloc(static_cast<size_t>(size)));
    if (digits == nullptr) {
        PyErr_NoMemory();
        return nullptr;
    }
    digits[0] = '0';
    std::memcpy(digits + 1, whole, static_cast<size_t>(whole_length));
    for (Py_ssize_t i = 0; i < scale; ++i) {
        digits[1 + whole_length + i] = i < d.fraction_length ? d.fraction[i] : '0';
    }
    if (d.fraction_length > scale) {
        char first_dropped = d.fraction[scale];
        bool rest_nonzero = false;
        for (Py_ssize_t i = scale + 1; i < d.fraction_length && !rest_nonzero; ++i) {
            rest_nonzero = d.fraction[i] != '0';
        }
        bool last_odd = ((digits[kept] - '0') & 1) != 0;
        if (first_dropped > '5' || (first_dropped == '5' && (rest_nonzero || last_odd))) {
            Py_ssize_t i = kept;
            while (digits[i] == '9') {
                digits[i--] = '0';
            }
            ++digits[i];  // digits[0] is '0', so the carry stops there at the latest
        }
    }
    // At least one digit before the point, and no leading zero beside it.
    Py_ssize_t start = 0;
    while (start < size - scale - 1 && digits[start] == '0') {
        ++start;
    }
    Py_ssize_t whole_out = size - scale - start;
    Py_ssize_t length = (d.negative ? 1 : 0) + whole_out + (scale > 0 ? 1 + scale : 0);
    PyObject* result = PyUnicode_New(length, 127);
    if (result != nullptr) {
        char* out = reinterpret_cast<char*>(PyUnicode_1BYTE_DATA(result));
        if (d.negative) {
            *out++ = '-';
        }
        std::memcpy(out, digits + start, static_cast<size_t>(whole_out));
        out += whole_out;
        if (scale > 0) {
            *out++ = '.';
            std::memcpy(out, digits + size - scale, static_cast<size_t>(scale));
        }
    }
    if (digits != short_digits) {
        PyMem_Free(digits);
    }
    return result;
}

PyObject* decimal_text_new(PyTypeObject* type, PyObject* args, PyObject* kwargs)
{
    static const char* keywords[] = {"decimal_type", "scale", "general", "exponent", "context", "exact", nullptr};
    PyObject *decimal_type, *general;
    PyObject* exponent = Py_None;
    PyObject* context = Py_None;
    Py_ssize_t scale;
    int exact = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OnO|OOp:_DecimalTextProcessor", const_cast<char**>(keywords),
                                     &decimal_type, &scale, &general, &exponent, &context, &exact)) {
        return nullptr;
    }
    if ((exponent == Py_None) != (context == Py_None)) {
        PyErr_SetString(PyExc_TypeError, "give both an exponent and a context, or neither");
        return nullptr;
    }
    Ref names[3];
    if (exponent != Py_None) {
        const char* spelled[3] = {"is_finite", "adjusted", "quantize"};
        for (int i = 0; i < 3; ++i) {
            names[i] = Ref(PyUnicode_InternFromString(spelled[i]));
            if (!names[i]) {
                return nullptr;
            }
        }
    }
    PyObject* obj = type->tp_alloc(type, 0);
    if (obj == nullptr) {
        return nullptr;
    }
    DecimalTextProcessor* self = as_decimal_text(obj);
    self->decimal_type = Py_NewRef(decimal_type);
    self->general = Py_NewRef(general);
    self->scale = scale;
    self->exact = exact;
    if (exponent != Py_None) {
        self->exponent = Py_NewRef(exponent);
        self->context = Py_NewRef(context);
        self->is_finite_name = names[0].release();
        self->adjusted_name = names[1].release();
        self->quantize_name = names[2].release();
    }
    return obj;
}

int decimal_text_traverse(PyObject* obj, visitproc visit, void* arg)
{
    DecimalTextProcessor* self = as_decimal_text(obj);
    Py_VISIT(self->decimal_type);
    Py_VISIT(self->general);
    Py_VISIT(self->exponent);
    Py_VISIT(self->context);
    return 0;
}

int decimal_text_clear(PyObject* obj)
{
    DecimalTextProcessor* self = as_decimal_text(obj);
    Py_CLEAR(self->decimal_type);
    Py_CLEAR(self->general);
    Py_CLEAR(self->exponent);
    Py_CLEAR(self->context);
    return 0;
}

void decimal_text_dealloc(PyObject* obj)
{
    PyObject_GC_UnTrack(obj);
    decimal_text_clear(obj);
    DecimalTextProcessor* self = as_decimal_text(obj);
    Py_CLEAR(self->is_finite_name);
    Py_CLEAR(self->adjusted_name);
    Py_CLEAR(self->quantize_name);
    Py_TYPE(obj)->tp_free(obj);
}

// `value`, a decimal of exactly the processor's type, quantised as `general`
// would quantise it; an empty Ref without an error where it is not finite or
// has too many whole digits, and is left to `general`.
Ref quantized_decimal(DecimalTextProcessor* self, PyObject* value)
{
    // The calls below may run code that clears the processor.
    Ref exponent = Ref::borrow(self->exponent);
    Ref context = Ref::borrow(self->context);
    if (!exponent || !context) {
        return Ref();
    }
    PyObject* receiver[] = {value};
    Ref finite(PyObject_VectorcallMethod(self->is_finite_name, receiver, 1, nullptr));
    if (!finite || finite.get() != Py_True) {
        return Ref();
    }
    Ref adjusted(PyObject_VectorcallMethod(self->adjusted_name, receiver, 1, nullptr));
    if (!adjusted || !PyLong_CheckExact(adjusted.get())) {
        return Ref();
    }
    int overflow = 0;
    long long whole_digits = PyLong_AsLongLongAndOverflow(adjusted.get(), &overflow);
    if (overflow != 0 || whole_digits >= MAX_WHOLE_DIGITS) {
        return Ref();
    }
    PyObject* arguments[] = {value, exponent.get(), Py_None, context.get()};
    Ref quantized(PyObject_VectorcallMethod(self->quantize_name, arguments, 4, nullptr));
    if (!quantized || !self->exact) {
        return quantized;
    }
    // Decimals compare by value, exactly, under no context.
    int unchanged = PyObject_RichCompareBool(quantized.get(), value, Py_EQ);
    if (unchanged <= 0) {
        return Ref();
    }
    return quantized;
}

PyObject* decimal_text_process(PyObject* obj, PyObject* value)
{
    DecimalTextProcessor* self = as_decimal_text(obj);
    if (self->decimal_type == nullptr || self->general == nullptr) {
        PyErr_SetString(PyExc_RuntimeError, "the processor has been cleared");
        return nullptr;
    }
    Py_ssize_t length;
    const char* text = canonical_candidate(value, length);
    PlainDecimal plain;
    if (text != nullptr && self->scale >= 0 && self->scale <= MAX_TEXT_SCALE &&
        parse_plain_decimal(text, length, plain) && plain.whole_length <= MAX_WHOLE_DIGITS &&
        (!self->exact || fits_scale(plain, self->scale))) {
        Ref rounded(rounded_decimal_text(plain, self->scale));
        if (!rounded) {
            return nullptr;
        }
        Ref decimal_type = Ref::borrow(self->decimal_type);
        return PyObject_CallOneArg(decimal_type.get(), rounded.get());
    }
    if (self->exponent != nullptr && Py_IS_TYPE(value, reinterpret_cast<PyTypeObject*>(self->decimal_type))) {
        Ref quantized = quantized_decimal(self, value);
        if (quantized || PyErr_Occurred()) {
            return quantized.release();
        }
    }
    Ref general = Ref::borrow(self->general);
    return PyObject_CallOneArg(general.get(), value);
}

PyMethodDef decimal_text_methods[] = {
    {"process", orvane::as_method(decimal_text_process), METH_O, "The value processor itself."},
    {nullptr, nullptr, 0, nullptr},
};

PyTypeObject DecimalTextProcessorType = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "orvane.convkern._DecimalTextProcessor",
    .tp_basicsize = sizeof(DecimalTextProcessor),
    .tp_dealloc = decimal_text_dealloc,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC,
    .tp_doc = "Plain decimal text to a quantised decimal; everything else to `general`.",
    .tp_traverse = decimal_text_traverse,
    .tp_clear = decimal_text_clear,
    .tp_methods = decimal_text_methods,
    .tp_new = decimal_text_new,
    .tp_free = PyObject_GC_Del,
};

// ---- module ----------------------------------------------------------------

PyMethodDef convkern_functions[] = {
    {"int_to_boolean", int_to_boolean, METH_O, "Convert an integer to a boolean."},
    {"to_str", to_str, METH_O, "Convert any value to its string representation."},
    {"to_float", to_float, METH_O, "Convert any value to its floating point representation."},
    {"str_to_datetime", str_to_datetime, METH_O, "Convert an ISO string to a datetime.datetime object."},
    {"str_to_time", str_to_time, METH_O, "Convert an ISO string to a datetime.time object."},
    {"str_to_date", str_to_date, METH_O, "Convert an ISO string to a datetime.date object."},
    {"_iso_datetime", iso_datetime, METH_O, "datetime.datetime.fromisoformat, canonical text read directly."},
    {"_iso_date", iso_date, METH_O, "datetime.date.fromisoformat, canonical text read directly."},
    {"_iso_time", iso_time, METH_O, "datetime.time.fromisoformat, canonical text read directly."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef convkern_module = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "convkern",
    .m_doc = "Module containing C versions of data processing functions.",
    .m_size = -1,
    .m_methods = convkern_functions,
};

bool import_datetime_api()
{
    if (datetime_api.load(std::memory_order_acquire) != nullptr) {
        return true;
    }
    auto* api = static_cast<PyDateTime_CAPI*>(PyCapsule_Import(PyDateTime_CAPSULE_NAME, 0));
    if (api == nullptr) {
        return false;
    }
    PyDateTime_CAPI* empty = nullptr;
    if (datetime_api.compare_exchange_strong(empty, api, std::memory_order_acq_rel)) {
        PyTypeObject* types[ISO_KINDS] = {api->DateTimeType, api->DateType, api->TimeType};
        for (int kind = 0; kind < ISO_KINDS; ++kind) {
            PyObject* method = PyObject_GetAttrString(reinterpret_cast<PyObject*>(types[kind]), "fromisoformat");
            if (method == nullptr) {
                PyErr_Clear();  // each delegation then looks the method up itself
            }
            fromisoformat_methods[kind].store(method, std::memory_order_relaxed);
        }
        datetime_api_interpreter.store(PyInterpreterState_GetID(PyInterpreterState_Get()), std::memory_order_release);
    }
    return true;
}

}  // namespace

PyMODINIT_FUNC PyInit_convkern(void)
{
    UnicodeResultProcessorType.tp_new = PyType_GenericNew;
    if (PyType_Ready(&UnicodeResultProcessorType) < 0) {
        return nullptr;
    }
    DecimalResultProcessorType.tp_new = PyType_GenericNew;
    if (PyType_Ready(&DecimalResultProcessorType) < 0) {
        return nullptr;
    }
    if (PyType_Ready(&DecimalTextProcessorType) < 0) {
        return nullptr;
    }
    Ref module(PyModule_Create2(&convkern_module, 1013));
    // Without the datetime interface the parsers could not build anything:
    // the import fails with the capsule import's error.
    if (!module || !import_datetime_api() ||
        PyModule_AddObjectRef(module.get(), "UnicodeResultProcessor",
                              reinterpret_cast<PyObject*>(&UnicodeResultProcessorType)) < 0 ||
        PyModule_AddObjectRef(module.get(), "DecimalResultProcessor",
                              reinterpret_cast<PyObject*>(&DecimalResultProcessorType)) < 0 ||
        PyModule_AddObjectRef(module.get(), "_DecimalTextProcessor",
                              reinterpret_cast<PyObject*>(&DecimalTextProcessorType)) < 0) {
        return nullptr;
    }
    return module.release();
}
