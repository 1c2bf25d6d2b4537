// The notification-area icon: a click, or its menu's first entry, brings the main window back;
// the second entry ends the program.
#pragma once

#include <QSystemTrayIcon>

class QAction;
class QMenu;

class SystemTray : public QSystemTrayIcon {
    Q_OBJECT
public:
    explicit SystemTray(QObject* parent = nullptr);
    ~SystemTray() override;

signals:
    void showWidget();

private slots:
    void UiQuit();
    void ShowUi();

private:
    QMenu* menu;  // created without a parent, freed with the icon
    QAction* settingsAction;
    QAction* quitAction;
};
