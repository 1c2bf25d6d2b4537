#include "user_dialogs.h"

#include <QDesktopServices>
#include <QFileDialog>
#include <QUrl>

QString StandardDialogs::existingDirectory(QWidget* parent, const QString& caption,
                                           const QString& startDir) {
    return QFileDialog::getExistingDirectory(
        parent, caption, startDir, QFileDialog::ShowDirsOnly | QFileDialog::DontResolveSymlinks);
}

QString StandardDialogs::openFileName(QWidget* parent, const QString& caption,
                                      const QString& startDir, const QString& filter) {
    return QFileDialog::getOpenFileName(parent, caption, startDir, filter);
}

std::optional<QString> StandardDialogs::saveFileName(QWidget* parent, const QString& caption,
                                                     const QString& proposedName,
                                                     const QString& filter) {
    const QString chosen = QFileDialog::getSaveFileName(parent, caption, proposedName, filter);
    if (chosen.isEmpty()) return std::nullopt;
    return chosen;
}

void StandardDialogs::showTextFile(const QString& path) {
    QDesktopServices::openUrl(QUrl::fromLocalFile(path));
}
