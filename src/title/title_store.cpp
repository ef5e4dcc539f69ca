#include "title/title_store.h"

#include <atomic>
#include <bit>
#include <cstdint>
#include <cstring>
#include <thread>

#include "platform/process_title.h"
#include "raii/py_mutex_guard.h"
#include "title/utf8_prefix.h"

namespace {

constexpr std::size_t WORDS = TITLE_BUFFER_SIZE / sizeof(std::uint64_t);
static_assert(WORDS * sizeof(std::uint64_t) == TITLE_BUFFER_SIZE);

// The stored title, written under the title lock but read without it: a
// reader takes no lock and writes nothing shared, so readers on many threads
// don't take turns at one cache line. The sequence is odd while a writer is
// copying; a reader retries until it has copied between two equal, even
// readings of it. 64 bits, so that it never wraps round to a value a reader
// has seen. Words are atomics so that a copy racing a writer is well-defined
// (and then thrown away). Aligned apart from the lock, which writers keep
// writing.
struct alignas(64) StoredTitle {
    std::atomic<std::uint64_t> sequence{0};
    std::atomic<std::uint64_t> words[WORDS]{};
};
StoredTitle stored;

// Serialises every change to the stored title, the argument vector and the
// platform's title area (readers of the stored title need no lock, see
// above). Nothing that runs under it calls back into Python.
PyMutex title_mutex{};

// Guarded by the title lock.
char **saved_argv = nullptr;

// Set while a title is being stored and shown, under the title lock. A child
// forked meanwhile by another thread (through the C library: os.fork() waits
// for the module's callers) finds it set, with the change half done.
std::atomic<bool> changing{false};

// Non-zero when one of the word's bytes is zero; then its lowest set bit
// lies in the first zero byte in memory order (the bits above it may not).
std::uint64_t zero_bytes(std::uint64_t word) {
    constexpr std::uint64_t ones = 0x0101010101010101U;
    constexpr std::uint64_t highs = 0x8080808080808080U;
    return (word - ones) & ~word & highs;
}

// The offset of the first zero byte in a word that has one.
std::size_t first_zero_byte(std::uint64_t word) {
    if constexpr (std::endian::native == std::endian::little) {
        return static_cast<std::size_t>(std::countr_zero(zero_bytes(word))) / 8;
    } else {
        return strnlen(reinterpret_cast<const char *>(&word), sizeof word);
    }
}

// The title as stored: cut to at most 255 bytes before any character the cut
// would split, and terminated, in whole words with zeros after the
// terminator. Made before the lock is taken: it reads only the caller's text.
struct CutTitle {
    std::uint64_t words[WORDS];
    std::size_t length;

    explicit CutTitle(const char *source)
        : length(utf8_prefix_within(source, TITLE_BUFFER_SIZE - 1)) {
        words[length / sizeof(std::uint64_t)] = 0;  // the terminator and what follows it
        std::memcpy(words, source, length);
    }

    std::size_t word_count() const { return length / sizeof(std::uint64_t) + 1; }
    const char *text() const { return reinterpret_cast<const char *>(words); }
};

// Caller holds the title lock.
void store(const CutTitle &title) {
    // Only the words up to the terminator are written: readers stop there.
    const std::uint64_t sequence = stored.sequence.load(std::memory_order_relaxed);
    stored.sequence.store(sequence + 1, std::memory_order_relaxed);
    std::atomic_thread_fence(std::memory_order_release);  // odd before any word
    const std::size_t words = title.word_count();
    for (std::size_t i = 0; i < words; ++i) {
        stored.words[i].store(title.words[i], std::memory_order_relaxed);
    }
    stored.sequence.store(sequence + 2, std::memory_order_release);
}

// Caller holds the title lock.
void store_and_show(const CutTitle &title) {
    changing.store(true, std::memory_order_relaxed);  // ordered by store()'s fence
    store(title);
    // The platform gets the whole title; '%' in it is never read as a format.
    znv_platform_set_title(title.text(), title.length, saved_argv);
    changing.store(false, std::memory_order_release);
}

}  // namespace

void znv_save_argv(char **argv) {
    PyMutexGuard lock{title_mutex};
    saved_argv = argv;
}

void znv_init_title(const char *text) {
    const CutTitle title{text};
    PyMutexGuard lock{title_mutex};
    if (saved_argv == nullptr) {
        return;
    }
    store_and_show(title);
}

void znv_set_title(const char *text) {
    const CutTitle title{text};
    PyMutexGuard lock{title_mutex};
    store_and_show(title);
}

std::size_t znv_get_title(char (&out)[TITLE_BUFFER_SIZE]) {
    for (unsigned attempt = 1;; ++attempt) {
        const std::uint64_t before = stored.sequence.load(std::memory_order_acquire);
        if ((before & 1U) == 0) {
            // Up to the word holding the terminator, whose place gives the
            // length; a torn copy may hold none, and is thrown away below.
            std::size_t length = TITLE_BUFFER_SIZE - 1;
            for (std::size_t i = 0; i < WORDS; ++i) {
                const std::uint64_t word = stored.words[i].load(std::memory_order_relaxed);
                std::memcpy(out + i * sizeof word, &word, sizeof word);
                if (zero_bytes(word) != 0) {
                    length = i * sizeof word + first_zero_byte(word);
                    break;
                }
            }
            std::atomic_thread_fence(std::memory_order_acquire);  // words before the recheck
            if (stored.sequence.load(std::memory_order_relaxed) == before) {
                out[length] = '\0';  // bounds the text were no terminator copied
                return length;
            }
        }
        if (attempt % 64 == 0) {
            std::this_thread::yield();  // the writer may have been preempted mid-copy
        }
    }
}

void znv_title_store_after_fork() {
    title_mutex = PyMutex{};
    // A title another thread was storing stays half-stored, its sequence odd,
    // and every reader would wait for it for ever; a title it was showing is
    // half written where the platform shows it. The old title is gone and
    // the new one may be half made: the child's title is the empty one,
    // stored and shown.
    if (!changing.load(std::memory_order_relaxed)) {
        return;
    }
    changing.store(false, std::memory_order_relaxed);
    // Even again, as store() expects.
    const std::uint64_t sequence = stored.sequence.load(std::memory_order_relaxed);
    stored.sequence.store(sequence + (sequence & 1U), std::memory_order_relaxed);
    store(CutTitle{""});
    znv_platform_clear_after_fork();
}
