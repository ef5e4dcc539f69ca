#pragma once

// A string from outside the module (an argument, argv[0]) made fit for one
// trace line: control bytes, a newline among them, become \xHH, so the text
// can neither break the line nor send a terminal escape sequence. Other
// bytes, UTF-8 included, are shown as they are.
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
