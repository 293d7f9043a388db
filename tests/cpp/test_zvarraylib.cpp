#include <gtest/gtest.h>

#include <numeric>
#include <string>
#include <vector>

#include "capture_log.h"
#include "math/arrays/zvarraylib.h"

namespace {

// Byte offsets of a layout's elements in logical order, dimension 0 fastest.
std::vector<size_t> ReferenceOffsets(const std::vector<size_t>& dims,
                                     const std::vector<size_t>& strides) {
  size_t n = 1;
  for (size_t d : dims) n *= d;
  std::vector<size_t> offsets;
  for (size_t logical = 0; logical < n; ++logical) {
    size_t rest = logical, offset = 0;
    for (size_t k = 0; k < dims.size(); ++k) {
      offset += (rest % dims[k]) * strides[k];
      rest /= dims[k];
    }
    offsets.push_back(offset);
  }
  return offsets;
}

// Byte offsets visited by a walk from begin() to end(), giving up after `limit` steps.
std::vector<size_t> WalkOffsets(const zvArrayLinear<double>& a, size_t limit = 1000) {
  std::vector<size_t> offsets;
  const zvBYTE* base = reinterpret_cast<const zvBYTE*>(a.ArrayBasePtr());
  for (zvArrayIter<double> it = a.begin(); it != a.end() && offsets.size() < limit; ++it) {
    offsets.push_back(reinterpret_cast<const zvBYTE*>(&*it) - base);
  }
  return offsets;
}

struct StridedCase {
  const char* name;
  std::vector<size_t> dims;
  std::vector<size_t> strides;
};

// One layout for each walking strategy, and the layouts where addresses alone cannot tell the
// end of the walk.
const std::vector<StridedCase>& StridedCases() {
  static const std::vector<StridedCase> cases = {
      {"packed", {3, 4}, {8, 24}},
      {"every other", {6}, {16}},
      {"every other 2-d", {2, 3}, {16, 32}},
      {"padded rows", {2, 3}, {8, 32}},
      {"transposed", {3, 4}, {32, 8}},
      {"repeated element", {4}, {0}},
      {"rank 4", {2, 2, 1, 3}, {8, 24, 64, 64}},
  };
  return cases;
}

TEST(FixedRankArrays, RowMajorBufferViews) {
  std::vector<double> b(12);
  std::iota(b.begin(), b.end(), 0.0);
  zv2dArray<double> m(4, 3, b.data());  // NumPy shape (3, 4)
  EXPECT_EQ(m.XSize(), 4u);
  EXPECT_EQ(m.YSize(), 3u);
  EXPECT_EQ(&m.at(1, 2), &b[9]);
  for (size_t row = 0; row < 3; ++row) {
    for (size_t col = 0; col < 4; ++col) EXPECT_EQ(m.at(col, row), b[row * 4 + col]);
  }
  const zv2dArray<double>& cm = m;
  EXPECT_EQ(&cm.At(3, 2), &b[11]);

  std::vector<int> c(40);
  std::iota(c.begin(), c.end(), 0);
  zv3dArray<int> cube;
  ASSERT_TRUE(cube.Attach(5, 4, 2, c.data()));  // NumPy shape (2, 4, 5)
  EXPECT_EQ(cube.at(4, 3, 1), 39);
  EXPECT_EQ(cube.XSize(), 5u);
  EXPECT_EQ(cube.YSize(), 4u);
  EXPECT_EQ(cube.ZSize(), 2u);
  for (size_t z = 0; z < 2; ++z) {
    for (size_t y = 0; y < 4; ++y) {
      for (size_t x = 0; x < 5; ++x) EXPECT_EQ(&cube.At(x, y, z), &c[(z * 4 + y) * 5 + x]);
    }
  }
}

// Every access path of at(): the inline packed one, strided layouts through the indexing
// routine, bounds checking and empty arrays.
TEST(FixedRankArrays, AccessMatchesLayoutOnEveryPath) {
  std::vector<double> buffer(256, 0.0);
  const double* base = buffer.data();
  auto offset_of = [&](const double& e) { return (&e - base) * sizeof(double); };

  const size_t dims2[2] = {3, 4};
  for (const std::vector<size_t>& strides :
       {std::vector<size_t>{8, 24}, std::vector<size_t>{16, 48}, std::vector<size_t>{8, 32},
        std::vector<size_t>{32, 8}}) {
    zv2dArray<double> m;
    ASSERT_TRUE(m.Attach(2, dims2, buffer.data(), nullptr, strides.data()));
    for (size_t y = 0; y < 4; ++y) {
      for (size_t x = 0; x < 3; ++x) {
        EXPECT_EQ(offset_of(m.at(x, y)), x * strides[0] + y * strides[1]);
      }
    }
  }
  const size_t dims3[3] = {3, 4, 2};
  for (const std::vector<size_t>& strides :
       {std::vector<size_t>{8, 24, 96}, std::vector<size_t>{16, 48, 192},
        std::vector<size_t>{8, 32, 128}}) {
    zv3dArray<double> c;
    ASSERT_TRUE(c.Attach(3, dims3, buffer.data(), nullptr, strides.data()));
    for (size_t z = 0; z < 2; ++z) {
      for (size_t y = 0; y < 4; ++y) {
        for (size_t x = 0; x < 3; ++x) {
          EXPECT_EQ(offset_of(c.at(x, y, z)), x * strides[0] + y * strides[1] + z * strides[2]);
        }
      }
    }
  }
  const size_t dims1[1] = {5};
  const size_t stride1[1] = {24};
  zv1dArray<double> v;
  ASSERT_TRUE(v.Attach(1, dims1, buffer.data(), nullptr, stride1));
  EXPECT_EQ(offset_of(v[4]), 96u);

  CaptureLog log;
  zv2dArray<double> m(3, 4, buffer.data());
  zv3dArray<double> c(3, 4, 2, buffer.data());
  zv1dArray<double> packed;
  ASSERT_TRUE(packed.Attach(1, dims1, buffer.data(), nullptr, nullptr));
  for (zvArrayLinear<double>* a : std::vector<zvArrayLinear<double>*>{&m, &c, &packed}) {
    a->SetBoundsChecking(true);
  }
  const double* outside[3] = {&m.at(3, 0), &c.at(0, 0, 2), &packed.at(5)};
  for (const double* e : outside) EXPECT_TRUE(e < base || e >= base + buffer.size());
  EXPECT_EQ(log.lines().size(), 3u);
  EXPECT_EQ(&m.at(2, 3), base + 11);
  EXPECT_EQ(log.lines().size(), 3u);

  zv3dArray<double> empty;
  const double& scratch = empty.at(0, 0, 0);
  EXPECT_TRUE(&scratch < base || &scratch >= base + buffer.size());
  EXPECT_EQ(log.lines().size(), 4u);
  EXPECT_TRUE(log.contains("You are indexing an empty array"));
}

TEST(FixedRankArrays, SizesOfArraysWithoutLayout) {
  zv1dArray<int> v;
  zv2dArray<double> m;
  zv3dArray<double> cube;
  EXPECT_EQ(v.XSize(), 0u);
  EXPECT_EQ(m.XSize(), 0u);
  EXPECT_EQ(m.YSize(), 0u);
  EXPECT_EQ(cube.YSize(), 0u);
  EXPECT_EQ(cube.ZSize(), 0u);

  // The horizontal stray-light request passes a 0 x 0 vignetting view.
  double unused = 0.0;
  ASSERT_TRUE(m.Attach(0, 0, &unused));
  EXPECT_EQ(m.XSize(), 0u);
  EXPECT_EQ(m.YSize(), 0u);
  zv2dArray<double> none(0, 0, nullptr);
  EXPECT_EQ(none.XSize(), 0u);
  EXPECT_EQ(none.YSize(), 0u);
}

TEST(FixedRankArrays, SetSizeAndSetTo) {
  zv2dArray<double> m;
  ASSERT_TRUE(m.SetSize(3, 2));
  m.SetTo(0.0);
  EXPECT_EQ(std::vector<double>(m.ArrayBasePtr(), m.ArrayBasePtr() + 6), std::vector<double>(6));
  EXPECT_TRUE(m.ArrayRankSpecs()->IsContiguous());
  m.at(2, 1) = 5.0;
  EXPECT_EQ(m.ArrayBasePtr()[5], 5.0);

  zv1dArray<int> v;
  ASSERT_TRUE(v.SetSize(100));
  v.SetTo(3);
  v[99] = 4;
  EXPECT_EQ(v.at(99), 4);
  EXPECT_EQ(v.XSize(), 100u);

  zv3dArray<int> cube;
  ASSERT_TRUE(cube.SetSize(2, 3, 4));
  EXPECT_EQ(cube.size(), 24u);
  cube.SetTo(0);
  cube.at(1, 2, 3) = 1;
  EXPECT_EQ(cube.ArrayBasePtr()[23], 1);
}

TEST(FixedRankArrays, LayoutsAreReshapedToTheirRank) {
  zv2dArray<double> m;
  const size_t dims3[3] = {3, 4, 5};
  ASSERT_TRUE(m.SetSize(3, dims3, nullptr));
  EXPECT_EQ(m.XSize(), 3u);
  EXPECT_EQ(m.YSize(), 20u);
  const size_t dims1[1] = {7};
  ASSERT_TRUE(m.SetSize(1, dims1, nullptr));
  EXPECT_EQ(m.XSize(), 7u);
  EXPECT_EQ(m.YSize(), 1u);
  EXPECT_EQ(m.ArrayRankSpecs()->Rank(), 2u);

  // A 2-d view of an evenly spaced 3-d description merges its slow dimensions.
  std::vector<double> buffer(120, 0.0);
  const size_t strides3[3] = {16, 48, 192};
  zv2dArray<double> view;
  ASSERT_TRUE(view.Attach(3, dims3, buffer.data(), nullptr, strides3));
  EXPECT_EQ(view.YSize(), 20u);
  view.at(2, 19) = 1.0;
  EXPECT_EQ(buffer[(2 * 16 + 19 * 48) / 8], 1.0);

  CaptureLog log;
  const size_t uneven[3] = {8, 24, 200};
  EXPECT_FALSE(view.Attach(3, dims3, buffer.data(), nullptr, uneven));
  EXPECT_TRUE(view.IsEmpty());
  EXPECT_TRUE(log.contains("Cannot reshape array to lower rank"));

  // A 1-d shallow copy of a 2-d array reads it in logical order.
  zv2dArray<double> grid;
  ASSERT_TRUE(grid.SetSize(3, 4));
  std::iota(grid.UnsafeArrayBasePtr(), grid.UnsafeArrayBasePtr() + 12, 0.0);
  zv1dArray<double> flat;
  ASSERT_TRUE(flat.ShallowCopy(grid));
  EXPECT_EQ(flat.XSize(), 12u);
  EXPECT_EQ(flat[7], grid.at(1, 2));

  zv2dArray<double> copy(grid);
  EXPECT_NE(copy.UnsafeArrayBasePtr(), grid.UnsafeArrayBasePtr());
  EXPECT_EQ(copy.at(2, 3), 11.0);
  EXPECT_EQ(copy.YSize(), 4u);
}

TEST(ArrayIter, WalksEveryLayoutInLogicalOrderAndStopsAtEnd) {
  std::vector<double> buffer(64, 0.0);
  for (const StridedCase& c : StridedCases()) {
    zvArrayLinear<double> a;
    ASSERT_TRUE(a.Attach(c.dims.size(), c.dims.data(), buffer.data(), nullptr, c.strides.data()))
        << c.name;
    EXPECT_EQ(WalkOffsets(a), ReferenceOffsets(c.dims, c.strides)) << c.name;
    EXPECT_EQ(a.end() - a.begin(), a.size()) << c.name;
  }
}

TEST(ArrayIter, PaddedRowsVisitTheExpectedBytes) {
  std::vector<double> buffer(12, 0.0);
  zvArrayLinear<double> a;
  const size_t dims[2] = {2, 3};
  const size_t strides[2] = {8, 32};
  ASSERT_TRUE(a.Attach(2, dims, buffer.data(), nullptr, strides));
  EXPECT_EQ(WalkOffsets(a), (std::vector<size_t>{0, 8, 32, 40, 64, 72}));
}

TEST(ArrayIter, StepsIndexingAndDistancesAgreeWithTheWalk) {
  std::vector<double> buffer(64);
  std::iota(buffer.begin(), buffer.end(), 0.0);
  for (const StridedCase& c : StridedCases()) {
    zvArrayLinear<double> a;
    ASSERT_TRUE(a.Attach(c.dims.size(), c.dims.data(), buffer.data(), nullptr, c.strides.data()));
    const std::vector<size_t> offsets = ReferenceOffsets(c.dims, c.strides);
    const size_t n = offsets.size();
    auto value = [&](size_t k) { return buffer[offsets[k] / 8]; };

    zvArrayIter<double> it = a.begin();
    for (size_t k = 0; k < n; ++k) EXPECT_EQ(it[k], value(k)) << c.name;
    EXPECT_EQ(*it, value(0)) << c.name << ": [n] must not move the iterator";

    it += n - 1;
    EXPECT_EQ(*it, value(n - 1)) << c.name;
    EXPECT_EQ(it - a.begin(), n - 1) << c.name;
    --it;
    EXPECT_EQ(*it, value(n - 2)) << c.name;
    it -= n - 2;
    EXPECT_EQ(*it, value(0)) << c.name;
    EXPECT_TRUE(it == a.begin()) << c.name;

    zvArrayIter<double> end = a.end();
    --end;
    EXPECT_EQ(*end, value(n - 1)) << c.name;
    ++end;
    EXPECT_TRUE(end == a.end()) << c.name;
  }
}

TEST(ArrayIter, OrderingFollowsTheWalk) {
  std::vector<double> buffer(64, 0.0);
  for (const StridedCase& c : StridedCases()) {
    if (c.strides[0] == 0) continue;  // a repeated element has no address order
    zvArrayLinear<double> a;
    ASSERT_TRUE(a.Attach(c.dims.size(), c.dims.data(), buffer.data(), nullptr, c.strides.data()));
    zvArrayIter<double> first = a.begin();
    zvArrayIter<double> second = a.begin();
    ++second;
    EXPECT_TRUE(first < second) << c.name;
    EXPECT_TRUE(second > first) << c.name;
    EXPECT_TRUE(first <= first) << c.name;
    EXPECT_TRUE(second >= first) << c.name;
    EXPECT_FALSE(second < first) << c.name;
    EXPECT_TRUE(first != second) << c.name;
  }
}

// Copies of an iterator walk on their own: a copy never steers (or dangles into) its source.
TEST(ArrayIter, CopiesAreIndependent) {
  std::vector<double> buffer(64);
  std::iota(buffer.begin(), buffer.end(), 0.0);
  for (const StridedCase& c : StridedCases()) {
    zvArrayLinear<double> a;
    ASSERT_TRUE(a.Attach(c.dims.size(), c.dims.data(), buffer.data(), nullptr, c.strides.data()));
    const std::vector<size_t> offsets = ReferenceOffsets(c.dims, c.strides);
    std::vector<zvArrayIter<double>> kept;
    {
      zvArrayIter<double> source = a.begin();
      kept.push_back(source);
      kept.push_back(source);
      ++source;
    }
    kept.reserve(100);  // moves the copies again
    ++kept[1];
    ++kept[1];
    EXPECT_EQ(*kept[0], buffer[offsets[0] / 8]) << c.name;
    EXPECT_EQ(*kept[1], buffer[offsets[2] / 8]) << c.name;
    zvArrayIter<double> assigned = a.end();
    assigned = kept[1];
    ++assigned;
    EXPECT_EQ(*kept[1], buffer[offsets[2] / 8]) << c.name;
    EXPECT_EQ(*assigned, buffer[offsets[3] / 8]) << c.name;
  }
}

TEST(ArrayIter, PackedWalkerRefusesOtherLayouts) {
  RankSpecification strided;
  const size_t dims[1] = {4};
  const size_t strides[1] = {16};
  ASSERT_TRUE(strided.Configure(1, dims, sizeof(double), strides));
  double buffer[8] = {};
  zvArrayIterCore<double> walker;
  try {
    walker.Configure(reinterpret_cast<zvBYTE*>(buffer), &strided);
    FAIL() << "no exception";
  } catch (const char* text) {
    EXPECT_EQ(std::string(text), "zvArrayIterCore::Configure, Rank is not contiguous");
  }
}

TEST(ElementWise, SetToAndScalingTouchOnlyTheView) {
  for (const StridedCase& c : StridedCases()) {
    std::vector<double> buffer(64, 8.0);
    zvArrayLinear<double> a;
    ASSERT_TRUE(a.Attach(c.dims.size(), c.dims.data(), buffer.data(), nullptr, c.strides.data()));
    std::vector<bool> in_view(64, false);
    for (size_t offset : ReferenceOffsets(c.dims, c.strides)) in_view[offset / 8] = true;

    a *= 0.5;
    if (c.strides[0] != 0) {
      for (size_t i = 0; i < 64; ++i) EXPECT_EQ(buffer[i], in_view[i] ? 4.0 : 8.0) << c.name;
    }
    a.SetTo(-1.0);
    for (size_t i = 0; i < 64; ++i) EXPECT_EQ(buffer[i], in_view[i] ? -1.0 : 8.0) << c.name;
  }
}

TEST(ElementWise, AddMatchesReferenceAcrossLayouts) {
  for (const StridedCase& ca : StridedCases()) {
    for (const StridedCase& cb : StridedCases()) {
      std::vector<double> abuf(64), bbuf(64);
      std::iota(abuf.begin(), abuf.end(), 0.0);
      std::iota(bbuf.begin(), bbuf.end(), 100.0);
      zvArrayLinear<double> a, b;
      ASSERT_TRUE(
          a.Attach(ca.dims.size(), ca.dims.data(), abuf.data(), nullptr, ca.strides.data()));
      ASSERT_TRUE(
          b.Attach(cb.dims.size(), cb.dims.data(), bbuf.data(), nullptr, cb.strides.data()));
      if (a.size() != b.size() || ca.strides[0] == 0) continue;
      const std::vector<size_t> ao = ReferenceOffsets(ca.dims, ca.strides);
      const std::vector<size_t> bo = ReferenceOffsets(cb.dims, cb.strides);
      std::vector<double> expected = abuf;
      for (size_t k = 0; k < ao.size(); ++k) expected[ao[k] / 8] += bbuf[bo[k] / 8];
      a += b;
      EXPECT_EQ(abuf, expected) << ca.name << " += " << cb.name;
    }
  }
}

TEST(ElementWise, AddComparesOnlyElementCounts) {
  CaptureLog log;
  zv2dArray<double> a;
  ASSERT_TRUE(a.SetSize(2, 3));
  std::iota(a.UnsafeArrayBasePtr(), a.UnsafeArrayBasePtr() + 6, 0.0);
  zv1dArray<double> six;
  ASSERT_TRUE(six.SetSize(6));
  six.SetTo(10.0);
  a += six;
  EXPECT_EQ(a.at(1, 2), 15.0);
  EXPECT_TRUE(log.lines().empty());

  zv1dArray<double> five;
  ASSERT_TRUE(five.SetSize(5));
  five.SetTo(1.0);
  a += five;
  for (size_t i = 0; i < 6; ++i) EXPECT_EQ(a.ArrayBasePtr()[i], 10.0 + i);
  ASSERT_EQ(log.lines().size(), 1u);
  EXPECT_EQ(log.lines()[0],
            "WARNING\t:zvArrayLinearUnaryAssignment, arrays are not the same size, operation not "
            "performed");

  zv2dArray<double> empty;
  empty += five;  // also refused, and nothing is touched
  EXPECT_EQ(log.lines().size(), 2u);
}

TEST(ElementWise, RepeatedSourceElementIsReadForEveryTarget) {
  double one = 2.5;
  zvArrayLinear<double> broadcast;
  const size_t dims[1] = {4};
  const size_t zero_stride[1] = {0};
  ASSERT_TRUE(broadcast.Attach(1, dims, &one, nullptr, zero_stride));
  zv1dArray<double> target;
  ASSERT_TRUE(target.DeepCopy(broadcast, true));
  ASSERT_EQ(target.size(), 4u);
  for (size_t i = 0; i < 4; ++i) EXPECT_EQ(target[i], 2.5);
  target += broadcast;
  for (size_t i = 0; i < 4; ++i) EXPECT_EQ(target[i], 5.0);
}

}  // namespace
