// The embedded browser's page for the SAML sign-in: logs the page script's
// console and turns page-load errors into sign-in failures of its manager
// (1115 when a host is not found, 1114 when the identity provider's
// certificate does not verify).
#pragma once

#include <QWebPage>

class SAMLManager;

class SAMLWebPage : public QWebPage {
  Q_OBJECT

 public:
  explicit SAMLWebPage(SAMLManager* manager);
  ~SAMLWebPage() override;

  bool supportsExtension(Extension extension) const override;
  bool extension(Extension extension, const ExtensionOption* option = nullptr,
                 ExtensionReturn* output = nullptr) override;

 protected:
  void javaScriptConsoleMessage(const QString& message, int lineNumber, const QString& sourceID) override;

 private:
  SAMLManager* manager_;
};
