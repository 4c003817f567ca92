// Dialog template 101: the control panel ("Zembril ToolBar").
// Rectangles are x, y, width, height in dialog units.

#include "dialog.h"
#include "resources.h"
#include "window.h"

using namespace platform;

namespace {

constexpr uint32_t kReadOnlyBox = WS_BORDER | WS_TABSTOP | ES_READONLY | ES_AUTOHSCROLL;
constexpr uint32_t kFlatButton = WS_TABSTOP | BS_FLAT | BS_PUSHBUTTON;

constexpr DialogControl kControls[] = {
    {-1, "Button", "PQ-Values", BS_GROUPBOX, 7, 7, 127, 56},
    {-1, "Static", "P:", WS_GROUP | SS_LEFT, 16, 21, 8, 8},
    {1003, "Edit", "", kReadOnlyBox, 59, 20, 40, 12},
    {-1, "Static", "Q:", WS_GROUP | SS_LEFT, 16, 42, 8, 8},
    {1007, "Edit", "", kReadOnlyBox, 59, 41, 40, 12},
    {1008, "Button", "--", kFlatButton, 36, 19, 14, 13},
    {1009, "Button", "+", kFlatButton, 108, 19, 14, 13},
    {1010, "Button", "+", kFlatButton, 108, 40, 14, 13},
    {1011, "Button", "--", kFlatButton, 36, 40, 14, 13},
    {-1, "Button", "Radiuses", BS_GROUPBOX, 7, 73, 127, 73},
    {1012, "msctls_trackbar32", "Slider1", WS_TABSTOP | TBS_BOTH | TBS_NOTICKS, 16, 99, 106, 11},
    {-1, "Static", "Torus Radius:", WS_GROUP | SS_LEFT, 16, 86, 45, 8},
    {1004, "Edit", "", kReadOnlyBox, 82, 84, 40, 12},
    {1013, "msctls_trackbar32", "Slider1", WS_TABSTOP | TBS_AUTOTICKS | TBS_BOTH | TBS_NOTICKS, 16,
     127, 106, 11},
    {-1, "Static", "Cone Radius:", WS_GROUP | SS_LEFT, 16, 115, 44, 8},
    {1005, "Edit", "", kReadOnlyBox, 82, 112, 40, 12},
    {-1, "Button", "Texturing", BS_GROUPBOX, 7, 156, 127, 57},
    {1014, "Button", "EnvMapping (glTexGen)", WS_TABSTOP | BS_AUTOCHECKBOX, 16, 172, 93, 10},
};

constexpr DialogTemplate kControlPanel = {
    kControlPanelDialog,
    WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME | DS_SETFONT,
    WS_EX_TOOLWINDOW,
    0,
    0,
    141,
    228,
    "Zembril ToolBar",
    "MS Sans Serif",
    8,
    0,
    false,
    1,
    kControls,
    sizeof kControls / sizeof kControls[0],
    "KnotPanel",
};

}  // namespace

const DialogTemplate* find_dialog_template(int resource_id) {
  return resource_id == kControlPanelDialog ? &kControlPanel : nullptr;
}
