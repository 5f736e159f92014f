// Classes of the calling process: the file manager ("explorer"), the office
// programs, or neither. The name table is in README.md.
#pragma once

#include <cstdint>
#include <string>

namespace tarvik {

enum class ProcessClass { Other, Explorer, Office };

// Class of a program name (the part of the image name behind the last "\"),
// compared without regard to case.
ProcessClass classOfImageName(const std::string& programName);

// Reads the process's image name and classifies it; failures give Other.
ProcessClass classifyProcess(uint32_t processId);

}  // namespace tarvik
