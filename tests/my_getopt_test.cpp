// Tests of the daemon's option parser: the daemon's own table and letters,
// prefix matching of long names, every diagnostic text byte for byte, and
// where optind is left when the scan ends.
#include "my_getopt.h"

#include <gtest/gtest.h>

#include <initializer_list>
#include <string>
#include <vector>

namespace {

using quelm::LongOption_t;

// A mutable, null-terminated argv built from literals; argv[0] is "warden".
class Args {
public:
    Args(std::initializer_list<const char *> items)
    {
        store_.emplace_back("warden");
        for (const char *s : items)
            store_.emplace_back(s);
        for (std::string &s : store_)
            ptrs_.push_back(s.data());
        ptrs_.push_back(nullptr);
    }
    int argc() const { return static_cast<int>(store_.size()); }
    char **argv() { return ptrs_.data(); }

private:
    std::vector<std::string> store_;
    std::vector<char *> ptrs_;
};

class MyGetopt : public testing::Test {
protected:
    void SetUp() override
    {
        quelm::optind = 0;
        quelm::opterr = 1;
    }

    // Calls the parser until it returns -1 and describes each call: the letter
    // (or number), "(arg)" when optarg was set, and "end@N" with the final optind.
    std::string Trace(Args &args, const char *optstring, const LongOption_t *longopts)
    {
        std::string out;
        for (int calls = 0; calls < 32; ++calls) {
            const int ret = quelm::my_getopt(args.argc(), args.argv(), optstring, longopts,
                                             nullptr);
            if (!out.empty())
                out += ' ';
            if (ret == -1)
                return out + "end@" + std::to_string(quelm::optind);
            if (ret > 32 && ret < 127)
                out += static_cast<char>(ret);
            else
                out += std::to_string(ret);
            if (quelm::optarg != nullptr)
                out += std::string("(") + quelm::optarg + ")";
        }
        return out + " (no end)";
    }

    // Same, with stderr captured into *err.
    std::string TraceCapturing(Args &args, const char *optstring,
                               const LongOption_t *longopts, std::string *err)
    {
        testing::internal::CaptureStderr();
        std::string trace = Trace(args, optstring, longopts);
        *err = testing::internal::GetCapturedStderr();
        return trace;
    }

    int isDaemon = 1;
    int doVersion = 0;
    int doHelp = 0;
    const LongOption_t options[4] = {
        {"foreground", 1, &isDaemon, 0},
        {"version", 1, &doVersion, 1},
        {"help", 1, &doHelp, 1},
        {nullptr, 0, nullptr, 0},
    };
};

TEST_F(MyGetopt, EveryPrefixOfALongNameSelectsItsRow)
{
    for (const char *element : {"--h", "--he", "--help"}) {
        SCOPED_TRACE(element);
        quelm::optind = 0;
        doHelp = 0;
        Args args{element, "rest"};
        int index = -1;
        EXPECT_EQ(quelm::my_getopt(args.argc(), args.argv(), quelm::kWardenOptString, options,
                                   &index),
                  0);
        EXPECT_EQ(doHelp, 1);
        EXPECT_EQ(index, 2);
        EXPECT_EQ(quelm::optarg, nullptr);
        EXPECT_EQ(quelm::my_getopt(args.argc(), args.argv(), quelm::kWardenOptString, options,
                                   &index),
                  -1);
        EXPECT_EQ(quelm::optind, 2);
    }

    quelm::optind = 0;
    Args args{"--fore", "--v"};
    EXPECT_EQ(Trace(args, quelm::kWardenOptString, options), "0 0 end@3");
    EXPECT_EQ(isDaemon, 0);
    EXPECT_EQ(doVersion, 1);
}

TEST_F(MyGetopt, LongOptionErrorsNameTheOption)
{
    std::string err;
    Args withValue{"--help=x", "-f"};
    EXPECT_EQ(TraceCapturing(withValue, quelm::kWardenOptString, options, &err), "? f end@3");
    EXPECT_EQ(err, "warden: option `--help' doesn't allow an argument\n");
    EXPECT_EQ(doHelp, 0);

    quelm::optind = 0;
    Args abbreviated{"--he=x"};
    EXPECT_EQ(TraceCapturing(abbreviated, quelm::kWardenOptString, options, &err), "? end@2");
    EXPECT_EQ(err, "warden: option `--help' doesn't allow an argument\n");

    quelm::optind = 0;
    Args unknown{"--dbname=x", "-v"};
    EXPECT_EQ(TraceCapturing(unknown, quelm::kWardenOptString, options, &err), "? v end@3");
    EXPECT_EQ(err, "warden: unrecognized option `--dbname=x'\n");
}

TEST_F(MyGetopt, LettersGroupAndTakeArguments)
{
    Args grouped{"-fv", "file"};
    EXPECT_EQ(quelm::my_getopt(grouped.argc(), grouped.argv(), quelm::kWardenOptString,
                               options, nullptr),
              'f');
    EXPECT_EQ(quelm::optind, 1);
    EXPECT_EQ(quelm::my_getopt(grouped.argc(), grouped.argv(), quelm::kWardenOptString,
                               options, nullptr),
              'v');
    EXPECT_EQ(quelm::optind, 2);

    quelm::optind = 0;
    Args attached{"-nfoo"};
    EXPECT_EQ(quelm::my_getopt(attached.argc(), attached.argv(), quelm::kWardenOptString,
                               options, nullptr),
              'n');
    EXPECT_EQ(quelm::optarg, attached.argv()[1] + 2);
    EXPECT_EQ(quelm::optind, 2);

    // A required argument is the next element even when it looks like an option.
    quelm::optind = 0;
    Args separate{"-n", "foo", "-s", "-f"};
    EXPECT_EQ(Trace(separate, quelm::kWardenOptString, options), "n(foo) s(-f) end@5");

    quelm::optind = 0;
    Args lastOfGroup{"-fvw", "db", "-pxyz"};
    EXPECT_EQ(Trace(lastOfGroup, quelm::kWardenOptString, options), "f v w(db) p(xyz) end@4");
}

TEST_F(MyGetopt, LetterErrorsPrintTheirMessages)
{
    std::string err;
    Args missing{"-f", "-n"};
    EXPECT_EQ(TraceCapturing(missing, quelm::kWardenOptString, options, &err), "f ? end@3");
    EXPECT_EQ(err, "warden: option `-n' requires an argument\n");

    // The scan goes on inside a group after an unknown letter.
    quelm::optind = 0;
    Args unknown{"-xf"};
    EXPECT_EQ(TraceCapturing(unknown, quelm::kWardenOptString, options, &err), "? f end@2");
    EXPECT_EQ(err, "warden: unrecognized option `-x'\n");

    // ':' marks arguments in the option string; it is never an option itself.
    quelm::optind = 0;
    Args colon{"-:"};
    EXPECT_EQ(TraceCapturing(colon, quelm::kWardenOptString, options, &err), "? end@2");
    EXPECT_EQ(err, "warden: unrecognized option `-:'\n");

    quelm::optind = 0;
    Args control{"-\x01"};
    EXPECT_EQ(TraceCapturing(control, quelm::kWardenOptString, options, &err), "? end@2");
    EXPECT_EQ(err, "warden: unrecognized option, character code 01\n");

    // Bytes from 0x80 up are shown as the octal of a negative 32-bit int.
    quelm::optind = 0;
    Args high{"-\x80\xe9"};
    EXPECT_EQ(TraceCapturing(high, quelm::kWardenOptString, options, &err), "? ? end@2");
    EXPECT_EQ(err,
              "warden: unrecognized option, character code 037777777600\n"
              "warden: unrecognized option, character code 037777777751\n");
}

TEST_F(MyGetopt, ScanStopsAtFirstNonOption)
{
    Args loneDash{"-f", "-", "-v"};
    EXPECT_EQ(Trace(loneDash, quelm::kWardenOptString, options), "f end@2");

    quelm::optind = 0;
    Args word{"-f", "file", "-v"};
    EXPECT_EQ(Trace(word, quelm::kWardenOptString, options), "f end@2");
    EXPECT_STREQ(word.argv()[3], "-v");

    quelm::optind = 0;
    Args doubleDash{"-f", "--", "-v"};
    EXPECT_EQ(Trace(doubleDash, quelm::kWardenOptString, options), "f end@3");

    quelm::optind = 0;
    Args nothing{};
    EXPECT_EQ(Trace(nothing, quelm::kWardenOptString, options), "end@1");
}

TEST_F(MyGetopt, OptErrZeroIsSilentButReturnsTheSame)
{
    auto errorLine = [] {
        return Args{"-x", "-\x01", "--help=x", "--dbname", "--f", "-n"};
    };
    Args loud = errorLine();
    std::string loudErr;
    const std::string loudTrace = TraceCapturing(loud, quelm::kWardenOptString, options, &loudErr);
    EXPECT_EQ(loudTrace, "? ? ? ? 0 ? end@7");
    EXPECT_FALSE(loudErr.empty());

    quelm::optind = 0;
    quelm::opterr = 0;
    Args quiet = errorLine();
    std::string quietErr;
    EXPECT_EQ(TraceCapturing(quiet, quelm::kWardenOptString, options, &quietErr), loudTrace);
    EXPECT_EQ(quietErr, "");
}

TEST_F(MyGetopt, SharedPrefixIsAmbiguousUnlessExact)
{
    const LongOption_t table[] = {
        {"verbose", 1, nullptr, 'V'},
        {"version", 1, nullptr, 'R'},
        {"database", 2, nullptr, 'D'},
        {"datafile", 1, nullptr, 'F'},
        {"data", 1, nullptr, 'A'},
        {nullptr, 0, nullptr, 0},
    };
    std::string err;
    Args ambiguous{"--ver", "--vers", "--verb"};
    EXPECT_EQ(TraceCapturing(ambiguous, "", table, &err), "? R V end@4");
    EXPECT_EQ(err, "warden: option `--ver' is ambiguous\n");

    quelm::optind = 0;
    Args withValue{"--dat=1"};
    EXPECT_EQ(TraceCapturing(withValue, "", table, &err), "? end@2");
    EXPECT_EQ(err, "warden: option `--dat=1' is ambiguous\n");

    // An exact name wins even though two longer rows before it share it.
    quelm::optind = 0;
    Args exact{"--data", "--datab", "x"};
    int index = -1;
    EXPECT_EQ(quelm::my_getopt(exact.argc(), exact.argv(), "", table, &index), 'A');
    EXPECT_EQ(index, 4);
    EXPECT_EQ(quelm::my_getopt(exact.argc(), exact.argv(), "", table, &index), 'D');
    EXPECT_EQ(index, 2);
    EXPECT_STREQ(quelm::optarg, "x");
}

TEST_F(MyGetopt, LongArgumentsRequiredAndOptional)
{
    const LongOption_t table[] = {
        {"name", 2, nullptr, 'N'},
        {"level", 3, nullptr, 'L'},
        {nullptr, 0, nullptr, 0},
    };
    Args required{"--name=a=b", "--name", "-x", "--na="};
    EXPECT_EQ(Trace(required, "f", table), "N(a=b) N(-x) N() end@5");

    std::string err;
    quelm::optind = 0;
    Args missing{"--na"};
    EXPECT_EQ(TraceCapturing(missing, "f", table, &err), "? end@2");
    EXPECT_EQ(err, "warden: option `--na' requires an argument\n");

    // An optional argument stands alone only when it cannot be an option.
    quelm::optind = 0;
    Args optional{"--level=5", "--level", "7", "--lev", "-f", "--level"};
    EXPECT_EQ(Trace(optional, "f", table), "L(5) L(7) L f L end@7");
}

TEST_F(MyGetopt, OptionalLetterArgumentMustBeAttached)
{
    Args args{"-afoo", "-a", "bar"};
    EXPECT_EQ(Trace(args, "a::f", nullptr), "a(foo) a end@3");
}

TEST_F(MyGetopt, WithoutTableDoubleDashIsLetters)
{
    std::string err;
    Args args{"--f"};
    EXPECT_EQ(TraceCapturing(args, "f", nullptr, &err), "? f end@2");
    EXPECT_EQ(err, "warden: unrecognized option `--'\n");
}

TEST_F(MyGetopt, OrderingPrefixIsNeverALetter)
{
    std::string err;
    Args args{"-f", "-+", "-f"};
    EXPECT_EQ(TraceCapturing(args, "+f", nullptr, &err), "f ? f end@4");
    EXPECT_EQ(err, "warden: unrecognized option `-+'\n");

    quelm::optind = 0;
    Args dash{"-+-f"};
    EXPECT_EQ(TraceCapturing(dash, "-f", nullptr, &err), "? ? f end@2");
    EXPECT_EQ(err, "warden: unrecognized option `-+'\nwarden: unrecognized option `--'\n");
}

TEST_F(MyGetopt, ResettingOptindStartsAFreshCommandLine)
{
    Args first{"-fv"};
    EXPECT_EQ(quelm::my_getopt(first.argc(), first.argv(), quelm::kWardenOptString, options,
                               nullptr),
              'f');
    // The half-scanned group of the first line must not leak into the second.
    quelm::optind = 0;
    Args second{"-h"};
    EXPECT_EQ(Trace(second, quelm::kWardenOptString, options), "h end@2");
}

} // namespace
