/*
 * elfcheck.cpp - reads a program's ELF headers and its dynamic symbol table
 * (bounds-checked against the file's size: the file is the user's, not
 * ours) to tell whether a preloaded library can watch it.
 */
#include "elfcheck.h"

#include <elf.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <set>

namespace watch {

const char *const kInterposedCalls[] = {
    "accept", "accept4", "read", "__read_chk", "recv", "__recv_chk", "recvfrom",
    "__recvfrom_chk", "recvmsg", "readv", "write", "send", "sendto", "sendmsg", "writev",
    "splice", "sendfile", "sendfile64", "connect", "shutdown", "close", "dup", "dup2",
    "dup3", "fcntl", "fcntl64", nullptr};

namespace {

bool ReadAll(const std::string &path, std::string *data, bool *setuid, std::string *error)
{
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat st;
    if (fd < 0 || fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        *error = fd < 0 ? strerror(errno) : "not a regular file";
        if (fd >= 0)
            close(fd);
        return false;
    }
    *setuid = (st.st_mode & (S_ISUID | S_ISGID)) != 0;
    data->resize(static_cast<size_t>(st.st_size));
    size_t got = 0;
    while (got < data->size()) {
        const ssize_t r = read(fd, &(*data)[got], data->size() - got);
        if (r <= 0)
            break;
        got += static_cast<size_t>(r);
    }
    close(fd);
    data->resize(got);
    return true;
}

/* The n-byte object at off, or null when it does not lie inside the file. */
template <class T>
const T *At(const std::string &d, uint64_t off, uint64_t n = 1)
{
    if (off > d.size() || n > (d.size() - off) / sizeof(T))
        return nullptr;
    return reinterpret_cast<const T *>(d.data() + off);
}

}  // namespace

bool ElfCheck(const std::string &path, ElfReport *out, std::string *error)
{
    std::string d;
    if (!ReadAll(path, &d, &out->setuid, error))
        return false;
    const auto *eh = At<Elf64_Ehdr>(d, 0);
    if (eh == nullptr || memcmp(eh->e_ident, ELFMAG, SELFMAG) != 0) {
        *error = "not an ELF file";
        return false;
    }
    if (eh->e_ident[EI_CLASS] != ELFCLASS64 || eh->e_ident[EI_DATA] != ELFDATA2LSB) {
        *error = "not a 64-bit little-endian ELF file";
        return false;
    }
    const auto *ph = At<Elf64_Phdr>(d, eh->e_phoff, eh->e_phnum);
    const auto *sh = At<Elf64_Shdr>(d, eh->e_shoff, eh->e_shnum);
    if (ph == nullptr || (eh->e_shnum != 0 && sh == nullptr)) {
        *error = "truncated ELF file";
        return false;
    }
    for (int i = 0; i < eh->e_phnum; ++i)
        if (ph[i].p_type == PT_INTERP)
            out->dynamic = true;
    std::set<std::string> wanted;
    for (const char *const *c = kInterposedCalls; *c != nullptr; ++c)
        wanted.insert(*c);
    std::set<std::string> found;
    for (int i = 0; i < eh->e_shnum; ++i) {
        if (sh[i].sh_type != SHT_DYNSYM || sh[i].sh_link >= eh->e_shnum)
            continue;
        const Elf64_Shdr &strs = sh[sh[i].sh_link];
        const uint64_t count = sh[i].sh_size / sizeof(Elf64_Sym);
        const auto *syms = At<Elf64_Sym>(d, sh[i].sh_offset, count);
        if (syms == nullptr || At<char>(d, strs.sh_offset, strs.sh_size) == nullptr) {
            *error = "truncated symbol table";
            return false;
        }
        for (uint64_t s = 0; s < count; ++s) {
            if (syms[s].st_shndx != SHN_UNDEF || syms[s].st_name >= strs.sh_size)
                continue;
            const char *name = d.data() + strs.sh_offset + syms[s].st_name;
            const std::string n(name, strnlen(name, strs.sh_size - syms[s].st_name));
            if (wanted.count(n) != 0)
                found.insert(n);
        }
    }
    out->calls.assign(found.begin(), found.end());
    return true;
}

}  // namespace watch
