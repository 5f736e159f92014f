// The service's request envelope: method URLs with the client, version,
// session and request-id query; JSON answers split into results and
// errors; transport failures and foreign pages turned into local error
// documents; errors worded from the ErrorMessageTable and delivered to the
// status callback.
//
// All functions are re-entrant; handlers and the status callback run on the
// calling thread.
#pragma once

#include <string>
#include <vector>

#include "webapi/json.h"
#include "webapi/transport.h"

namespace tarvik {

// Per-call error handler: (code, UTF-8 message). Returning true means the
// report was handled and the status callback is not called.
using ErrorHandler = bool (*)(int code, const char* utf8Message);

// Texts that identify a maintenance page and a refused client certificate.
extern const char* const kMaintenanceMarker;
extern const char* const kCertificateMarker;

// API base + method + "?_client=qwo&_version=" + version, then
// "&arrayid=", "&jsessionid=" when set, and "&requestid=" + the counter
// (atomically incremented).
std::string buildServiceUrl(const std::string& method);

// Sends the method's parameters (URL-encoded, or multipart when `multipart`)
// and returns the "result" view on success, the whole error document on
// error (already reported). `handler` may be null. `repeat` says whether the
// request may go again after a connection lost under it (see Repeat).
JsonPtr callService(const std::string& method, const std::vector<RequestParam>& params,
                    bool multipart, ErrorHandler handler, Repeat repeat);

// Downloads the method's answer into `filePath` (created when missing, not
// truncated), with byte count and SHA-1 digest of the body. 0 on success;
// otherwise the transport result, already reported as 1001.
int downloadToFile(const std::string& method, const std::vector<RequestParam>& params,
                   bool multipart, const std::string& filePath, int64_t* byteCount,
                   std::string* digest, Repeat repeat);

// True only for an object whose parse succeeded and whose "error" member is
// an object.
bool isErrorResult(const JsonPtr& document);
// The "error" member's "code", or 0.
int errorCode(const JsonPtr& document);

// {"error":{"code":N,"args":["A"]}} without blanks.
std::string makeErrorText(int code, long argument);

// Reports a locally detected error (no arguments) like a service error.
void raiseLocalError(int code);

// Words the document's error from the table and reports it: to `handler`
// first when given, then (unless it handled it) to the status callback.
// Code 1 then unmounts the drive. Codes without a message are not reported.
void reportServiceError(const JsonPtr& document, ErrorHandler handler);

// Fills the placeholders of `templ` by position: each "{x}" (any one
// character between the braces) takes the next argument, or vanishes when
// the arguments are used up. Arguments that are not texts count as "".
std::string fillPlaceholders(const std::string& templ, const JsonPtr& args);

// UTF-8 to the process's locale character set; "" when conversion fails.
std::string utf8ToLocal(const std::string& utf8);

// What error code 1 ("session ended") does once it is reported: the facade
// registers the function that takes the drive down (tarvik_init does).
// It is called on whatever thread made the failing call, the unmount's own
// teardown included, so it must neither block nor wait for that teardown.
// Null: nothing is done. Returns the previous function.
using UnmountFunction = int (*)();
UnmountFunction setUnmountFunction(UnmountFunction function);

}  // namespace tarvik
