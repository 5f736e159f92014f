// The local page that frames the service's send-key view for one item, and
// the upkeep of the page files left in the temporary folder.
#pragma once

#include <ctime>
#include <string>

namespace shellext {

struct SendKeySession {
  std::u16string baseURL, arrayid, jsessionid, corpId, language;
};

// `fileName` is HTML-escaped; the frame name is the Base64 form of the
// service path's UTF-8 bytes (CryptoAPI layout, line breaks included), ","
// and the language. Empty when the service path cannot be encoded.
std::u16string sendKeyPage(const std::u16string& fileName, const std::string& servicePath,
                           const SendKeySession& session);

// "&", "<", ">", '"' and "'" as character references.
std::u16string escapeHtml(const std::u16string& text);

// Page files live this long in the temporary folder: long enough for the
// browser to have read the page, short enough that session ids do not pile up.
constexpr time_t kPageFileLifetimeSeconds = 24 * 60 * 60;

// Removes this user's page files ("ack*.html") in `dir` (native path) whose
// modification time lies more than a day before `now`. Returns how many.
int removeOldPageFiles(const std::string& dir, time_t now);

}  // namespace shellext
