#include "single_instance.h"

#include <unistd.h>

#include <QLocalServer>
#include <QLocalSocket>
#include <QPointer>

namespace tw {
namespace {
constexpr char kShowRequest[] = "show\n";
constexpr char kShowAnswer[] = "ok\n";
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

bool SingleInstance::askRunningCopyToShow(int timeoutMs) {
    QLocalSocket socket;
    socket.connectToServer(name_);
    if (!socket.waitForConnected(timeoutMs)) return false;
    socket.write(kShowRequest);
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
            if (socket->readLine() == kShowRequest) {
                socket->write(kShowAnswer);
                socket->flush();
                emit showRequested();
            }
            socket->disconnectFromServer();
        });
    }
}

}  // namespace tw
