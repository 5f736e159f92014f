// The rename half of the Dokan adapter: what MoveFile does once its source
// open is cleaned up, and the office save's last step.
//
// A rename never changes anything before every rule of it was checked, and
// it never removes the destination itself: a move onto an existing file
// replaces it in the same service call (an overwriting move), so a failed
// move leaves the destination with its old content and the source with the
// new one.
#pragma once

#include <cstdint>
#include <string>

namespace tarvik {

// Moves the drive path `from` to `to` for process `pid`. `replace`: the
// caller lets an existing file at `to` be replaced; `sourceIsDirectory`:
// `from` was opened as a folder. Returns 0 or a negative frame status.
int moveEntry(const std::string& from, const std::string& to, bool replace,
              bool sourceIsDirectory, uint32_t pid);

// Once the temporary file that an office program moved onto its document
// has been uploaded, it replaces the document by an overwriting move.
// Does nothing for other processes or when the save is not that far yet.
void finishOfficeReplacement(uint32_t pid);

}  // namespace tarvik
