#include "SingleInstance.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QLocalServer>
#include <QLocalSocket>
#include <QDebug>
#include <QStandardPaths>
#include <unistd.h>

SingleInstance::SingleInstance(const QString& key, QObject* parent) : QObject(parent) {
  const QString base = key.isEmpty() ? QCoreApplication::applicationFilePath() : key;
  const QByteArray digest =
      QCryptographicHash::hash((base + ':' + QString::number(getuid())).toUtf8(),
                               QCryptographicHash::Sha1)
          .toHex()
          .left(16);
  socketName_ = "tarvik_gui-" + QString::fromLatin1(digest);
  QString folder = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
  if (folder.isEmpty()) folder = QDir::tempPath();
  lock_ = std::make_unique<QLockFile>(folder + "/" + socketName_ + ".lock");
  // A lock left by a crashed instance is detected as stale and taken over.
  lock_->setStaleLockTime(0);
  if (!lock_->tryLock(0)) return;
  server_ = new QLocalServer(this);
  server_->setSocketOptions(QLocalServer::UserAccessOption);
  QLocalServer::removeServer(socketName_);  // a socket left by a crashed instance
  if (!server_->listen(socketName_))
    qWarning() << "single instance: cannot listen:" << server_->errorString();
  connect(server_, &QLocalServer::newConnection, this, &SingleInstance::onNewConnection);
}

SingleInstance::~SingleInstance() = default;

bool SingleInstance::sendMessage(const QString& message, int timeoutMs) {
  QLocalSocket socket;
  socket.connectToServer(socketName_);
  if (!socket.waitForConnected(timeoutMs)) return false;
  // A message is its UTF-8 bytes; the connection's end marks its end.
  socket.write(message.toUtf8());
  if (!socket.waitForBytesWritten(timeoutMs) && socket.bytesToWrite() > 0) return false;
  socket.disconnectFromServer();
  if (socket.state() != QLocalSocket::UnconnectedState) socket.waitForDisconnected(timeoutMs);
  return true;
}

void SingleInstance::onNewConnection() {
  while (QLocalSocket* socket = server_->nextPendingConnection()) {
    connect(socket, &QLocalSocket::disconnected, this, [this, socket] {
      emit messageReceived(QString::fromUtf8(socket->readAll()));
      socket->deleteLater();
    });
  }
}
