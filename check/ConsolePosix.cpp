#include "check/ConsoleLoop.h"

namespace quorna::check {

void useUtf8Output() {
    // A POSIX terminal takes the bytes as they are.
}

}  // namespace quorna::check
