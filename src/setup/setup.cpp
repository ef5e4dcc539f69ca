#include "setup/setup.h"

#include <Python.h>
#include <pthread.h>

#include <atomic>

#include "debug/trace.h"
#include "raii/py_mutex_guard.h"
#include "setup/argc_argv.h"
#include "raii/heap_ptr.h"
#include "setup/join_arguments.h"
#include "title/title_store.h"

namespace {

// 3 never run, -1 running or failed, 0 succeeded. Written only under the
// setup lock; shared by every thread and interpreter of the process.
std::atomic<int> setup_status{3};

// Set, after the final status, once setup has run: later calls read it
// without the lock.
std::atomic<bool> setup_finished{false};

// Whether the fork handler is registered. Two interpreters importing the
// module at once may both register it: running it twice does no harm.
std::atomic<bool> fork_handler_registered{false};

// Held for the whole run, so a caller that arrives meanwhile waits and then
// finds the first title complete. While a thread waits, PyMutex detaches its
// thread state, so the running setup can still import and call into the
// interpreter. Taken before the title lock, never while holding it.
PyMutex setup_mutex{};

// The thread running setup, 0 when none. Setup runs interpreter code (an
// import, io.open and their audit hooks) that may call a title function
// again on that same thread; the lock is not reentrant, so such a call is
// answered as a repeated one instead of waiting for itself.
std::atomic<unsigned long> setup_thread{0};

// Marks setup as run: later calls answer from its status without the lock,
// and with the trace off (decided at import) have nothing to ask at all.
void mark_finished() {
    setup_finished.store(true, std::memory_order_release);
    if (!znv_tracing()) {
        znv_setup_settled.store(true, std::memory_order_release);
    }
}

// A child of fork() has only the thread that forked. A lock another thread
// held at that moment, or had just been handed while it waited, stays held
// in the child with no one to release it, and the child's next title call
// would wait for ever; so the child starts with both locks free, as CPython
// does with its own.
void reset_locks_in_forked_child() {
    znv_title_store_after_fork();
    if (setup_thread.load(std::memory_order_relaxed) == PyThread_get_thread_ident()) {
        return;  // setup forked from inside itself: it goes on here and unlocks
    }
    setup_mutex = PyMutex{};
    setup_thread.store(0, std::memory_order_relaxed);
    // A setup another thread had begun ends nowhere in the child: it counts
    // as failed, and is not run again, since it may have begun to rewrite
    // the arguments it would look for.
    if (setup_status.load(std::memory_order_relaxed) != 3) {
        mark_finished();
    }
}

int repeated_call() {
    znv_debug("setup was called more than once!");
    return setup_status.load(std::memory_order_acquire);
}

// Caller holds the setup lock.
int run_setup() {
    setup_status.store(-1, std::memory_order_relaxed);
    int argc = 0;
    char **argv = nullptr;
    if (get_argc_argv(&argc, &argv) != 0) {
        return -1;
    }
    znv_save_argv(argv);  // the store keeps it for the life of the process
    HeapPtr<char> command_line{join_arguments(argc, argv)};
    if (!command_line) {
        return -1;
    }
    znv_init_title(command_line.get());
    setup_status.store(0, std::memory_order_relaxed);
    return 0;
}

// Runs setup unless another thread ran it while this one waited for the
// lock; returns false in that case.
bool run_setup_once(int *result) {
    PyMutexGuard lock{setup_mutex};
    if (setup_status.load(std::memory_order_relaxed) != 3) {
        return false;
    }
    setup_thread.store(PyThread_get_thread_ident(), std::memory_order_relaxed);
    *result = run_setup();
    setup_thread.store(0, std::memory_order_relaxed);
    mark_finished();
    return true;
}

}  // namespace

std::atomic<bool> znv_setup_settled{false};

// Registered at import, before any lock of the module can be taken, so no
// fork can come between a lock and its handler. Children inherit it with the
// memory.
int znv_watch_forks() {
    if (fork_handler_registered.load(std::memory_order_acquire)) {
        return 0;
    }
    if (pthread_atfork(nullptr, nullptr, reset_locks_in_forked_child) != 0) {
        znv_debug("can't register the fork handler");
        PyErr_NoMemory();
        return -1;
    }
    fork_handler_registered.store(true, std::memory_order_release);
    return 0;
}

int znv_setup() {
    if (setup_finished.load(std::memory_order_acquire) ||
        setup_thread.load(std::memory_order_relaxed) == PyThread_get_thread_ident()) {
        return repeated_call();
    }
    int result = -1;
    if (run_setup_once(&result)) {
        return result;
    }
    return repeated_call();
}
