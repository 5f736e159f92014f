// Where the tray learns how many files of an account wait for upload and
// how many files programs have open for writing on the mounted drive. The
// library answers through tarvik_getPendingUploads; tests put a fake in.
#pragma once

#include <QString>

struct PendingUploadCounts {
  int waiting = 0;         // files kept for a later upload; negative: the library's status
  int openForWriting = 0;  // open on the mounted drive; 0 when nothing is mounted
};

class PendingUploads {
 public:
  virtual ~PendingUploads() = default;
  virtual PendingUploadCounts counts(const QString& corpId, const QString& userId) = 0;
};

// The library's answer. Asks nothing of the service, so it may be called on
// every status message.
class LibraryPendingUploads : public PendingUploads {
 public:
  PendingUploadCounts counts(const QString& corpId, const QString& userId) override;
};
