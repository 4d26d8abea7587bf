/* Preloaded into owserver by the emulator's cross-check: gives a pseudo-terminal's flush the
 * effect a serial port's has.
 *
 * owserver writes a command, waits in tcdrain until a serial port has sent it, and flushes
 * both directions before its next exchange. A pseudo-terminal's tcdrain returns at once, and
 * its output flush throws away what the emulator has not read yet: the search accelerator's
 * closing "back to command mode, accelerator off" vanished that way in half the runs or more, and
 * the emulated chip then answered every later reset as data. A port that has drained has no
 * output left to flush, so here an output flush of a terminal flushes nothing. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <termios.h>

int tcflush(int fd, int queue) {
    static int (*next)(int, int);
    if (!next) {
        next = (int (*)(int, int))dlsym(RTLD_NEXT, "tcflush");
    }
    if (queue == TCOFLUSH) {
        return 0;
    }
    return next(fd, queue == TCIOFLUSH ? TCIFLUSH : queue);
}
