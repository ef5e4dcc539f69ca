#pragma once

#include <cstddef>

// A string from outside the module (an argument, argv[0]) made fit for one
// trace line: what reaches standard error is printable UTF-8 only. Each byte
// of a C0 or C1 control (a newline among them), DEL, U+2028 or U+2029 (line
// and paragraph separators), or of a sequence that is not well-formed UTF-8,
// becomes \xHH, so the text can neither break the line nor send a terminal a
// control or an escape sequence. Other characters are shown as they are.
class TraceText {
public:
    explicit TraceText(const char *text);
    ~TraceText();
    TraceText(const TraceText &) = delete;
    TraceText &operator=(const TraceText &) = delete;

    // The text to trace: `text` itself when it needs no escaping.
    const char *c_str() const { return shown_; }

private:
    const char *shown_;
    char *escaped_ = nullptr;  // owned when escaping was needed
};

// The pure steps behind TraceText. The length of `text` as a trace line shows
// it, its terminator not counted; equal to strlen(text) when nothing needs
// escaping.
std::size_t trace_text_length(const char *text);

// Writes `text` as a trace line shows it to `out`, which has room for
// trace_text_length(text) + 1 bytes, terminator included.
void write_trace_text(const char *text, char *out);
