#pragma once

class QMenu;
class QMenuBar;
class QWidget;

// Menus kept as data in res/menus.json. Every action's data() holds its command id, so the owner
// routes all of a menu's commands through one handler, as a message map does.
class CMenuResource
{
public:
    // The menu bar of a menu resource (IDR_MAIN_MENU), or null when it cannot be loaded.
    static QMenuBar* CreateMenuBar(int nMenuId, QWidget* pParent);
    // Pop-up number nSubMenu of a menu resource (IDR_LIST_POPUP, 0), or null.
    static QMenu* CreatePopup(int nMenuId, int nSubMenu, QWidget* pParent);
};
