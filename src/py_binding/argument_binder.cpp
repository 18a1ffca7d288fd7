#include "py_binding/argument_binder.hpp"

#include "py_binding/python_error.hpp"

#include <cstddef>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace quillmoor::py {

namespace {

PyObject* const* interned_names_of(ParameterTable& table) {
    PyObject* const* existing = table.interned_names.load(std::memory_order_acquire);
    if (existing != nullptr) {
        return existing;
    }
    const std::size_t count = table.names.size();
    auto names = std::make_unique<PyObject*[]>(count);
    for (std::size_t index = 0; index < count; ++index) {
        names[index] = PyUnicode_InternFromString(table.names[index]);
        if (names[index] == nullptr) {
            for (std::size_t made = 0; made < index; ++made) {
                Py_DECREF(names[made]);
            }
            throw_python_error();
        }
    }
    if (table.interned_names.compare_exchange_strong(existing, names.get(),
                                                     std::memory_order_acq_rel)) {
        return names.release();  // kept for the life of the process
    }
    for (std::size_t index = 0; index < count; ++index) {
        Py_DECREF(names[index]);
    }
    return existing;
}

// The parameter that `keyword` names, if any. A name that is not valid UTF-8 text
// matches nothing.
std::optional<std::size_t> parameter_index(const ParameterTable& table,
                                           PyObject* const* interned, PyObject* keyword) {
    const std::size_t count = table.names.size();
    for (std::size_t index = 0; index < count; ++index) {
        if (keyword == interned[index]) {
            return index;
        }
    }
    Py_ssize_t length = 0;
    const char* text = PyUnicode_Check(keyword) ? PyUnicode_AsUTF8AndSize(keyword, &length)
                                                : nullptr;
    if (text == nullptr) {
        PyErr_Clear();
        return std::nullopt;
    }
    const std::string_view keyword_text(text, static_cast<std::size_t>(length));
    for (std::size_t index = 0; index < count; ++index) {
        if (keyword_text == table.names[index]) {
            return index;
        }
    }
    return std::nullopt;
}

// "'a'", "'a' and 'b'", "'a', 'b', and 'c'": the empty slots in [first, end).
std::string quoted_list(const ParameterTable& table, std::span<PyObject*> slots,
                        std::size_t first, std::size_t end, std::size_t missing) {
    std::string list;
    std::size_t listed = 0;
    for (std::size_t index = first; index < end; ++index) {
        if (slots[index] != nullptr) {
            continue;
        }
        if (listed > 0) {
            if (missing > 2) {
                list += ',';
            }
            list += listed + 1 == missing ? " and " : " ";
        }
        list += '\'';
        list += table.names[index];
        list += '\'';
        ++listed;
    }
    return list;
}

}  // namespace

void bind_arguments(ParameterTable& table, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, std::span<PyObject*> slots) {
    const std::size_t positional_parameters = table.names.size() - table.keyword_only;
    const auto positional = static_cast<std::size_t>(nargs);
    if (positional > positional_parameters) {
        PyErr_Format(PyExc_TypeError, "%s takes %zu positional arguments but %zd %s given",
                     table.function_name, positional_parameters, nargs, nargs == 1 ? "was" : "were");
        throw_python_error();
    }
    for (std::size_t index = 0; index < positional; ++index) {
        slots[index] = args[index];
    }

    const Py_ssize_t keyword_count = kwnames == nullptr ? 0 : PyTuple_Size(kwnames);
    if (keyword_count > 0) {
        PyObject* const* interned = interned_names_of(table);
        for (Py_ssize_t keyword_index = 0; keyword_index < keyword_count; ++keyword_index) {
            PyObject* keyword = PyTuple_GetItem(kwnames, keyword_index);
            const std::optional<std::size_t> index = parameter_index(table, interned, keyword);
            if (!index) {
                PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%S'",
                             table.function_name, keyword);
                throw_python_error();
            }
            if (slots[*index] != nullptr) {
                PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%s'",
                             table.function_name, table.names[*index]);
                throw_python_error();
            }
            slots[*index] = args[nargs + keyword_index];
        }
    }

    std::size_t missing = 0;
    for (std::size_t index = positional; index < positional_parameters; ++index) {
        missing += slots[index] == nullptr ? 1 : 0;
    }
    if (missing > 0) {
        const std::string list = quoted_list(table, slots, positional, positional_parameters, missing);
        PyErr_Format(PyExc_TypeError, "%s missing %zu required positional %s: %s",
                     table.function_name, missing, missing == 1 ? "argument" : "arguments",
                     list.c_str());
        throw_python_error();
    }
}

}  // namespace quillmoor::py
