/*
 * my_getopt.cpp - long and short option parsing for the warden daemon.
 * argv is only read, never permuted: the scan ends at the first non-option.
 * All state lives in the four variables of namespace quelm; optind 0 means
 * "not started", so resetting it to 0 restarts on a fresh command line.
 */
#include "my_getopt.h"

#include <cstdio>
#include <cstring>

namespace quelm {

char *optarg = nullptr;
int optind = 0;
int opterr = 1;
char *nextchar = nullptr;

namespace {

/* Moves the scan position to the end of the current element, so that the
 * next call fetches a new one. */
void SkipRestOfElement() noexcept
{
    nextchar += std::strlen(nextchar);
}

/*
 * Handles an element that starts with "--" (nextchar is just past the dashes).
 * Returns what my_getopt returns for it; optind always ends past the element
 * (and past a separate argument that was taken).
 */
int ParseLong(int argc, char **argv, const LongOption_t *longopts, int *longindex) noexcept
{
    char *nameEnd = nextchar;
    while (*nameEnd != '\0' && *nameEnd != '=')
        ++nameEnd;
    const size_t nameLen = static_cast<size_t>(nameEnd - nextchar);

    // An exact match wins outright; otherwise a prefix is accepted only when
    // no second row shares it.
    const LongOption_t *found = nullptr;
    int foundIndex = -1;
    bool exact = false;
    bool ambiguous = false;
    for (int i = 0; longopts[i].name != nullptr; ++i) {
        if (std::strncmp(longopts[i].name, nextchar, nameLen) != 0)
            continue;
        if (std::strlen(longopts[i].name) == nameLen) {
            found = &longopts[i];
            foundIndex = i;
            exact = true;
            break;
        }
        if (found == nullptr) {
            found = &longopts[i];
            foundIndex = i;
        } else {
            ambiguous = true;
        }
    }

    if (ambiguous && !exact) {
        if (opterr)
            std::fprintf(stderr, "%s: option `%s' is ambiguous\n", argv[0], argv[optind]);
        SkipRestOfElement();
        ++optind;
        return '?';
    }

    if (found == nullptr) {
        if (opterr)
            std::fprintf(stderr, "%s: unrecognized option `--%s'\n", argv[0], nextchar);
        SkipRestOfElement();
        ++optind;
        return '?';
    }

    ++optind;
    if (*nameEnd == '=') {
        if (found->argKind == 2 || found->argKind == 3) {
            optarg = nameEnd + 1;
        } else {
            if (opterr)
                std::fprintf(stderr, "%s: option `--%s' doesn't allow an argument\n",
                             argv[0], found->name);
            SkipRestOfElement();
            return '?';
        }
    } else if (found->argKind == 2) {
        if (optind < argc) {
            optarg = argv[optind++];
        } else {
            if (opterr)
                std::fprintf(stderr, "%s: option `%s' requires an argument\n",
                             argv[0], argv[optind - 1]);
            SkipRestOfElement();
            return '?';
        }
    } else if (found->argKind == 3) {
        // An optional argument may also stand on its own, as long as it
        // cannot be mistaken for the next option.
        if (optind < argc && argv[optind][0] != '-')
            optarg = argv[optind++];
    }

    SkipRestOfElement();
    if (longindex != nullptr)
        *longindex = foundIndex;
    if (found->flag != nullptr) {
        *found->flag = found->value;
        return 0;
    }
    return found->value;
}

/*
 * Handles the letter at nextchar.  Returns the letter, or '?' for an unknown
 * letter or a missing required argument; a letter of a group that is not the
 * last leaves nextchar on the next one.
 */
int ParseLetter(int argc, char **argv, const char *optstring) noexcept
{
    const char c = *nextchar++;
    if (*nextchar == '\0')
        ++optind;

    const char *optChar = std::strchr(optstring, c);
    if (optChar == nullptr || c == ':') {
        if (opterr) {
            const unsigned char code = static_cast<unsigned char>(c);
            if (code >= 32 && code <= 126) {
                std::fprintf(stderr, "%s: unrecognized option `-%c'\n", argv[0], c);
            } else {
                // The code is shown as a signed 8-bit value, so bytes from 0x80
                // up come out as the octal of a negative int (037777777600).
                const int asSigned = static_cast<signed char>(c);
                std::fprintf(stderr, "%s: unrecognized option, character code 0%o\n",
                             argv[0], static_cast<unsigned int>(asSigned));
            }
        }
        return '?';
    }

    if (optChar[1] != ':')
        return c;

    int result = c;
    if (optChar[2] == ':') {
        if (*nextchar != '\0') {
            optarg = nextchar;
            ++optind;
        }
    } else if (*nextchar != '\0') {
        optarg = nextchar;
        ++optind;
    } else if (optind >= argc) {
        if (opterr)
            std::fprintf(stderr, "%s: option `-%c' requires an argument\n", argv[0], c);
        result = '?';
    } else {
        optarg = argv[optind++];
    }
    nextchar = nullptr;
    return result;
}

} // namespace

int my_getopt(int argc, char **argv, const char *optstring,
              const LongOption_t *longopts, int *longindex) noexcept
{
    optarg = nullptr;

    if (optind == 0) {
        optind = 1;
        nextchar = nullptr;
    }
    // The ordering prefix means nothing here (argv is never permuted), and it
    // must not turn into an option letter on any call, not just the first.
    if (optstring[0] == '-' || optstring[0] == '+')
        ++optstring;

    if (nextchar == nullptr || *nextchar == '\0') {
        // ">=" rather than "==": a caller that moved optind past the end must
        // not make the parser read beyond argv.
        if (optind >= argc)
            return -1;
        char *element = argv[optind];
        if (std::strcmp(element, "--") == 0) {
            ++optind;
            return -1;
        }
        if (element[0] != '-' || element[1] == '\0')
            return -1;
        nextchar = element + 1;
        if (longopts != nullptr && element[1] == '-')
            nextchar = element + 2;
    }

    // Only a scan position right after the leading "--" is a long option; a
    // group of letters never turns into one halfway through.
    if (longopts != nullptr && optind < argc && argv[optind][0] == '-'
        && argv[optind][1] == '-' && nextchar == argv[optind] + 2)
        return ParseLong(argc, argv, longopts, longindex);
    return ParseLetter(argc, argv, optstring);
}

} // namespace quelm
