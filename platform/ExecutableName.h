#pragma once

#include <string>

namespace quorna::platform {

// The running program's file name without folder and extension ("quorna-fobit-reader").
std::string executableName();

}  // namespace quorna::platform
