#include "py_binding/merge_points_call.hpp"

#include "merge_engine/merge_engine.hpp"
#include "py_binding/argument_binder.hpp"
#include "py_binding/matrix_view.hpp"
#include "py_binding/parameter_conversion.hpp"
#include "py_binding/python_error.hpp"
#include "py_binding/readonly_array.hpp"
#include "py_binding/result_array.hpp"
#include "py_binding/scalar_conversions.hpp"
#include "py_binding/signal_poll.hpp"

#include <array>
#include <cstddef>

namespace quillmoor::py {

namespace {

constexpr std::array<const char*, 5> PARAMETER_NAMES = {
    "connected_crop_rows", "points_in_rows", "row_information", "tolerance", "num_threads"};

ParameterTable merge_parameters{"merge_points_removing_overlap()", PARAMETER_NAMES};

}  // namespace

PyRef merge_points_call(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    std::array<PyObject*, PARAMETER_NAMES.size()> slots{};
    bind_arguments(merge_parameters, args, nargs, kwnames, slots);

    const ReadonlyArray connected_crop_rows =
        convert_parameter(PARAMETER_NAMES[0], [&] { return accept_array(slots[0]); });
    const ReadonlyArray points_in_rows =
        convert_parameter(PARAMETER_NAMES[1], [&] { return accept_array(slots[1]); });
    const ReadonlyArray row_information =
        convert_parameter(PARAMETER_NAMES[2], [&] { return accept_array(slots[2]); });
    const double tolerance =
        convert_parameter(PARAMETER_NAMES[3], [&] { return to_float64(slots[3]); });
    const std::size_t num_threads =
        convert_parameter(PARAMETER_NAMES[4], [&] { return to_machine_word(slots[4]); });

    // The two small tables are copied; the points are read where they lie, for as long
    // as points_in_rows holds its reference and read borrow (the whole call).
    const OwnedMatrix connected_copy = to_owned(as_view(connected_crop_rows.get()));
    const PointTable points = as_point_table(as_view(points_in_rows.get()));
    const OwnedMatrix row_information_copy = to_owned(as_view(row_information.get()));

    // Other Python threads run meanwhile and may write into points_in_rows: the engine
    // is safe against that (see multithreaded_merging). On the main thread, a signal
    // handler that raises (Ctrl-C's KeyboardInterrupt) stops the merge within
    // milliseconds, and its exception is raised instead of a result.
    OwnedMatrix result = run_detached_interruptible([&](StopPoll poll) {
        return run_interruptible(poll, [&] {
            return multithreaded_merging(connected_copy, points, row_information_copy,
                                         tolerance, num_threads);
        });
    });
    return from_owned_array(std::move(result));
}

}  // namespace quillmoor::py
