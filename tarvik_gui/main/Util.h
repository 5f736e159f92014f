// Helpers the whole desktop client shares: the interface language, the
// reversible encryption of stored passwords, the free drive letters and the
// embedded resources.
#pragma once

#include <QSize>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <functional>

class QWidget;

class Util {
 public:
  // True exactly when the system locale's name is "ja_JP".
  static bool isLanguageJa();
  // "ja" or "en", by isLanguageJa().
  static QString languageCode();

  // Encrypts a password for the settings file: the text in the local 8-bit
  // code page, AES-128-CTR through the library with a fresh random vector,
  // percent-encoded (vector first). Empty on failure. Any length is
  // accepted; the log shows byte counts only.
  static QString encrypt(const QString& plain);
  // Reverses encrypt(). A value that is not strictly percent-encoded, is
  // shorter than the vector, or does not decrypt to text gives "".
  static QString decrypt(const QString& stored);

  // "D:" ... "Y:" for every drive letter that is not in use, in order
  // (A to C are never offered, nor is Z).
  static QStringList freeDriveLetters();
  // Replaces the system's logical-drive bit mask (bit n = letter 'A' + n in
  // use); an empty function restores it. For tests.
  static void setLogicalDrivesForTest(std::function<uint32_t()> source);

  // Registers the embedded images of the static library; call once after
  // the application object exists.
  static void initResources();

  // A window's fixed size: the designer size, grown to what the window's
  // layout needs. The designer sizes fit the fonts the forms were drawn with;
  // taller fonts (CJK fonts on Linux desktops) would cut the fields.
  static QSize fixedSizeFor(const QWidget* window, QSize designed);
};
