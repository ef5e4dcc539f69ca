// The move of the environment and the program's name out of the area. The
// strings lie back to back in a block of exactly their size, the area covers
// some stretch of it, and environment entries and names point at strings
// inside or outside it (or into the middle of one). Between noting the
// strings and pointing the entries at their copies, an entry may be unset
// (the later ones shift down, as unsetenv does). After the move, into a block
// of exactly the size counted, every pointer that reached into the area
// points at a copy outside it with the same text, every other pointer is
// unchanged, the short name still lies inside the name when it did before,
// and the area itself is untouched. Into a block one byte too small, nothing
// is copied and nothing changes.

#include <string>
#include <vector>

#include "fuzz_input.h"
#include "platform/linux/string_move.h"

namespace {

std::uintptr_t address(const char *p) { return reinterpret_cast<std::uintptr_t>(p); }

bool reaches_into(const ArgumentArea &area, const char *text) {
    return text != nullptr && address(text) < address(area.start) + area.length &&
           address(text) + std::strlen(text) >= address(area.start);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    FuzzInput in{data, size};
    const std::size_t count = 1 + in.byte() % 12;
    const std::size_t entries = in.byte() % 12;
    const std::uint16_t area_from = in.u16();
    const std::uint16_t area_size = in.u16();
    std::vector<std::uint8_t> choices;
    for (std::size_t i = 0; i < entries + 2; ++i) {
        choices.push_back(in.byte());
    }
    std::vector<std::string> strings;
    std::string joined;
    std::vector<std::size_t> offsets;
    for (std::size_t i = 0; i < count; ++i) {
        strings.push_back(in.text(40) + "/" + in.text(8));
        offsets.push_back(joined.size());
        joined += strings.back() + '\0';
    }
    // Read last, so that inputs made before these existed mean what they did.
    const std::size_t unset = in.byte() % 16;  // entry unset - 1; none when 0
    const bool too_small = (in.byte() & 1) != 0;
    std::vector<char> stack(joined.begin(), joined.end());
    const std::string outside = "HOME=/root";

    const std::size_t start = area_from % stack.size();
    const std::size_t length = 1 + area_size % (stack.size() - start);
    const ArgumentArea area{stack.data() + start, length, length};

    // A string of the block, the middle of one, outside it, or none at all.
    auto pick = [&](std::uint8_t choice) -> char * {
        const std::size_t which = (choice >> 2) % count;
        switch (choice & 3) {
            case 0: return stack.data() + offsets[which];
            case 1: return stack.data() + offsets[which] + strings[which].size() / 2;
            case 2: return const_cast<char *>(outside.c_str());
            default: return nullptr;
        }
    };
    std::vector<char *> envp;
    for (std::size_t i = 0; i < entries; ++i) {
        char *const entry = pick(choices[i]);
        envp.push_back(entry != nullptr ? entry : stack.data() + offsets[0]);
    }
    envp.push_back(nullptr);
    char *name = pick(choices[entries]);
    // The short name: after the name's '/', or a string of its own.
    char *short_name = (choices[entries + 1] & 1) != 0 && name != nullptr
                           ? std::strrchr(name, '/') != nullptr ? std::strrchr(name, '/') + 1 : name
                           : pick(choices[entries + 1]);

    std::vector<char *> old_envp = envp;
    std::vector<std::string> old_texts;
    for (std::size_t i = 0; i < entries; ++i) {
        old_texts.emplace_back(envp[i]);
    }
    const char *const old_name = name;
    const char *const old_short = short_name;
    const std::string name_text = name != nullptr ? name : "";
    const std::string short_text = short_name != nullptr ? short_name : "";
    const bool short_in_name = name != nullptr && short_name != nullptr &&
                               address(short_name) >= address(name) &&
                               address(short_name) <= address(name) + std::strlen(name);
    const std::vector<char> stack_before = stack;

    EnvironmentMove move;
    FUZZ_CHECK(note_environment_strings(envp.data(), area, move));
    const std::size_t name_bytes = program_name_bytes_to_move(name, short_name, area);
    const std::size_t total = move.bytes + name_bytes;
    char *const block = static_cast<char *>(std::malloc(total == 0 ? 1 : total));
    if (too_small && move.bytes > 0) {
        FUZZ_CHECK(copy_environment_strings(move, block, move.bytes - 1) == nullptr);
        FUZZ_CHECK(envp == old_envp && stack == stack_before);
        std::free(block);
        return 0;
    }
    char *const after_env = copy_environment_strings(move, block, move.bytes);
    FUZZ_CHECK(after_env == block + move.bytes);
    char *const after_name = move_program_name(&name, &short_name, area, after_env);
    FUZZ_CHECK(after_name == block + total);
    if (unset >= 1 && unset <= entries) {
        const auto gone = static_cast<std::ptrdiff_t>(unset - 1);
        envp.erase(envp.begin() + gone);
        old_envp.erase(old_envp.begin() + gone);
        old_texts.erase(old_texts.begin() + gone);
    }
    point_environment_at_copies(envp.data(), move);
    const std::size_t left = old_texts.size();

    FUZZ_CHECK(stack == stack_before);
    for (std::size_t i = 0; i < left; ++i) {
        FUZZ_CHECK(old_texts[i] == envp[i]);
        FUZZ_CHECK(!reaches_into(area, envp[i]));
        FUZZ_CHECK(reaches_into(area, old_envp[i]) || envp[i] == old_envp[i]);
    }
    FUZZ_CHECK(envp[left] == nullptr);
    FUZZ_CHECK((name == nullptr) == (old_name == nullptr));
    FUZZ_CHECK((short_name == nullptr) == (old_short == nullptr));
    if (name != nullptr) {
        FUZZ_CHECK(name_text == name && !reaches_into(area, name));
        FUZZ_CHECK(reaches_into(area, old_name) || name == old_name);
    }
    if (short_name != nullptr) {
        FUZZ_CHECK(short_text == short_name && !reaches_into(area, short_name));
        FUZZ_CHECK(reaches_into(area, old_short) || short_name == old_short ||
                   (short_in_name && reaches_into(area, old_name)));
    }
    if (short_in_name) {
        FUZZ_CHECK(short_name == name + (old_short - old_name));
    }
    std::free(block);
    return 0;
}
