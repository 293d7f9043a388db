// The memory layout of an N-dimensional array: rank, dimension sizes, byte strides, element count
// and two flags that let indexing and iteration pick fast paths.
//
// Dimension 0 varies fastest. Strides are in bytes, never in elements, so one layout class serves
// arrays of every element type; callers pass their element size where it matters. Ranks up to 3
// (every array of the matrix code) keep their lists inline; ranks of 4 or more use heap lists.
#pragma once

#include <cstddef>

#include "math/arrays/zvarraytypes.h"

enum MemoryLayout : unsigned {
  RS_UNDEFINED = 0,
  RS_ISCONTIG = 1,  // packed: stride i == element size * product of dimensions below i
  RS_ISFIXED = 2,   // evenly spaced in logical order: stride i == stride 0 * product below i
};

class RankSpecification {
 public:
  static constexpr size_t kInlineRank = 3;
  // Requests above this rank are taken as rank 0 rather than attempted.
  static constexpr size_t kMaxRank = 2000000000;

  RankSpecification();
  RankSpecification(const RankSpecification& other);
  RankSpecification& operator=(const RankSpecification& other);
  ~RankSpecification();

  bool IsContiguous() const { return (m_flags & RS_ISCONTIG) != 0; }
  bool IsFixedStride() const { return (m_flags & RS_ISFIXED) != 0; }
  size_t Rank() const { return m_rank; }
  const size_t* Dims() const { return m_dims; }
  size_t* UnsafeDims() { return m_dims; }
  const size_t* Strides() const { return m_strides; }
  size_t* UnsafeStrides() { return m_strides; }
  // Stride of dimension 0 in bytes; 0 for an empty layout.
  size_t Stride() const { return m_strides[0]; }
  size_t N_Elements() const { return m_nelements; }

  // Number of elements of the given size from element 0 up to the end of the last dimension
  // (last stride * last size, rounded up): the element count for a packed layout.
  size_t GetContiguousStorageSize(size_t elementsize) const;

  // Address of the element with logical number `logical` (dimension 0 fastest). Logical numbers
  // at or past the element count continue in the slowest dimension, so the element count maps
  // to base + last size * last stride.
  zvBYTE* LogicalToPointer(size_t logical, zvBYTE* base) const {
    if (m_rank <= 1) return base + logical * m_strides[0];
    if (m_nelements == 0) return base;
    size_t block = m_nelements / m_dims[m_rank - 1];
    size_t offset = 0;
    for (size_t i = m_rank - 1; i >= 1; --i) {
      offset += m_strides[i] * (logical / block);
      logical %= block;
      block /= m_dims[i - 1];
    }
    return base + offset + logical * m_strides[0];
  }

  // Same element count, rank and dimension sizes; strides and flags are not compared.
  bool operator==(const RankSpecification& other) const;
  // True when the described layout addresses the same elements as this one, trailing unit
  // dimensions on either side allowed. Null strides describe a packed layout.
  bool IsSameLayout(size_t nrank, const size_t* dims, const size_t* strides) const;

  // Sets the whole layout. Null strides give a packed layout of elements of `elementsize` bytes.
  bool Configure(size_t nrank, const size_t* dims, size_t elementsize, const size_t* strides);
  // Rank 0 and no elements; the flag word is left as it was.
  void Erase();
  // Room for nrank dimensions and strides, left for the caller to fill.
  bool AllocateUninitializedSpace(size_t nrank);
  // Sets this layout from `other` forced to `mandatoryrank` dimensions: slow dimensions merged
  // into the last kept one, or unit dimensions appended. With keepstrides the merged dimensions
  // must be evenly spaced; without it the result is packed.
  bool ReshapeToMandatoryRank(bool keepstrides, int mandatoryrank, size_t elementsize,
                              const RankSpecification& other);
  // New dimensions with the same element count for a packed or evenly spaced layout.
  bool Reshape(size_t nrank, const size_t* dims);

 private:
  void init();
  bool AllocateSpace();
  void ReleaseResources();
  bool CopyOther(const RankSpecification& other);
  void CopyMismatchedDimensions(size_t nrank, const RankSpecification& other);
  bool CopyMismatchedStrides(size_t nrank, const RankSpecification& other);
  void UseInlineLists();

  zvWORD m_flags;
  size_t m_rank;
  size_t m_nelements;
  size_t* m_dims;
  size_t* m_strides;
  size_t m_staticdims[kInlineRank];
  size_t m_staticstrides[kInlineRank];
};
