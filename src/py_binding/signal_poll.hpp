#pragma once

#include <Python.h>

#include "merge_engine/forced_unwind.hpp"
#include "merge_engine/interruption.hpp"
#include "py_binding/py_ref.hpp"

#include <exception>
#include <optional>
#include <utility>

namespace quillmoor::py {

// Lets a thread that is detached from the interpreter for a long piece of work run
// Python's signal handlers now and then: its poll re-attaches briefly, runs them
// (PyErr_CheckSignals) and detaches again. A handler that raises makes the poll say stop;
// its exception is kept and raised once the thread is attached again. Only the main
// thread runs Python's handlers, so on any other thread the poll is empty and the work
// is never disturbed (nor slowed by waiting to re-attach).
class SignalPoll {
public:
    // Attached. Not noexcept: it runs Python code (see is_main_thread).
    SignalPoll();
    SignalPoll(const SignalPoll&) = delete;
    SignalPoll& operator=(const SignalPoll&) = delete;

    void detach() noexcept { detached_ = PyEval_SaveThread(); }
    // May end the thread during finalisation (CPython before 3.14): see run_detached.
    void attach() { PyEval_RestoreThread(detached_); }

    // For the detached work, between detach() and attach().
    StopPoll poll() noexcept;

    // Attached: when a handler raised, makes its exception pending and throws
    // PythonErrorSet.
    void raise_if_handler_raised();

private:
    static bool run_handlers(void* self) noexcept;

    const bool runs_handlers_;
    PyThreadState* detached_ = nullptr;
    PyRef raised_;  // touched only while attached
};

// Runs `work(poll)` with the calling thread detached from the interpreter, as run_detached
// does; `poll` runs Python's signal handlers every few milliseconds (see SignalPoll) and
// says stop when one raises. A handler's exception decides the outcome: once re-attached,
// it is the exception raised, whatever `work` then returned or threw.
template <typename Work>
auto run_detached_interruptible(Work&& work) -> decltype(work(StopPoll{})) {
    SignalPoll signals;
    std::optional<decltype(work(StopPoll{}))> result;
    std::exception_ptr failure;
    signals.detach();
    try {
        result.emplace(work(signals.poll()));
    } catch (...) {
        failure = storable_exception();
        if (!failure) {
            throw;  // a thread being ended: not carried past the re-attach
        }
    }
    signals.attach();
    signals.raise_if_handler_raised();
    if (failure) {
        std::rethrow_exception(failure);
    }
    return std::move(*result);
}

}  // namespace quillmoor::py
