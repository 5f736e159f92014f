// A stand-in for the library's count of waiting and open files: the test
// sets the numbers of one account and reads which accounts were asked for.
#pragma once

#include <QString>
#include <QStringList>
#include <memory>

#include "PendingUploads.h"
#include "UploadStatus.h"

namespace gui_test {

class FakePendingUploads : public PendingUploads {
 public:
  PendingUploadCounts counts(const QString& corpId, const QString& userId) override {
    asked << corpId + "/" + userId;
    if (corpId != corp || userId != user) return {};
    return {waiting, openForWriting};
  }

  QString corp;
  QString user;
  int waiting = 0;
  int openForWriting = 0;
  QStringList asked;  // "corp/user" of every question, in order
};

// Puts a fake behind every UploadStatus made while it lives.
struct FakePendingUploadsInstalled {
  std::shared_ptr<FakePendingUploads> fake = std::make_shared<FakePendingUploads>();
  FakePendingUploadsInstalled() { UploadStatus::setSourceForTest(fake); }
  ~FakePendingUploadsInstalled() { UploadStatus::setSourceForTest(nullptr); }
};

}  // namespace gui_test
