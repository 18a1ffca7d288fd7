#include "py_binding/signal_poll.hpp"

#include "py_binding/interpreter_state.hpp"
#include "py_binding/pending_exception.hpp"
#include "py_binding/python_error.hpp"

#include <pthread.h>

#include <atomic>

namespace quillmoor::py {

namespace {

// The ident of the thread that runs Python's signal handlers, or 0 while unknown: looked
// up once per process. A fork's child looks it up again, for there the thread that
// forked is the main one.
std::atomic<unsigned long> main_thread_ident{0};

void forget_main_thread() noexcept { main_thread_ident.store(0, std::memory_order_relaxed); }

// threading.main_thread().ident, or 0 when it cannot be had.
// Not noexcept: it runs Python code, where a daemon thread may be ended during
// finalisation (see call_at_python_boundary).
unsigned long look_up_main_thread() {
    // Looked up where it is almost always already imported.
    const PyRef name = PyRef::steal(PyUnicode_FromString("threading"));
    PyRef threading = name ? PyRef::steal(PyImport_GetModule(name.get())) : PyRef();
    if (!threading && PyErr_Occurred() == nullptr) {
        threading = PyRef::steal(PyImport_ImportModule("threading"));
    }
    const PyRef main_thread =
        threading ? PyRef::steal(PyObject_CallMethod(threading.get(), "main_thread", nullptr)) : PyRef();
    const PyRef ident =
        main_thread ? PyRef::steal(PyObject_GetAttrString(main_thread.get(), "ident")) : PyRef();
    if (!ident) {
        PyErr_Clear();
        return 0;
    }
    const unsigned long main_ident = PyLong_AsUnsignedLong(ident.get());
    if (main_ident == static_cast<unsigned long>(-1) && PyErr_Occurred() != nullptr) {
        PyErr_Clear();
        return 0;
    }
    return main_ident;
}

// Whether this thread is the one that runs Python's signal handlers. On any other thread
// PyErr_CheckSignals runs none, so re-attaching there would only cost time.
bool is_main_thread() {
    static const bool forgotten_in_forks = pthread_atfork(nullptr, nullptr, &forget_main_thread) == 0;
    static_cast<void>(forgotten_in_forks);
    unsigned long main_ident = main_thread_ident.load(std::memory_order_relaxed);
    if (main_ident == 0) {
        main_ident = look_up_main_thread();
        main_thread_ident.store(main_ident, std::memory_order_relaxed);
    }
    return main_ident != 0 && main_ident == PyThread_get_thread_ident();
}

}  // namespace

SignalPoll::SignalPoll() : runs_handlers_(is_main_thread()) {}

StopPoll SignalPoll::poll() noexcept {
    if (!runs_handlers_) {
        return {};
    }
    return {&SignalPoll::run_handlers, this};
}

bool SignalPoll::run_handlers(void* self) noexcept {
    auto& signals = *static_cast<SignalPoll*>(self);
    // The main thread finalises the interpreter itself; should another thread have begun
    // to (an embedding program), re-attaching could end or hold this one: the handlers
    // then wait for the end of the call.
    if (interpreter_finalizing()) {
        return false;
    }
    PyEval_RestoreThread(signals.detached_);
    const bool raised = PyErr_CheckSignals() != 0;
    if (raised) {
        signals.raised_ = take_pending_exception();
    }
    signals.detached_ = PyEval_SaveThread();
    return raised;
}

void SignalPoll::raise_if_handler_raised() {
    if (raised_) {
        restore_pending_exception(std::move(raised_));
        throw_python_error();
    }
}

}  // namespace quillmoor::py
