#include "merge_engine/internal_error.hpp"
#include "merge_engine/owned_matrix.hpp"

#include <gtest/gtest.h>

#include <memory>

namespace quillmoor {
namespace {

TEST(OwnedMatrix, RowMajorReadsByRowAndColumn) {
    OwnedMatrix m = OwnedMatrix::row_major(2, 3);
    for (int k = 0; k < 6; ++k) {
        m.mutable_data()[k] = k;
    }
    EXPECT_TRUE(m.is_row_major());
    EXPECT_EQ(m.at(1, 2), 5.0);
    EXPECT_EQ(m.at(1, 0), 3.0);
}

TEST(OwnedMatrix, NegativeStridesAddressFromAnOffset) {
    // Rows reversed: logical row 0 is the buffer's last row.
    MatrixBuffer buffer = allocate_matrix_buffer(6);
    for (int k = 0; k < 6; ++k) {
        buffer[k] = k;
    }
    const OwnedMatrix m(2, 3, -3, 1, std::move(buffer), 6, 3);
    EXPECT_EQ(m.at(0, 0), 3.0);
    EXPECT_EQ(m.at(1, 2), 2.0);
    EXPECT_FALSE(m.is_row_major());
}

TEST(OwnedMatrix, ReadOutsideTheShapeIsAnInternalError) {
    const OwnedMatrix m = OwnedMatrix::row_major(2, 3);
    try {
        (void)m.at(0, 3);
        FAIL() << "no error";
    } catch (const InternalError& e) {
        EXPECT_STREQ(e.what(), INDEX_OUT_OF_BOUNDS);
    }
    EXPECT_THROW((void)m.at(2, 0), InternalError);
    EXPECT_THROW((void)OwnedMatrix().at(0, 0), InternalError);
}

TEST(OwnedMatrix, ReleasedBufferLeavesAnEmptyMatrix) {
    OwnedMatrix m = OwnedMatrix::row_major(4, 2);
    const double* data = m.data();
    const MatrixBuffer buffer = m.release_buffer();
    EXPECT_EQ(buffer.get(), data);
    EXPECT_EQ(m.rows(), 0U);
    EXPECT_EQ(m.data(), nullptr);
}

TEST(OwnedMatrix, EmptyShapeAllocatesNothing) {
    const OwnedMatrix m = OwnedMatrix::row_major(0, 5);
    EXPECT_EQ(m.data(), nullptr);
    EXPECT_EQ(m.cols(), 5U);
}

}  // namespace
}  // namespace quillmoor
