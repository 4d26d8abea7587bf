#pragma once

#include <string>

namespace quorna::platform {

// The running program's full path; empty when the platform cannot tell.
std::string executablePath();

// The running program's file name without folder and extension ("quorna-fobit-reader").
std::string executableName();

}  // namespace quorna::platform
