// The dialog-unit conversion and the placement of the tool's additions.
#include "app/dialog_template.h"

#include <gtest/gtest.h>

#include <set>

namespace t42rm::app {
namespace {

bool Overlap(const DluRect& a, const DluRect& b) {
  return a.x < b.x + b.width && b.x < a.x + a.width && a.y < b.y + b.height &&
         b.y < a.y + a.height;
}

TEST(DialogUnits, ConvertEdgesRoundedLikeTheDialogManager) {
  struct Case {
    DialogBaseUnits base;
    DluRect in;
    PixelRect out;
  };
  const Case cases[] = {
      // MS Sans Serif 8 at 96 dpi: 6 x 13. 7 * 6 / 4 = 10.5 rounds up.
      {{6, 13}, {7, 136, 50, 14}, {11, 221, 75, 23}},
      {{6, 13}, {9, 99, 50, 14}, {14, 161, 75, 23}},
      // Edges are converted, not sizes: a 1-unit control at 1,1 is 1 pixel
      // (2..3), where converting its size alone would give 2.
      {{6, 13}, {1, 1, 1, 1}, {2, 2, 1, 1}},
      {{7, 17}, {122, 7, 50, 14}, {214, 15, 87, 30}},
      {{6, 13}, {0, 0, 279, 157}, {0, 0, 419, 255}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(DluToPixels(c.in, c.base), c.out) << c.in.x << "," << c.in.y;
  }
}

TEST(DialogTemplates, ControlsAreDistinctAndNothingOverlaps) {
  const DialogTemplate& main = MainDialogTemplate();
  std::set<int> ids;
  for (const ControlTemplate& c : main.controls) {
    EXPECT_TRUE(ids.insert(c.id).second) << c.id;
    EXPECT_LE(c.rect.x + c.rect.width, main.width) << c.id;
    // The combo box's height includes its list, which may cover the others.
    const bool combo = c.kind == ControlKind::kComboBox;
    for (const ControlTemplate& d : main.controls)
      if (&c != &d && !combo && d.kind != ControlKind::kComboBox) {
        EXPECT_FALSE(Overlap(c.rect, d.rect)) << c.id << " / " << d.id;
      }
  }
  for (const ControlTemplate& a : MainDialogAdditions()) {
    EXPECT_TRUE(ids.insert(a.id).second) << a.id;
    EXPECT_LE(a.rect.x + a.rect.width, main.width - 7) << a.id;
    for (const ControlTemplate& c : main.controls) {
      DluRect r = c.rect;
      if (c.kind == ControlKind::kComboBox) r.height = 14;  // closed
      EXPECT_FALSE(Overlap(a.rect, r)) << a.id << " / " << c.id;
    }
  }
  EXPECT_NE(FindControl(main, IDC_UPGRADE), nullptr);
  EXPECT_EQ(FindControl(main, IDC_PROGRESS), nullptr);
}

}  // namespace
}  // namespace t42rm::app
