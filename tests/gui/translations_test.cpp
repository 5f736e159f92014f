// The compiled catalogues: every text key of the client and the SAML pages
// is in both, found from any class's context, with the designer labels in
// Japanese; the loader's search order.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include "CatalogueTranslator.h"

namespace {

const char* const kKeys[] = {
    "TXT_LOGIN_TITLE", "TXT_USE_CERT", "TXT_CERT_FILE", "TXT_CORP_ID", "TXT_USER_ID",
    "TXT_PASS", "TXT_RESET_PASS", "TXT_SETTING", "TXT_LOGIN", "TXT_RELOGIN", "TXT_CANCEL",
    "TXT_OPEN_LOGIN", "TXT_OPEN_DRIVE", "TXT_HELP", "TXT_VERSION", "TXT_LOGOUT", "TXT_QUIT",
    "TXT_NOT_INPUT_MSG", "TXT_NOT_INPUT_PASS_MSG", "TXT_CERT_NOT_FOUND_MSG",
    "TXT_NOT_SELECT_CERT_MSG", "TXT_SELECT_CERT_MSG", "TXT_LOGOUTING", "TXT_LOGOUT_FAIL_MSG",
    "TXT_ERROR", "TXT_CONFIRM", "TXT_PROXY_TITLE", "TXT_USE_PROXY", "TXT_KIND", "TXT_ADDRESS",
    "TXT_PORT", "TXT_USER_NAME", "TXT_PROXY_EXCLUDED", "TXT_CACHE", "TXT_CACHE_USAGE",
    "TXT_CLEAR_CACHE", "TXT_AUTO_CLEAR_CACHE", "TXT_LOGIN_SETTING_TITLE", "TXT_SAVE_PASSWORD",
    "TXT_AUTO_LOGIN", "TXT_DRIVE", "TXT_OUTPUT_LOG", "TXT_SITE", "TXT_SITE_MAIN", "TXT_SITE_SUB",
    "TXT_SITE_DESCRIPTION", "TXT_BASIC_SETTINGS", "TXT_SAML_DESCRIPTION", "TXT_SAML_CHECK",
    "TXT_SAML_CHARS_INPUT", "TXT_SAML_CHARS_INPUT_REGENERATE", "TXT_SAML_CHARS_PROMPT",
    "TXT_SAML_SETTINGS_CLEAR", "TXT_SAML_SETTINGS", "TXT_INVALID_URL_ERROR", "TXT_SAML_EMPTY",
    "TXT_SAML_INVALID", "TXT_SAML_PKI_ENABLED_ERROR", "TXT_UNSUPPORTED_PROXY",
    "TXT_CLEAR_CACHE_CONFIRM_MSG", "TXT_SAML_SETTINGS_WILL_CLEAR", "TXT_ANNOUNCEMENT",
    "TXT_MODIFIED_DATE", "TXT_NOT_SHOW_AGAIN", "TXT_LOADING", "TXT_LOGGING_IN", "TXT_LOGGED_OUT",
    "TXT_SAML_DISABLED", "TXT_SAML_LOGIN_FAILED", "TXT_SAML_SSL_ERROR",
    "TXT_SAML_HOST_NOT_FOUND_ERROR", "TXT_PENDING_UPLOAD_ONE", "TXT_PENDING_UPLOADS",
    "TXT_UPLOAD_KEPT_TITLE", "TXT_UPLOAD_DONE_TITLE", "TXT_UPLOAD_CONFLICT_TITLE",
    "TXT_LEAVE_PENDING_ONE_MSG", "TXT_LEAVE_PENDING_MSG", "TXT_LEAVE_OPEN_ONE_MSG",
    "TXT_LEAVE_OPEN_MSG", "TXT_LEAVE_CONFIRM_MSG"};

// Runs `body` with the current directory set to `dir`, restoring it after.
template <typename F>
void inDirectory(const QString& dir, F body) {
  const QString previous = QDir::currentPath();
  ASSERT_TRUE(QDir::setCurrent(dir));
  body();
  QDir::setCurrent(previous);
}

TEST(Catalogues, BothLanguagesHoldEveryKeyForEveryCaller) {
  for (const char* language : {"ja", "en"}) {
    CatalogueTranslator translator;
    inDirectory(TARVIK_GUI_QM_DIR, [&] { ASSERT_TRUE(translator.loadCatalogue(language)); });
    QCoreApplication::installTranslator(&translator);
    for (const char* key : kKeys) {
      // A form, the login window and the SAML manager each ask in their own
      // context; all must find the key.
      for (const char* context : {"AnnouncementWindow", "LoginWindow", "SAMLManager"}) {
        const QString text = QCoreApplication::translate(context, key);
        EXPECT_FALSE(text.isEmpty()) << language << " " << key;
        EXPECT_NE(text, QString::fromLatin1(key)) << language << " " << context << " " << key;
      }
    }
    if (QString(language) == "ja") {
      EXPECT_EQ(QCoreApplication::translate("LoginWindow", "TXT_LOGIN"), QString("ログイン"));
      EXPECT_EQ(QCoreApplication::translate("AnnouncementWindow", "TXT_NOT_SHOW_AGAIN"),
                QString("次回から表示しない"));
      EXPECT_EQ(QCoreApplication::translate("SettingWindow", "TXT_SITE_SUB"), QString("DRサイト"));
    } else {
      EXPECT_EQ(QCoreApplication::translate("LoginWindow", "TXT_LOGIN"), QString("Sign in"));
    }
    // A text that is no key (an announcement, say) stays as it is.
    EXPECT_EQ(QCoreApplication::translate("AnnouncementWindow", "Maintenance on Sunday"),
              QString("Maintenance on Sunday"));
    QCoreApplication::removeTranslator(&translator);
  }
}

TEST(Catalogues, CurrentDirectoryComesFirstAndAMissingCatalogueIsReported) {
  QTemporaryDir dir;
  ASSERT_TRUE(dir.isValid());
  // A Japanese catalogue placed in the current directory under the English
  // name wins over the one beside the program.
  ASSERT_TRUE(QFile::copy(QString(TARVIK_GUI_QM_DIR) + "/main_ja.qm", dir.filePath("main_en.qm")));
  inDirectory(dir.path(), [&] {
    CatalogueTranslator translator;
    ASSERT_TRUE(translator.loadCatalogue("en"));
    EXPECT_EQ(translator.loadedFrom(), dir.filePath("main_en.qm"));
    EXPECT_EQ(translator.translate("LoginWindow", "TXT_LOGIN"), QString("ログイン"));

    CatalogueTranslator missing;
    EXPECT_FALSE(missing.loadCatalogue("xx"));
    EXPECT_TRUE(missing.loadedFrom().isEmpty());
  });
}

}  // namespace
