// The service's web application on the plain host, as far as the desktop
// client meets it:
//   browse               the user's files (signed in) or, signed out, a
//                        script that starts the SAML sign-in of the company
//                        named in the fragment ("browse#acme")
//   saml/start           sends the browser to the company's identity provider
//   saml/acs             the assertion consumer: checks the provider's
//                        assertion, creates a session (cookie), back to browse
//   saml/error           a sign-in that did not work: why, in the message box
//                        object Ext.Msg
//   help/qwo/<lang>/     the client's help page ("ja" or "en")
//   request_reset        the password reset request form
#pragma once

#include <picojson.h>

#include <string>

namespace httplib {
class SSLServer;
}

namespace ambermoor {

class Service;

void installWebApp(httplib::SSLServer& srv, Service& service);

// Admin requests about SAML ("samlRefuse", "saml"); false when `what` is
// none of them. Throws std::invalid_argument on a bad body.
bool samlAdmin(Service& service, const std::string& what, const picojson::object& body,
               picojson::object* answer);

}  // namespace ambermoor
