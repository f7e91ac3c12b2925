/*
 * seam.h - the one shape of the library's fault-injection seams.
 *
 * A module whose tests must make a system call fail, or a limit come
 * sooner, keeps those calls and values in one table of its own, as SQLite's
 * Unix layer keeps its system calls (aSyscall): a struct of named entries
 * (function pointers or plain values), a constant holding the plain calls
 * and values, and one live instance that the module's code always goes
 * through and that starts as a copy of the constant:
 *
 *     struct FooSys_t { int (*open)(const char *, int, ...); int limit; };
 *     extern const FooSys_t kFooSysDefault;
 *     extern FooSys_t fooSys;
 *
 *     constexpr FooSys_t kFooSysDefault = {::open, 100};      // foo.cpp
 *     constinit FooSys_t fooSys = kFooSysDefault;
 *
 * (constexpr and constinit: the table holds its plain entries before any
 * static constructor of the program could call into the module.)
 *
 * A test changes entries through a SeamOverride, which puts the whole table
 * back as it found it when it goes out of scope (also when an assertion
 * returns early); `fooSys = kFooSysDefault` restores the plain entries.
 *
 *     quelm::SeamOverride<quelm::FooSys_t> sys(quelm::fooSys);
 *     sys->limit = 5;
 *
 * The tables are per process, inherited by forked children, and not
 * synchronised: a test sets entries before it starts the threads that use
 * them.  The product itself never writes them.  C++ only and not installed;
 * every table lives in namespace quelm, outside the archive's C names.
 */
#ifndef QUELM_SEAM_H
#define QUELM_SEAM_H

namespace quelm {

// Saves a seam table at construction and restores it at destruction.
template <class T>
class SeamOverride {
public:
    explicit SeamOverride(T &table) noexcept : table_(table), saved_(table) {}
    SeamOverride(const SeamOverride &) = delete;
    SeamOverride &operator=(const SeamOverride &) = delete;
    ~SeamOverride() { table_ = saved_; }
    T *operator->() noexcept { return &table_; }
    T &operator*() noexcept { return table_; }

private:
    T &table_;
    const T saved_;
};

}  // namespace quelm

#endif /* QUELM_SEAM_H */
