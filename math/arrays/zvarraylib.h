// The arrays the rest of the library names: 1-, 2- and 3-dimensional forms of zvArrayLinear,
// and element-wise arithmetic on arrays of double.
//
// Index order, fastest first: zv2dArray (x, y) lies at x + nx * y of a packed buffer, zv3dArray
// (x, y, z) at x + nx * (y + ny * z). A row-major NumPy buffer of shape (P, Q) is therefore a
// zv2dArray with nx = Q, ny = P; one of shape (P, Q, R) a zv3dArray with nx = R, ny = Q, nz = P.
// Every layout given to a fixed-rank array is reshaped to its rank: slow dimensions are merged
// into the last one, or unit dimensions appended.
#pragma once

#include <cstddef>

#include "math/arrays/zvarraylinear.h"
#include "system/zvlog.h"

inline constexpr const char* kZvArrayLibSourcePath = "math/arrays/zvarraylib";

template <class T>
class zv1dArray : public zvArrayLinear<T> {
 public:
  using zvArrayLinear<T>::SetSize;

  zv1dArray() = default;
  zv1dArray(const zv1dArray& other) : zvArrayLinear<T>(other) {}

  int MandatoryRankValue() const override { return 1; }

  bool SetSize(size_t n) { return zvArrayLinear<T>::SetSize(1, &n, nullptr); }
  T& at(size_t i) { return this->At1(i); }
  const T& at(size_t i) const { return this->At1(i); }
  T& operator[](size_t i) { return this->At1(i); }
  const T& operator[](size_t i) const { return this->At1(i); }
  size_t XSize() const { return this->ArrayRankSpecs()->Dims()[0]; }
};

template <class T>
class zv2dArray : public zvArrayLinear<T> {
 public:
  using zvArrayLinear<T>::SetSize;
  using zvArrayLinear<T>::Attach;

  zv2dArray() = default;
  // A packed view of caller memory; see Attach.
  zv2dArray(size_t nx, size_t ny, T* ptr) { Attach(nx, ny, ptr); }
  zv2dArray(const zv2dArray& other) : zvArrayLinear<T>(other) {}

  int MandatoryRankValue() const override { return 2; }

  bool SetSize(size_t nx, size_t ny) {
    const size_t dims[2] = {nx, ny};
    return zvArrayLinear<T>::SetSize(2, dims, nullptr);
  }
  // A packed view of nx * ny elements at ptr, which the caller keeps alive and frees.
  bool Attach(size_t nx, size_t ny, T* ptr) {
    const size_t dims[2] = {nx, ny};
    return zvArrayLinear<T>::Attach(2, dims, ptr, nullptr, nullptr);
  }
  T& at(size_t x, size_t y) { return this->At2(x, y); }
  const T& at(size_t x, size_t y) const { return this->At2(x, y); }
  using zvArrayLinear<T>::At;
  T& At(size_t x, size_t y) { return at(x, y); }
  const T& At(size_t x, size_t y) const { return at(x, y); }

  size_t XSize() const { return this->ArrayRankSpecs()->Dims()[0]; }
  // 0 for an array that was never sized or attached.
  size_t YSize() const { return DimOrZero(1); }

 private:
  size_t DimOrZero(size_t i) const {
    const RankSpecification* r = this->ArrayRankSpecs();
    return r->Rank() > i ? r->Dims()[i] : 0;
  }
};

template <class T>
class zv3dArray : public zvArrayLinear<T> {
 public:
  using zvArrayLinear<T>::SetSize;
  using zvArrayLinear<T>::Attach;

  zv3dArray() = default;
  // A packed view of caller memory; see Attach.
  zv3dArray(size_t nx, size_t ny, size_t nz, T* ptr) { Attach(nx, ny, nz, ptr); }
  zv3dArray(const zv3dArray& other) : zvArrayLinear<T>(other) {}

  int MandatoryRankValue() const override { return 3; }

  bool SetSize(size_t nx, size_t ny, size_t nz) {
    const size_t dims[3] = {nx, ny, nz};
    return zvArrayLinear<T>::SetSize(3, dims, nullptr);
  }
  // A packed view of nx * ny * nz elements at ptr, which the caller keeps alive and frees.
  bool Attach(size_t nx, size_t ny, size_t nz, T* ptr) {
    const size_t dims[3] = {nx, ny, nz};
    return zvArrayLinear<T>::Attach(3, dims, ptr, nullptr, nullptr);
  }
  T& at(size_t x, size_t y, size_t z) { return this->At3(x, y, z); }
  const T& at(size_t x, size_t y, size_t z) const { return this->At3(x, y, z); }
  using zvArrayLinear<T>::At;
  T& At(size_t x, size_t y, size_t z) { return at(x, y, z); }
  const T& At(size_t x, size_t y, size_t z) const { return at(x, y, z); }

  size_t XSize() const { return this->ArrayRankSpecs()->Dims()[0]; }
  // YSize and ZSize are 0 for an array that was never sized or attached.
  size_t YSize() const { return DimOrZero(1); }
  size_t ZSize() const { return DimOrZero(2); }

 private:
  size_t DimOrZero(size_t i) const {
    const RankSpecification* r = this->ArrayRankSpecs();
    return r->Rank() > i ? r->Dims()[i] : 0;
  }
};

// Adds b to a element by element in logical order. Only the element counts must agree: a (6)
// array adds to a (2,3) array. Otherwise a is left unchanged.
inline zvArrayLinear<double>& operator+=(zvArrayLinear<double>& a, const zvArrayLinear<double>& b) {
  if (a.size() != b.size()) {
    zvLogBase::Record(zvlog_warning, kZvArrayLibSourcePath, __LINE__,
                      "zvArrayLinearUnaryAssignment, arrays are not the same size, operation not "
                      "performed");
    return a;
  }
  zvForEachElementPair(a.UnsafeArrayBasePtr(), *a.ArrayRankSpecs(), b.ArrayBasePtr(),
                       *b.ArrayRankSpecs(),
                       [](double& target, const double& source) { target += source; });
  return a;
}

inline zvArrayLinear<double>& operator*=(zvArrayLinear<double>& a, double value) {
  zvForEachElement(a.UnsafeArrayBasePtr(), *a.ArrayRankSpecs(),
                   [value](double& element) { element *= value; });
  return a;
}
