#include "app/dialog_template.h"

#include <array>

namespace t42rm::app {
namespace {

constexpr uint32_t kTab = kStyleTabStop;

constexpr std::array<ControlTemplate, 10> kMainControls{{
    {IDCANCEL, ControlKind::kPushButton, "Close", {7, 136, 50, 14}, kTab},
    {IDC_PATH, ControlKind::kEdit, "", {7, 119, 264, 14},
     kTab | kStyleBorder | kStyleReadOnly | kStyleAutoHScroll},
    {IDC_LOAD, ControlKind::kPushButton, "&Load", {9, 99, 50, 14}, kTab | kStyleDisabled},
    {IDC_UPGRADE, ControlKind::kPushButton, "Upgrade", {61, 99, 50, 14},
     kTab | kStyleDisabled | kStyleHidden},
    {IDC_CONNECT, ControlKind::kPushButton, "&Connect", {122, 7, 50, 14}, kTab},
    // The height includes the dropped-down list.
    {IDC_PORT, ControlKind::kComboBox, "", {7, 7, 112, 87}, kTab | kStyleDropDown | kStyleVScroll},
    {IDC_RADIO1, ControlKind::kAutoRadioButton, "Firmware upgrade (Recommended)", {7, 31, 127, 10},
     kTab | kStyleGroup},
    {IDC_RADIO2, ControlKind::kAutoRadioButton, "Boot Loader and Firmware upgrade", {7, 48, 128, 10},
     kTab},
    {IDC_RADIO3, ControlKind::kAutoRadioButton, "Channel data upgrade", {7, 66, 87, 10}, kTab},
    {IDC_RADIO4, ControlKind::kAutoRadioButton, "Module Upgrade", {7, 83, 68, 10}, kTab},
}};

// Right of the mode buttons and below Connect: nothing of the template is there.
constexpr std::array<ControlTemplate, 2> kMainAdditions{{
    {IDC_PROGRESS, ControlKind::kProgressBar, "", {150, 31, 122, 11}, kStyleNone},
    {IDC_STATUS, ControlKind::kStaticText, "", {150, 48, 122, 10}, kStyleNoPrefix},
}};

constexpr std::array<ControlTemplate, 4> kAboutControls{{
    {IDC_STATIC, ControlKind::kIcon, "", {11, 17, 20, 20}, kStyleNone},
    {IDC_STATIC, ControlKind::kStaticText, "QlbLoader Version 1.1", {40, 10, 119, 8},
     kStyleNoPrefix | kStyleGroup},
    {IDC_STATIC, ControlKind::kStaticText, "Copyright (C) 2008", {40, 25, 119, 8}, kStyleGroup},
    {IDOK, ControlKind::kPushButton, "OK", {178, 7, 50, 14},
     kStyleDefPushButton | kStyleGroup | kTab},
}};

constexpr DialogTemplate kMain{IDD_QLBLOADER_DIALOG,
                               "    ",
                               "MS Sans Serif",
                               8,
                               279,
                               157,
                               true,
                               true,
                               kMainControls};

constexpr DialogTemplate kAbout{IDD_ABOUTBOX,  kAboutCaption, "MS Sans Serif", 8, 235, 55,
                                false,         false,         kAboutControls};

// MulDiv(value, numerator, denominator) of the dialog manager.
int MulDiv(int value, int numerator, int denominator) {
  const long long p = static_cast<long long>(value) * numerator;
  const long long half = denominator / 2;
  return static_cast<int>(p >= 0 ? (p + half) / denominator : (p - half) / denominator);
}

}  // namespace

const DialogTemplate& MainDialogTemplate() { return kMain; }
const DialogTemplate& AboutDialogTemplate() { return kAbout; }
std::span<const ControlTemplate> MainDialogAdditions() { return kMainAdditions; }

const ControlTemplate* FindControl(const DialogTemplate& dialog, int id) {
  for (const ControlTemplate& c : dialog.controls)
    if (c.id == id) return &c;
  return nullptr;
}

int DluToPixelsX(int dlu, const DialogBaseUnits& base) { return MulDiv(dlu, base.charWidth, 4); }
int DluToPixelsY(int dlu, const DialogBaseUnits& base) { return MulDiv(dlu, base.charHeight, 8); }

PixelRect DluToPixels(const DluRect& r, const DialogBaseUnits& base) {
  // Right and bottom edges are converted, not the sizes, so that neighbours
  // that touch in dialog units touch in pixels too.
  const int x = DluToPixelsX(r.x, base);
  const int y = DluToPixelsY(r.y, base);
  return {x, y, DluToPixelsX(r.x + r.width, base) - x, DluToPixelsY(r.y + r.height, base) - y};
}

}  // namespace t42rm::app
