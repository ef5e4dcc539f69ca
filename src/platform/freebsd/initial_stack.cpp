#include "platform/initial_stack.h"

#include <sys/types.h>
#include <sys/auxv.h>
#include <sys/exec.h>
#include <sys/sysctl.h>

#include <cstddef>
#include <optional>

#include "platform/freebsd/ps_strings_record.h"

// The portable copy of the kernel's record must be the record.
static_assert(sizeof(PsStringsShape) == sizeof(struct ps_strings));
static_assert(offsetof(PsStringsShape, ps_argvstr) == offsetof(struct ps_strings, ps_argvstr));
static_assert(offsetof(PsStringsShape, ps_nargvstr) == offsetof(struct ps_strings, ps_nargvstr));
static_assert(offsetof(PsStringsShape, ps_envstr) == offsetof(struct ps_strings, ps_envstr));
static_assert(offsetof(PsStringsShape, ps_nenvstr) == offsetof(struct ps_strings, ps_nenvstr));

// The kernel maps the new process's stack as the RLIMIT_STACK bytes below
// AT_USRSTACKBASE and lays out the strings, their vectors and the
// ps_strings record at its top; both values come with the auxiliary vector.

namespace {

// The record's address: the auxiliary vector has it since FreeBSD 13; the
// sysctl answers for the calling process where the vector lacks it.
const void *ps_strings_address() {
    void *record = nullptr;
    if (elf_aux_info(AT_PS_STRINGS, &record, sizeof record) == 0 && record != nullptr) {
        return record;
    }
    unsigned long address = 0;
    std::size_t size = sizeof address;
    if (sysctlbyname("kern.ps_strings", &address, &size, nullptr, 0) == 0 &&
        size == sizeof address) {
        return reinterpret_cast<const void *>(address);
    }
    return nullptr;
}

}  // namespace

std::optional<InitialStack> znv_platform_initial_stack() {
    unsigned long base = 0;
    unsigned long limit = 0;
    if (elf_aux_info(AT_USRSTACKBASE, &base, sizeof base) != 0 ||
        elf_aux_info(AT_USRSTACKLIM, &limit, sizeof limit) != 0 || base == 0) {
        return std::nullopt;
    }
    InitialStack stack{reinterpret_cast<const char *>(limit < base ? base - limit : 0),
                       reinterpret_cast<const char *>(base), nullptr};
    stack.environment = environment_start_from_record(ps_strings_address(), stack);
    return stack;
}
