/* Test helper, preloaded into smcd: right after a Unix socket is bound, its
 * file is moved to PATH.made and a link to $SWAP_TO takes its name, as
 * another user who can write the directory could do. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

int bind(int fd, const struct sockaddr* address, socklen_t size)
{
    int (*next)(int, const struct sockaddr*, socklen_t) =
        (int (*)(int, const struct sockaddr*, socklen_t))dlsym(RTLD_NEXT, "bind");
    int result = next(fd, address, size);
    const char* target = getenv("SWAP_TO");
    if (result == 0 && target && address->sa_family == AF_UNIX) {
        const char* path = ((const struct sockaddr_un*)address)->sun_path;
        char moved[sizeof ((struct sockaddr_un*)0)->sun_path + 8];
        snprintf(moved, sizeof moved, "%s.made", path);
        if (rename(path, moved) != 0 || symlink(target, path) != 0)
            perror("SwapAfterBind");
    }
    return result;
}
