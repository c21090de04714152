// The program's few operating-system queries.
#include "command.h"

#include <unistd.h>

namespace Kalvex::Tools {

bool isStandardErrorTerminal() {
    return ::isatty(STDERR_FILENO) == 1;
}

uint32 getProcessNumber() {
    return uint32(::getpid());
}

} // namespace Kalvex::Tools
