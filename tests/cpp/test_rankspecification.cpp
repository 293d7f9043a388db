#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "capture_log.h"
#include "math/arrays/rankspecification.h"

namespace {

// Reference decomposition of a logical element number, dimension 0 fastest: byte offset of the
// element from element 0.
size_t ReferenceOffset(const std::vector<size_t>& dims, const std::vector<size_t>& strides,
                       size_t logical) {
  size_t offset = 0;
  for (size_t k = 0; k < dims.size(); ++k) {
    offset += (logical % dims[k]) * strides[k];
    logical /= dims[k];
  }
  return offset;
}

std::vector<size_t> DimsOf(const RankSpecification& r) {
  return std::vector<size_t>(r.Dims(), r.Dims() + r.Rank());
}
std::vector<size_t> StridesOf(const RankSpecification& r) {
  return std::vector<size_t>(r.Strides(), r.Strides() + r.Rank());
}

bool ListsInsideObject(const RankSpecification& r) {
  const char* begin = reinterpret_cast<const char*>(&r);
  const char* dims = reinterpret_cast<const char*>(r.Dims());
  const char* strides = reinterpret_cast<const char*>(r.Strides());
  return dims >= begin && dims < begin + sizeof(r) && strides >= begin &&
         strides < begin + sizeof(r);
}

// Records the source path of every log line as well as its text.
class SourceCapture : public CaptureLog {
 public:
  void DisplayEntry(const zvLogEntry& entry) override {
    files.push_back(static_cast<const char*>(entry.m_file));
    CaptureLog::DisplayEntry(entry);
  }
  std::vector<std::string> files;
};

TEST(RankSpecification, PackedLayoutOfThreeByFour) {
  RankSpecification r;
  const size_t dims[2] = {3, 4};
  ASSERT_TRUE(r.Configure(2, dims, 8, nullptr));
  EXPECT_EQ(r.Rank(), 2u);
  EXPECT_EQ(StridesOf(r), (std::vector<size_t>{8, 24}));
  EXPECT_EQ(r.N_Elements(), 12u);
  EXPECT_EQ(r.Stride(), 8u);
  EXPECT_TRUE(r.IsContiguous());
  EXPECT_TRUE(r.IsFixedStride());
  EXPECT_EQ(r.GetContiguousStorageSize(8), 12u);
  static zvBYTE buffer[64];
  EXPECT_EQ(r.LogicalToPointer(5, buffer), buffer + 40);
}

TEST(RankSpecification, GivenStridesSetTheFlags) {
  const size_t dims[2] = {3, 4};
  RankSpecification even;
  const size_t every_other[2] = {16, 48};
  ASSERT_TRUE(even.Configure(2, dims, 8, every_other));
  EXPECT_FALSE(even.IsContiguous());
  EXPECT_TRUE(even.IsFixedStride());
  EXPECT_EQ(even.GetContiguousStorageSize(8), 24u);

  RankSpecification uneven;
  const size_t padded_rows[2] = {8, 32};
  ASSERT_TRUE(uneven.Configure(2, dims, 8, padded_rows));
  EXPECT_FALSE(uneven.IsContiguous());
  EXPECT_FALSE(uneven.IsFixedStride());

  RankSpecification packed;
  const size_t packed_strides[2] = {8, 24};
  ASSERT_TRUE(packed.Configure(2, dims, 8, packed_strides));
  EXPECT_TRUE(packed.IsContiguous());
  EXPECT_TRUE(packed.IsFixedStride());
}

TEST(RankSpecification, LogicalToPointerMatchesReferenceForManyLayouts) {
  struct Case {
    std::vector<size_t> dims;
    std::vector<size_t> strides;
  };
  const std::vector<Case> cases = {
      {{7}, {24}},
      {{3, 4}, {8, 24}},
      {{3, 4}, {8, 32}},
      {{3, 4}, {32, 8}},  // transposed
      {{2, 3, 4}, {8, 40, 200}},
      {{2, 1, 3, 2, 2}, {4, 16, 16, 64, 400}},  // rank 5: heap lists
  };
  static zvBYTE base[4096];
  for (const Case& c : cases) {
    RankSpecification r;
    ASSERT_TRUE(r.Configure(c.dims.size(), c.dims.data(), 4, c.strides.data()));
    for (size_t logical = 0; logical < r.N_Elements(); ++logical) {
      EXPECT_EQ(r.LogicalToPointer(logical, base) - base,
                static_cast<ptrdiff_t>(ReferenceOffset(c.dims, c.strides, logical)))
          << "rank " << c.dims.size() << " logical " << logical;
    }
    // One past the last element is the end of the slowest dimension.
    const size_t last = c.dims.size() - 1;
    EXPECT_EQ(r.LogicalToPointer(r.N_Elements(), base) - base,
              static_cast<ptrdiff_t>(c.dims[last] * c.strides[last]));
  }
}

TEST(RankSpecification, EmptyAndHeapLayouts) {
  RankSpecification r;
  EXPECT_EQ(r.Rank(), 0u);
  EXPECT_EQ(r.N_Elements(), 0u);
  EXPECT_EQ(r.Stride(), 0u);
  EXPECT_EQ(r.Dims()[0], 0u);

  const size_t dims5[5] = {2, 3, 1, 2, 2};
  ASSERT_TRUE(r.Configure(5, dims5, 8, nullptr));
  EXPECT_FALSE(ListsInsideObject(r));
  EXPECT_EQ(r.N_Elements(), 24u);
  EXPECT_EQ(StridesOf(r), (std::vector<size_t>{8, 16, 48, 48, 96}));

  const size_t dims2[2] = {3, 4};
  ASSERT_TRUE(r.Configure(2, dims2, 8, nullptr));
  EXPECT_TRUE(ListsInsideObject(r));

  ASSERT_TRUE(r.Configure(0, nullptr, 8, nullptr));
  EXPECT_EQ(r.Rank(), 0u);
  EXPECT_EQ(r.N_Elements(), 0u);
  EXPECT_FALSE(r.IsContiguous());
  EXPECT_FALSE(r.IsFixedStride());
  EXPECT_EQ(r.Dims()[0], 0u);
  EXPECT_EQ(r.Stride(), 0u);
  EXPECT_EQ(r.GetContiguousStorageSize(8), 0u);

  // Erase frees heap lists but keeps the flags.
  ASSERT_TRUE(r.Configure(5, dims5, 8, nullptr));
  r.Erase();
  EXPECT_TRUE(ListsInsideObject(r));
  EXPECT_EQ(r.Rank(), 0u);
  EXPECT_EQ(r.N_Elements(), 0u);
  EXPECT_EQ(r.Stride(), 0u);
  EXPECT_TRUE(r.IsContiguous());
}

TEST(RankSpecification, CopiesNeverShareLists) {
  const size_t dims5[5] = {2, 3, 1, 2, 2};
  RankSpecification a;
  ASSERT_TRUE(a.Configure(5, dims5, 8, nullptr));
  RankSpecification b(a);
  EXPECT_NE(b.Dims(), a.Dims());
  EXPECT_EQ(DimsOf(b), DimsOf(a));
  EXPECT_EQ(StridesOf(b), StridesOf(a));
  b.UnsafeDims()[0] = 9;
  EXPECT_EQ(a.Dims()[0], 2u);

  RankSpecification c;
  const size_t dims2[2] = {3, 4};
  const size_t strides2[2] = {16, 48};
  ASSERT_TRUE(c.Configure(2, dims2, 8, strides2));
  c = a;
  EXPECT_EQ(DimsOf(c), DimsOf(a));
  EXPECT_TRUE(c.IsContiguous());
  RankSpecification& same = c;
  c = same;
  EXPECT_EQ(DimsOf(c), DimsOf(a));
}

TEST(RankSpecification, EqualityIgnoresStrides) {
  const size_t dims[2] = {3, 4};
  const size_t strides[2] = {16, 48};
  RankSpecification packed, strided, other;
  ASSERT_TRUE(packed.Configure(2, dims, 8, nullptr));
  ASSERT_TRUE(strided.Configure(2, dims, 8, strides));
  EXPECT_TRUE(packed == strided);
  const size_t dims_t[2] = {4, 3};
  ASSERT_TRUE(other.Configure(2, dims_t, 8, nullptr));
  EXPECT_FALSE(packed == other);
}

TEST(RankSpecification, IsSameLayoutAllowsTrailingUnitDimensions) {
  const size_t dims[2] = {3, 4};
  RankSpecification r;
  ASSERT_TRUE(r.Configure(2, dims, 8, nullptr));
  const size_t with_unit[3] = {3, 4, 1};
  const size_t with_two[3] = {3, 4, 2};
  const size_t flat[1] = {12};
  const size_t prefix[1] = {3};
  EXPECT_TRUE(r.IsSameLayout(2, dims, nullptr));
  EXPECT_TRUE(r.IsSameLayout(3, with_unit, nullptr));
  EXPECT_FALSE(r.IsSameLayout(3, with_two, nullptr));
  EXPECT_FALSE(r.IsSameLayout(1, flat, nullptr));
  EXPECT_FALSE(r.IsSameLayout(1, prefix, nullptr));  // this layout's dimension 1 is not 1
  EXPECT_FALSE(r.IsSameLayout(0, dims, nullptr));
  EXPECT_FALSE(r.IsSameLayout(2, nullptr, nullptr));

  const size_t packed_strides[2] = {8, 24};
  const size_t other_strides[2] = {16, 48};
  EXPECT_TRUE(r.IsSameLayout(2, dims, packed_strides));
  EXPECT_FALSE(r.IsSameLayout(2, dims, other_strides));

  RankSpecification unit_tail;
  ASSERT_TRUE(unit_tail.Configure(3, with_unit, 8, nullptr));
  EXPECT_TRUE(unit_tail.IsSameLayout(2, dims, nullptr));

  // A strided layout matches only a description with its strides.
  RankSpecification strided;
  ASSERT_TRUE(strided.Configure(2, dims, 8, other_strides));
  EXPECT_FALSE(strided.IsSameLayout(2, dims, nullptr));
  EXPECT_TRUE(strided.IsSameLayout(2, dims, other_strides));

  RankSpecification empty;
  EXPECT_FALSE(empty.IsSameLayout(2, dims, nullptr));
  const size_t zero[2] = {3, 0};
  ASSERT_TRUE(empty.Configure(2, zero, 8, nullptr));
  EXPECT_FALSE(empty.IsSameLayout(2, zero, nullptr));
}

TEST(RankSpecification, ReshapeToMandatoryRankWithoutStrides) {
  const size_t dims3[3] = {3, 4, 5};
  RankSpecification other;
  ASSERT_TRUE(other.Configure(3, dims3, 8, nullptr));
  RankSpecification r;
  ASSERT_TRUE(r.ReshapeToMandatoryRank(false, 2, 8, other));
  EXPECT_EQ(DimsOf(r), (std::vector<size_t>{3, 20}));
  EXPECT_EQ(StridesOf(r), (std::vector<size_t>{8, 24}));
  EXPECT_TRUE(r.IsContiguous());

  ASSERT_TRUE(r.ReshapeToMandatoryRank(false, 1, 8, other));
  EXPECT_EQ(DimsOf(r), (std::vector<size_t>{60}));

  const size_t dims1[1] = {7};
  ASSERT_TRUE(other.Configure(1, dims1, 8, nullptr));
  ASSERT_TRUE(r.ReshapeToMandatoryRank(false, 2, 8, other));
  EXPECT_EQ(DimsOf(r), (std::vector<size_t>{7, 1}));

  // Rank 0 requested or matching rank: an exact copy, strides included.
  const size_t strides3[3] = {16, 48, 192};
  ASSERT_TRUE(other.Configure(3, dims3, 8, strides3));
  ASSERT_TRUE(r.ReshapeToMandatoryRank(false, 0, 8, other));
  EXPECT_EQ(StridesOf(r), (std::vector<size_t>{16, 48, 192}));
  ASSERT_TRUE(r.ReshapeToMandatoryRank(false, 3, 8, other));
  EXPECT_EQ(StridesOf(r), (std::vector<size_t>{16, 48, 192}));

  // Reshaping a layout from itself.
  ASSERT_TRUE(r.ReshapeToMandatoryRank(false, 2, 8, r));
  EXPECT_EQ(DimsOf(r), (std::vector<size_t>{3, 20}));
  EXPECT_TRUE(r.IsContiguous());
}

TEST(RankSpecification, ReshapeToMandatoryRankKeepingStrides) {
  const size_t dims3[3] = {3, 4, 5};
  const size_t even[3] = {16, 48, 192};
  RankSpecification other;
  ASSERT_TRUE(other.Configure(3, dims3, 8, even));
  RankSpecification r;
  ASSERT_TRUE(r.ReshapeToMandatoryRank(true, 2, 8, other));
  EXPECT_EQ(DimsOf(r), (std::vector<size_t>{3, 20}));
  EXPECT_EQ(StridesOf(r), (std::vector<size_t>{16, 48}));
  EXPECT_TRUE(r.IsFixedStride());
  EXPECT_FALSE(r.IsContiguous());

  // Padded rows: dimension 1 and 2 still evenly spaced between themselves.
  const size_t padded[3] = {8, 32, 128};
  ASSERT_TRUE(other.Configure(3, dims3, 8, padded));
  ASSERT_TRUE(r.ReshapeToMandatoryRank(true, 2, 8, other));
  EXPECT_EQ(DimsOf(r), (std::vector<size_t>{3, 20}));
  EXPECT_EQ(StridesOf(r), (std::vector<size_t>{8, 32}));
  EXPECT_FALSE(r.IsFixedStride());

  // Raising the rank appends unit dimensions that start where the layout ends.
  const size_t dims1[1] = {7};
  const size_t stride1[1] = {16};
  ASSERT_TRUE(other.Configure(1, dims1, 8, stride1));
  ASSERT_TRUE(r.ReshapeToMandatoryRank(true, 3, 8, other));
  EXPECT_EQ(DimsOf(r), (std::vector<size_t>{7, 1, 1}));
  EXPECT_EQ(StridesOf(r), (std::vector<size_t>{16, 112, 112}));
  EXPECT_TRUE(r.IsFixedStride());

  // Slow dimensions that are not evenly spaced cannot be merged: the layout stays as it was.
  CaptureLog log;
  const size_t uneven[3] = {8, 24, 200};
  ASSERT_TRUE(other.Configure(3, dims3, 8, uneven));
  EXPECT_FALSE(r.ReshapeToMandatoryRank(true, 2, 8, other));
  EXPECT_EQ(DimsOf(r), (std::vector<size_t>{7, 1, 1}));
  EXPECT_EQ(StridesOf(r), (std::vector<size_t>{16, 112, 112}));
  EXPECT_TRUE(log.contains(
      "WARNING\t:RankSpecification::ReshapeToMandatoryRank, Cannot reshape array to lower rank as "
      "upper dimensions do not have proper fixed stride"));
  // Without strides the same layout merges fine.
  EXPECT_TRUE(r.ReshapeToMandatoryRank(false, 2, 8, other));
  EXPECT_EQ(DimsOf(r), (std::vector<size_t>{3, 20}));
}

TEST(RankSpecification, ReshapeKeepsElementAddresses) {
  static zvBYTE base[4096];
  const size_t dims[2] = {3, 4};
  RankSpecification r;
  ASSERT_TRUE(r.Configure(2, dims, 8, nullptr));
  const size_t to26[2] = {2, 6};
  ASSERT_TRUE(r.Reshape(2, to26));
  EXPECT_EQ(DimsOf(r), (std::vector<size_t>{2, 6}));
  EXPECT_EQ(StridesOf(r), (std::vector<size_t>{8, 16}));
  EXPECT_TRUE(r.IsContiguous());

  const size_t wrong[2] = {5, 2};
  EXPECT_FALSE(r.Reshape(2, wrong));
  EXPECT_FALSE(r.Reshape(0, to26));
  EXPECT_EQ(DimsOf(r), (std::vector<size_t>{2, 6}));

  // An evenly spaced view keeps its spacing and is not taken for a packed one.
  const size_t every_other[2] = {16, 48};
  ASSERT_TRUE(r.Configure(2, dims, 8, every_other));
  std::vector<zvBYTE*> before;
  for (size_t i = 0; i < 12; ++i) before.push_back(r.LogicalToPointer(i, base));
  const size_t flat[1] = {12};
  ASSERT_TRUE(r.Reshape(1, flat));
  EXPECT_TRUE(r.IsFixedStride());
  EXPECT_FALSE(r.IsContiguous());
  for (size_t i = 0; i < 12; ++i) EXPECT_EQ(r.LogicalToPointer(i, base), before[i]);

  const size_t padded[2] = {8, 32};
  ASSERT_TRUE(r.Configure(2, dims, 8, padded));
  EXPECT_FALSE(r.Reshape(1, flat));
  EXPECT_EQ(DimsOf(r), (std::vector<size_t>{3, 4}));
}

TEST(RankSpecification, AbsurdRankBecomesEmptyWithWarning) {
  SourceCapture log;
  RankSpecification r;
  const size_t dims[2] = {3, 4};
  ASSERT_TRUE(r.Configure(2, dims, 8, nullptr));
  const size_t huge = 3000000000u;
  EXPECT_TRUE(r.Configure(huge, dims, 8, nullptr));
  EXPECT_EQ(r.Rank(), 0u);
  EXPECT_EQ(r.N_Elements(), 0u);
  ASSERT_EQ(log.lines().size(), 1u);
  EXPECT_EQ(log.lines()[0],
            "WARNING\t:RankSpecification::Configure, User has requested an amazingly large rank "
            "(" +
                std::to_string(static_cast<int>(huge)) + "), it has been set to 0");
  EXPECT_EQ(log.files[0], "math/arrays/rankspecification");
}

}  // namespace
