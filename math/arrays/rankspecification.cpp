#include "math/arrays/rankspecification.h"

#include <new>

#include "system/zvlog.h"

static const char* const kSourcePath = "math/arrays/rankspecification";

RankSpecification::RankSpecification() { init(); }

RankSpecification::RankSpecification(const RankSpecification& other) {
  init();
  CopyOther(other);
}

RankSpecification& RankSpecification::operator=(const RankSpecification& other) {
  CopyOther(other);
  return *this;
}

RankSpecification::~RankSpecification() { ReleaseResources(); }

void RankSpecification::init() {
  m_flags = RS_UNDEFINED;
  m_rank = 0;
  m_nelements = 0;
  for (size_t i = 0; i < kInlineRank; ++i) {
    m_staticdims[i] = 0;
    m_staticstrides[i] = 0;
  }
  UseInlineLists();
}

void RankSpecification::UseInlineLists() {
  m_dims = m_staticdims;
  m_strides = m_staticstrides;
}

void RankSpecification::ReleaseResources() {
  if (m_dims != m_staticdims) delete[] m_dims;
  if (m_strides != m_staticstrides) delete[] m_strides;
  UseInlineLists();
  m_flags = RS_UNDEFINED;
  m_rank = 0;
  m_nelements = 0;
  m_staticdims[0] = 0;
  m_staticstrides[0] = 0;
}

bool RankSpecification::AllocateSpace() {
  if (m_rank <= kInlineRank) {
    UseInlineLists();
    return true;
  }
  size_t* dims = new (std::nothrow) size_t[m_rank];
  size_t* strides = new (std::nothrow) size_t[m_rank];
  if (dims == nullptr || strides == nullptr) {
    delete[] dims;
    delete[] strides;
    const int rank = static_cast<int>(m_rank);
    ReleaseResources();
    zvLogBase::Record(zvlog_error, kSourcePath, __LINE__,
                      "RankSpecification::AllocateSpace, Error allocating space for rank (%d) "
                      "layout",
                      rank);
    return false;
  }
  m_dims = dims;
  m_strides = strides;
  return true;
}

bool RankSpecification::AllocateUninitializedSpace(size_t nrank) {
  m_flags = RS_UNDEFINED;
  if (nrank == m_rank) return true;
  if (nrank > kMaxRank) {
    zvLogBase::Record(zvlog_warning, kSourcePath, __LINE__,
                      "RankSpecification::Configure, User has requested an amazingly large rank "
                      "(%d), it has been set to 0",
                      static_cast<int>(nrank));
    nrank = 0;
  }
  ReleaseResources();
  m_rank = nrank;
  return AllocateSpace();
}

bool RankSpecification::Configure(size_t nrank, const size_t* dims, size_t elementsize,
                                  const size_t* strides) {
  if (nrank > 0 && nrank <= kMaxRank && dims == nullptr) {
    ReleaseResources();
    return false;
  }
  if (!AllocateUninitializedSpace(nrank)) return false;
  m_nelements = 0;
  if (m_rank == 0) {
    m_dims[0] = 0;
    m_strides[0] = 0;
    return true;
  }
  if (strides == nullptr) {
    size_t running = elementsize;
    m_nelements = 1;
    for (size_t i = 0; i < m_rank; ++i) {
      m_dims[i] = dims[i];
      m_strides[i] = running;
      running *= dims[i];
      m_nelements *= dims[i];
    }
    m_flags = RS_ISCONTIG | RS_ISFIXED;
    return true;
  }
  bool contiguous = true;
  bool fixed = true;
  size_t below = 1;
  for (size_t i = 0; i < m_rank; ++i) {
    m_dims[i] = dims[i];
    m_strides[i] = strides[i];
    contiguous = contiguous && strides[i] == elementsize * below;
    fixed = fixed && strides[i] == strides[0] * below;
    below *= dims[i];
  }
  m_nelements = below;
  m_flags = (contiguous ? RS_ISCONTIG : RS_UNDEFINED) | (fixed ? RS_ISFIXED : RS_UNDEFINED);
  return true;
}

void RankSpecification::Erase() {
  const zvWORD flags = m_flags;
  ReleaseResources();
  m_flags = flags;
}

bool RankSpecification::CopyOther(const RankSpecification& other) {
  if (&other == this) return true;
  if (!AllocateUninitializedSpace(other.m_rank)) return false;
  const size_t n = m_rank == 0 ? 1 : m_rank;
  for (size_t i = 0; i < n; ++i) {
    m_dims[i] = other.m_dims[i];
    m_strides[i] = other.m_strides[i];
  }
  m_flags = other.m_flags;
  m_nelements = other.m_nelements;
  return true;
}

size_t RankSpecification::GetContiguousStorageSize(size_t elementsize) const {
  if (elementsize == 0 || m_rank == 0) return 0;
  const size_t extent = m_strides[m_rank - 1] * m_dims[m_rank - 1];
  return (elementsize + extent - 1) / elementsize;
}

bool RankSpecification::operator==(const RankSpecification& other) const {
  if (m_nelements != other.m_nelements || m_rank != other.m_rank) return false;
  for (size_t i = 0; i < m_rank; ++i) {
    if (m_dims[i] != other.m_dims[i]) return false;
  }
  return true;
}

bool RankSpecification::IsSameLayout(size_t nrank, const size_t* dims,
                                     const size_t* strides) const {
  if (dims == nullptr || nrank == 0 || m_nelements == 0) return false;
  if (strides == nullptr && !IsContiguous()) return false;
  const size_t n = nrank < m_rank ? nrank : m_rank;
  for (size_t i = 0; i < n; ++i) {
    if (dims[i] != m_dims[i]) return false;
    if (strides != nullptr && strides[i] != m_strides[i]) return false;
  }
  for (size_t i = n; i < m_rank; ++i) {
    if (m_dims[i] != 1) return false;
  }
  for (size_t i = n; i < nrank; ++i) {
    if (dims[i] != 1) return false;
  }
  return true;
}

void RankSpecification::CopyMismatchedDimensions(size_t nrank, const RankSpecification& other) {
  if (nrank < other.m_rank) {
    for (size_t i = 0; i + 1 < nrank; ++i) m_dims[i] = other.m_dims[i];
    size_t merged = 1;
    for (size_t i = nrank - 1; i < other.m_rank; ++i) merged *= other.m_dims[i];
    m_dims[nrank - 1] = merged;
    return;
  }
  for (size_t i = 0; i < other.m_rank; ++i) m_dims[i] = other.m_dims[i];
  for (size_t i = other.m_rank; i < nrank; ++i) m_dims[i] = 1;
}

bool RankSpecification::CopyMismatchedStrides(size_t nrank, const RankSpecification& other) {
  if (nrank < other.m_rank) {
    for (size_t i = 0; i < nrank; ++i) m_strides[i] = other.m_strides[i];
    // The merged slow dimensions are one dimension only if they are evenly spaced.
    for (size_t i = nrank; i < other.m_rank; ++i) {
      if (other.m_strides[i] != other.m_strides[i - 1] * other.m_dims[i - 1]) return false;
    }
    return true;
  }
  for (size_t i = 0; i < other.m_rank; ++i) m_strides[i] = other.m_strides[i];
  const size_t last = other.m_rank - 1;
  const size_t appended = other.m_strides[last] * other.m_dims[last];
  for (size_t i = other.m_rank; i < nrank; ++i) m_strides[i] = appended;
  return true;
}

bool RankSpecification::ReshapeToMandatoryRank(bool keepstrides, int mandatoryrank,
                                               size_t elementsize, const RankSpecification& other) {
  if (mandatoryrank <= 0 || other.m_rank == 0 ||
      other.m_rank == static_cast<size_t>(mandatoryrank)) {
    return CopyOther(other);
  }
  // Built aside first: `other` may be this layout.
  const size_t nrank = static_cast<size_t>(mandatoryrank);
  RankSpecification shape;
  if (!shape.AllocateUninitializedSpace(nrank)) return false;
  shape.CopyMismatchedDimensions(nrank, other);
  if (!keepstrides) return Configure(nrank, shape.m_dims, elementsize, nullptr);
  if (!shape.CopyMismatchedStrides(nrank, other)) {
    zvLogBase::Record(zvlog_warning, kSourcePath, __LINE__,
                      "RankSpecification::ReshapeToMandatoryRank, Cannot reshape array to lower "
                      "rank as upper dimensions do not have proper fixed stride");
    return false;
  }
  return Configure(nrank, shape.m_dims, elementsize, shape.m_strides);
}

bool RankSpecification::Reshape(size_t nrank, const size_t* dims) {
  if (!(IsContiguous() || IsFixedStride()) || nrank == 0 || dims == nullptr) return false;
  size_t count = 1;
  for (size_t i = 0; i < nrank; ++i) count *= dims[i];
  if (count != m_nelements) return false;

  // An evenly spaced layout keeps its spacing: the stride of dimension 0 acts as the element size
  // of a packed layout. Only a layout that was packed stays marked as packed, since the element
  // type's size is not known here.
  const bool contiguous = IsContiguous();
  const size_t elementsize = m_strides[0];
  RankSpecification shape;
  bool ok = shape.AllocateUninitializedSpace(nrank);
  if (ok) {
    for (size_t i = 0; i < nrank; ++i) shape.m_dims[i] = dims[i];
    ok = Configure(nrank, shape.m_dims, elementsize, nullptr);
  }
  if (!ok) {
    zvLogBase::Record(zvlog_warning, kSourcePath, __LINE__,
                      "RankSpecification::Reshape, abnormal memory re-shaping error, erasing whole "
                      "rank-specification. This may cause knock on problems");
    Erase();
    return false;
  }
  if (!contiguous) m_flags &= static_cast<zvWORD>(~RS_ISCONTIG);
  return true;
}
