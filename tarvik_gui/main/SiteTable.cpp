#include "SiteTable.h"

#include <QDebug>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSettings>
#include <QStandardPaths>

#include <memory>

namespace {

std::unique_ptr<SiteTable>& activeTable() {
  static std::unique_ptr<SiteTable> table;
  return table;
}

// A host name or address, optionally with a port: nothing that could bend
// the URL built from it (no scheme, path, user part or blanks).
bool isHostText(const QString& text) {
  static const QRegularExpression host(
      QStringLiteral("^(\\[[0-9A-Fa-f:.]+\\]|[A-Za-z0-9]([A-Za-z0-9.-]*[A-Za-z0-9])?)(:[0-9]{1,5})?$"));
  return host.match(text).hasMatch();
}

}  // namespace

SiteTable SiteTable::builtIn() {
  SiteTable t;
  t.rows_ = {
      {"qwo.ambermoor-cloud.jp", "qwo-pki.ambermoor-cloud.jp"},          // 1 main
      {"qwo-dr.ambermoor-cloud.jp", "qwo-dr-pki.ambermoor-cloud.jp"},    // 2 sub (DR)
      {"qwo-stg1.ambermoor-cloud.jp", "qwo-stg1-pki.ambermoor-cloud.jp"},
      {"qwo-stg2.ambermoor-cloud.jp", ""},
      {"qwo-dev1.ambermoor-cloud.jp", "qwo-dev1-pki.ambermoor-cloud.jp"},
      {"qwo-dev2.ambermoor-cloud.jp", "qwo-dev2-pki.ambermoor-cloud.jp"},
      {"qwo-dev3.ambermoor-cloud.jp", "qwo-dev3-pki.ambermoor-cloud.jp"},
      {"qwo-qa1.ambermoor-cloud.jp", "qwo-qa1-pki.ambermoor-cloud.jp"},
      {"qwo-qa2.ambermoor-cloud.jp", "qwo-qa2-pki.ambermoor-cloud.jp"},
      {"qwo-demo.ambermoor-cloud.jp", "qwo-demo-pki.ambermoor-cloud.jp"},
      {"qwo-trial.ambermoor-cloud.jp", ""},
  };
  return t;
}

QStringList SiteTable::searchPaths() {
  QStringList paths;
  for (const QString& dir : QStandardPaths::standardLocations(QStandardPaths::GenericConfigLocation))
    paths << dir + "/Kindrel/Ambermoor/sites.ini";
  paths.removeDuplicates();
  return paths;
}

bool SiteTable::fromFile(const QString& path, SiteTable* table, QString* error) {
  if (!QFileInfo(path).isReadable()) {
    *error = "cannot be read";
    return false;
  }
  QSettings ini(path, QSettings::IniFormat);
  if (ini.status() != QSettings::NoError) {
    *error = "is not a valid INI file";
    return false;
  }
  SiteTable t;
  t.sourcePath_ = path;
  t.rows_.resize(kRows);
  for (int i = 0; i < kRows; ++i) {
    const QString group = QString("site%1").arg(i + 1);
    Row& row = t.rows_[i];
    row.plain = ini.value(group + "/plain").toString().trimmed();
    row.secure = ini.value(group + "/secure").toString().trimmed();
    for (const QString* host : {&row.plain, &row.secure}) {
      if (!host->isEmpty() && !isHostText(*host)) {
        *error = QString("[%1]: \"%2\" is not a host name").arg(group, *host);
        return false;
      }
    }
    if (row.plain.isEmpty() && !row.secure.isEmpty()) {
      *error = QString("[%1]: a certificate host needs a plain host").arg(group);
      return false;
    }
  }
  if (t.rows_[0].plain.isEmpty() || t.rows_[1].plain.isEmpty()) {
    *error = "the main site [site1] and the sub site [site2] need a plain host";
    return false;
  }
  *table = t;
  return true;
}

const SiteTable& SiteTable::active() {
  if (!activeTable()) reload();
  return *activeTable();
}

void SiteTable::reload() {
  auto table = std::make_unique<SiteTable>(builtIn());
  for (const QString& path : searchPaths()) {
    if (!QFileInfo::exists(path)) continue;
    SiteTable fromIni;
    QString error;
    if (fromFile(path, &fromIni, &error)) {
      *table = fromIni;
    } else {
      qWarning("%s %s; using the built-in site table", qPrintable(path), qPrintable(error));
    }
    break;  // the first file found decides
  }
  activeTable() = std::move(table);
}

QString SiteTable::defaultSiteDomain(bool useSubSite, bool useCert, bool samlEnabled) const {
  const Row& row = rows_[useSubSite ? 1 : 0];
  // A site without a certificate host (possible in a sites.ini) keeps its
  // plain host rather than producing an empty one.
  return useCert && !samlEnabled && !row.secure.isEmpty() ? row.secure : row.plain;
}

bool SiteTable::isSubSiteDomain(const QString& domain) const {
  const Row& row = rows_[1];
  return domain == row.plain || (!row.secure.isEmpty() && domain == row.secure);
}

bool SiteTable::isKnownSiteDomain(const QString& domain) const {
  for (const Row& row : rows_) {
    if (!row.plain.isEmpty() && row.plain == domain) return true;
    if (!row.secure.isEmpty() && row.secure == domain) return true;
  }
  return false;
}

bool SiteTable::isTableDomain(const QString& domain, bool secure) const {
  for (const Row& row : rows_) {
    const QString& column = secure ? row.secure : row.plain;
    if (!column.isEmpty() && column == domain) return true;
  }
  return false;
}

QString SiteTable::plainSiteDomain(const QString& domain) const {
  for (const Row& row : rows_) {
    if ((!row.plain.isEmpty() && row.plain == domain) ||
        (!row.secure.isEmpty() && row.secure == domain))
      return row.plain;
  }
  return QString();
}

QString SiteTable::baseUrlFor(const QString& domain) { return "https://" + domain + "/"; }
