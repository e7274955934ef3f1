#pragma once

#include <string>

#include <nanobind/nanobind.h>

#include "error.hpp"

namespace tvdb::py {

// Raises the Python exception mapped to a core error, with its display text as message.
[[noreturn]] void raise_core_error(const VectorDbError& error);
// Raises a Python exception of the given built-in class.
[[noreturn]] void raise_python(PyObject* type, const std::string& message);
// Raises PanicException (a BaseException subclass) for an aborted core operation.
[[noreturn]] void raise_panic(const std::string& message);
// Creates the PanicException class; called once by module initialisation.
void create_panic_exception(nanobind::module_& module);

template <typename T>
T unwrap(Result<T>&& result) {
    if (!result) raise_core_error(result.error());
    return std::move(*result);
}

inline void unwrap(Result<void>&& result) {
    if (!result) raise_core_error(result.error());
}

}  // namespace tvdb::py
