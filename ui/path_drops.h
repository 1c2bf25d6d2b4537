// Paths that come from outside the dialogs: the program's argument (a file manager's "open
// with") and files or folders dropped on the window or on one of its path fields. Each is
// judged by its kind, and a field takes only the kind it stands for; a drop of the wrong kind
// is refused with a reason for the status line.
#pragma once

#include <QObject>
#include <QString>
#include <functional>
#include <vector>

class QEvent;
class QLineEdit;
class QMimeData;

enum class PathKind { Missing, Folder, Workbook, Csv, Other };

// What the path names: a folder, a workbook (.xls, .xlsx, .xlsm, in any case), a .csv file,
// something else, or nothing.
PathKind pathKind(const QString& path);

// A path as given: a "file:" URL becomes its local path, a relative path is made absolute
// against the current folder, and the result is cleaned ("/a/./b/" gives "/a/b").
QString localPath(const QString& given);

// The one local path a drag carries, or the reason it cannot be taken (several items, or an
// item that is no local file). Exactly one of the two is non-empty for a drag with URLs.
struct DraggedPath {
    QString path;
    QString refusal;
};
DraggedPath draggedPath(const QMimeData* data);

// Takes drops on path fields: a field gets the dragged path when its kind fits, otherwise the
// field stays as it is and `refuse` receives the reason.
class PathDrops : public QObject {
    Q_OBJECT
public:
    enum class Wants { Folder, Workbook, WorkbookOrCsv };
    using Refuse = std::function<void(const QString& reason)>;

    PathDrops(Refuse refuse, QObject* parent);
    void addField(QLineEdit* field, Wants wants);

    // The reason a path of `kind` does not fit a field that wants `wants`; empty when it fits.
    static QString refusalFor(Wants wants, PathKind kind, const QString& path);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    struct Field {
        QLineEdit* edit;
        Wants wants;
    };
    Refuse refuse_;
    std::vector<Field> fields_;
};
