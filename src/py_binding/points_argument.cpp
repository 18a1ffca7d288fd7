#include "py_binding/points_argument.hpp"

#include "py_binding/matrix_view.hpp"
#include "py_binding/numpy_abi.hpp"
#include "py_binding/py_ref.hpp"
#include "py_binding/python_error.hpp"
#include "py_binding/type_name.hpp"

#include <string>
#include <utility>

namespace quillmoor::py {

namespace {

constexpr std::array<const char*, PointTable::DECISION_COLUMNS> COLUMN_NAMES = {"key_a", "key_b",
                                                                                "x", "y"};

std::size_t column_length(const ReadonlyArray& column) noexcept {
    return static_cast<std::size_t>(numpy_abi::array_fields(column.get())->dimensions[0]);
}

[[noreturn]] void refuse_column(std::size_t index, PyObject* item) {
    const std::string type_name = type_qualname(Py_TYPE(item));
    PyErr_Format(PyExc_TypeError,
                 "column %zu (%s): '%s' object is not a one-dimensional float64 'ndarray'",
                 index, COLUMN_NAMES[index], type_name.c_str());
    throw_python_error();
}

}  // namespace

PointTable PointsArgument::table() const noexcept {
    if (table_) {
        return as_point_table(as_view(table_->get()));
    }
    PointTable::DecisionColumns columns{};
    for (std::size_t index = 0; index < columns.size(); ++index) {
        const auto* fields = numpy_abi::array_fields(columns_[index]->get());
        columns[index] = {fields->data, fields->strides[0]};
    }
    return PointTable::of_columns(column_length(*columns_[0]), columns);
}

PointsArgument accept_points(PyObject* object) {
    PointsArgument points;
    if (!PyList_Check(object) && !PyTuple_Check(object)) {
        points.table_.emplace(accept_array(object));
        return points;
    }
    const Py_ssize_t count = PySequence_Size(object);
    if (count < 0) {
        throw_python_error();
    }
    if (static_cast<std::size_t>(count) != COLUMN_NAMES.size()) {
        PyErr_Format(PyExc_TypeError,
                     "as columns it takes 4 arrays (key_a, key_b, x, y), got %zd", count);
        throw_python_error();
    }
    for (std::size_t index = 0; index < COLUMN_NAMES.size(); ++index) {
        // A new reference: another thread may change the list meanwhile.
        const PyRef item =
            PyRef::steal(PySequence_GetItem(object, static_cast<Py_ssize_t>(index)));
        if (!item) {
            throw_python_error();
        }
        std::optional<ReadonlyArray> column = accept_column(item.get());
        if (!column) {
            refuse_column(index, item.get());
        }
        points.columns_[index].emplace(std::move(*column));
    }
    const std::size_t length = column_length(*points.columns_[0]);
    for (const auto& column : points.columns_) {
        if (column_length(*column) != length) {
            PyErr_Format(PyExc_ValueError,
                         "its columns differ in length: key_a %zu, key_b %zu, x %zu, y %zu",
                         column_length(*points.columns_[0]), column_length(*points.columns_[1]),
                         column_length(*points.columns_[2]), column_length(*points.columns_[3]));
            throw_python_error();
        }
    }
    return points;
}

}  // namespace quillmoor::py
