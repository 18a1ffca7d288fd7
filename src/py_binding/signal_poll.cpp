#include "py_binding/signal_poll.hpp"

#include "py_binding/interpreter_state.hpp"
#include "py_binding/pending_exception.hpp"
#include "py_binding/python_error.hpp"

namespace quillmoor::py {

namespace {

// Whether this thread is the one that runs Python's signal handlers: the main thread
// (after a fork, the thread that forked). On any other thread PyErr_CheckSignals runs
// none, so re-attaching there would only cost time.
bool is_main_thread() noexcept {
    // Looked up where it is almost always already imported: a full import costs more than
    // a small merge.
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
        return false;
    }
    const unsigned long main_ident = PyLong_AsUnsignedLong(ident.get());
    if (main_ident == static_cast<unsigned long>(-1) && PyErr_Occurred() != nullptr) {
        PyErr_Clear();
        return false;
    }
    return main_ident == PyThread_get_thread_ident();
}

}  // namespace

SignalPoll::SignalPoll() noexcept : runs_handlers_(is_main_thread()) {}

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
