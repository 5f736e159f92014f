#include "Util.h"

#include <QWidget>

#include <QByteArray>
#include <QDebug>
#include <QLocale>
#include <QTextCodec>

#include <vector>

#include "mount_points.h"
#include "tarvik.h"

namespace {

// The fixed client key of the stored passwords; values written by every
// release of the client decrypt with it.
const unsigned char kClientKey[16] = {'T', 'q', '7', 'v', 'L', 'm', 'P', 'z',
                                      '_', '4', 'X', 'w', 'R', 'b', '2', 'K'};
constexpr int kVectorSize = 16;

std::function<uint32_t()>& drivesSource() {
  static std::function<uint32_t()> source;
  return source;
}

bool isUnreserved(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
         c == '-' || c == '.' || c == '_' || c == '~';
}

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// Strict percent-decoding: every byte is an unreserved character or "%"
// with two hexadecimal digits. False for anything else, so that a damaged
// value is refused instead of half-decoded.
bool percentDecode(const QByteArray& text, QByteArray* out) {
  out->clear();
  out->reserve(text.size());
  for (int i = 0; i < text.size(); ++i) {
    const char c = text.at(i);
    if (c == '%') {
      if (i + 2 >= text.size()) return false;
      const int hi = hexValue(text.at(i + 1));
      const int lo = hexValue(text.at(i + 2));
      if (hi < 0 || lo < 0) return false;
      out->append(static_cast<char>(hi * 16 + lo));
      i += 2;
    } else if (isUnreserved(c)) {
      out->append(c);
    } else {
      return false;
    }
  }
  return true;
}

// A decrypted password is text in the local code page without control
// characters; anything else means the stored value was damaged.
bool toPlainText(const QByteArray& bytes, QString* out) {
  for (char c : bytes) {
    const unsigned char u = static_cast<unsigned char>(c);
    if (u < 0x20 || u == 0x7f) return false;
  }
  QTextCodec* codec = QTextCodec::codecForLocale();
  QTextCodec::ConverterState state(QTextCodec::ConvertInvalidToNull);
  const QString text = codec->toUnicode(bytes.constData(), bytes.size(), &state);
  if (state.invalidChars > 0 || state.remainingChars > 0) return false;
  *out = text;
  return true;
}

}  // namespace

bool Util::isLanguageJa() {
  const QString name = QLocale::system().name();
  qDebug().noquote() << "language:" << name;
  return name == QLatin1String("ja_JP");
}

QString Util::languageCode() { return isLanguageJa() ? QStringLiteral("ja") : QStringLiteral("en"); }

QString Util::encrypt(const QString& plain) {
  const QByteArray bytes = plain.toLocal8Bit();
  // The password itself never reaches the log, only its length.
  qDebug("src: %s, %d", "(hidden)", bytes.size());
  unsigned char iv[kVectorSize];
  if (tarvik_setRandomBytes(iv, sizeof iv) != 0) return QString();
  std::vector<unsigned char> out(static_cast<size_t>(bytes.size()) + kVectorSize);
  const int length =
      tarvik_encryptBytes(out.data(), reinterpret_cast<const unsigned char*>(bytes.constData()),
                          static_cast<unsigned>(bytes.size()), kClientKey, iv);
  if (length < 0) return QString();
  // The stored form decrypts with the built-in key: it is as secret as the
  // password and is not logged either.
  qDebug("dst: %s, %d", "(hidden)", length);
  const QByteArray blob(reinterpret_cast<const char*>(out.data()), length);
  return QString::fromLatin1(blob.toPercentEncoding());
}

QString Util::decrypt(const QString& stored) {
  QByteArray blob;
  // Characters outside Latin-1 become "?", which the strict decoding refuses.
  if (!percentDecode(stored.toLatin1(), &blob) || blob.size() < kVectorSize)
    return QString();
  qDebug("src: %s, %d", "(hidden)", blob.size());
  std::vector<unsigned char> out(static_cast<size_t>(blob.size()));
  const int length =
      tarvik_decryptBytes(out.data(), reinterpret_cast<const unsigned char*>(blob.constData()),
                          static_cast<unsigned>(blob.size()), kClientKey);
  if (length < 0) return QString();
  qDebug("dst: %s, %d", "(hidden)", length);
  QString text;
  if (!toPlainText(QByteArray(reinterpret_cast<const char*>(out.data()), length), &text))
    return QString();
  return text;
}

QStringList Util::freeDriveLetters() {
  const uint32_t inUse = drivesSource() ? drivesSource()() : GetLogicalDrives();
  QStringList letters;
  for (int n = 0; n < 25; ++n) {  // A to Y; Z is never offered
    const char letter = static_cast<char>('A' + n);
    if (letter <= 'C' || (inUse & (1u << n)) != 0) continue;
    letters << QString(QChar(letter)) + ':';
  }
  return letters;
}

void Util::setLogicalDrivesForTest(std::function<uint32_t()> source) {
  drivesSource() = std::move(source);
}

void Util::initResources() { Q_INIT_RESOURCE(tarvik_gui); }

QSize Util::fixedSizeFor(const QWidget* window, QSize designed) {
  return designed.expandedTo(window->minimumSizeHint());
}
