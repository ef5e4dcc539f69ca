#include "platform/process_title.h"

#include <sys/utsname.h>
#include <unistd.h>

#include <cerrno>  // also program_invocation_name and program_invocation_short_name
#include <cstdlib>
#include <optional>

#include "debug/trace.h"
#include "platform/linux/argv_bounds.h"
#include "platform/linux/kernel_bounds.h"
#include "platform/linux/proc_self_file.h"
#include "platform/linux/string_move.h"
#include "platform/linux/title_writer.h"
#include "raii/heap_ptr.h"
#include "debug/trace_text.h"

// Linux keeps no title of its own: the listing shows the process's argument
// area (see argument_area.h), so the title is written there. The first title
// finds the area, moves out what the process still needs from it and learns
// how the kernel reads it; every later title is a copy into it.

namespace {

enum class Stage { first_use, showing, unavailable };

// Guarded by the title lock, which every caller of znv_platform_set_title holds.
Stage stage = Stage::first_use;
TitleWriter writer{};

// The area as the kernel records it, or null with `why` saying what failed.
std::optional<ArgumentArea> area_from_proc(const char *&why) {
    char text[4096];
    const std::optional<std::string_view> stat = read_proc_self("stat", text, sizeof text);
    if (!stat) {
        why = errno == ENOENT ? "no /proc/self/stat" : "can't read /proc/self/stat";
        return std::nullopt;
    }
    const std::optional<KernelBounds> bounds = parse_kernel_bounds(*stat);
    if (!bounds) {
        why = "no argument bounds in /proc/self/stat";
        return std::nullopt;
    }
    const std::optional<ArgumentArea> area = area_from_kernel(*bounds);
    if (!area) {
        why = "/proc/self/stat shows no argument area";
    }
    return area;
}

// The kernel's own record first; the argument vector when /proc can't tell.
// Whatever the outcome, a failure here is told in one trace line.
std::optional<ArgumentArea> find_area(char *const *argv, bool &from_proc) {
    const char *why = nullptr;
    if (const std::optional<ArgumentArea> area = area_from_proc(why)) {
        from_proc = true;
        return area;
    }
    if (argv == nullptr) {
        znv_debug("%s and no argument vector: the process listing stays as it is", why);
        return std::nullopt;
    }
    const std::optional<ArgumentArea> area = area_from_argv(argv, environ);
    if (!area) {
        znv_debug("%s and the arguments don't lie back to back: the process listing stays as it "
                  "is",
                  why);
        return std::nullopt;
    }
    znv_debug("%s: taking the argument area from the argument vector", why);
    return area;
}

// A round moves what one look at environ found; the next looks again and
// finds nothing, unless another thread's unsetenv shifted an entry past a
// look. Each such miss needs an unsetenv at that very moment.
constexpr int MOVE_ROUNDS = 8;

// The environment and the C library's program name must outlive the first
// title: their strings in the area are copied out, and the title is written
// only once a look at environ finds none left there.
bool move_strings_out(const ArgumentArea &area) {
    std::size_t name_bytes =
        program_name_bytes_to_move(program_invocation_name, program_invocation_short_name, area);
    for (int round = 0; round < MOVE_ROUNDS; ++round) {
        EnvironmentMove move;
        if (!note_environment_strings(environ, area, move)) {
            znv_debug("more than %d environment strings in the argument area: the process "
                      "listing stays as it is",
                      static_cast<int>(EnvironmentMove::MOST));
            return false;
        }
        const std::size_t bytes = move.bytes + name_bytes;
        if (bytes == 0) {
            return true;
        }
        // Never released once used: environ and the program name point into it.
        HeapPtr<char> block{static_cast<char *>(std::malloc(bytes))};
        if (!block) {
            znv_debug("can't malloc %d bytes to move the environment: the process listing stays "
                      "as it is",
                      static_cast<int>(bytes));
            return false;
        }
        char *const rest = copy_environment_strings(move, block.get(), move.bytes);
        if (rest == nullptr) {
            znv_debug("an environment string grew while it was moved: the process listing "
                      "stays as it is");
            return false;
        }
        move_program_name(&program_invocation_name, &program_invocation_short_name, area, rest);
        name_bytes = 0;
        // Read again: a setenv meanwhile may have moved the vector elsewhere.
        point_environment_at_copies(environ, move);
        static_cast<void>(block.release());
    }
    znv_debug("the environment kept changing while it was moved: the process listing stays as "
              "it is");
    return false;
}

// Asks the kernel itself where it can (see cmdline_defect.h), else its release.
CmdlineReport learn_cmdline_report(TitleWriter &probed, bool from_proc) {
    std::optional<std::string_view> answer;
    char buffer[64];
    if (from_proc && probed.area.arg_length >= 2) {
        write_probe(probed);
        answer = read_proc_self("cmdline", buffer, sizeof buffer);
    }
    utsname system{};
    const char *const release = uname(&system) == 0 ? system.release : nullptr;
    const CmdlineReport report = decide_cmdline_report(answer, release);
    if (report == CmdlineReport::whole_argument_area) {
        znv_debug("kernel %s shows the whole argument area: short titles end in zero bytes",
                  TraceText(release != nullptr ? release : "(unknown release)").c_str());
    }
    return report;
}

// The first-use work, in an order that matters: the area is found while the
// arguments still lie there, and nothing in it is overwritten before what
// the process still reads in it has been moved out. Kept out of line: its
// frame would otherwise be made and unmade on every later title.
[[gnu::noinline, gnu::cold]] bool prepare(char *const *argv) {
    bool from_proc = false;
    const std::optional<ArgumentArea> area = find_area(argv, from_proc);
    if (!area || !move_strings_out(*area)) {
        return false;
    }
    writer = clear_arguments(*area, CmdlineReport::whole_argument_area);
    writer.report = learn_cmdline_report(writer, from_proc);
    return true;
}

}  // namespace

void znv_platform_set_title(const char *title, std::size_t length, char *const *argv) {
    if (stage == Stage::first_use) {
        stage = prepare(argv) ? Stage::showing : Stage::unavailable;
    }
    if (stage == Stage::showing) {
        write_title(writer, title, length);
    }
}

// A preparation cut off leaves the stage at first use: the next title finds
// the area again and moves out what is still in it. A write cut off may have
// left any byte up to the end of the area, so all of it is cleared.
void znv_platform_clear_after_fork() {
    if (stage == Stage::showing) {
        writer.used = writer.area.length;
        write_title(writer, "", 0);
    }
}
