#include "cpp/sources/fast_engine_layout.h"

#include "cpp/sources/windowbinning.h"

bool TALVEN_FastEngineLayoutApplies(const WindowMappingHierarchy& h) {
  const WindowMapping& l1c = h.m_l1c_to_detector;
  const WindowMapping& science = h.m_science;
  const WindowMapping& detector = h.m_detector;
  if (!h.IsUsable() || l1c.Numx() < 1 || l1c.Numy() < 1) return false;
  const long long sx = static_cast<long long>(l1c.Numx()) * l1c.Binx();
  const long long sy = static_cast<long long>(l1c.Numy()) * l1c.Biny();
  return sx == science.Numx() && sy == science.Numy() && l1c.Ofsx() == science.Ofsx() &&
         l1c.Ofsy() == science.Ofsy() && science.Ofsx() >= 0 && science.Ofsy() >= 0 &&
         science.Ofsx() + sx <= detector.Numx() && science.Ofsy() + sy <= detector.Numy();
}
