// One window per user: a later copy of the program asks the running copy, over a per-user local
// socket, to show its window (and to put the path it was started with into the form), and then
// ends by itself. A running copy is never ended from
// outside: it may be in the middle of a job.
#pragma once

#include <QObject>
#include <QString>

class QLocalServer;

namespace tw {

class SingleInstance : public QObject {
    Q_OBJECT
public:
    explicit SingleInstance(QString name, QObject* parent = nullptr);

    // True when a running copy answered the request to show its window. A non-empty `path` (an
    // absolute path) is handed over with the request.
    bool askRunningCopyToShow(int timeoutMs = 2000, const QString& path = QString());
    // Claims the name for this copy (a socket left by a copy that crashed is replaced). False
    // when the socket cannot be created; the program then runs without the guard.
    bool listen();

    // The socket in the user's runtime folder, or a per-user name in the temporary folder.
    static QString defaultName();

signals:
    // A later copy asked for the window.
    void showRequested();
    // A later copy was started with a path; emitted before showRequested().
    void openRequested(const QString& path);

private:
    void onNewConnection();

    QString name_;
    QLocalServer* server_ = nullptr;
};

}  // namespace tw
