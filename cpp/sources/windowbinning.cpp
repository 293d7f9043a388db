#include "cpp/sources/windowbinning.h"

#include <cstdint>
#include <limits>

#include "system/zvlog.h"

static const char* const kSourcePath = "cpp/sources/windowbinning";

using WMT = WindowMappingType;

WindowMappingType WindowMappingType_From_Integer(int value) {
  switch (value) {
    case 2:
    case 3:
    case 4:
    case 5:
    case 6:
      return static_cast<WindowMappingType>(value);
    default:
      return WMT::WINDOW_UNDEFINED;
  }
}

// The tables of the hierarchy read as (x, y); Coords takes y first.
static Coords XY(int x, int y, WindowMappingType t) { return Coords(y, x, t); }

WindowMapping::WindowMapping(WindowMappingType t)
    : m_windowtype(t),
      m_parent(nullptr),
      m_offset(WMT::WINDOW_UNDEFINED),
      m_binning(WMT::WINDOW_UNDEFINED),
      m_numpixels(t) {}

WindowMapping::WindowMapping(WindowMappingType t, const Coords& offset, const Coords& binning,
                             const Coords& size, const WindowMapping* parent)
    : m_windowtype(t), m_parent(parent), m_offset(offset), m_binning(binning), m_numpixels(size) {}

bool WindowMapping::FromParentWindow(double px, double py, double* x, double* y) const {
  if (!IsUsable()) {
    *x = std::numeric_limits<double>::quiet_NaN();
    *y = std::numeric_limits<double>::quiet_NaN();
    return false;
  }
  *x = (px - m_offset.x) / m_binning.x;
  *y = (py - m_offset.y) / m_binning.y;
  return true;
}

bool WindowMapping::CreateMappingToUpperLevel(const WindowMapping* target,
                                              WindowMapping* result) const {
  // 64-bit accumulation: a product of caller-given binnings must not overflow a signed int.
  int64_t ofsx = 0;
  int64_t ofsy = 0;
  int64_t binx = 1;
  int64_t biny = 1;
  const WindowMapping* w = this;
  while (w != target && w != nullptr) {
    ofsx = ofsx * w->m_binning.x + w->m_offset.x;
    ofsy = ofsy * w->m_binning.y + w->m_offset.y;
    binx *= w->m_binning.x;
    biny *= w->m_binning.y;
    w = w->m_parent;
  }
  const bool found = (w == target);

  result->m_binning =
      XY(static_cast<int32_t>(binx), static_cast<int32_t>(biny), WMT::WINDOW_UNDEFINED);
  result->m_offset =
      XY(static_cast<int32_t>(ofsx), static_cast<int32_t>(ofsy), WMT::WINDOW_UNDEFINED);
  if (found) {
    result->m_windowtype = m_windowtype;
    result->m_numpixels.x = m_numpixels.x;
    result->m_numpixels.y = m_numpixels.y;
    result->m_parent = target;
    return true;
  }
  zvLogBase::Record(zvlog_warning, kSourcePath, __LINE__,
                    "WindowMapping::MappingToUpperLevel, failed to find target parent during "
                    "ascent of linked list");
  result->m_windowtype = WMT::WINDOW_UNDEFINED;
  result->m_numpixels.x = -9999;
  result->m_numpixels.y = -9999;
  result->m_parent = nullptr;
  return false;
}

WindowMappingHierarchy::WindowMappingHierarchy(int FULLCONVx, int FULLCONVy, int NOFSx, int NOFSy,
                                               int NOOFx, int NOOFy, int DOFSx, int DOFSy, int Dx,
                                               int Dy, int SOFSx, int SOFSy, int Sx, int Sy,
                                               int LBINx, int LBINy, int Lx, int Ly, int KBINx,
                                               int KBINy, int Kx, int Ky)
    : m_fullconv(WMT::WINDOW_FULLCONV, XY(0, 0, WMT::WINDOW_FULLCONV),
                 XY(1, 1, WMT::WINDOW_FULLCONV), XY(FULLCONVx, FULLCONVy, WMT::WINDOW_FULLCONV),
                 nullptr),
      m_noof(WMT::WINDOW_NOOF, XY(NOFSx, NOFSy, WMT::WINDOW_FULLCONV),
             XY(1, 1, WMT::WINDOW_FULLCONV), XY(NOOFx, NOOFy, WMT::WINDOW_NOOF), &m_fullconv),
      m_detector(WMT::WINDOW_DETECTOR, XY(DOFSx, DOFSy, WMT::WINDOW_NOOF),
                 XY(1, 1, WMT::WINDOW_NOOF), XY(Dx, Dy, WMT::WINDOW_DETECTOR), &m_noof),
      m_science(WMT::WINDOW_SCIENCE, XY(SOFSx, SOFSy, WMT::WINDOW_DETECTOR),
                XY(1, 1, WMT::WINDOW_DETECTOR), XY(Sx, Sy, WMT::WINDOW_SCIENCE), &m_detector),
      m_l1b(WMT::WINDOW_L1B, XY(0, 0, WMT::WINDOW_SCIENCE), XY(LBINx, LBINy, WMT::WINDOW_SCIENCE),
            XY(Lx, Ly, WMT::WINDOW_L1B), &m_science),
      m_l1c(WMT::WINDOW_L1C, XY(0, 0, WMT::WINDOW_L1B), XY(KBINx, KBINy, WMT::WINDOW_L1B),
            XY(Kx, Ky, WMT::WINDOW_L1C), &m_l1b),
      m_l1c_to_detector(WMT::WINDOW_UNDEFINED) {
  m_l1c.CreateMappingToUpperLevel(&m_detector, &m_l1c_to_detector);
}

WindowMapping WindowMappingHierarchy::CreateMappingToUpperLevel(const WindowMapping& source,
                                                                const WindowMapping& upper) const {
  WindowMapping result(WMT::WINDOW_UNDEFINED);
  source.CreateMappingToUpperLevel(&upper, &result);
  return result;
}

bool WindowMappingHierarchy::IsUsable() const {
  const int64_t kMax = std::numeric_limits<int32_t>::max();
  const bool products_fit = static_cast<int64_t>(m_l1b.Binx()) * m_l1c.Binx() <= kMax &&
                            static_cast<int64_t>(m_l1b.Biny()) * m_l1c.Biny() <= kMax;
  return m_fullconv.IsUsable() && m_noof.IsUsable() && m_detector.IsUsable() &&
         m_science.IsUsable() && m_l1b.IsUsable() && m_l1c.IsUsable() && products_fit &&
         m_l1c_to_detector.IsUsable();
}

L1cFlatIndexer::L1cFlatIndexer(const WindowMapping& indexed, const WindowMapping& target)
    : m_mapping(WMT::WINDOW_UNDEFINED) {
  indexed.CreateMappingToUpperLevel(&target, &m_mapping);
  m_flatsize = m_mapping.Numx() * m_mapping.Numy();
  m_stride = m_mapping.Numy();
}
