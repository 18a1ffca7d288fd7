#pragma once

#include "py_binding/py_ref.hpp"

namespace quillmoor::py {

// Takes the pending exception off the interpreter as one normalised exception object
// (with its traceback attached); empty when none is pending.
PyRef take_pending_exception() noexcept;

// Makes `exception` (an exception instance) the pending exception again.
void restore_pending_exception(PyRef exception) noexcept;

}  // namespace quillmoor::py
