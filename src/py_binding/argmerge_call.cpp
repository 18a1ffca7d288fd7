#include "py_binding/argmerge_call.hpp"

#include "merge_engine/merge_engine.hpp"
#include "py_binding/argument_binder.hpp"
#include "py_binding/matrix_view.hpp"
#include "py_binding/parameter_conversion.hpp"
#include "py_binding/points_argument.hpp"
#include "py_binding/python_error.hpp"
#include "py_binding/readonly_array.hpp"
#include "py_binding/result_array.hpp"
#include "py_binding/scalar_conversions.hpp"
#include "py_binding/signal_poll.hpp"

#include <array>
#include <cstddef>
#include <utility>

namespace quillmoor::py {

namespace {

constexpr std::array<const char*, 7> PARAMETER_NAMES = {
    "connected_crop_rows", "points_in_rows", "row_information", "tolerance", "num_threads",
    "with_bounds", "progress"};

// The merge's five parameters, and with_bounds and progress keyword-only.
ParameterTable argmerge_parameters{"argmerge()", PARAMETER_NAMES, 2};

}  // namespace

PyRef argmerge_call(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    std::array<PyObject*, PARAMETER_NAMES.size()> slots{};
    bind_arguments(argmerge_parameters, args, nargs, kwnames, slots);

    const ReadonlyArray connected_crop_rows =
        convert_parameter(PARAMETER_NAMES[0], [&] { return accept_array(slots[0]); });
    const PointsArgument points_in_rows =
        convert_parameter(PARAMETER_NAMES[1], [&] { return accept_points(slots[1]); });
    const ReadonlyArray row_information =
        convert_parameter(PARAMETER_NAMES[2], [&] { return accept_array(slots[2]); });
    const double tolerance =
        convert_parameter(PARAMETER_NAMES[3], [&] { return to_float64(slots[3]); });
    const std::size_t num_threads =
        convert_parameter(PARAMETER_NAMES[4], [&] { return to_machine_word(slots[4]); });
    const bool with_bounds = slots[5] != nullptr && convert_parameter(PARAMETER_NAMES[5], [&] {
        return to_truth(slots[5]);
    });
    const bool show_progress = slots[6] == nullptr || convert_parameter(PARAMETER_NAMES[6], [&] {
        return to_truth(slots[6]);
    });

    // As in the merge: the small tables copied, the points read where they lie.
    const OwnedMatrix connected_copy = to_owned(as_view(connected_crop_rows.get()));
    const PointTable points = points_in_rows.table();
    const OwnedMatrix row_information_copy = to_owned(as_view(row_information.get()));

    // Interrupted as the merge is: a signal handler that raises stops the call.
    KeptPositions kept = run_detached_interruptible([&](StopPoll poll) {
        return run_interruptible(poll, [&] {
            return argmerge(connected_copy, points, row_information_copy, tolerance,
                            num_threads, show_progress);
        });
    });
    PyRef positions = from_owned_positions(std::move(kept.positions), kept.count);
    if (!with_bounds) {
        return positions;
    }
    PyRef bounds = from_owned_positions(std::move(kept.record_bounds), kept.record_count + 1);
    return checked_new_reference(PyTuple_Pack(2, positions.get(), bounds.get()),
                                 "Failed to create the pair of positions and bounds");
}

}  // namespace quillmoor::py
