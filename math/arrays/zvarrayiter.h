// Iterators that visit every element of any array layout in logical order (dimension 0 fastest),
// and the element walks that the whole-array operations are built on.
//
// zvArrayIter picks one of three walking strategies when it is built: packed layouts step one
// element, evenly spaced layouts step a fixed number of bytes, and any other layout decomposes
// the logical element number into per-dimension indices at every step. Iterators hold plain
// pointers into the array and are invalid once it is resized, detached or destroyed.
#pragma once

#include <cstddef>
#include <functional>

#include "math/arrays/rankspecification.h"
#include "math/arrays/zvarraytypes.h"

// Walks a packed layout one element at a time.
template <class T>
class zvArrayIterCore {
 public:
  zvArrayIterCore() = default;
  zvArrayIterCore(const zvArrayIterCore&) = default;
  zvArrayIterCore& operator=(const zvArrayIterCore&) = default;
  virtual ~zvArrayIterCore() = default;

  // Throws the text below for a layout that is not packed.
  virtual void Configure(zvBYTE* basepointer, const RankSpecification* rank) {
    if (!rank->IsContiguous()) throw "zvArrayIterCore::Configure, Rank is not contiguous";
    m_pointer = reinterpret_cast<T*>(basepointer);
  }
  virtual zvArrayIterCore& operator++() {
    ++m_pointer;
    return *this;
  }
  virtual zvArrayIterCore& operator--() {
    --m_pointer;
    return *this;
  }
  virtual zvArrayIterCore& operator+=(size_t n) {
    m_pointer += n;
    return *this;
  }
  virtual zvArrayIterCore& operator-=(size_t n) {
    m_pointer -= n;
    return *this;
  }
  // The element n steps ahead; the iterator does not move.
  virtual T& operator[](size_t n) const { return m_pointer[n]; }
  // Number of steps from other to this iterator.
  virtual size_t operator-(const zvArrayIterCore& other) const {
    return static_cast<size_t>(m_pointer - other.m_pointer);
  }

  T* Pointer() const { return m_pointer; }
  T& operator*() const { return *m_pointer; }
  bool operator==(const zvArrayIterCore& other) const { return m_pointer == other.m_pointer; }
  bool operator!=(const zvArrayIterCore& other) const { return m_pointer != other.m_pointer; }
  bool operator<(const zvArrayIterCore& other) const { return Less(m_pointer, other.m_pointer); }
  bool operator>(const zvArrayIterCore& other) const { return Less(other.m_pointer, m_pointer); }
  bool operator<=(const zvArrayIterCore& other) const { return !(*this > other); }
  bool operator>=(const zvArrayIterCore& other) const { return !(*this < other); }

 protected:
  static bool Less(const T* a, const T* b) { return std::less<const T*>()(a, b); }
  static T* Advance(T* pointer, size_t bytes) {
    return reinterpret_cast<T*>(reinterpret_cast<zvBYTE*>(pointer) + bytes);
  }
  static T* Retreat(T* pointer, size_t bytes) {
    return reinterpret_cast<T*>(reinterpret_cast<zvBYTE*>(pointer) - bytes);
  }

  T* m_pointer = nullptr;
};

// Walks an evenly spaced layout: consecutive elements are m_stride bytes apart.
template <class T>
class zvArrayIterFixedStride : public zvArrayIterCore<T> {
 public:
  void Configure(zvBYTE* basepointer, const RankSpecification* rank) override {
    this->m_pointer = reinterpret_cast<T*>(basepointer);
    m_stride = rank->Stride();
  }
  zvArrayIterFixedStride& operator++() override {
    this->m_pointer = this->Advance(this->m_pointer, m_stride);
    return *this;
  }
  zvArrayIterFixedStride& operator--() override {
    this->m_pointer = this->Retreat(this->m_pointer, m_stride);
    return *this;
  }
  zvArrayIterFixedStride& operator+=(size_t n) override {
    this->m_pointer = this->Advance(this->m_pointer, n * m_stride);
    return *this;
  }
  zvArrayIterFixedStride& operator-=(size_t n) override {
    this->m_pointer = this->Retreat(this->m_pointer, n * m_stride);
    return *this;
  }
  T& operator[](size_t n) const override { return *this->Advance(this->m_pointer, n * m_stride); }
  size_t operator-(const zvArrayIterCore<T>& other) const override {
    if (m_stride == 0) return 0;
    const size_t bytes = static_cast<size_t>(reinterpret_cast<const zvBYTE*>(this->m_pointer) -
                                             reinterpret_cast<const zvBYTE*>(other.Pointer()));
    return bytes / m_stride;
  }

 private:
  size_t m_stride = 0;
};

// Walks any layout by its logical element number, recomputing the address at every step.
template <class T>
class zvArrayIterVariableStride : public zvArrayIterCore<T> {
 public:
  void Configure(zvBYTE* basepointer, const RankSpecification* rank) override {
    m_basepointer = basepointer;
    m_rankspec = rank;
    m_logicalposition = 0;
    this->m_pointer = reinterpret_cast<T*>(basepointer);
  }
  zvArrayIterVariableStride& operator++() override { return MoveTo(m_logicalposition + 1); }
  zvArrayIterVariableStride& operator--() override { return MoveTo(m_logicalposition - 1); }
  zvArrayIterVariableStride& operator+=(size_t n) override { return MoveTo(m_logicalposition + n); }
  zvArrayIterVariableStride& operator-=(size_t n) override { return MoveTo(m_logicalposition - n); }
  T& operator[](size_t n) const override {
    return *reinterpret_cast<T*>(
        m_rankspec->LogicalToPointer(m_logicalposition + n, m_basepointer));
  }
  // Another walker's position is only comparable when it walks by position too; otherwise the
  // element distance is the best answer there is.
  size_t operator-(const zvArrayIterCore<T>& other) const override {
    const auto* walker = dynamic_cast<const zvArrayIterVariableStride*>(&other);
    if (walker == nullptr) return zvArrayIterCore<T>::operator-(other);
    return m_logicalposition - walker->m_logicalposition;
  }

  size_t LogicalPosition() const { return m_logicalposition; }
  const zvBYTE* BasePointer() const { return m_basepointer; }

 private:
  zvArrayIterVariableStride& MoveTo(size_t position) {
    m_logicalposition = position;
    this->m_pointer = reinterpret_cast<T*>(m_rankspec->LogicalToPointer(position, m_basepointer));
    return *this;
  }

  size_t m_logicalposition = 0;
  zvBYTE* m_basepointer = nullptr;
  const RankSpecification* m_rankspec = nullptr;
};

// The iterator that arrays hand out. It owns one walker of each kind and uses the one that fits
// the layout. Copies point at their own walker, never at the source's.
//
// Two iterators that both walk by position over the same memory compare by logical position:
// in a layout whose strides do not grow with the dimension (a transposed view, a repeated
// element) different positions can share an address, and the end position can share the address
// of an element inside the array.
template <class T>
class zvArrayIter {
 public:
  zvArrayIter(zvBYTE* basepointer, const RankSpecification* rank) {
    if (rank->IsContiguous()) {
      m_iterimp = &m_contiguous;
    } else if (rank->IsFixedStride() && rank->Stride() != 0) {
      m_iterimp = &m_fixedstride;
    } else {
      m_iterimp = &m_variablestride;
    }
    m_iterimp->Configure(basepointer, rank);
  }
  zvArrayIter(const zvArrayIter& other)
      : m_contiguous(other.m_contiguous),
        m_fixedstride(other.m_fixedstride),
        m_variablestride(other.m_variablestride),
        m_iterimp(OwnWalker(other)) {}
  zvArrayIter& operator=(const zvArrayIter& other) {
    m_contiguous = other.m_contiguous;
    m_fixedstride = other.m_fixedstride;
    m_variablestride = other.m_variablestride;
    m_iterimp = OwnWalker(other);
    return *this;
  }

  T& operator*() const { return **m_iterimp; }
  T* Pointer() const { return m_iterimp->Pointer(); }
  zvArrayIter& operator++() {
    ++*m_iterimp;
    return *this;
  }
  zvArrayIter& operator--() {
    --*m_iterimp;
    return *this;
  }
  zvArrayIter& operator+=(size_t n) {
    *m_iterimp += n;
    return *this;
  }
  zvArrayIter& operator-=(size_t n) {
    *m_iterimp -= n;
    return *this;
  }
  T& operator[](size_t n) const { return (*m_iterimp)[n]; }
  size_t operator-(const zvArrayIter& other) const { return *m_iterimp - *other.m_iterimp; }

  bool operator==(const zvArrayIter& other) const {
    if (BothWalkByPosition(other)) {
      return m_variablestride.LogicalPosition() == other.m_variablestride.LogicalPosition();
    }
    return *m_iterimp == *other.m_iterimp;
  }
  bool operator!=(const zvArrayIter& other) const { return !(*this == other); }
  bool operator<(const zvArrayIter& other) const {
    if (BothWalkByPosition(other)) {
      return m_variablestride.LogicalPosition() < other.m_variablestride.LogicalPosition();
    }
    return *m_iterimp < *other.m_iterimp;
  }
  bool operator>(const zvArrayIter& other) const { return other < *this; }
  bool operator<=(const zvArrayIter& other) const { return !(other < *this); }
  bool operator>=(const zvArrayIter& other) const { return !(*this < other); }

 private:
  zvArrayIterCore<T>* OwnWalker(const zvArrayIter& other) {
    if (other.m_iterimp == &other.m_contiguous) return &m_contiguous;
    if (other.m_iterimp == &other.m_fixedstride) return &m_fixedstride;
    return &m_variablestride;
  }
  bool BothWalkByPosition(const zvArrayIter& other) const {
    return m_iterimp == &m_variablestride && other.m_iterimp == &other.m_variablestride &&
           m_variablestride.BasePointer() == other.m_variablestride.BasePointer();
  }

  zvArrayIterCore<T> m_contiguous;
  zvArrayIterFixedStride<T> m_fixedstride;
  zvArrayIterVariableStride<T> m_variablestride;
  zvArrayIterCore<T>* m_iterimp;
};

// Calls f(element) for every element of the layout at base, in logical order. Packed and evenly
// spaced layouts take plain pointer steps with no dispatch per element; only uneven layouts walk
// through zvArrayIter.
template <class T, class F>
void zvForEachElement(T* base, const RankSpecification& rank, F f) {
  const size_t n = rank.N_Elements();
  if (n == 0) return;
  if (rank.IsContiguous()) {
    for (size_t i = 0; i < n; ++i) f(base[i]);
  } else if (rank.IsFixedStride()) {
    zvBYTE* bytes = reinterpret_cast<zvBYTE*>(base);
    const size_t stride = rank.Stride();
    for (size_t i = 0; i < n; ++i) f(*reinterpret_cast<T*>(bytes + i * stride));
  } else {
    zvArrayIter<T> it(reinterpret_cast<zvBYTE*>(base), &rank);
    for (size_t i = 0; i < n; ++i, ++it) f(*it);
  }
}

// Calls f(a element, b element) for elements of equal logical number, for as many elements as
// the smaller of the two layouts has.
template <class T, class F>
void zvForEachElementPair(T* a, const RankSpecification& ra, const T* b,
                          const RankSpecification& rb, F f) {
  const size_t n = ra.N_Elements() < rb.N_Elements() ? ra.N_Elements() : rb.N_Elements();
  if (n == 0) return;
  if (ra.IsContiguous() && rb.IsContiguous()) {
    for (size_t i = 0; i < n; ++i) f(a[i], b[i]);
  } else if (ra.IsFixedStride() && rb.IsFixedStride()) {
    zvBYTE* abytes = reinterpret_cast<zvBYTE*>(a);
    const zvBYTE* bbytes = reinterpret_cast<const zvBYTE*>(b);
    const size_t sa = ra.Stride();
    const size_t sb = rb.Stride();
    for (size_t i = 0; i < n; ++i) {
      f(*reinterpret_cast<T*>(abytes + i * sa), *reinterpret_cast<const T*>(bbytes + i * sb));
    }
  } else {
    zvArrayIter<T> ia(reinterpret_cast<zvBYTE*>(a), &ra);
    // Read only: the iterator type has no const form.
    zvArrayIter<T> ib(reinterpret_cast<zvBYTE*>(const_cast<T*>(b)), &rb);
    for (size_t i = 0; i < n; ++i, ++ia, ++ib) f(*ia, *ib);
  }
}
