#include "py_binding/interpreter_state.hpp"
#include "py_binding/py_ref.hpp"

#if defined(Py_LIMITED_API)
#include <dlfcn.h>
#endif

namespace quillmoor::py {

namespace {

#if defined(Py_LIMITED_API)
using IntQuestion = int (*)();

// The stable ABI asks neither question, but every interpreter exports both functions, the
// finalisation one as Py_IsFinalizing from 3.13 and as _Py_IsFinalizing before.
struct InterpreterQuestions {
    IntQuestion is_finalizing = nullptr;
    IntQuestion holds_interpreter = nullptr;
};

IntQuestion exported_function(const char* name) noexcept {
    return reinterpret_cast<IntQuestion>(dlsym(RTLD_DEFAULT, name));
}

const InterpreterQuestions& interpreter_questions() noexcept {
    static const InterpreterQuestions questions = [] {
        InterpreterQuestions found;
        found.is_finalizing = exported_function("Py_IsFinalizing");
        if (found.is_finalizing == nullptr) {
            found.is_finalizing = exported_function("_Py_IsFinalizing");
        }
        found.holds_interpreter = exported_function("PyGILState_Check");
        return found;
    }();
    return questions;
}
#endif

}  // namespace

bool interpreter_finalizing() noexcept {
#if defined(Py_LIMITED_API)
    // An interpreter whose symbols are hidden from the module (libpython opened privately
    // by an embedding program) cannot be asked: treated as not finalising, as outside exit.
    const InterpreterQuestions& questions = interpreter_questions();
    return questions.is_finalizing != nullptr && questions.is_finalizing() != 0;
#elif PY_VERSION_HEX >= 0x030D0000
    return Py_IsFinalizing() != 0;
#else
    return _Py_IsFinalizing() != 0;
#endif
}

bool attached_to_interpreter() noexcept {
    if (!interpreter_finalizing()) {
        return true;
    }
#if defined(Py_LIMITED_API)
    const InterpreterQuestions& questions = interpreter_questions();
    return questions.holds_interpreter == nullptr || questions.holds_interpreter() != 0;
#else
    return PyGILState_Check() != 0;
#endif
}

}  // namespace quillmoor::py
