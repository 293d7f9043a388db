#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <type_traits>
#include <vector>

#include "capture_log.h"
#include "cpp/sources/windowbinning.h"

using WMT = WindowMappingType;

namespace {

// Full conv (100, 90) > NOOF at (5, 6) of (80, 70) > detector at (3, 4) of (60, 50) > science at
// (10, 7) of (36, 40) > L1B binned (2, 1) of (18, 40) > L1C binned (3, 4) of (6, 10).
WindowMappingHierarchy* MakeHierarchy(int lbinx = 2, int lbiny = 1, int kbinx = 3, int kbiny = 4) {
  return new WindowMappingHierarchy(100, 90, 5, 6, 80, 70, 3, 4, 60, 50, 10, 7, 36, 40, lbinx,
                                    lbiny, 18, 40, kbinx, kbiny, 6, 10);
}

// A window of the given x binning and offset (y binning 1, offset 0) inside a 10 x 10 parent.
struct TwoLevels {
  WindowMapping parent;
  WindowMapping child;
  TwoLevels(int binx, int ofsx, int numx)
      : parent(WMT::WINDOW_DETECTOR, Coords(0, 0, WMT::WINDOW_NOOF), Coords(1, 1, WMT::WINDOW_NOOF),
               Coords(10, 10, WMT::WINDOW_DETECTOR), nullptr),
        child(WMT::WINDOW_SCIENCE, Coords(0, ofsx, WMT::WINDOW_DETECTOR),
              Coords(1, binx, WMT::WINDOW_DETECTOR), Coords(10, numx, WMT::WINDOW_SCIENCE),
              &parent) {}
};

}  // namespace

TEST(WindowBinning, KindsFromIntegersAndCoordsArgumentOrder) {
  for (int v = 2; v <= 6; ++v) {
    EXPECT_EQ(static_cast<int>(WindowMappingType_From_Integer(v)), v);
  }
  for (int v : {7, 1, 0, -1, 8}) {
    EXPECT_EQ(WindowMappingType_From_Integer(v), WMT::WINDOW_UNDEFINED) << v;
  }
  const Coords c(3, 5, WMT::WINDOW_DETECTOR);
  EXPECT_EQ(c.x, 5);
  EXPECT_EQ(c.y, 3);
  EXPECT_EQ(c.windowtype, WMT::WINDOW_DETECTOR);
  EXPECT_EQ(Coords().windowtype, WMT::WINDOW_UNDEFINED);
}

TEST(WindowBinning, DownwardMappingTruncatesAndRejectsPixelsBeforeTheWindow) {
  TwoLevels w(2, 0, 4);
  Coords out;
  // Parent x = -1: quotient truncates toward zero to 0, but dx < 0 rejects it under check.
  EXPECT_TRUE(w.child.FromParentWindow(Coords(0, -1, WMT::WINDOW_DETECTOR), &out, false));
  EXPECT_EQ(out.x, 0);
  EXPECT_EQ(out.windowtype, WMT::WINDOW_SCIENCE);
  EXPECT_FALSE(w.child.FromParentWindow(Coords(0, -1, WMT::WINDOW_DETECTOR), &out, true));
  EXPECT_EQ(out.x, 0);
  for (int px = 0; px < 8; ++px) {
    EXPECT_TRUE(w.child.FromParentWindow(Coords(0, px, WMT::WINDOW_DETECTOR), &out, true));
    EXPECT_EQ(out.x, px / 2);
  }
  // The window is 4 pixels wide: parent x 8 maps to x 4, one past its end.
  EXPECT_FALSE(w.child.FromParentWindow(Coords(0, 8, WMT::WINDOW_DETECTOR), &out, true));
  EXPECT_EQ(out.x, 4);
}

TEST(WindowBinning, UpwardMappingTestsTheParentBounds) {
  TwoLevels w(1, 2, 10);
  Coords out;
  EXPECT_TRUE(w.child.ToParentWindow(Coords(4, 7, WMT::WINDOW_SCIENCE), &out, true));
  EXPECT_EQ(out.x, 9);
  EXPECT_EQ(out.y, 4);
  EXPECT_EQ(out.windowtype, WMT::WINDOW_DETECTOR);
  // x 8 lands on parent x 10 == Numx: the upper bound is exclusive.
  EXPECT_FALSE(w.child.ToParentWindow(Coords(4, 8, WMT::WINDOW_SCIENCE), &out, true));
  EXPECT_TRUE(w.child.ToParentWindow(Coords(4, 8, WMT::WINDOW_SCIENCE), &out, false));
  EXPECT_FALSE(w.child.ToParentWindow(Coords(-1, 0, WMT::WINDOW_SCIENCE), &out, true));
  EXPECT_FALSE(w.child.ToParentWindow(Coords(0, -3, WMT::WINDOW_SCIENCE), &out, true));
  // The top window has no parent: any non-negative output is inside.
  EXPECT_TRUE(w.parent.ToParentWindow(Coords(500, 500, WMT::WINDOW_DETECTOR), &out, true));
  EXPECT_EQ(out.windowtype, WMT::WINDOW_UNDEFINED);
}

TEST(WindowBinning, FloatingPointMappingsInvertEachOther) {
  std::unique_ptr<WindowMappingHierarchy> h(MakeHierarchy());
  const WindowMapping& m = h->m_l1c_to_detector;
  double px = 0, py = 0, x = 0, y = 0;
  EXPECT_TRUE(m.ToParentWindow(1.25, 2.5, &px, &py));
  EXPECT_DOUBLE_EQ(px, 10 + 6 * 1.25);
  EXPECT_DOUBLE_EQ(py, 7 + 4 * 2.5);
  EXPECT_TRUE(m.FromParentWindow(px, py, &x, &y));
  EXPECT_DOUBLE_EQ(x, 1.25);
  EXPECT_DOUBLE_EQ(y, 2.5);
}

TEST(WindowBinning, HierarchyFollowsTheParameterOrder) {
  std::unique_ptr<WindowMappingHierarchy> h(MakeHierarchy());
  static_assert(!std::is_copy_constructible<WindowMappingHierarchy>::value,
                "the parent pointers point into the object");
  const struct {
    const WindowMapping& w;
    WMT kind;
    const WindowMapping* parent;
    int ofsx, ofsy, binx, biny, numx, numy;
  } expected[] = {
      {h->m_fullconv, WMT::WINDOW_FULLCONV, nullptr, 0, 0, 1, 1, 100, 90},
      {h->m_noof, WMT::WINDOW_NOOF, &h->m_fullconv, 5, 6, 1, 1, 80, 70},
      {h->m_detector, WMT::WINDOW_DETECTOR, &h->m_noof, 3, 4, 1, 1, 60, 50},
      {h->m_science, WMT::WINDOW_SCIENCE, &h->m_detector, 10, 7, 1, 1, 36, 40},
      {h->m_l1b, WMT::WINDOW_L1B, &h->m_science, 0, 0, 2, 1, 18, 40},
      {h->m_l1c, WMT::WINDOW_L1C, &h->m_l1b, 0, 0, 3, 4, 6, 10},
      {h->m_l1c_to_detector, WMT::WINDOW_L1C, &h->m_detector, 10, 7, 6, 4, 6, 10},
  };
  for (const auto& e : expected) {
    SCOPED_TRACE(static_cast<int>(e.kind));
    EXPECT_EQ(e.w.WindowType(), e.kind);
    EXPECT_EQ(e.w.Parent(), e.parent);
    EXPECT_EQ(e.w.Ofsx(), e.ofsx);
    EXPECT_EQ(e.w.Ofsy(), e.ofsy);
    EXPECT_EQ(e.w.Binx(), e.binx);
    EXPECT_EQ(e.w.Biny(), e.biny);
    EXPECT_EQ(e.w.Numx(), e.numx);
    EXPECT_EQ(e.w.Numy(), e.numy);
  }
  EXPECT_TRUE(h->IsUsable());
}

// The L1C-to-detector composite of LBINx 2, KBINx 3, SOFSx 10: binning 6, offset 10.
TEST(WindowBinning, CompositeMappingAgreesWithTheChainOfSingleSteps) {
  std::unique_ptr<WindowMappingHierarchy> h(MakeHierarchy());
  const WindowMapping& m = h->m_l1c_to_detector;
  Coords c;
  for (int dx = 10; dx <= 15; ++dx) {
    ASSERT_TRUE(m.FromParentWindow(Coords(7, dx, WMT::WINDOW_DETECTOR), &c, true));
    EXPECT_EQ(c.x, 0);
  }
  EXPECT_TRUE(m.FromParentWindow(Coords(7, 16, WMT::WINDOW_DETECTOR), &c, true));
  EXPECT_EQ(c.x, 1);
  EXPECT_FALSE(m.FromParentWindow(Coords(7, 9, WMT::WINDOW_DETECTOR), &c, true));

  // Every detector pixel: the composite must give what three single steps give.
  for (int dx = 0; dx < h->m_detector.Numx(); ++dx) {
    for (int dy = 0; dy < h->m_detector.Numy(); ++dy) {
      const Coords det(dy, dx, WMT::WINDOW_DETECTOR);
      Coords s, b, k, direct;
      const bool chain = h->m_science.FromParentWindow(det, &s, true) &&
                         h->m_l1b.FromParentWindow(s, &b, true) &&
                         h->m_l1c.FromParentWindow(b, &k, true);
      const bool one = m.FromParentWindow(det, &direct, true);
      ASSERT_EQ(one, chain) << dx << "," << dy;
      if (one) {
        EXPECT_EQ(direct.x, k.x);
        EXPECT_EQ(direct.y, k.y);
      }
    }
  }
  // Upward, an L1C pixel goes to the first detector pixel it covers.
  EXPECT_TRUE(m.ToParentWindow(Coords(2, 5, WMT::WINDOW_L1C), &c, true));
  EXPECT_EQ(c.x, 10 + 5 * 6);
  EXPECT_EQ(c.y, 7 + 2 * 4);
  EXPECT_EQ(c.windowtype, WMT::WINDOW_DETECTOR);
}

TEST(WindowBinning, CompositionToSelfToTopAndToAStranger) {
  std::unique_ptr<WindowMappingHierarchy> h(MakeHierarchy());
  CaptureLog log;
  const WindowMapping self = h->CreateMappingToUpperLevel(h->m_l1b, h->m_l1b);
  EXPECT_EQ(self.Binx(), 1);
  EXPECT_EQ(self.Biny(), 1);
  EXPECT_EQ(self.Ofsx(), 0);
  EXPECT_EQ(self.Ofsy(), 0);
  EXPECT_EQ(self.Parent(), &h->m_l1b);
  EXPECT_EQ(self.WindowType(), WMT::WINDOW_L1B);

  // A null target walks the whole chain and succeeds, into the frame above the top window.
  WindowMapping top(WMT::WINDOW_UNDEFINED);
  EXPECT_TRUE(h->m_science.CreateMappingToUpperLevel(nullptr, &top));
  EXPECT_EQ(top.Ofsx(), 10 + 3 + 5);
  EXPECT_EQ(top.Ofsy(), 7 + 4 + 6);
  EXPECT_EQ(top.Parent(), nullptr);
  EXPECT_TRUE(log.lines().empty());

  // The science window is not above the detector window.
  WindowMapping failed(WMT::WINDOW_UNDEFINED);
  EXPECT_FALSE(h->m_detector.CreateMappingToUpperLevel(&h->m_science, &failed));
  EXPECT_EQ(failed.WindowType(), WMT::WINDOW_UNDEFINED);
  EXPECT_EQ(failed.Numx(), -9999);
  EXPECT_EQ(failed.Numy(), -9999);
  EXPECT_EQ(failed.Parent(), nullptr);
  ASSERT_EQ(log.lines().size(), 1u);
  EXPECT_EQ(log.lines()[0],
            "WARNING\t:WindowMapping::MappingToUpperLevel, failed to find target parent during "
            "ascent of linked list");
}

TEST(WindowBinning, FlatIndexerNumbersL1cPixelsYFastest) {
  std::unique_ptr<WindowMappingHierarchy> h(MakeHierarchy());
  const WindowMapping l1c(WMT::WINDOW_L1C, Coords(0, 0, WMT::WINDOW_L1B),
                          Coords(1, 1, WMT::WINDOW_L1B), Coords(3, 4, WMT::WINDOW_L1C), &h->m_l1b);
  const L1cFlatIndexer small(l1c, h->m_l1b);
  EXPECT_EQ(small.FlatSize(), 12);
  EXPECT_EQ(small.FlatIndex(Coords(1, 2, WMT::WINDOW_L1C)), 7);

  const L1cFlatIndexer indexer(h->m_l1c, h->m_detector);
  EXPECT_EQ(indexer.FlatSize(), 6 * 10);
  // Every detector pixel of the L1C area gets the number of its L1C pixel, each number is hit
  // by exactly binx * biny detector pixels, and pixels outside get -1.
  std::vector<int> hits(indexer.FlatSize(), 0);
  for (int dx = 0; dx < h->m_detector.Numx(); ++dx) {
    for (int dy = 0; dy < h->m_detector.Numy(); ++dy) {
      int index = 12345;
      const bool ok =
          indexer.FlatIndexFromDetectorPixel(Coords(dy, dx, WMT::WINDOW_DETECTOR), &index, true);
      const int kx = (dx - 10) / 6, ky = (dy - 7) / 4;
      const bool inside = dx >= 10 && dy >= 7 && kx < 6 && ky < 10;
      ASSERT_EQ(ok, inside) << dx << "," << dy;
      if (inside) {
        EXPECT_EQ(index, kx * 10 + ky);
        ++hits[index];
      } else {
        EXPECT_EQ(index, -1);
      }
    }
  }
  for (int n : hits) EXPECT_EQ(n, 24);
  // Without checking, a pixel outside still gets a number.
  int index = 0;
  EXPECT_TRUE(indexer.FlatIndexFromDetectorPixel(Coords(7, 10 + 6 * 6, WMT::WINDOW_DETECTOR),
                                                 &index, false));
  EXPECT_EQ(index, 60);
}

TEST(WindowBinning, UnusableBinningNeverDivides) {
  for (int bad : {0, -2}) {
    SCOPED_TRACE(bad);
    std::unique_ptr<WindowMappingHierarchy> h(MakeHierarchy(2, 1, 3, bad));
    EXPECT_FALSE(h->IsUsable());
    EXPECT_FALSE(h->m_l1c.IsUsable());
    Coords c;
    EXPECT_FALSE(h->m_l1c.FromParentWindow(Coords(1, 1, WMT::WINDOW_L1B), &c, false));
    EXPECT_EQ(c.x, -9999);
    double x = 0, y = 0;
    EXPECT_FALSE(h->m_l1c_to_detector.FromParentWindow(12.0, 9.0, &x, &y));
    EXPECT_TRUE(std::isnan(x) && std::isnan(y));
    const L1cFlatIndexer indexer(h->m_l1c, h->m_detector);
    int index = 0;
    EXPECT_FALSE(
        indexer.FlatIndexFromDetectorPixel(Coords(8, 12, WMT::WINDOW_DETECTOR), &index, false));
    EXPECT_EQ(index, -1);
  }
  EXPECT_FALSE(std::unique_ptr<WindowMappingHierarchy>(MakeHierarchy(0, 1, 3, 4))->IsUsable());
  // Binnings that are usable alone but whose product overflows a 32-bit integer.
  EXPECT_FALSE(
      std::unique_ptr<WindowMappingHierarchy>(MakeHierarchy(70000, 1, 70000, 1))->IsUsable());
}
