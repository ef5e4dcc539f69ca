// The argument area and the titles written into it, over a synthetic layout
// as the kernel makes it: argument strings, then environment strings, back
// to back, in a heap block of exactly their size with a few foreign bytes
// after them. The area found from the argument vector reaches over exactly
// the listed environment strings that follow, as far as a title can reach;
// every title then reads back through the kernel's rules (argument_area.h)
// as exactly the title, and no byte outside the area ever changes.

#include <optional>
#include <string>
#include <vector>

#include "fuzz_input.h"
#include "platform/linux/argv_bounds.h"
#include "platform/linux/title_writer.h"
#include "title/utf8_prefix.h"

namespace {

constexpr std::size_t FOREIGN = 8;  // bytes after the strings that belong to no one

// What reading /proc/PID/cmdline returns, on a kernel that reads the title
// up to its zero byte, or (Linux 4.18 to 5.2) the whole argument area first.
std::string kernel_view(const char *area, std::size_t arg_length, std::size_t env_end,
                        bool whole_area_first) {
    if (area[arg_length - 1] == '\0') {
        return std::string(area, arg_length);
    }
    std::size_t end = whole_area_first ? arg_length : 0;
    while (end < env_end && area[end] != '\0') {
        ++end;
    }
    return std::string(area, end < env_end ? end + 1 : env_end);
}

struct Layout {
    std::vector<std::string> strings;
    std::vector<std::size_t> offsets;
    std::size_t size = 0;  // of the strings, zero bytes included
};

Layout lay_out(FuzzInput &in, std::size_t count) {
    Layout layout;
    for (std::size_t i = 0; i < count; ++i) {
        layout.strings.push_back(in.text(120));  // six make more than a title
        layout.offsets.push_back(layout.size);
        layout.size += layout.strings.back().size() + 1;
    }
    return layout;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    FuzzInput in{data, size};
    const std::size_t arguments = 1 + in.byte() % 6;
    const std::size_t environment = in.byte() % 12;
    const std::uint16_t listed = in.u16();
    const std::uint8_t flags = in.byte();
    const auto report =
        (flags & 1) != 0 ? CmdlineReport::whole_argument_area : CmdlineReport::title_up_to_zero;
    const bool probe = (flags & 2) != 0;
    const bool misplaced = arguments > 1 && (flags & 0xF0) == 0xF0;
    const Layout layout = lay_out(in, arguments + environment);

    std::vector<char> block(layout.size + FOREIGN, '\x5a');
    for (std::size_t i = 0; i < layout.strings.size(); ++i) {
        std::memcpy(block.data() + layout.offsets[i], layout.strings[i].c_str(),
                    layout.strings[i].size() + 1);
    }
    std::vector<char *> argv;
    std::vector<char *> envp;
    for (std::size_t i = 0; i < layout.strings.size(); ++i) {
        char *const place = block.data() + layout.offsets[i];
        if (i < arguments) {
            argv.push_back(place);
        } else if ((listed >> (i - arguments)) & 1) {
            envp.push_back(place);
        }
    }
    argv.push_back(nullptr);
    envp.push_back(nullptr);
    if (misplaced) {
        argv[1 + flags % (arguments - 1)] += 1;  // no longer right after the one before
    }

    const std::optional<ArgumentArea> found = area_from_argv(argv.data(), envp.data());
    if (misplaced) {
        FUZZ_CHECK(!found);
        return 0;
    }
    FUZZ_CHECK(found);
    const ArgumentArea area = *found;
    const std::size_t arg_length = layout.offsets.size() > arguments
                                       ? layout.offsets[arguments]
                                       : layout.size;
    FUZZ_CHECK(area.start == block.data() && area.arg_length == arg_length);
    // The listed strings that follow the arguments, one after the other.
    std::size_t chain = arg_length;
    for (std::size_t i = arguments; i < layout.strings.size() && ((listed >> (i - arguments)) & 1);
         ++i) {
        chain += layout.strings[i].size() + 1;
    }
    FUZZ_CHECK(area.length == std::min(chain, title_reach(arg_length)));

    const std::vector<char> before = block;
    TitleWriter writer = clear_arguments(area, report);
    const bool whole_area_first = report == CmdlineReport::whole_argument_area;
    if (probe && area.arg_length >= 2) {
        write_probe(writer);
        if (!whole_area_first) {
            FUZZ_CHECK(kernel_view(area.start, arg_length, layout.size, false) ==
                       std::string(1, '\0'));
        }
    }
    while (!in.empty()) {
        const std::string title = in.text(300);
        ExactString text{title};
        const std::size_t shown = write_title(writer, text.get(), title.size());
        FUZZ_CHECK(shown == utf8_prefix_within(text.get(), area.length - 1));
        const std::string view =
            kernel_view(area.start, arg_length, layout.size, whole_area_first);
        const std::string expected = title.substr(0, shown) + '\0';
        if (whole_area_first) {
            // The title, then nothing but zero bytes.
            FUZZ_CHECK(view.compare(0, expected.size(), expected) == 0);
            FUZZ_CHECK(view.find_first_not_of('\0', shown) == std::string::npos);
        } else {
            FUZZ_CHECK(view == expected);
        }
        FUZZ_CHECK(std::equal(block.begin() + static_cast<std::ptrdiff_t>(area.length),
                              block.end(), before.begin() + static_cast<std::ptrdiff_t>(area.length)));
    }
    return 0;
}
