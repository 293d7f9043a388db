// An N-dimensional strided array of T: a layout plus a base pointer into storage owned through a
// reference-counted manager or into caller memory that the array views without owning.
//
// The first index varies fastest: element (i0, i1, ...) of a packed array lies at element offset
// i0 + d0 * (i1 + d1 * (i2 + ...)). A row-major (rows, cols) buffer is therefore dimension 0 =
// cols, dimension 1 = rows.
//
// States: empty (no manager, no memory), owning (SetSize, or a shallow copy of an owning array)
// and attached (Attach). A failed sizing, attaching or copying operation logs why, returns false
// and leaves the array empty. Sizing never initialises elements: callers fill with SetTo.
//
// Element access goes through an indexing routine chosen once per layout change, so At on a
// packed 1-d or 2-d array is one multiply-add. Hot loops can bypass the per-element call with
// UnsafeArrayBasePtr() and the strides of ArrayRankSpecs().
//
// No counts are atomic: an array, and every array sharing its manager, is created, resized,
// copied and destroyed by one thread at a time. Reading, or writing disjoint elements, from
// several threads is safe while nobody changes shape or storage.
#pragma once

#include <cstddef>
#include <new>

#include "math/arrays/rankspecification.h"
#include "math/arrays/zvarrayiter.h"
#include "math/arrays/zvarraytypes.h"
#include "math/arrays/zvmemorymanager.h"
#include "system/strings/zvstring.h"
#include "system/zvlog.h"

inline constexpr const char* kZvArrayLinearSourcePath = "math/arrays/zvarraylinear";

template <class T>
class zvArrayLinear {
 public:
  typedef T* (zvArrayLinear<T>::*INDEXTOPOINTER)(const size_t* dims) const;

  zvArrayLinear() { ConstructorInit(); }
  // A deep copy (a temporary source hands over its storage instead).
  zvArrayLinear(const zvArrayLinear& other) {
    ConstructorInit();
    m_istemporary = other.m_istemporary;
    m_checkbounds = other.m_checkbounds;
    DeepCopy(other, true);
  }
  zvArrayLinear& operator=(const zvArrayLinear&) = delete;
  virtual ~zvArrayLinear() { Detach(); }

  // The rank every layout given to this array is reshaped to; 0 accepts any rank.
  virtual int MandatoryRankValue() const { return 0; }

  // Owned, uninitialised storage for the layout; null strides (bytes) give a packed layout. An
  // unchanged layout keeps its storage and contents.
  bool SetSize(size_t nrank, const size_t* dims, const size_t* strides) {
    if (m_rankspecs.IsSameLayout(nrank, dims, strides)) return true;
    bool ok = false;
    if (m_arrayisattached) {
      zvLogBase::Record(zvlog_warning, kZvArrayLinearSourcePath, __LINE__,
                        "zvArrayLinear<T>::SetSize, you cannot change the size of an array that is "
                        "Attached, you must call Detach or erase first");
    } else {
      ReleaseStorageOthersUse();
      ok = ConfigureOwnLayout(nrank, dims, strides);
      if (!ok) {
        zvLogBase::Record(zvlog_warning, kZvArrayLinearSourcePath, __LINE__,
                          "zvArrayLinear<T>::SetSize, Error configuring the rankspecification "
                          "object for rank (%d)",
                          static_cast<int>(nrank));
      } else if (m_rankspecs.N_Elements() == 0) {
        erase();
        return true;
      } else {
        ok = AllocateOwnStorage();
      }
    }
    if (!ok) Detach();
    return ok;
  }

  // Views ptr with the given layout without copying. With a manager, the view must lie inside
  // its block and holds a reference and a lock on it; without one the caller keeps ownership of
  // ptr and must keep it alive while the array uses it.
  bool Attach(size_t nrank, const size_t* dims, T* ptr, IzvMemoryManager<T>* manager,
              const size_t* strides) {
    return InternalAttach(nrank, dims, ptr, strides, manager);
  }

  // Drops storage, layout and manager: the array is empty.
  void Detach() {
    UnlockMemoryIfLocked(true);
    m_baseptr = nullptr;
    m_rankspecs.Erase();
    m_indextopointer = &zvArrayLinear::IndexToPointer_EmptyArray;
    m_arrayisattached = false;
    ReleaseMemoryManager();
  }

  // Empties the layout but keeps the manager; with memory reuse on, the block stays locked so
  // that a later SetSize within its reserved size allocates nothing.
  void erase() {
    UnlockMemoryIfLocked(false);
    if (m_manager == nullptr) m_baseptr = nullptr;
    m_rankspecs.Erase();
    m_indextopointer = &zvArrayLinear::IndexToPointer_EmptyArray;
    m_arrayisattached = false;
  }

  T& At(const size_t* dims) { return *(this->*m_indextopointer)(dims); }
  const T& At(const size_t* dims) const { return *(this->*m_indextopointer)(dims); }

  void SetTo(const T& constant) {
    const T value = constant;
    zvForEachElement(m_baseptr, m_rankspecs, [value](T& element) { element = value; });
  }

  // Shares the other array's storage (and its attached state); writes through one are seen
  // through the other.
  bool ShallowCopy(const zvArrayLinear& other) {
    if (&other == this) return true;
    if (m_arrayisattached) {
      zvLogBase::Record(zvlog_warning, kZvArrayLinearSourcePath, __LINE__,
                        "zvArrayLinear<T>::ShallowCopy, Cannot shallowCopy to an array that is "
                        "attached to memory. Use Detach or erase before invoking ShallowCopy");
      Detach();
      return false;
    }
    if (other.IsEmpty() || other.m_rankspecs.Rank() == 0) {
      erase();
      return true;
    }
    if (!m_rankspecs.ReshapeToMandatoryRank(true, MandatoryRankValue(), sizeof(T),
                                            other.m_rankspecs)) {
      zvLogBase::Record(zvlog_warning, kZvArrayLinearSourcePath, __LINE__,
                        "zvArrayLinear<T>::ShallowCopy, Cannot perform copy as there is a problem "
                        "reshaping the memory layout to the desired dimensionality");
      Detach();
      return false;
    }
    IzvMemoryManager<T>* oldmanager = m_manager;
    T* oldbase = m_baseptr;
    // The new lock is taken before the old one goes: both may be on the same block.
    m_manager = other.m_manager;
    m_arrayisattached = other.m_arrayisattached;
    if (m_manager != nullptr) {
      m_manager->AddRef();
      m_manager->LockMemory();
    }
    const bool ok = ConfigureMemoryLayout(other.m_baseptr);
    if (!ok) {
      zvLogBase::Record(zvlog_warning, kZvArrayLinearSourcePath, __LINE__,
                        "zvArrayLinear<T>::ShallowCopy, Error configuring memory layout.  "
                        "Something is dysfunctional");
    }
    if (oldmanager != nullptr) {
      if (oldbase != nullptr) oldmanager->UnlockMemory();
      oldmanager->Release();
    }
    if (!ok) Detach();
    return ok;
  }

  // Copies the other array's shape and, with copydata, its elements in logical order. An
  // attached array keeps its own shape and needs the same element count.
  bool DeepCopy(const zvArrayLinear& other, bool copydata) {
    if (&other == this) return true;
    if (other.IsTemporary() && IsEmpty()) return ShallowCopy(other);
    bool ok;
    if (m_arrayisattached) {
      ok = size() == other.size();
      if (!ok) {
        zvLogBase::Record(zvlog_warning, kZvArrayLinearSourcePath, __LINE__,
                          "zvArrayLinear<T>::DeepCopy, Cannot DeepCopy to an attached array that "
                          "does not have the same number of elements. This (attached) array has "
                          "(%u) elements while the other array has (%u) elements.",
                          static_cast<unsigned>(size()), static_cast<unsigned>(other.size()));
      }
    } else {
      ok = SetSize(other.m_rankspecs.Rank(), other.m_rankspecs.Dims(), nullptr);
      if (!ok) {
        zvLogBase::Record(zvlog_warning, kZvArrayLinearSourcePath, __LINE__,
                          "zvArrayLinear<T>::DeepCopy, failed to due to memory allocation error");
      }
    }
    if (!ok) {
      Detach();
      return false;
    }
    if (copydata) {
      zvForEachElementPair(m_baseptr, m_rankspecs, other.m_baseptr, other.m_rankspecs,
                           [](T& target, const T& source) { target = source; });
    }
    return true;
  }

  void SetReuseMemory(bool allow) { m_allowmemoryreuse = allow; }
  void SetBoundsChecking(bool check) { m_checkbounds = check; }
  // A temporary's storage is taken over, not copied, by DeepCopy into an empty array.
  void SetTemporary(bool temporary) { m_istemporary = temporary; }
  bool IsTemporary() const { return m_istemporary; }

  const RankSpecification* ArrayRankSpecs() const { return &m_rankspecs; }
  IzvMemoryManager<T>* ArrayManager() const { return m_manager; }
  T* UnsafeArrayBasePtr() { return m_baseptr; }
  const T* ArrayBasePtr() const { return m_baseptr; }
  bool IsEmpty() const { return m_baseptr == nullptr; }
  size_t size() const { return m_rankspecs.N_Elements(); }

  // A walk from begin() while not equal to end() visits every element once in logical order.
  // The end iterator is begin() advanced by the element count, which for packed and evenly
  // spaced layouts is base + last size * last stride.
  zvArrayIter<T> begin() const {
    return zvArrayIter<T>(reinterpret_cast<zvBYTE*>(m_baseptr), &m_rankspecs);
  }
  zvArrayIter<T> end() const {
    zvArrayIter<T> it = begin();
    it += size();
    return it;
  }

 protected:
  // Element access of the fixed-rank arrays. The packed layouts that SetSize and the fixed-rank
  // Attach create are addressed inline, so hot loops pay one multiply-add and a well-predicted
  // test instead of a call per element; any other layout, an empty array and bounds checking go
  // through the indexing routine.
  T& At1(size_t i) const {
    if (m_indextopointer == &zvArrayLinear::IndexToPointer_1D_Contiguous && !m_checkbounds) {
      return m_baseptr[i];
    }
    return *(this->*m_indextopointer)(&i);
  }
  T& At2(size_t x, size_t y) const {
    if (m_indextopointer == &zvArrayLinear::IndexToPointer_2D_Contiguous && !m_checkbounds) {
      return m_baseptr[x + m_rankspecs.Dims()[0] * y];
    }
    const size_t index[2] = {x, y};
    return *(this->*m_indextopointer)(index);
  }
  T& At3(size_t x, size_t y, size_t z) const {
    if (m_indextopointer == &zvArrayLinear::IndexToPointer_General && m_rankspecs.IsContiguous() &&
        !m_checkbounds) {
      const size_t* dims = m_rankspecs.Dims();
      return m_baseptr[x + dims[0] * (y + dims[1] * z)];
    }
    const size_t index[3] = {x, y, z};
    return *(this->*m_indextopointer)(index);
  }

 private:
  void ConstructorInit() {
    m_manager = nullptr;
    m_indextopointer = &zvArrayLinear::IndexToPointer_EmptyArray;
    m_baseptr = nullptr;
    m_checkbounds = false;
    m_allowmemoryreuse = false;
    m_arrayisattached = false;
    m_istemporary = false;
  }

  // Before this array resizes, it lets go of a block that other arrays use (shared, or locked by
  // another array only), so that their data stays and this array never resizes under them.
  void ReleaseStorageOthersUse() {
    if (m_manager == nullptr) return;
    const bool otherslock =
        m_manager->MemoryIsShared() || (m_baseptr == nullptr && m_manager->MemoryLockCount() > 0);
    if (otherslock) Detach();
  }

  bool ConfigureOwnLayout(size_t nrank, const size_t* dims, const size_t* strides) {
    if (!m_rankspecs.Configure(nrank, dims, sizeof(T), strides)) return false;
    const int mandatory = MandatoryRankValue();
    if (mandatory == 0 || static_cast<size_t>(mandatory) == nrank) return true;
    return m_rankspecs.ReshapeToMandatoryRank(false, mandatory, sizeof(T), m_rankspecs);
  }

  bool AllocateOwnStorage() {
    if (m_manager == nullptr) {
      m_manager = new (std::nothrow) IzvMemoryManager<T>();
      if (m_manager == nullptr) {
        zvLogBase::Record(zvlog_warning, kZvArrayLinearSourcePath, __LINE__,
                          "zvArrayLinear<T>::SetSize, Error allocating IzvMemoryManager<T>");
        return false;
      }
      m_manager->AddRef();
    }
    m_baseptr = nullptr;
    T* ptr = nullptr;
    if (!m_manager->AllocateAndLock(&m_rankspecs, m_allowmemoryreuse, &ptr)) {
      zvLogBase::Record(zvlog_warning, kZvArrayLinearSourcePath, __LINE__,
                        "zvArrayLinear<T>::SetSize, Error allocating memory");
      return false;
    }
    if (!ConfigureMemoryLayout(ptr) ||
        !m_manager->CheckMemoryRange(m_baseptr, LastAddressableLocation())) {
      zvLogBase::Record(zvlog_warning, kZvArrayLinearSourcePath, __LINE__,
                        "zvArrayLinear<T>::SetSize, Error checking rank and dimensions of array");
      return false;
    }
    return true;
  }

  void UnlockMemoryIfLocked(bool force) {
    if (m_manager != nullptr && m_baseptr != nullptr && (force || !m_allowmemoryreuse)) {
      m_manager->UnlockMemory();
      m_baseptr = nullptr;
    }
  }

  void ReleaseMemoryManager() {
    if (m_manager == nullptr) return;
    if (m_baseptr != nullptr) m_manager->UnlockMemory();
    m_baseptr = nullptr;
    m_manager->Release();
    m_manager = nullptr;
  }

  // The new manager is referenced and locked before the old one lets go: attaching to another
  // part of the block this array already holds must not free it in between.
  void SetMemoryManager(IzvMemoryManager<T>* manager, T* baseptr) {
    if (manager != nullptr) {
      manager->AddRef();
      manager->LockMemory();
    }
    ReleaseMemoryManager();
    m_manager = manager;
    m_baseptr = baseptr;
  }

  bool InternalAttach(size_t nrank, const size_t* dims, T* ptr, const size_t* strides,
                      IzvMemoryManager<T>* manager) {
    RankSpecification described;
    bool ok = described.Configure(nrank, dims, sizeof(T), strides) &&
              m_rankspecs.ReshapeToMandatoryRank(true, MandatoryRankValue(), sizeof(T), described);
    if (ok && ptr == nullptr && m_rankspecs.N_Elements() > 0) {
      zvLogBase::Record(zvlog_error, kZvArrayLinearSourcePath, __LINE__,
                        "zvArrayLinear<T>::InternalAttach, cannot view %d elements at a null "
                        "pointer",
                        static_cast<int>(m_rankspecs.N_Elements()));
      ok = false;
    }
    if (ok) {
      SetMemoryManager(manager, ptr);
      ok = ConfigureMemoryLayout(ptr);
    }
    if (ok && manager != nullptr &&
        !manager->CheckMemoryRange(m_baseptr, LastAddressableLocation())) {
      zvLogBase::Record(zvlog_error, kZvArrayLinearSourcePath, __LINE__,
                        "zvArrayLinear<T>::InternalAttach, the requested array is not within the "
                        "bounds of the memory manager");
      ok = false;
    }
    m_arrayisattached = ok;
    if (!ok) Detach();
    return ok;
  }

  bool ConfigureMemoryLayout(T* ptr) {
    m_baseptr = ptr;
    if (m_rankspecs.Rank() == 0) {
      m_indextopointer = &zvArrayLinear::IndexToPointer_EmptyArray;
      return false;
    }
    ConfigureIndexingOperator();
    return true;
  }

  void ConfigureIndexingOperator() {
    const RankSpecification& r = m_rankspecs;
    if (r.N_Elements() == 0) {
      m_indextopointer = &zvArrayLinear::IndexToPointer_EmptyArray;
    } else if (r.Rank() == 1 && r.IsContiguous()) {
      m_indextopointer = &zvArrayLinear::IndexToPointer_1D_Contiguous;
    } else if (r.Rank() == 1 && r.IsFixedStride()) {
      m_indextopointer = &zvArrayLinear::IndexToPointer_1D_Fixed;
    } else if (r.Rank() == 2 && r.IsContiguous()) {
      m_indextopointer = &zvArrayLinear::IndexToPointer_2D_Contiguous;
    } else if (r.Rank() == 2 && r.IsFixedStride()) {
      m_indextopointer = &zvArrayLinear::IndexToPointer_2D_Fixed;
    } else {
      m_indextopointer = &zvArrayLinear::IndexToPointer_General;
    }
  }

  // Address of the last element; the base for a layout without elements.
  T* LastAddressableLocation() const {
    if (m_rankspecs.Rank() == 0) return nullptr;
    if (m_rankspecs.N_Elements() == 0) return m_baseptr;
    zvBYTE* last = reinterpret_cast<zvBYTE*>(m_baseptr);
    for (size_t i = 0; i < m_rankspecs.Rank(); ++i) {
      last += (m_rankspecs.Dims()[i] - 1) * m_rankspecs.Strides()[i];
    }
    return reinterpret_cast<T*>(last);
  }

  bool CheckBounds(const size_t* dimsindex) const {
    const size_t rank = m_rankspecs.Rank();
    bool inside = rank != 0;
    for (size_t i = 0; inside && i < rank; ++i) inside = dimsindex[i] < m_rankspecs.Dims()[i];
    if (inside) return true;
    const zvString indices = FormatList(rank, dimsindex);
    const zvString sizes = FormatList(rank, m_rankspecs.Dims());
    zvLogBase::Record(zvlog_error, kZvArrayLinearSourcePath, __LINE__,
                      "zvArrayLinear<T>::CheckBounds, Users indices %s are out of bounds of %s",
                      static_cast<const char*>(indices), static_cast<const char*>(sizes));
    return false;
  }

  // "[a,b,c]", values printed as int.
  static zvString FormatList(size_t n, const size_t* values) {
    zvString text;
    if (n == 0) {
      text = "[]";
      return text;
    }
    text.sprintf("[%1d", static_cast<int>(values[0]));
    for (size_t i = 1; i < n; ++i) {
      text.sprintf("%s,%1d", static_cast<const char*>(text), static_cast<int>(values[i]));
    }
    text.sprintf("%s]", static_cast<const char*>(text));
    return text;
  }

  // One element per element type for the whole process: what indexing an empty array, or an
  // index that failed the bounds check, yields instead of memory outside the array.
  static T* ScratchElement() {
    static T scratch{};
    return &scratch;
  }

  T* IndexToPointer_EmptyArray(const size_t*) const {
    zvLogBase::Record(zvlog_warning, kZvArrayLinearSourcePath, __LINE__,
                      "zvArrayLinear<T>::IndexToPointer_EmptyArray, You are indexing an empty "
                      "array");
    return ScratchElement();
  }

  T* IndexToPointer_General(const size_t* dims) const {
    if (m_checkbounds && !CheckBounds(dims)) return ScratchElement();
    zvBYTE* p = reinterpret_cast<zvBYTE*>(m_baseptr);
    const size_t* strides = m_rankspecs.Strides();
    for (size_t k = 0; k < m_rankspecs.Rank(); ++k) p += dims[k] * strides[k];
    return reinterpret_cast<T*>(p);
  }

  T* IndexToPointer_1D_Contiguous(const size_t* dims) const {
    if (m_checkbounds && !CheckBounds(dims)) return ScratchElement();
    return m_baseptr + dims[0];
  }

  T* IndexToPointer_1D_Fixed(const size_t* dims) const {
    if (m_checkbounds && !CheckBounds(dims)) return ScratchElement();
    return reinterpret_cast<T*>(reinterpret_cast<zvBYTE*>(m_baseptr) +
                                dims[0] * m_rankspecs.Strides()[0]);
  }

  T* IndexToPointer_2D_Contiguous(const size_t* dims) const {
    if (m_checkbounds && !CheckBounds(dims)) return ScratchElement();
    return m_baseptr + dims[0] + m_rankspecs.Dims()[0] * dims[1];
  }

  T* IndexToPointer_2D_Fixed(const size_t* dims) const {
    if (m_checkbounds && !CheckBounds(dims)) return ScratchElement();
    const size_t* strides = m_rankspecs.Strides();
    return reinterpret_cast<T*>(reinterpret_cast<zvBYTE*>(m_baseptr) + dims[0] * strides[0] +
                                dims[1] * strides[1]);
  }

  IzvMemoryManager<T>* m_manager;
  RankSpecification m_rankspecs;
  INDEXTOPOINTER m_indextopointer;
  T* m_baseptr;
  bool m_checkbounds;
  bool m_allowmemoryreuse;
  bool m_arrayisattached;
  bool m_istemporary;
};
