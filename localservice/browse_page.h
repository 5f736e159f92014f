// The service's "v2/browse" page that the desktop's send-key page frames,
// and the send keys it issues.
//
//   GET  v2/browse?arrayid=A&jsessionid=S   the page; it reads the item's
//        service path (Base64 of its UTF-8 bytes) and the language from its
//        frame name "<base64>,<language>" and asks for a send key
//   POST v2/sendKey (jsessionid, arrayid, path[, validSeconds])
//        {"result":{"key","url","expires"}} or {"error":{"code","args"}}
//   GET  v2/download/<key>                  the file, without sign-in, until
//        the key expires
#pragma once

#include "send_keys.h"
#include "service.h"

namespace httplib {
class SSLServer;
}

namespace ambermoor {

void installBrowsePages(httplib::SSLServer& srv, Service& service, SendKeyTable& keys);

// The browse page itself (static: everything it shows comes from its frame
// name and the service's answers, never from the request).
const std::string& browsePage();

}  // namespace ambermoor
