// Running native work with the interpreter lock released, shared by both extensions.
#pragma once

#include <Python.h>

#include <exception>
#include <optional>
#include <type_traits>
#include <utility>

namespace quorvane_module {

// Runs `work` without the interpreter lock and takes the lock back in ordinary code, never
// in a destructor (pybind11's gil_scoped_release does it in one). At interpreter exit,
// CPython ends a daemon thread that takes the lock back with pthread_exit, whose forced
// unwind must not cross a frame that may not throw, as every destructor is: that is
// std::terminate, an abort instead of the program's own exit.
template <typename Work>
auto unlocked(Work&& work) {
    using Result = decltype(work());
    std::exception_ptr failure;
    PyThreadState* state = PyEval_SaveThread();
    if constexpr (std::is_void_v<Result>) {
        try {
            work();
        } catch (...) {
            failure = std::current_exception();
        }
        PyEval_RestoreThread(state);
        if (failure) std::rethrow_exception(failure);
    } else {
        std::optional<Result> result;
        try {
            result.emplace(work());
        } catch (...) {
            failure = std::current_exception();
        }
        PyEval_RestoreThread(state);
        if (failure) std::rethrow_exception(failure);
        return *std::move(result);
    }
}

}  // namespace quorvane_module
