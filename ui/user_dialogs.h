// The dialogs and the viewer the main window opens, behind one interface so that tests can
// answer them without a person.
#pragma once

#include <QString>
#include <memory>
#include <optional>

class QFileDialog;
class QWidget;

class UserDialogs {
public:
    virtual ~UserDialogs() = default;
    // Empty when cancelled.
    virtual QString existingDirectory(QWidget* parent, const QString& caption,
                                      const QString& startDir) = 0;
    virtual QString openFileName(QWidget* parent, const QString& caption, const QString& startDir,
                                 const QString& filter) = 0;
    // None when cancelled.
    virtual std::optional<QString> saveFileName(QWidget* parent, const QString& caption,
                                                const QString& proposedName,
                                                const QString& filter) = 0;
    virtual void showTextFile(const QString& path) = 0;
};

// Qt's standard dialogs and the desktop's viewer for text files.
class StandardDialogs final : public UserDialogs {
public:
    QString existingDirectory(QWidget* parent, const QString& caption,
                              const QString& startDir) override;
    QString openFileName(QWidget* parent, const QString& caption, const QString& startDir,
                         const QString& filter) override;
    std::optional<QString> saveFileName(QWidget* parent, const QString& caption,
                                        const QString& proposedName,
                                        const QString& filter) override;
    void showTextFile(const QString& path) override;

    // The dialog openFileName shows, built but not yet shown.
    static std::unique_ptr<QFileDialog> openFileDialog(QWidget* parent, const QString& caption,
                                                       const QString& startDir,
                                                       const QString& filter);
};
