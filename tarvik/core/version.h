// The library's version text, as tarvik_getVersionString returns it and as
// every service request carries it.
#pragma once

namespace tarvik {

// The first line of the file "VERSION" in the current directory, read once
// it is found (line ends dropped), or "UNKNOWN". The text lives in the
// process-wide state and is never freed.
const char* versionText();

}  // namespace tarvik
