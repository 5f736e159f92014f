// The service sites: 11 rows of (plain host, certificate host). Row 1 is
// the main production site, row 2 the sub (disaster-recovery) site, rows 3
// to 11 further service environments; rows 4 and 11 have no certificate
// host. A host may carry a port ("127.0.0.1:8443").
//
// The host names are configuration: a built-in table, replaced by the first
// "Kindrel/Ambermoor/sites.ini" found in the user's and then the system's
// XDG configuration folders. Format (rows not given are empty and match
// nothing; rows 1 and 2 need a plain host):
//
//   [site1]
//   plain=127.0.0.1:8443
//   secure=127.0.0.1:8444
//   [site2]
//   plain=...
//
// A file that cannot be used is ignored with a warning naming the reason,
// and the built-in table stays in force.
#pragma once

#include <QString>
#include <QStringList>
#include <QVector>

class SiteTable {
 public:
  static constexpr int kRows = 11;

  struct Row {
    QString plain;
    QString secure;  // empty: the environment has no certificate host
  };

  // The table in force: sites.ini when one is usable, else the built-in one.
  // Read once per process; reload() reads again.
  static const SiteTable& active();
  static void reload();

  static SiteTable builtIn();
  // Reads a sites.ini; false with the reason in `error` when it is unusable.
  static bool fromFile(const QString& path, SiteTable* table, QString* error);
  // The sites.ini files looked for, in order.
  static QStringList searchPaths();

  const QVector<Row>& rows() const { return rows_; }
  QString sourcePath() const { return sourcePath_; }  // empty for the built-in table

  // The site rules.
  QString defaultSiteDomain(bool useSubSite, bool useCert, bool samlEnabled) const;
  bool isSubSiteDomain(const QString& domain) const;
  bool isKnownSiteDomain(const QString& domain) const;
  bool isTableDomain(const QString& domain, bool secure) const;
  QString plainSiteDomain(const QString& domain) const;
  static QString baseUrlFor(const QString& domain);

 private:
  QVector<Row> rows_;
  QString sourcePath_;
};
