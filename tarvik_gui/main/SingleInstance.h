// One running desktop client per user session. The first instance holds a
// lock file in the user's runtime folder and listens on a local socket; a
// later start finds the lock taken, sends its message to the first instance
// and ends. (Debian's single-application library is built for console
// applications only, so it cannot carry a widgets program.)
#pragma once

#include <QLockFile>
#include <QObject>
#include <QString>
#include <memory>

class QLocalServer;

class SingleInstance : public QObject {
  Q_OBJECT

 public:
  // `key` names the instance; by default derived from the program's path
  // and the user.
  explicit SingleInstance(const QString& key = QString(), QObject* parent = nullptr);
  ~SingleInstance() override;

  // True when this process is the first instance (it then listens).
  bool isPrimary() const { return server_ != nullptr; }
  // From a later instance: delivers `message` to the first one. False when
  // it could not be reached within `timeoutMs`.
  bool sendMessage(const QString& message, int timeoutMs);

 signals:
  void messageReceived(const QString& message);

 private:
  void onNewConnection();

  QString socketName_;
  std::unique_ptr<QLockFile> lock_;
  QLocalServer* server_ = nullptr;
};
