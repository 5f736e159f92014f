// The error-message table served by getErrorMessages: one entry per code
// this service answers with, plus the client's own codes, in "ja" and "en".
#pragma once

#include <string>
#include <vector>

namespace ambermoor {

struct ErrorMessage {
  int code;
  const char* ja;
  const char* en;
};

const std::vector<ErrorMessage>& errorMessages();
// JSON array text of {"code":N,"ja":...,"en":...} objects.
std::string errorMessagesJson();

}  // namespace ambermoor
