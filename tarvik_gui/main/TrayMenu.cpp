#include "TrayMenu.h"

#include <QGuiApplication>
#include <QMenu>
#include <QRect>
#include <QScreen>

namespace TrayMenu {

void popUpAt(QMenu* menu, const QRect& icon) {
  menu->activateWindow();
  menu->popup(icon.center());
  QPoint pos = menu->pos();
  pos.setY(pos.y() - menu->height());
  if (const QScreen* screen = QGuiApplication::primaryScreen()) {
    const QRect area = screen->geometry();
    if (pos.x() + menu->width() > area.right() + 1) pos.setX(area.right() + 1 - menu->width());
    if (pos.y() < area.top()) pos.setY(icon.bottom() + 1);
  }
  menu->move(pos);
}

}  // namespace TrayMenu
