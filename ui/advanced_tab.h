// The second tab of the window, "高级选项": the options beyond the form (columns aligned by
// header, source columns, continuation sheets, the report) and the preview of a job. Each option
// is stored in the settings file under a key of its own as soon as it is changed; a settings
// file without those keys leaves them off. The passwords (those tried on protected workbooks and
// the one outputs are encrypted with) are kept in memory only, never in the settings file.
#pragma once

#include <QList>
#include <QStringList>
#include <QWidget>
#include <string>

#include "job_options.h"

class QCheckBox;
class QComboBox;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;

class AdvancedTab : public QWidget {
    Q_OBJECT
public:
    // The jobs the preview can run, in the order of the job list.
    enum Job { MergeFiles, MergeOneSheet, MergeSheets, SplitSheets, SplitRows, SplitColumn };

    explicit AdvancedTab(QWidget* parent = nullptr);

    // Sets the options from the settings file's content.
    void applySettings(const std::string& content);
    // Writes the options into the job's options (the preview flag is the window's).
    void fill(JobOptions& options) const;

    // Settings keys.
    static constexpr const char* kAlignKey = "AlignHeaders";
    static constexpr const char* kSourceKey = "SourceColumns";
    static constexpr const char* kSpillKey = "SpillOver";
    static constexpr const char* kReportKey = "ReportBesideOutput";
    static constexpr const char* kPreviewJobKey = "PreviewJob";

signals:
    // The user asked for a preview of `job`.
    void previewRequested(int job);

private:
    QCheckBox* align_;
    QCheckBox* source_;
    QCheckBox* spill_;
    QCheckBox* report_;
    QComboBox* previewJob_;
    QPushButton* preview_;
    QPlainTextEdit* passwords_;
    QLineEdit* encryptPassword_;
};

// Shows the plan of a dry run in a dialog with a table; the dialog deletes itself on close.
QWidget* showPlanDialog(QWidget* parent, const QList<QStringList>& table);
