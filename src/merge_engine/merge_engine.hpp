#pragma once

#include "merge_engine/kept_positions.hpp"
#include "merge_engine/owned_matrix.hpp"
#include "merge_engine/point_table.hpp"

#include <cstddef>

namespace quillmoor {

// Merges every connection record of `connected_crop_rows`: each record contributes the
// point records of its segment minus those in the overlap zone at each junction with
// one of its neighbours. Returns a row-major matrix with the width of `points_in_rows`
// whose rows are unchanged copies of point records, record by record in increasing
// record index. The three tables are only read. Throws InternalError on any failure;
// there is never a partial result.
//
// points_in_rows is read where it lies; another thread may write into it meanwhile.
// Each point row is then decided once, from the values read then, so the call stays
// safe and its result consistent in shape; the rows returned hold the values as read.
//
// num_threads: worker threads for this call; 0 picks a default.
// Run inside run_interruptible (interruption.hpp), the call can be stopped: it then throws
// MergeInterrupted, from any of its passes, within milliseconds.
// NOLINTBEGIN(bugprone-easily-swappable-parameters): the order of the Python function
OwnedMatrix multithreaded_merging(const OwnedMatrix& connected_crop_rows,
                                  const PointTable& points_in_rows,
                                  const OwnedMatrix& row_information, double tolerance,
                                  std::size_t num_threads);

// The positions in points_in_rows of the rows multithreaded_merging would return, in its
// order, with each connection record's block: the same decisions, failures, threads and
// progress, with a position written where the merge copies a row. Reads only the key, x
// and y columns, so points_in_rows may be given as those four columns alone
// (PointTable::of_columns); taking the rows at these positions from points_in_rows gives
// the merge's result. show_progress false keeps the bar hidden whatever the terminal (a
// caller merging a field piece by piece draws one bar of its own over all of them).
KeptPositions argmerge(const OwnedMatrix& connected_crop_rows, const PointTable& points_in_rows,
                       const OwnedMatrix& row_information, double tolerance,
                       std::size_t num_threads, bool show_progress = true);
// NOLINTEND(bugprone-easily-swappable-parameters)

}  // namespace quillmoor
