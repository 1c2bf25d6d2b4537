#include "user_dialogs.h"

#include <QDesktopServices>
#include <QFileDialog>
#include <QUrl>

// Qt's own dialogs rather than the desktop's: they speak the interface's language (Qt's Chinese
// translations) whatever the desktop and its language.
std::unique_ptr<QFileDialog> StandardDialogs::openFileDialog(QWidget* parent,
                                                             const QString& caption,
                                                             const QString& startDir,
                                                             const QString& filter) {
    auto dialog = std::make_unique<QFileDialog>(parent, caption, startDir, filter);
    dialog->setOptions(QFileDialog::DontUseNativeDialog | QFileDialog::HideNameFilterDetails);
    dialog->setFileMode(QFileDialog::ExistingFile);
    dialog->setAcceptMode(QFileDialog::AcceptOpen);
    return dialog;
}

QString StandardDialogs::existingDirectory(QWidget* parent, const QString& caption,
                                           const QString& startDir) {
    return QFileDialog::getExistingDirectory(parent, caption, startDir,
                                             QFileDialog::ShowDirsOnly |
                                                 QFileDialog::DontResolveSymlinks |
                                                 QFileDialog::DontUseNativeDialog);
}

QString StandardDialogs::openFileName(QWidget* parent, const QString& caption,
                                      const QString& startDir, const QString& filter) {
    const std::unique_ptr<QFileDialog> dialog = openFileDialog(parent, caption, startDir, filter);
    if (dialog->exec() != QDialog::Accepted || dialog->selectedFiles().isEmpty()) return QString();
    return dialog->selectedFiles().front();
}

std::optional<QString> StandardDialogs::saveFileName(QWidget* parent, const QString& caption,
                                                     const QString& proposedName,
                                                     const QString& filter) {
    const QString chosen = QFileDialog::getSaveFileName(parent, caption, proposedName, filter,
                                                        nullptr, QFileDialog::DontUseNativeDialog);
    if (chosen.isEmpty()) return std::nullopt;
    return chosen;
}

void StandardDialogs::showTextFile(const QString& path) {
    QDesktopServices::openUrl(QUrl::fromLocalFile(path));
}
