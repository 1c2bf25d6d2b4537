#include "path_drops.h"

#include <QDir>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileInfo>
#include <QLineEdit>
#include <QMimeData>
#include <QUrl>

namespace {

const QString kWorkbookList = QStringLiteral(".xls、.xlsx、.xlsm");

bool hasSuffix(const QString& path, std::initializer_list<const char*> suffixes) {
    for (const char* suffix : suffixes)
        if (path.endsWith(QLatin1String(suffix), Qt::CaseInsensitive)) return true;
    return false;
}

}  // namespace

PathKind pathKind(const QString& path) {
    if (path.isEmpty()) return PathKind::Missing;
    const QFileInfo info(path);
    if (!info.exists()) return PathKind::Missing;
    if (info.isDir()) return PathKind::Folder;
    if (hasSuffix(path, {".xls", ".xlsx", ".xlsm"})) return PathKind::Workbook;
    if (hasSuffix(path, {".csv"})) return PathKind::Csv;
    return PathKind::Other;
}

QString localPath(const QString& given) {
    QString path = given;
    if (given.startsWith(QLatin1String("file:"), Qt::CaseInsensitive)) {
        path = QUrl(given).toLocalFile();
    }
    if (path.isEmpty()) return path;
    return QDir::cleanPath(QDir::current().absoluteFilePath(path));
}

DraggedPath draggedPath(const QMimeData* data) {
    DraggedPath dragged;
    if (!data || !data->hasUrls()) return dragged;
    const QList<QUrl> urls = data->urls();
    if (urls.size() != 1) {
        dragged.refusal = QStringLiteral("一次只能拖入一个文件或文件夹");
    } else if (!urls.front().isLocalFile()) {
        dragged.refusal = QStringLiteral("只能拖入本机的文件或文件夹");
    } else {
        dragged.path = QDir::cleanPath(urls.front().toLocalFile());
    }
    return dragged;
}

PathDrops::PathDrops(Refuse refuse, QObject* parent)
    : QObject(parent), refuse_(std::move(refuse)) {}

void PathDrops::addField(QLineEdit* field, Wants wants) {
    fields_.push_back({field, wants});
    field->setAcceptDrops(true);
    field->installEventFilter(this);
}

QString PathDrops::refusalFor(Wants wants, PathKind kind, const QString& path) {
    if (kind == PathKind::Missing) return QStringLiteral("找不到：") + path;
    switch (wants) {
        case Wants::Folder:
            if (kind == PathKind::Folder) return QString();
            return QStringLiteral("这里需要一个文件夹，拖入的是文件：") + path;
        case Wants::Workbook:
            if (kind == PathKind::Workbook) return QString();
            break;
        case Wants::WorkbookOrCsv:
            if (kind == PathKind::Workbook || kind == PathKind::Csv) return QString();
            return QStringLiteral("这里需要一个工作簿(") + kWorkbookList +
                   QStringLiteral("、.csv)：") + path;
    }
    return QStringLiteral("这里需要一个工作簿(") + kWorkbookList + QStringLiteral(")：") + path;
}

bool PathDrops::eventFilter(QObject* watched, QEvent* event) {
    const QEvent::Type type = event->type();
    if (type != QEvent::DragEnter && type != QEvent::DragMove && type != QEvent::Drop) return false;
    auto* drop = static_cast<QDropEvent*>(event);
    // Text dragged from elsewhere is the line edit's own business.
    if (!drop->mimeData()->hasUrls()) return false;
    if (type != QEvent::Drop) {
        drop->acceptProposedAction();
        return true;
    }
    for (const Field& field : fields_) {
        if (field.edit != watched) continue;
        const DraggedPath dragged = draggedPath(drop->mimeData());
        QString refusal = dragged.refusal;
        if (refusal.isEmpty())
            refusal = refusalFor(field.wants, pathKind(dragged.path), dragged.path);
        if (refusal.isEmpty()) {
            field.edit->setText(dragged.path);
            drop->acceptProposedAction();
        } else {
            refuse_(refusal);
            drop->ignore();
        }
        return true;
    }
    return false;
}
