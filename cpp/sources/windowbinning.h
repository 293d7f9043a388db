// Window geometry: window kinds, pixel coordinates, the mapping of a coordinate between a window
// and its parent (one level or several at once), the hierarchy of nested windows that the 22
// windowing parameters describe, and the flat numbering of L1C pixels.
//
// Axis convention: x is the slow index and y the fast one, so pixel (x, y) of a window of size
// (Nx, Ny) sits at flat position x * Ny + y. Constructors that take a pair as two integers take y
// first.
#pragma once

#include <cstdint>

enum class WindowMappingType : int32_t {
  WINDOW_UNDEFINED = 1,
  WINDOW_NOOF = 2,
  WINDOW_DETECTOR = 3,
  WINDOW_SCIENCE = 4,
  WINDOW_L1B = 5,
  WINDOW_L1C = 6,
  WINDOW_FULLCONV = 7,
};

// The kind with the same value for 2 to 6; WINDOW_UNDEFINED for anything else, 7 included (the
// full convolution window is never named by a number in the input tables).
WindowMappingType WindowMappingType_From_Integer(int value);

// An integer pixel coordinate tagged with the window it is expressed in.
struct Coords {
  WindowMappingType windowtype;
  int32_t x;
  int32_t y;

  explicit Coords(WindowMappingType t = WindowMappingType::WINDOW_UNDEFINED)
      : windowtype(t), x(0), y(0) {}
  // y first, then x, as everywhere a pair is passed as two integers.
  Coords(int y_value, int x_value, WindowMappingType t) : windowtype(t), x(x_value), y(y_value) {}
};

// A floating-point pixel location without a window kind (the measured centre of a PSF).
struct FloatCoords {
  double x = 0.0;
  double y = 0.0;
};

// One rectangular window and how its pixels map into its parent. Pixel (i, j) covers parent
// pixels Ofsx() + i * Binx() .. Ofsx() + (i + 1) * Binx() - 1 along x, and likewise along y.
// The parent is not owned and must outlive the mapping at the same address.
class WindowMapping {
 public:
  // A placeholder of kind t that only CreateMappingToUpperLevel fills in; its zero binning makes
  // it unusable until then.
  explicit WindowMapping(WindowMappingType t);
  WindowMapping(WindowMappingType t, const Coords& offset, const Coords& binning,
                const Coords& size, const WindowMapping* parent);

  WindowMappingType WindowType() const { return m_windowtype; }
  const WindowMapping* Parent() const { return m_parent; }
  int Numx() const { return m_numpixels.x; }
  int Numy() const { return m_numpixels.y; }
  int Binx() const { return m_binning.x; }
  int Biny() const { return m_binning.y; }
  int Ofsx() const { return m_offset.x; }
  int Ofsy() const { return m_offset.y; }

  // Both binning components are at least 1, so the downward mappings can divide by them.
  bool IsUsable() const { return m_binning.x >= 1 && m_binning.y >= 1; }

  // Maps one level up to the first parent pixel that `in` covers. With check on, the result
  // says whether that pixel lies inside the parent (always inside when there is no parent).
  bool ToParentWindow(const Coords& in, Coords* out, bool check) const {
    out->x = in.x * m_binning.x + m_offset.x;
    out->y = in.y * m_binning.y + m_offset.y;
    out->windowtype =
        (m_parent != nullptr) ? m_parent->m_windowtype : WindowMappingType::WINDOW_UNDEFINED;
    if (!check) return true;
    const bool inside =
        (m_parent == nullptr) || (out->x < m_parent->Numx() && out->y < m_parent->Numy());
    return inside && out->x >= 0 && out->y >= 0;
  }

  // Maps a parent pixel down to the pixel of this window that contains it. The quotient truncates
  // toward zero, so with check on the tests on dx and dy reject parent pixels just before the
  // window's start. A window without a usable binning cannot map down: the output is -9999 and
  // the result false whatever `check` says.
  bool FromParentWindow(const Coords& in, Coords* out, bool check) const {
    out->windowtype = m_windowtype;
    if (!IsUsable()) {
      out->x = -9999;
      out->y = -9999;
      return false;
    }
    const int dx = in.x - m_offset.x;
    const int dy = in.y - m_offset.y;
    out->x = dx / m_binning.x;
    out->y = dy / m_binning.y;
    if (!check) return true;
    return out->x < Numx() && out->y < Numy() && out->x >= 0 && out->y >= 0 && dx >= 0 && dy >= 0;
  }

  // Floating-point forms: no bounds test, no look at the parent.
  bool ToParentWindow(double x, double y, double* px, double* py) const {
    *px = m_offset.x + m_binning.x * x;
    *py = m_offset.y + m_binning.y * y;
    return true;
  }
  // Without a usable binning the outputs are NaN and the result false.
  bool FromParentWindow(double px, double py, double* x, double* y) const;

  // Composes the mappings from this window up to `target` into `result`, whose parent becomes
  // `target`. A null target walks the whole chain. Logs a warning and returns false when
  // `target` is not reached; the result then has kind WINDOW_UNDEFINED and sizes of -9999.
  bool CreateMappingToUpperLevel(const WindowMapping* target, WindowMapping* result) const;

  int FlatIndex(const Coords& c) const { return c.x * Numy() + c.y; }

 private:
  WindowMappingType m_windowtype;
  const WindowMapping* m_parent;
  Coords m_offset;
  Coords m_binning;
  Coords m_numpixels;
};

// The six nested windows described by the 22 windowing parameters, plus the composite mapping
// from the L1C window straight to the detector window. The parent pointers point into the object
// itself, so it can be neither copied nor moved.
class WindowMappingHierarchy {
 public:
  WindowMappingHierarchy(int FULLCONVx, int FULLCONVy, int NOFSx, int NOFSy, int NOOFx, int NOOFy,
                         int DOFSx, int DOFSy, int Dx, int Dy, int SOFSx, int SOFSy, int Sx, int Sy,
                         int LBINx, int LBINy, int Lx, int Ly, int KBINx, int KBINy, int Kx,
                         int Ky);
  WindowMappingHierarchy(const WindowMappingHierarchy&) = delete;
  WindowMappingHierarchy& operator=(const WindowMappingHierarchy&) = delete;

  WindowMapping CreateMappingToUpperLevel(const WindowMapping& source,
                                          const WindowMapping& upper) const;

  // True when every window, and the L1C-to-detector composite, has binning components of at
  // least 1 that fit a 32-bit integer; the entry points refuse a hierarchy that is not usable.
  bool IsUsable() const;

  WindowMapping m_fullconv;
  WindowMapping m_noof;
  WindowMapping m_detector;
  WindowMapping m_science;
  WindowMapping m_l1b;
  WindowMapping m_l1c;
  WindowMapping m_l1c_to_detector;
};

// Numbers the pixels of a binned window 0 .. FlatSize() - 1 (y fastest) and maps pixels of a
// window above it straight to those numbers.
class L1cFlatIndexer {
 public:
  L1cFlatIndexer(const WindowMapping& indexed, const WindowMapping& target);

  int FlatIndex(const Coords& c) const { return c.x * m_stride + c.y; }
  int FlatSize() const { return m_flatsize; }
  const WindowMapping& Mapping() const { return m_mapping; }

  // The number of the indexed pixel containing `pixel` (a pixel of the target window), or -1
  // when the downward mapping fails. With check off the number is computed even for pixels
  // outside the window.
  bool FlatIndexFromDetectorPixel(const Coords& pixel, int* index, bool check) const {
    Coords c(WindowMappingType::WINDOW_UNDEFINED);
    const bool ok = m_mapping.FromParentWindow(pixel, &c, check);
    *index = ok ? FlatIndex(c) : -1;
    return ok;
  }

 private:
  WindowMapping m_mapping;
  int32_t m_flatsize;
  int32_t m_stride;
};
