/*
 * my_getopt.h - the daemon's command-line parser: single-letter options in the
 * getopt manner plus long options (--name, --name=value, unique prefixes).
 * The command line is never reordered; scanning stops at the first element
 * that is not an option.  The daemon's own: it is neither in libquelm.a nor
 * installed.  C++ only; the parser state lives in namespace quelm so that it
 * can never interpose the C library's optarg/optind/opterr.
 */
#ifndef WARDEN_MY_GETOPT_H
#define WARDEN_MY_GETOPT_H

#ifdef __cplusplus

namespace quelm {

/* One row of a long-option table; the row whose name is null ends the table. */
struct LongOption_t {
    const char *name; /* long name without the leading "--"; null ends the table */
    int argKind;      /* 2 argument required, 3 argument optional, other: none */
    int *flag;        /* not null: value is stored here and 0 returned */
    int value;        /* value stored through flag, or returned when flag is null */
};

/* The letters the warden daemon accepts; its long options live in its own table. */
inline constexpr const char *kWardenOptString = "fvhn:s:w:p:";

/* Parser state shared by every call; set optind to 0 to start on a new command line. */
extern char *optarg;   /* argument of the option just returned, null when none */
extern int optind;     /* next argv element to look at; 0 until parsing starts */
extern int opterr;     /* nonzero: diagnostics are printed to standard error */
extern char *nextchar; /* scan position in the current element; null/empty: fetch next */

/*
 * Returns the next option of argv: its letter, 0 for a long option whose row
 * has a flag pointer (the row's value is stored there), the row's value for
 * one without, '?' for every error (with a diagnostic naming argv[0] when
 * opterr is set) and -1 once no option is left, with optind indexing the first
 * element not consumed.  longopts and longindex may be null.  Never exits.
 */
int my_getopt(int argc, char **argv, const char *optstring,
              const LongOption_t *longopts, int *longindex) noexcept;

} // namespace quelm

#endif /* __cplusplus */

#endif /* WARDEN_MY_GETOPT_H */
