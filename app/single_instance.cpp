#include "single_instance.h"

#include <unistd.h>

#include <QLocalServer>
#include <QLocalSocket>
#include <QPointer>
#include <QUrl>

namespace tw {
namespace {
constexpr char kShowRequest[] = "show\n";
constexpr char kShowAnswer[] = "ok\n";
// "open " + the percent-encoded UTF-8 path + "\n": show the window with this path in the form.
constexpr char kOpenRequest[] = "open ";
}  // namespace

SingleInstance::SingleInstance(QString name, QObject* parent)
    : QObject(parent), name_(std::move(name)) {}

QString SingleInstance::defaultName() {
    const QString runtimeDir = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (!runtimeDir.isEmpty() && runtimeDir.startsWith('/')) {
        return runtimeDir + QStringLiteral("/tablaweaver.sock");
    }
    return QStringLiteral("tablaweaver-%1").arg(getuid());
}

bool SingleInstance::askRunningCopyToShow(int timeoutMs, const QString& path) {
    QLocalSocket socket;
    socket.connectToServer(name_);
    if (!socket.waitForConnected(timeoutMs)) return false;
    if (path.isEmpty()) {
        socket.write(kShowRequest);
    } else {
        socket.write(kOpenRequest + QUrl::toPercentEncoding(path) + '\n');
    }
    if (!socket.waitForBytesWritten(timeoutMs)) return false;
    while (!socket.canReadLine()) {
        if (!socket.waitForReadyRead(timeoutMs)) return false;
    }
    return socket.readLine() == kShowAnswer;
}

bool SingleInstance::listen() {
    server_ = new QLocalServer(this);
    server_->setSocketOptions(QLocalServer::UserAccessOption);
    connect(server_, &QLocalServer::newConnection, this, &SingleInstance::onNewConnection);
    if (server_->listen(name_)) return true;
    QLocalServer::removeServer(name_);
    return server_->listen(name_);
}

void SingleInstance::onNewConnection() {
    while (QLocalSocket* socket = server_->nextPendingConnection()) {
        connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
        connect(socket, &QLocalSocket::readyRead, this, [this, socket] {
            if (!socket->canReadLine()) return;
            const QByteArray request = socket->readLine();
            const bool show = request == kShowRequest;
            const bool open = request.startsWith(kOpenRequest) && request.endsWith('\n');
            if (show || open) {
                socket->write(kShowAnswer);
                socket->flush();
                if (open) {
                    const QByteArray encoded = request.mid(int(sizeof kOpenRequest) - 1).chopped(1);
                    emit openRequested(QUrl::fromPercentEncoding(encoded));
                }
                emit showRequested();
            }
            socket->disconnectFromServer();
        });
    }
}

}  // namespace tw
