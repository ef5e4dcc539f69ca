#pragma once

#include <cstddef>

#include "platform/linux/argument_area.h"
#include "platform/linux/cmdline_defect.h"

// Writes titles into the argument area so that the kernel shows exactly the
// title (see argument_area.h). Only bytes inside the area are written.
struct TitleWriter {
    ArgumentArea area;
    CmdlineReport report;
    std::size_t used;  // bytes the last title took, its zero byte included
};

// Zeros the arguments but their last byte, which it marks, and the first byte
// after them when the area reaches past them, so that no remains of the
// command line show and nothing the kernel reads on into is shown; the area
// then shows the empty title. Whatever reaches into those bytes must have
// been moved out first. Returns a writer with no title written yet.
TitleWriter clear_arguments(const ArgumentArea &area, CmdlineReport report);

// Marks the end of the argument area as overwritten with an empty title in
// front: what the kernel then shows tells how it reads the area. Needs an area
// of at least two argument bytes; undone by the next write_title.
void write_probe(TitleWriter &writer);

// Shows the first `length` bytes of the terminated string `title` (all of it,
// or a cut before a character), cut further to what the area holds before
// any character that cut would split, and returns the number of bytes shown. Clears only the bytes
// of the previous title that the new one does not cover. Where the kernel
// reads a title up to its zero byte, the writes are ordered so that a reader
// never gets the bare argument area, only the old title, the empty title or
// the new one, or a change half-done: the kernel copies the bytes while they
// are being written.
std::size_t write_title(TitleWriter &writer, const char *title, std::size_t length);
