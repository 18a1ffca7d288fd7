#pragma once

#include <cstddef>
#include <memory>

namespace quillmoor {

struct MatrixBufferDeleter {
    void operator()(double* buffer) const noexcept;
};

// The owned storage of a matrix. Freed with MatrixBufferDeleter wherever it ends up,
// also when NumPy's result array owns it.
using MatrixBuffer = std::unique_ptr<double[], MatrixBufferDeleter>;

// Uninitialised storage for `count` float64 values (room for at least one).
MatrixBuffer allocate_matrix_buffer(std::size_t count);

}  // namespace quillmoor
