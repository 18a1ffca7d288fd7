#pragma once

#include <exception>

namespace quillmoor {

// For use inside catch (...): the exception in flight as a storable pointer, or an empty
// one for the forced unwind of a thread being ended (pthread_exit, cancellation; also
// any other exception foreign to C++). That unwind cannot be stored, carried to another
// thread or swallowed: the handler must rethrow it with `throw;`.
// (Not `catch (abi::__forced_unwind&)`: that binds a reference to no object, which
// UndefinedBehaviorSanitizer rightly reports.)
inline std::exception_ptr storable_exception() noexcept { return std::current_exception(); }

}  // namespace quillmoor
