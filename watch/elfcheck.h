/*
 * elfcheck.h - what a program's ELF file tells about watching it: whether
 * it is linked dynamically (a preloaded library can reach its calls) and
 * which of the interposed calls it imports, read from its dynamic symbol
 * table.
 */
#ifndef QUELM_WATCH_ELFCHECK_H
#define QUELM_WATCH_ELFCHECK_H

#include <string>
#include <vector>

namespace watch {

struct ElfReport {
    bool dynamic = false;            // has a program interpreter: ld.so runs it
    bool setuid = false;             // set-user/group-ID: the loader ignores LD_PRELOAD
    std::vector<std::string> calls;  // interposed calls it imports, sorted
};

/* The calls libquelm-watch.so interposes, null-terminated. */
extern const char *const kInterposedCalls[];

/* Reads the ELF file at path into *out: true, or false with a reason in
 * *error (not a file, not a 64-bit little-endian ELF, truncated). */
bool ElfCheck(const std::string &path, ElfReport *out, std::string *error);

}  // namespace watch

#endif  // QUELM_WATCH_ELFCHECK_H
