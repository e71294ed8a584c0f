/* Preloaded into indiserver by the INDI tests and benchmark: indiserver 1.9.9
 * listens on every interface and has no option to choose one, so this turns a
 * bind to the wildcard address into a bind to the loopback address. It removes
 * itself from the environment at load, so the drivers indiserver starts run
 * without it (a sanitizer runtime must come first in theirs). */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <netinet/in.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>

__attribute__((constructor)) static void forgetPreload(void) { unsetenv("LD_PRELOAD"); }

typedef int (*BindFunction)(int, const struct sockaddr *, socklen_t);

int bind(int socketFd, const struct sockaddr *address, socklen_t length) {
    static BindFunction systemBind;
    if (systemBind == NULL) {
        systemBind = (BindFunction)dlsym(RTLD_NEXT, "bind");
    }
    if (address != NULL && address->sa_family == AF_INET && length >= sizeof(struct sockaddr_in)) {
        struct sockaddr_in local;
        memcpy(&local, address, sizeof local);
        if (local.sin_addr.s_addr == htonl(INADDR_ANY)) {
            local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            return systemBind(socketFd, (const struct sockaddr *)&local, sizeof local);
        }
    }
    if (address != NULL && address->sa_family == AF_INET6 &&
        length >= sizeof(struct sockaddr_in6)) {
        struct sockaddr_in6 local;
        memcpy(&local, address, sizeof local);
        if (memcmp(&local.sin6_addr, &in6addr_any, sizeof in6addr_any) == 0) {
            local.sin6_addr = in6addr_loopback;
            return systemBind(socketFd, (const struct sockaddr *)&local, sizeof local);
        }
    }
    return systemBind(socketFd, address, length);
}
