#pragma once

// What every harness shares: the fuzzer's bytes taken apart into the values a
// harness needs, and a check that stops the run on a broken property.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

// A property that does not hold is a finding like a crash: libFuzzer keeps
// the input that broke it.
#define FUZZ_CHECK(condition)                                                       \
    do {                                                                            \
        if (!(condition)) {                                                         \
            std::fprintf(stderr, "property broken: %s (%s:%d)\n", #condition,       \
                         __FILE__, __LINE__);                                       \
            std::abort();                                                           \
        }                                                                           \
    } while (0)

// Reads values off the front of the input; an exhausted input reads as zeros.
class FuzzInput {
public:
    FuzzInput(const std::uint8_t *data, std::size_t size) : data_(data), size_(size) {}

    bool empty() const { return size_ == 0; }

    std::uint8_t byte() {
        if (size_ == 0) {
            return 0;
        }
        --size_;
        return *data_++;
    }

    std::uint16_t u16() {
        const auto high = static_cast<unsigned>(byte());
        return static_cast<std::uint16_t>((high << 8) | byte());
    }

    std::uint64_t u64() {
        std::uint64_t value = 0;
        for (int i = 0; i < 8; ++i) {
            value = (value << 8) | byte();
        }
        return value;
    }

    // The bytes up to the next zero byte (which is dropped), at most `max`.
    std::string text(std::size_t max) {
        std::string out;
        while (size_ > 0 && out.size() < max) {
            const std::uint8_t next = byte();
            if (next == 0) {
                break;
            }
            out.push_back(static_cast<char>(next));
        }
        return out;
    }

    // Everything left, zero bytes included.
    std::string rest() {
        std::string out(reinterpret_cast<const char *>(data_), size_);
        data_ += size_;
        size_ = 0;
        return out;
    }

private:
    const std::uint8_t *data_;
    std::size_t size_;
};

// A terminated copy of `text` in a heap block of exactly its size, so that a
// read past the terminator is a heap overflow the address sanitizer reports.
class ExactString {
public:
    explicit ExactString(const std::string &text)
        : block_(static_cast<char *>(std::malloc(text.size() + 1))) {
        std::memcpy(block_, text.c_str(), text.size() + 1);
    }
    ~ExactString() { std::free(block_); }
    ExactString(const ExactString &) = delete;
    ExactString &operator=(const ExactString &) = delete;

    char *get() const { return block_; }

private:
    char *block_;
};

// Whether the bytes are well-formed UTF-8 (shortest forms, no surrogates,
// nothing above U+10FFFF).
inline bool is_utf8(const unsigned char *text, std::size_t length) {
    std::size_t i = 0;
    while (i < length) {
        const unsigned lead = text[i];
        std::size_t width = 0;
        unsigned low = 0x80;
        unsigned high = 0xBF;
        if (lead < 0x80) {
            width = 1;
        } else if (lead >= 0xC2 && lead <= 0xDF) {
            width = 2;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            width = 3;
            low = lead == 0xE0 ? 0xA0 : 0x80;
            high = lead == 0xED ? 0x9F : 0xBF;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            width = 4;
            low = lead == 0xF0 ? 0x90 : 0x80;
            high = lead == 0xF4 ? 0x8F : 0xBF;
        } else {
            return false;
        }
        if (i + width > length) {
            return false;
        }
        for (std::size_t k = 1; k < width; ++k) {
            const unsigned next = text[i + k];
            const unsigned lo = k == 1 ? low : 0x80;
            const unsigned hi = k == 1 ? high : 0xBF;
            if (next < lo || next > hi) {
                return false;
            }
        }
        i += width;
    }
    return true;
}
