#include <gtest/gtest.h>

#include <numeric>
#include <string>
#include <vector>

#include "capture_log.h"
#include "math/arrays/zvarraylinear.h"
#include "math/arrays/zvmemorymanager.h"

namespace {

// Records the source path of every log line as well as its text.
class SourceCapture : public CaptureLog {
 public:
  void DisplayEntry(const zvLogEntry& entry) override {
    files.push_back(static_cast<const char*>(entry.m_file));
    CaptureLog::DisplayEntry(entry);
  }
  std::vector<std::string> files;
};

template <class T>
std::vector<T> Iota(size_t n) {
  std::vector<T> v(n);
  std::iota(v.begin(), v.end(), T(1));
  return v;
}

template <class T>
class ArrayLinearTyped : public ::testing::Test {};
using ElementTypes = ::testing::Types<double, int>;
TYPED_TEST_SUITE(ArrayLinearTyped, ElementTypes);

TYPED_TEST(ArrayLinearTyped, SetSizeAllocatesPackedStorageOnce) {
  zvArrayLinear<TypeParam> a;
  EXPECT_TRUE(a.IsEmpty());
  const size_t dims[2] = {3, 4};
  ASSERT_TRUE(a.SetSize(2, dims, nullptr));
  EXPECT_FALSE(a.IsEmpty());
  EXPECT_EQ(a.size(), 12u);
  ASSERT_NE(a.ArrayManager(), nullptr);
  EXPECT_EQ(a.ArrayManager()->LockCount(), 1u);
  EXPECT_EQ(a.ArrayManager()->LinearSize(), 12u);
  const size_t i21[2] = {2, 1};
  EXPECT_EQ(&a.At(i21), a.UnsafeArrayBasePtr() + 5);
  for (size_t y = 0; y < 4; ++y) {
    for (size_t x = 0; x < 3; ++x) {
      const size_t index[2] = {x, y};
      EXPECT_EQ(&a.At(index), a.UnsafeArrayBasePtr() + x + 3 * y);
    }
  }

  // The same layout again keeps block and contents.
  a.SetTo(TypeParam(7));
  TypeParam* base = a.UnsafeArrayBasePtr();
  ASSERT_TRUE(a.SetSize(2, dims, nullptr));
  const size_t with_unit[3] = {3, 4, 1};
  ASSERT_TRUE(a.SetSize(3, with_unit, nullptr));
  EXPECT_EQ(a.UnsafeArrayBasePtr(), base);
  EXPECT_EQ(a.At(i21), TypeParam(7));
}

TYPED_TEST(ArrayLinearTyped, AttachedViewWritesCallerMemoryAndNeverFreesIt) {
  std::vector<TypeParam> buffer = Iota<TypeParam>(10);
  {
    zvArrayLinear<TypeParam> view;
    const size_t dims[2] = {5, 2};  // a row-major (2, 5) buffer
    ASSERT_TRUE(view.Attach(2, dims, buffer.data(), nullptr, nullptr));
    EXPECT_EQ(view.ArrayManager(), nullptr);
    const size_t i41[2] = {4, 1};
    view.At(i41) = TypeParam(-3);
    const size_t i30[2] = {3, 0};
    EXPECT_EQ(view.At(i30), buffer[3]);
  }
  EXPECT_EQ(buffer[9], TypeParam(-3));
  buffer[9] = TypeParam(0);  // still the caller's memory
}

TYPED_TEST(ArrayLinearTyped, ShallowCopySharesUntilOneResizes) {
  zvArrayLinear<TypeParam> a, b;
  const size_t dims[2] = {3, 4};
  ASSERT_TRUE(a.SetSize(2, dims, nullptr));
  a.SetTo(TypeParam(1));
  ASSERT_TRUE(b.ShallowCopy(a));
  EXPECT_EQ(b.UnsafeArrayBasePtr(), a.UnsafeArrayBasePtr());
  EXPECT_EQ(b.ArrayManager(), a.ArrayManager());
  EXPECT_TRUE(a.ArrayManager()->MemoryIsShared());
  EXPECT_EQ(a.ArrayManager()->LockCount(), 2u);
  const size_t i12[2] = {1, 2};
  b.At(i12) = TypeParam(9);
  EXPECT_EQ(a.At(i12), TypeParam(9));

  const size_t bigger[1] = {50};
  ASSERT_TRUE(b.SetSize(1, bigger, nullptr));
  b.SetTo(TypeParam(5));
  EXPECT_NE(b.ArrayManager(), a.ArrayManager());
  EXPECT_FALSE(a.ArrayManager()->MemoryIsShared());
  EXPECT_EQ(a.ArrayManager()->LockCount(), 1u);
  EXPECT_EQ(a.At(i12), TypeParam(9));
  const size_t i00[2] = {0, 0};
  EXPECT_EQ(a.At(i00), TypeParam(1));
}

TEST(ArrayLinear, ZeroDimensionGivesNoElementsAndNoBlock) {
  zvArrayLinear<double> a;
  const size_t dims[2] = {3, 0};
  EXPECT_TRUE(a.SetSize(2, dims, nullptr));
  EXPECT_TRUE(a.IsEmpty());
  EXPECT_EQ(a.size(), 0u);
  EXPECT_EQ(a.begin(), a.end());

  const size_t full[2] = {3, 4};
  ASSERT_TRUE(a.SetSize(2, full, nullptr));
  EXPECT_TRUE(a.SetSize(2, dims, nullptr));
  EXPECT_TRUE(a.IsEmpty());
  EXPECT_EQ(a.ArrayManager()->LinearSize(), 0u);
}

TEST(ArrayLinear, EmptyArrayIndexYieldsScratchElement) {
  SourceCapture log;
  zvArrayLinear<double> empty, other_empty;
  zvArrayLinear<double> full;
  const size_t dims[1] = {4};
  ASSERT_TRUE(full.SetSize(1, dims, nullptr));
  full.SetTo(2.0);

  const size_t index[1] = {0};
  double& scratch = empty.At(index);
  scratch = 42.0;
  EXPECT_EQ(&other_empty.At(index), &scratch);  // one scratch element per element type
  for (size_t i = 0; i < 4; ++i) EXPECT_EQ(full.UnsafeArrayBasePtr()[i], 2.0);
  ASSERT_EQ(log.lines().size(), 2u);
  EXPECT_EQ(log.lines()[0],
            "WARNING\t:zvArrayLinear<T>::IndexToPointer_EmptyArray, You are indexing an empty "
            "array");
  EXPECT_EQ(log.files[0], "math/arrays/zvarraylinear");

  // An erased array indexes as an empty one, whatever layout it had.
  full.erase();
  EXPECT_TRUE(full.IsEmpty());
  EXPECT_EQ(&full.At(index), &scratch);
}

TEST(ArrayLinear, BoundsCheckReportsAndStaysInside) {
  CaptureLog log;
  std::vector<double> buffer(96, 0.0);
  struct Case {
    std::vector<size_t> dims;
    std::vector<size_t> strides;  // empty: packed
  };
  // One layout per indexing routine: 1-d and 2-d packed and evenly spaced, general.
  const std::vector<Case> cases = {{{3}, {}},          {{3}, {16}},       {{3, 4}, {}},
                                   {{3, 4}, {16, 48}}, {{3, 4}, {8, 32}}, {{3, 4, 2}, {}}};
  for (const Case& c : cases) {
    zvArrayLinear<double> a;
    ASSERT_TRUE(a.Attach(c.dims.size(), c.dims.data(), buffer.data(), nullptr,
                         c.strides.empty() ? nullptr : c.strides.data()));
    a.SetBoundsChecking(true);
    log.clear();
    std::vector<size_t> inside(c.dims.size(), 0);
    inside[0] = 2;
    double* element = &a.At(inside.data());
    EXPECT_GE(element, buffer.data());
    EXPECT_LT(element, buffer.data() + buffer.size());
    EXPECT_TRUE(log.lines().empty());

    std::vector<size_t> outside(c.dims.size(), 0);
    outside[0] = 3;
    element = &a.At(outside.data());
    EXPECT_TRUE(element < buffer.data() || element >= buffer.data() + buffer.size())
        << "rank " << c.dims.size();
    EXPECT_EQ(log.lines().size(), 1u);
  }

  zvArrayLinear<double> a;
  const size_t dims[2] = {3, 4};
  ASSERT_TRUE(a.Attach(2, dims, buffer.data(), nullptr, nullptr));
  a.SetBoundsChecking(true);
  log.clear();
  const size_t i30[2] = {3, 0};
  a.At(i30) = 1.0;
  ASSERT_EQ(log.lines().size(), 1u);
  EXPECT_EQ(
      log.lines()[0],
      "ERROR\t:zvArrayLinear<T>::CheckBounds, Users indices [3,0] are out of bounds of [3,4]");
  for (double v : buffer) EXPECT_EQ(v, 0.0);

  // Off by default: no check, no message.
  zvArrayLinear<double> unchecked;
  ASSERT_TRUE(unchecked.Attach(2, dims, buffer.data(), nullptr, nullptr));
  log.clear();
  const size_t i23[2] = {2, 3};
  EXPECT_EQ(&unchecked.At(i23), buffer.data() + 11);
  EXPECT_TRUE(log.lines().empty());
}

TEST(ArrayLinear, SetSizeOnAttachedArrayFailsAndEmptiesIt) {
  CaptureLog log;
  std::vector<double> buffer(12, 1.0);
  zvArrayLinear<double> a;
  const size_t dims[2] = {3, 4};
  ASSERT_TRUE(a.Attach(2, dims, buffer.data(), nullptr, nullptr));
  // The same layout is not a change.
  EXPECT_TRUE(a.SetSize(2, dims, nullptr));
  EXPECT_TRUE(log.lines().empty());
  const size_t other[1] = {5};
  EXPECT_FALSE(a.SetSize(1, other, nullptr));
  EXPECT_TRUE(a.IsEmpty());
  EXPECT_EQ(a.size(), 0u);
  EXPECT_TRUE(log.contains(
      "WARNING\t:zvArrayLinear<T>::SetSize, you cannot change the size of an array that is "
      "Attached, you must call Detach or erase first"));
  // Once detached (as the failure left it) it may own storage.
  EXPECT_TRUE(a.SetSize(1, other, nullptr));
  EXPECT_NE(a.ArrayManager(), nullptr);
  for (double v : buffer) EXPECT_EQ(v, 1.0);
}

TEST(ArrayLinear, EraseLetsGoOfCallerMemory) {
  std::vector<double> buffer(12, 1.0);
  zvArrayLinear<double> a;
  const size_t dims[2] = {3, 4};
  ASSERT_TRUE(a.Attach(2, dims, buffer.data(), nullptr, nullptr));
  a.erase();
  EXPECT_TRUE(a.IsEmpty());
  EXPECT_EQ(a.size(), 0u);
  ASSERT_TRUE(a.SetSize(2, dims, nullptr));
  EXPECT_NE(a.UnsafeArrayBasePtr(), buffer.data());
}

TEST(ArrayLinear, ZeroByZeroViewAttaches) {
  zvArrayLinear<double> a;
  const size_t dims[2] = {0, 0};
  EXPECT_TRUE(a.Attach(2, dims, nullptr, nullptr, nullptr));
  EXPECT_EQ(a.size(), 0u);
  EXPECT_EQ(a.ArrayRankSpecs()->Rank(), 2u);
  EXPECT_EQ(a.begin(), a.end());

  CaptureLog log;
  const size_t some[2] = {2, 3};
  EXPECT_FALSE(a.Attach(2, some, nullptr, nullptr, nullptr));
  EXPECT_EQ(a.size(), 0u);
  EXPECT_EQ(log.lines().size(), 1u);
  EXPECT_FALSE(a.Attach(0, nullptr, nullptr, nullptr, nullptr));
}

TEST(ArrayLinear, ErasedSharerGetsItsOwnBlock) {
  zvArrayLinear<double> a, b;
  const size_t dims[1] = {12};
  ASSERT_TRUE(a.SetSize(1, dims, nullptr));
  a.SetTo(1.0);
  ASSERT_TRUE(b.ShallowCopy(a));
  b.erase();  // keeps the shared manager, drops its lock
  ASSERT_TRUE(b.SetSize(1, dims, nullptr));
  EXPECT_NE(b.UnsafeArrayBasePtr(), a.UnsafeArrayBasePtr());
  b.SetTo(2.0);
  EXPECT_EQ(a.UnsafeArrayBasePtr()[0], 1.0);
  a.Detach();
  b.SetTo(3.0);  // b's block outlives a's
  EXPECT_EQ(b.UnsafeArrayBasePtr()[11], 3.0);
}

TEST(ArrayLinear, ShallowCopyRules) {
  CaptureLog log;
  zvArrayLinear<double> a;
  const size_t dims[2] = {3, 4};
  ASSERT_TRUE(a.SetSize(2, dims, nullptr));
  EXPECT_TRUE(a.ShallowCopy(a));
  EXPECT_EQ(a.ArrayManager()->LockCount(), 1u);

  // Onto an attached array: refused, and the array is left empty.
  std::vector<double> buffer(12, 0.0);
  zvArrayLinear<double> view;
  ASSERT_TRUE(view.Attach(2, dims, buffer.data(), nullptr, nullptr));
  EXPECT_FALSE(view.ShallowCopy(a));
  EXPECT_TRUE(view.IsEmpty());
  EXPECT_TRUE(log.contains(
      "WARNING\t:zvArrayLinear<T>::ShallowCopy, Cannot shallowCopy to an array that is attached "
      "to memory. Use Detach or erase before invoking ShallowCopy"));
  EXPECT_EQ(a.ArrayManager()->LockCount(), 1u);

  // A shallow copy of a view is a view of the same caller memory.
  ASSERT_TRUE(view.Attach(2, dims, buffer.data(), nullptr, nullptr));
  zvArrayLinear<double> second;
  ASSERT_TRUE(second.ShallowCopy(view));
  EXPECT_EQ(second.UnsafeArrayBasePtr(), buffer.data());
  EXPECT_EQ(second.ArrayManager(), nullptr);
  const size_t other[1] = {3};
  EXPECT_FALSE(second.SetSize(1, other, nullptr));  // it is attached too

  // From an empty array: this one is emptied.
  zvArrayLinear<double> empty, c;
  ASSERT_TRUE(c.ShallowCopy(a));
  EXPECT_TRUE(c.ShallowCopy(empty));
  EXPECT_TRUE(c.IsEmpty());
  EXPECT_FALSE(a.ArrayManager()->MemoryIsShared());

  // Moving a sharer from one block to another.
  zvArrayLinear<double> d;
  ASSERT_TRUE(d.SetSize(2, dims, nullptr));
  IzvMemoryManager<double>* dmanager = d.ArrayManager();
  ASSERT_TRUE(c.ShallowCopy(d));
  ASSERT_TRUE(c.ShallowCopy(a));
  EXPECT_EQ(dmanager->LockCount(), 1u);
  EXPECT_FALSE(dmanager->MemoryIsShared());
  EXPECT_EQ(a.ArrayManager()->LockCount(), 2u);
}

TEST(ArrayLinear, DeepCopyIntoAttachedArrayKeepsItsShape) {
  SourceCapture log;
  zvArrayLinear<double> source;
  const size_t dims[2] = {3, 4};
  ASSERT_TRUE(source.SetSize(2, dims, nullptr));
  for (size_t i = 0; i < 12; ++i) source.UnsafeArrayBasePtr()[i] = 10.0 + i;

  std::vector<double> buffer(12, 0.0);
  zvArrayLinear<double> target;
  const size_t shape[2] = {6, 2};
  ASSERT_TRUE(target.Attach(2, shape, buffer.data(), nullptr, nullptr));
  ASSERT_TRUE(target.DeepCopy(source, true));
  EXPECT_EQ(target.ArrayRankSpecs()->Dims()[0], 6u);
  EXPECT_EQ(target.UnsafeArrayBasePtr(), buffer.data());
  for (size_t i = 0; i < 12; ++i) EXPECT_EQ(buffer[i], 10.0 + i);

  std::vector<double> small(10, -1.0);
  const size_t small_shape[2] = {5, 2};
  ASSERT_TRUE(target.Attach(2, small_shape, small.data(), nullptr, nullptr));
  log.clear();
  log.files.clear();
  EXPECT_FALSE(target.DeepCopy(source, true));
  EXPECT_TRUE(target.IsEmpty());
  for (double v : small) EXPECT_EQ(v, -1.0);
  ASSERT_EQ(log.lines().size(), 1u);
  EXPECT_EQ(log.lines()[0],
            "WARNING\t:zvArrayLinear<T>::DeepCopy, Cannot DeepCopy to an attached array that does "
            "not have the same number of elements. This (attached) array has (10) elements while "
            "the other array has (12) elements.");
  EXPECT_EQ(log.files[0], "math/arrays/zvarraylinear");
}

TEST(ArrayLinear, DeepCopyOfStridedViewsFollowsLogicalOrder) {
  std::vector<double> buffer(40);
  std::iota(buffer.begin(), buffer.end(), 0.0);
  const size_t dims[2] = {2, 3};
  struct Case {
    std::vector<size_t> strides;
    std::vector<double> expected;
  };
  const std::vector<Case> cases = {
      {{16, 32}, {0, 2, 4, 6, 8, 10}},  // every other element
      {{8, 32}, {0, 1, 4, 5, 8, 9}},    // padded rows
      {{24, 8}, {0, 3, 1, 4, 2, 5}},    // transposed
  };
  for (const Case& c : cases) {
    zvArrayLinear<double> view, copy;
    ASSERT_TRUE(view.Attach(2, dims, buffer.data(), nullptr, c.strides.data()));
    ASSERT_TRUE(copy.DeepCopy(view, true));
    EXPECT_TRUE(copy.ArrayRankSpecs()->IsContiguous());
    ASSERT_EQ(copy.size(), 6u);
    EXPECT_EQ(std::vector<double>(copy.ArrayBasePtr(), copy.ArrayBasePtr() + 6), c.expected);

    // And back into the strided view, with copydata false leaving values alone.
    std::vector<double> target(40, -1.0);
    zvArrayLinear<double> back;
    ASSERT_TRUE(back.Attach(2, dims, target.data(), nullptr, c.strides.data()));
    ASSERT_TRUE(back.DeepCopy(copy, false));
    EXPECT_EQ(target, std::vector<double>(40, -1.0));
    ASSERT_TRUE(back.DeepCopy(copy, true));
    for (size_t k = 0; k < 6; ++k)
      EXPECT_EQ(target[static_cast<size_t>(c.expected[k])], c.expected[k]);
    size_t untouched = 0;
    for (double v : target) untouched += v == -1.0;
    EXPECT_EQ(untouched, 34u);
  }
}

TEST(ArrayLinear, CopyConstructorDeepCopiesAndTemporaryHandsOver) {
  zvArrayLinear<double> a;
  const size_t dims[2] = {3, 4};
  ASSERT_TRUE(a.SetSize(2, dims, nullptr));
  a.SetTo(4.0);
  a.SetBoundsChecking(true);
  zvArrayLinear<double> b(a);
  EXPECT_NE(b.UnsafeArrayBasePtr(), a.UnsafeArrayBasePtr());
  EXPECT_EQ(b.size(), 12u);
  EXPECT_EQ(b.ArrayBasePtr()[11], 4.0);
  b.SetTo(1.0);
  EXPECT_EQ(a.ArrayBasePtr()[0], 4.0);

  a.SetTemporary(true);
  zvArrayLinear<double> c;
  ASSERT_TRUE(c.DeepCopy(a, true));
  EXPECT_EQ(c.UnsafeArrayBasePtr(), a.UnsafeArrayBasePtr());
  EXPECT_TRUE(a.ArrayManager()->MemoryIsShared());
}

TEST(ArrayLinear, MemoryReuseKeepsTheBlock) {
  zvArrayLinear<double> a;
  a.SetReuseMemory(true);
  const size_t big[1] = {100};
  ASSERT_TRUE(a.SetSize(1, big, nullptr));
  IzvMemoryManager<double>* manager = a.ArrayManager();
  double* base = a.UnsafeArrayBasePtr();
  a.erase();
  EXPECT_EQ(a.size(), 0u);
  EXPECT_EQ(manager->ReserveSize(), 100u);
  const size_t small[2] = {5, 10};
  ASSERT_TRUE(a.SetSize(2, small, nullptr));
  EXPECT_EQ(a.UnsafeArrayBasePtr(), base);
  EXPECT_EQ(manager->LinearSize(), 50u);
  EXPECT_EQ(manager->ReserveSize(), 100u);
  ASSERT_TRUE(a.SetSize(1, big, nullptr));
  EXPECT_EQ(a.UnsafeArrayBasePtr(), base);

  // Without reuse a smaller size gets a block of its own size.
  a.SetReuseMemory(false);
  ASSERT_TRUE(a.SetSize(2, small, nullptr));
  EXPECT_EQ(manager->ReserveSize(), 50u);
}

TEST(ArrayLinear, AttachWithManagerChecksTheRange) {
  CaptureLog log;
  zvArrayLinear<double> owner;
  const size_t dims[1] = {12};
  ASSERT_TRUE(owner.SetSize(1, dims, nullptr));
  std::iota(owner.UnsafeArrayBasePtr(), owner.UnsafeArrayBasePtr() + 12, 0.0);
  IzvMemoryManager<double>* manager = owner.ArrayManager();

  zvArrayLinear<double> tail;
  const size_t four[1] = {4};
  ASSERT_TRUE(tail.Attach(1, four, owner.UnsafeArrayBasePtr() + 8, manager, nullptr));
  EXPECT_EQ(manager->LockCount(), 2u);
  EXPECT_TRUE(manager->MemoryIsShared());
  owner.Detach();  // the view keeps the block alive
  const size_t i3[1] = {3};
  EXPECT_EQ(tail.At(i3), 11.0);

  zvArrayLinear<double> beyond;
  const size_t five[1] = {5};
  EXPECT_FALSE(beyond.Attach(1, five, tail.UnsafeArrayBasePtr(), manager, nullptr));
  EXPECT_TRUE(beyond.IsEmpty());
  EXPECT_EQ(manager->LockCount(), 1u);
  EXPECT_TRUE(log.contains(
      "ERROR\t:zvArrayLinear<T>::InternalAttach, the requested array is not within the bounds of "
      "the memory manager"));

  // Re-attaching to another part of the block this array holds alone must not free it.
  ASSERT_TRUE(tail.Attach(1, four, tail.UnsafeArrayBasePtr() - 8, manager, nullptr));
  EXPECT_EQ(manager->LockCount(), 1u);
  EXPECT_EQ(tail.At(i3), 3.0);
}

// A manager whose allocator always fails.
class NoMemoryManager : public IzvMemoryManager<double> {
 protected:
  double* InternalAllocate(size_t) override { return nullptr; }
};

TEST(MemoryManager, AllocationFailuresAreReported) {
  SourceCapture log;
  RankSpecification layout;
  const size_t dims[2] = {3, 4};
  ASSERT_TRUE(layout.Configure(2, dims, sizeof(double), nullptr));

  auto* broke = new NoMemoryManager;
  broke->AddRef();
  double* ptr = reinterpret_cast<double*>(&layout);
  EXPECT_FALSE(broke->AllocateAndLock(&layout, false, &ptr));
  EXPECT_EQ(ptr, nullptr);
  EXPECT_EQ(log.lines().back(),
            "WARNING\t:IzvMemoryManager<T>::Allocate, Insufficient memory to allocate 12 elements");
  EXPECT_EQ(log.files.back(), "math/arrays/zvmemorymanager");
  EXPECT_EQ(broke->Release(), 0u);

  // A block locked by two arrays is never resized under them.
  auto* shared = new IzvMemoryManager<double>;
  shared->AddRef();
  ASSERT_TRUE(shared->AllocateAndLock(&layout, false, &ptr));
  ASSERT_NE(ptr, nullptr);
  shared->LockMemory();
  double* same = nullptr;
  EXPECT_TRUE(shared->AllocateAndLock(&layout, false, &same));  // same size: nothing to do
  EXPECT_EQ(same, ptr);
  const size_t other_dims[1] = {20};
  RankSpecification other;
  ASSERT_TRUE(other.Configure(1, other_dims, sizeof(double), nullptr));
  EXPECT_FALSE(shared->AllocateAndLock(&other, true, &same));
  EXPECT_EQ(same, ptr);
  EXPECT_EQ(log.lines().back(),
            "WARNING\t:IzvMemoryManager<T>::Allocate, cannot allocate as there are 2 locks on the "
            "memory");
  EXPECT_TRUE(shared->CheckMemoryRange(ptr, ptr + 11));
  EXPECT_FALSE(shared->CheckMemoryRange(ptr, ptr + 12));
  EXPECT_FALSE(shared->CheckMemoryRange(ptr + 3, ptr + 2));
  shared->UnlockMemory();
  shared->UnlockMemory();  // the last lock frees the block
  EXPECT_EQ(shared->LinearSize(), 0u);
  EXPECT_EQ(shared->Release(), 0u);
}

TEST(MemoryManager, DestroyedWhileLockedWarnsAndFrees) {
  SourceCapture log;
  RankSpecification layout;
  const size_t dims[1] = {16};
  ASSERT_TRUE(layout.Configure(1, dims, sizeof(int), nullptr));
  auto* manager = new IzvMemoryManager<int>;
  manager->AddRef();
  int* ptr = nullptr;
  ASSERT_TRUE(manager->AllocateAndLock(&layout, false, &ptr));
  ptr[15] = 1;
  EXPECT_EQ(manager->Release(), 0u);  // deletes the manager with its block still locked
  ASSERT_EQ(log.lines().size(), 1u);
  EXPECT_EQ(log.lines()[0],
            "WARNING\t:IzvMemoryManager<T>::Destructor, there are still reference counts on the "
            "memory. It will be destroyed");
  EXPECT_EQ(log.files[0], "math/arrays/zvmemorymanager");
}

}  // namespace
