#pragma once

#include "merge_engine/point_table.hpp"
#include "py_binding/readonly_array.hpp"

#include <Python.h>

#include <array>
#include <optional>

namespace quillmoor::py {

// argmerge's points_in_rows, held (a reference and a read borrow of each array) for the
// length of the call: one two-dimensional float64 table, as the merge takes it, or the
// four columns the merge decides by alone, a list or tuple of one-dimensional float64
// arrays (key_a, key_b, x, y) of one length, each with any stride. The columns are read
// where they lie, as a table is.
class PointsArgument {
public:
    // The points as the engine reads them; valid while this object lives.
    PointTable table() const noexcept;

    friend PointsArgument accept_points(PyObject* object);

private:
    // A table, or the four columns (released in reverse order of taking).
    std::optional<ReadonlyArray> table_;
    std::array<std::optional<ReadonlyArray>, PointTable::DECISION_COLUMNS> columns_;
};

// Accepts `object` as argmerge's points_in_rows. Anything but a list or a tuple is
// taken as a table, with the merge's refusals. Columns are refused with a TypeError
// when there are not four or one is not a one-dimensional float64 ndarray, and with a
// ValueError when their lengths differ (PythonErrorSet). Loading NumPy's C API or taking
// a read borrow may fail with an internal error.
PointsArgument accept_points(PyObject* object);

}  // namespace quillmoor::py
