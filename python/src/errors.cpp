#include "errors.hpp"

namespace nb = nanobind;

namespace tvdb::py {
namespace {
PyObject* panic_exception = nullptr;

PyObject* exception_class(ErrorKind kind) {
    switch (kind) {
        case ErrorKind::DimensionMismatch:
        case ErrorKind::EmptyIndex:
        case ErrorKind::InvalidConfig: return PyExc_ValueError;
        case ErrorKind::DuplicateId:
        case ErrorKind::NotFound:
        case ErrorKind::CollectionAlreadyExists:
        case ErrorKind::CollectionNotFound:
        case ErrorKind::SnapshotAlreadyExists:
        case ErrorKind::SnapshotNotFound: return PyExc_KeyError;
        case ErrorKind::Io: return PyExc_OSError;
        case ErrorKind::Serialization:
        case ErrorKind::WalCorruption:
        case ErrorKind::EmbeddingError:
        case ErrorKind::NoEmbedder: return PyExc_RuntimeError;
    }
    return PyExc_RuntimeError;
}
}  // namespace

void raise_python(PyObject* type, const std::string& message) {
    PyErr_SetString(type, message.c_str());
    throw nb::python_error();
}

// OSError(message) with `errno` set and nothing else: `filename` and `strerror` stay None, so
// args and str() are the message alone while callers can still tell the causes apart.
[[noreturn]] void raise_os_error(const std::string& message, int code) {
    nb::object error = nb::steal(PyObject_CallFunction(PyExc_OSError, "s", message.c_str()));
    if (!error.is_valid()) throw nb::python_error();
    nb::object number = nb::steal(PyLong_FromLong(code));
    if (!number.is_valid() || PyObject_SetAttrString(error.ptr(), "errno", number.ptr()) != 0) {
        throw nb::python_error();
    }
    PyErr_SetObject(PyExc_OSError, error.ptr());
    throw nb::python_error();
}

void raise_core_error(const VectorDbError& error) {
    if (error.kind == ErrorKind::Io && error.os_code != 0) raise_os_error(error.message(), error.os_code);
    raise_python(exception_class(error.kind), error.message());
}

void raise_panic(const std::string& message) {
    raise_python(panic_exception ? panic_exception : PyExc_SystemError, message);
}

void create_panic_exception(nb::module_& module) {
    // Derives from BaseException so that `except Exception` does not swallow an abort. The
    // module exposes only its ten classes; callers reach this class through the exception.
    panic_exception = PyErr_NewExceptionWithDoc(
        "tolvane_vector_db.PanicException",
        "An internal operation aborted; the interpreter and other objects stay usable.",
        PyExc_BaseException, nullptr);
    if (!panic_exception) throw nb::python_error();
    (void)module;
}

}  // namespace tvdb::py
