#include "user_dialogs.h"

#include <QDesktopServices>
#include <QFileDialog>
#include <QMessageBox>
#include <QPushButton>
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
