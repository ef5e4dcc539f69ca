#include <gtest/gtest.h>

#include <string>

#include "setup/trace_text.h"

namespace {

std::string shown(const char *text) { return TraceText(text).c_str(); }

}  // namespace

TEST(TraceText, PrintableTextIsShownAsItIs) {
    const char *text = "script.py --name=\xC3\xA9t\xC3\xA9 C:\\path";
    EXPECT_EQ(TraceText(text).c_str(), text);  // not even copied
    EXPECT_EQ(shown(""), "");
}

TEST(TraceText, ControlBytesAreEscaped) {
    EXPECT_EQ(shown("line one\nline two"), "line one\\x0aline two");
    EXPECT_EQ(shown("\x1b[31mred\x7f"), "\\x1b[31mred\\x7f");
    EXPECT_EQ(shown("\t\r"), "\\x09\\x0d");
}
