#pragma once

namespace quillmoor::py {

// Whether the interpreter has begun to finalise. Callable detached: a thread other than
// the finalising one that re-attaches now may be ended (CPython before 3.14) or held
// forever (3.14).
bool interpreter_finalizing() noexcept;

}  // namespace quillmoor::py
