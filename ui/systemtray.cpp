#include "systemtray.h"

#include <QAction>
#include <QCoreApplication>
#include <QIcon>
#include <QMenu>

SystemTray::SystemTray(QObject* parent) : QSystemTrayIcon(parent) {
    menu = new QMenu();
    settingsAction = new QAction(QStringLiteral("软件设置"), this);
    quitAction = new QAction(QStringLiteral("退出程序"), this);
    menu->addAction(settingsAction);
    menu->addAction(quitAction);
    setContextMenu(menu);
    setIcon(QIcon(QStringLiteral(":/images/zrk.ico")));
    setToolTip(QStringLiteral("Tablaweaver"));
    show();
    connect(settingsAction, &QAction::triggered, this, &SystemTray::ShowUi);
    connect(quitAction, &QAction::triggered, this, &SystemTray::UiQuit);
}

SystemTray::~SystemTray() {
    delete menu;
}

void SystemTray::UiQuit() {
    QCoreApplication::quit();
}

void SystemTray::ShowUi() {
    emit showWidget();
}
