// The two dialog templates of the tool as data: the main dialog (102) and the
// About box (100), each with its controls in template order (which is also the
// tab order), their texts, rectangles in dialog units and styles. Every view
// builds its window from these tables; the Windows resource script is checked
// against them.
//
// Also here: the two controls this tool adds to the main dialog (progress bar
// and status line), placed in the free area right of the mode buttons, and the
// dialog-unit conversion every view uses. Pure data and functions, any thread.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

namespace t42rm::app {

// Template and resource IDs.
inline constexpr int IDD_ABOUTBOX = 100;
inline constexpr int IDS_ABOUTBOX = 101;
inline constexpr int IDD_QLBLOADER_DIALOG = 102;
inline constexpr int IDR_MAINFRAME = 128;
inline constexpr unsigned IDM_ABOUTBOX = 0x10;

// Control IDs of the main dialog.
inline constexpr int IDOK = 1;
inline constexpr int IDCANCEL = 2;
inline constexpr int IDC_PATH = 1000;
inline constexpr int IDC_LOAD = 1001;
inline constexpr int IDC_UPGRADE = 1002;
inline constexpr int IDC_RADIO1 = 1003;
inline constexpr int IDC_CONNECT = 1004;
inline constexpr int IDC_PORT = 1005;
inline constexpr int IDC_RADIO2 = 1006;
inline constexpr int IDC_RADIO3 = 1007;
inline constexpr int IDC_RADIO4 = 1008;
// Added by this tool; not part of template 102.
inline constexpr int IDC_PROGRESS = 1009;
inline constexpr int IDC_STATUS = 1010;
// Static controls of the About box carry no ID of their own.
inline constexpr int IDC_STATIC = -1;

inline constexpr std::string_view kMainCaption = "T42RM-Upgrade  ver.1.1.0  (Jul 25 2008)";
inline constexpr std::string_view kAboutCaption = "About QlbLoader";
inline constexpr std::string_view kAboutMenuText = "&About QlbLoader...";  // string 101
inline constexpr std::string_view kVersionText = "1.1.0.1";                // version resource

enum class ControlKind {
  kPushButton,
  kEdit,
  kComboBox,
  kAutoRadioButton,
  kStaticText,
  kIcon,         // SS_ICON picture of resource IDR_MAINFRAME
  kProgressBar,  // added by this tool
};

// Styles beyond "visible child" (the default of every control).
enum Style : uint32_t {
  kStyleNone = 0,
  kStyleTabStop = 1u << 0,
  kStyleGroup = 1u << 1,       // starts a group (of radio buttons)
  kStyleDisabled = 1u << 2,
  kStyleHidden = 1u << 3,      // not WS_VISIBLE
  kStyleBorder = 1u << 4,
  kStyleReadOnly = 1u << 5,
  kStyleAutoHScroll = 1u << 6,
  kStyleDropDown = 1u << 7,    // editable combo box
  kStyleVScroll = 1u << 8,
  kStyleNoPrefix = 1u << 9,    // '&' is shown, not a mnemonic
  kStyleDefPushButton = 1u << 10,
};

// A rectangle in dialog units.
struct DluRect {
  int x = 0;
  int y = 0;
  int width = 0;
  int height = 0;
};

struct ControlTemplate {
  int id;
  ControlKind kind;
  std::string_view text;
  DluRect rect;
  uint32_t styles;
};

struct DialogTemplate {
  int id;
  std::string_view caption;
  std::string_view fontName;
  int fontPointSize;
  int width;   // dialog units
  int height;  // dialog units
  bool visibleAtCreation;  // WS_VISIBLE
  bool appWindow;          // WS_EX_APPWINDOW: own task-bar button
  std::span<const ControlTemplate> controls;
};

const DialogTemplate& MainDialogTemplate();   // 102
const DialogTemplate& AboutDialogTemplate();  // 100
// The progress bar and the status line, in the main dialog's dialog units.
std::span<const ControlTemplate> MainDialogAdditions();

// The control with that ID in the template, or null.
const ControlTemplate* FindControl(const DialogTemplate& dialog, int id);

// Dialog base units of a font: the average character width and the height in
// pixels. A dialog unit is a quarter of the first horizontally, an eighth of
// the second vertically.
struct DialogBaseUnits {
  int charWidth = 0;
  int charHeight = 0;
};
struct PixelRect {
  int x = 0;
  int y = 0;
  int width = 0;
  int height = 0;
  bool operator==(const PixelRect&) const = default;
};
// Rounded as the dialog manager does (MulDiv: nearest, halves away from zero).
int DluToPixelsX(int dlu, const DialogBaseUnits& base);
int DluToPixelsY(int dlu, const DialogBaseUnits& base);
PixelRect DluToPixels(const DluRect& rect, const DialogBaseUnits& base);

}  // namespace t42rm::app
