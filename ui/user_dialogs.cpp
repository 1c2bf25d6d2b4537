#include "user_dialogs.h"

#include <QDesktopServices>
#include <QFileDialog>
#include <QMessageBox>
#include <QPushButton>
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

ExistingFiles StandardDialogs::existingFiles(QWidget* parent, const QString& path) {
    QMessageBox box(
        QMessageBox::Question, QStringLiteral("已有同名文件"),
        QStringLiteral("保存位置已有同名文件：\n%1\n\n本次任务中遇到已有的同名文件时：").arg(path),
        QMessageBox::NoButton, parent);
    QPushButton* replace = box.addButton(QStringLiteral("全部替换"), QMessageBox::AcceptRole);
    QPushButton* keep = box.addButton(QStringLiteral("保留两者"), QMessageBox::AcceptRole);
    QPushButton* stop = box.addButton(QStringLiteral("停止"), QMessageBox::RejectRole);
    box.setDefaultButton(keep);
    box.setEscapeButton(stop);
    box.exec();
    if (box.clickedButton() == replace) return ExistingFiles::ReplaceAll;
    if (box.clickedButton() == keep) return ExistingFiles::KeepBoth;
    return ExistingFiles::Stop;
}
