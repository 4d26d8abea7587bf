#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include "check/ConsoleLoop.h"

namespace quorna::check {

void useUtf8Output() {
    SetConsoleOutputCP(CP_UTF8);  // paths and texts are UTF-8; a console shows them so
}

}  // namespace quorna::check
