// A ring failure whose cause is a failed system call, as Python sees it, shared by both
// extensions: the RuntimeError with the ring's fixed text, chained (`raise ... from`) to the
// OSError the system's error makes (errno, strerror and the name, as `os` raises it).
#pragma once

#include <pybind11/pybind11.h>

#include <cerrno>
#include <string>
#include <utility>

#include <quorvane/failure.hpp>

namespace quorvane_module {

// Runs `call`, which acts on the ring `name`; a RingError with a system cause leaves it as
// the __cause__ of the RuntimeError. Call it holding the interpreter lock.
template <typename Call>
auto with_system_cause(const std::string& name, Call&& call) {
    namespace py = pybind11;
    try {
        return std::forward<Call>(call)();
    } catch (const quorvane::RingError& error) {
        if (error.system_error == 0) throw;
        const auto filename = py::reinterpret_steal<py::object>(
            PyUnicode_DecodeFSDefaultAndSize(name.data(), static_cast<Py_ssize_t>(name.size())));
        if (!filename) throw py::error_already_set();
#ifdef MS_WINDOWS
        PyErr_SetExcFromWindowsErrWithFilenameObject(PyExc_OSError, error.system_error,
                                                     filename.ptr());
#else
        errno = error.system_error;
        PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, filename.ptr());
#endif
        py::raise_from(PyExc_RuntimeError, error.what());
        throw py::error_already_set();
    }
}

}  // namespace quorvane_module
