#include <gtest/gtest.h>

#include <string>

#include "debug/trace_text.h"

namespace {

std::string shown(const char *text) { return TraceText(text).c_str(); }

}  // namespace

TEST(TraceText, PrintableTextIsShownAsItIs) {
    // Two-, three- and four-byte characters, a backslash, a no-break space.
    const char *text = "script.py --name=\xC3\xA9t\xC3\xA9 \xE6\x9D\xB1 \xF0\x9F\x98\x80 C:\\path\xC2\xA0";
    EXPECT_EQ(TraceText(text).c_str(), text);  // not even copied
    EXPECT_EQ(shown(""), "");
    EXPECT_EQ(trace_text_length(text), std::string(text).size());
}

TEST(TraceText, ControlBytesAreEscaped) {
    EXPECT_EQ(shown("line one\nline two"), "line one\\x0aline two");
    EXPECT_EQ(shown("\x1b[31mred\x7f"), "\\x1b[31mred\\x7f");
    EXPECT_EQ(shown("\t\r"), "\\x09\\x0d");
}

TEST(TraceText, C1ControlsAndLineSeparatorsAreEscapedByteByByte) {
    EXPECT_EQ(shown("next\xC2\x85line"), "next\\xc2\\x85line");   // U+0085
    EXPECT_EQ(shown("\xC2\x9B" "2J"), "\\xc2\\x9b2J");             // U+009B, CSI
    EXPECT_EQ(shown("a\xE2\x80\xA8" "b\xE2\x80\xA9"), "a\\xe2\\x80\\xa8b\\xe2\\x80\\xa9");
    EXPECT_EQ(shown("\xE2\x80\xA7\xE2\x80\xAA"), "\xE2\x80\xA7\xE2\x80\xAA");  // their neighbours
}

TEST(TraceText, BytesThatAreNotUtf8AreEscaped) {
    EXPECT_EQ(shown("\x9b[2J"), "\\x9b[2J");            // a lone 8-bit CSI
    EXPECT_EQ(shown("bad\xFF\xFE"), "bad\\xff\\xfe");
    EXPECT_EQ(shown("\xC0\x8A"), "\\xc0\\x8a");           // an overlong newline
    EXPECT_EQ(shown("\xE0\x80\xAF"), "\\xe0\\x80\\xaf");  // an overlong '/'
    EXPECT_EQ(shown("\xED\xA0\x80"), "\\xed\\xa0\\x80");  // a surrogate
    EXPECT_EQ(shown("\xF4\x90\x80\x80"), "\\xf4\\x90\\x80\\x80");  // above U+10FFFF
    EXPECT_EQ(shown("cut \xE2\x82"), "cut \\xe2\\x82");   // cut short by the end
    EXPECT_EQ(shown("\xE2\x82" "A\xC3\xA9"), "\\xe2\\x82A\xC3\xA9");  // and by a character
    const char *text = "\xFFok";
    EXPECT_EQ(trace_text_length(text), 6u);
    char out[7];
    write_trace_text(text, out);
    EXPECT_STREQ(out, "\\xffok");
}
