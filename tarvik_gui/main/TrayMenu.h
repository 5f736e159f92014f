// Where the tray icon's menu opens on the screen.
#pragma once

class QMenu;
class QRect;

namespace TrayMenu {

// Opens `menu` above the tray icon whose screen geometry is `icon`, kept
// inside the primary screen on the right. A tray at the top of the screen
// (common on Linux desktops) has no room above the icon: the menu then
// opens below it.
void popUpAt(QMenu* menu, const QRect& icon);

}  // namespace TrayMenu
