/* Preloaded into a test process: makes one kind of allocation fail, but only
   when the module itself asks for it (judged by the caller's shared object),
   so the interpreter around it keeps working. The target comes from
   ZNV_TEST_FAIL_ALLOC: "strdup", "malloc:SIZE" for mallocs of SIZE bytes,
   "nth:N" for the module's N-th allocation of either kind ("nth:0": none),
   or "atfork" for the module's first registration of a fork handler (the
   record the C library allocates for it); with "nth:N" the module's
   allocations are counted in znv_shim_module_allocations, which the process
   can read. */

#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <stdlib.h>
#include <string.h>

#ifdef __GLIBC__
extern void *__libc_malloc(size_t size);
#define real_malloc __libc_malloc
#else
/* musl has no __libc_malloc to call past the shim. Its dlsym allocates
   nothing, so the next malloc can be looked up on first use. */
static void *real_malloc(size_t size) {
    static void *(*next)(size_t);
    void *(*found)(size_t) = __atomic_load_n(&next, __ATOMIC_ACQUIRE);
    if (found == NULL) {
        found = (void *(*)(size_t))dlsym(RTLD_NEXT, "malloc");
        __atomic_store_n(&next, found, __ATOMIC_RELEASE);
    }
    return found(size);
}
#endif

static int fail_strdup;
static int fail_atfork; /* registrations left to fail */
static size_t fail_malloc_size; /* 0: no malloc fails */
static int counting;
static long fail_nth; /* with counting: 0, none fails */
long znv_shim_module_allocations;

__attribute__((constructor)) static void read_target(void) {
    const char *target = getenv("ZNV_TEST_FAIL_ALLOC");
    if (target == NULL) {
        return;
    }
    if (strcmp(target, "strdup") == 0) {
        fail_strdup = 1;
    } else if (strcmp(target, "atfork") == 0) {
        fail_atfork = 1;
    } else if (strncmp(target, "malloc:", 7) == 0) {
        fail_malloc_size = strtoul(target + 7, NULL, 10);
    } else if (strncmp(target, "nth:", 4) == 0) {
        counting = 1;
        fail_nth = strtol(target + 4, NULL, 10);
    }
}

static int called_from_module(const void *caller) {
    Dl_info info;
    return dladdr(caller, &info) != 0 && info.dli_fname != NULL &&
           strstr(info.dli_fname, "/_setzentrave.") != NULL;
}

/* Counts an allocation the module makes; true when it is the one to fail. */
static int nth_fails(const void *caller) {
    if (!counting || !called_from_module(caller)) {
        return 0;
    }
    return __atomic_add_fetch(&znv_shim_module_allocations, 1, __ATOMIC_SEQ_CST) == fail_nth;
}

void *malloc(size_t size) {
    if (nth_fails(__builtin_return_address(0))) {
        errno = ENOMEM;
        return NULL;
    }
    if (fail_malloc_size != 0 && size == fail_malloc_size &&
        called_from_module(__builtin_return_address(0))) {
        errno = ENOMEM;
        return NULL;
    }
    return real_malloc(size);
}

char *strdup(const char *text) {
    const void *caller = __builtin_return_address(0);
    if (nth_fails(caller) || (fail_strdup && called_from_module(caller))) {
        errno = ENOMEM;
        return NULL;
    }
    const size_t size = strlen(text) + 1;
    char *copy = real_malloc(size);
    if (copy != NULL) {
        memcpy(copy, text, size);
    }
    return copy;
}

#ifdef __GLIBC__
/* What pthread_atfork, linked into the module from the C library's static
   part, calls. */
int __register_atfork(void (*prepare)(void), void (*parent)(void), void (*child)(void),
                      void *dso_handle) {
    if (called_from_module(__builtin_return_address(0)) &&
        __atomic_exchange_n(&fail_atfork, 0, __ATOMIC_SEQ_CST)) {
        return ENOMEM;
    }
    int (*next)(void (*)(void), void (*)(void), void (*)(void), void *) =
        (int (*)(void (*)(void), void (*)(void), void (*)(void), void *))dlsym(
            RTLD_NEXT, "__register_atfork");
    return next(prepare, parent, child, dso_handle);
}
#else
/* musl's pthread_atfork is the C library's own, called directly. */
int pthread_atfork(void (*prepare)(void), void (*parent)(void), void (*child)(void)) {
    if (called_from_module(__builtin_return_address(0)) &&
        __atomic_exchange_n(&fail_atfork, 0, __ATOMIC_SEQ_CST)) {
        return ENOMEM;
    }
    int (*next)(void (*)(void), void (*)(void), void (*)(void)) =
        (int (*)(void (*)(void), void (*)(void), void (*)(void)))dlsym(RTLD_NEXT,
                                                                        "pthread_atfork");
    return next(prepare, parent, child);
}
#endif
