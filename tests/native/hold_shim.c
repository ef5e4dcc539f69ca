/* Preloaded into a test process: stops the module's first uname() call, which
   it makes while it holds the title lock (at the first title, to learn how
   the kernel shows titles), until the test lets it go. ZNV_TEST_HOLD_UNAME
   names two file descriptors, "ENTERED,RELEASE": the stopped call writes a
   byte to ENTERED and waits for one on RELEASE. The variable is read at the
   call, so the process may set it after it started. */

#define _GNU_SOURCE
#include <dlfcn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/utsname.h>
#include <unistd.h>

static int stopped_once;

static int called_from_module(const void *caller) {
    Dl_info info;
    return dladdr(caller, &info) != 0 && info.dli_fname != NULL &&
           strstr(info.dli_fname, "/_setzentrave.") != NULL;
}

int uname(struct utsname *name) {
    const char *fds = getenv("ZNV_TEST_HOLD_UNAME");
    int entered = -1;
    int release = -1;
    if (fds != NULL && sscanf(fds, "%d,%d", &entered, &release) == 2 &&
        called_from_module(__builtin_return_address(0)) &&
        !__atomic_exchange_n(&stopped_once, 1, __ATOMIC_SEQ_CST)) {
        char byte = 0;
        if (write(entered, "x", 1) != 1 || read(release, &byte, 1) != 1) {
            abort();
        }
    }
    int (*next)(struct utsname *) = (int (*)(struct utsname *))dlsym(RTLD_NEXT, "uname");
    return next(name);
}
