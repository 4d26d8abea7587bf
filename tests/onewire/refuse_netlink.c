/* Preloaded into a test's process, this refuses every netlink connector socket as a sandbox
 * would (EACCES) and leaves every other socket alone: the kernel route must then fall back to
 * w1_master_slaves and say why. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <linux/netlink.h>
#include <sys/socket.h>

int socket(int domain, int type, int protocol) {
    static int (*real)(int, int, int);
    if (domain == AF_NETLINK && protocol == NETLINK_CONNECTOR) {
        errno = EACCES;
        return -1;
    }
    if (real == 0) {
        real = (int (*)(int, int, int))dlsym(RTLD_NEXT, "socket");
    }
    return real(domain, type, protocol);
}
