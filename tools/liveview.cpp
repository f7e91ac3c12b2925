/*
 * liveview.cpp - the live table on a terminal, drawn with curses: a summary
 * line, the headings, the rows, a totals line, and a last line for keys,
 * the filter being typed, or why the connection is down.  curses sends only
 * what changed, so the whole screen is redrawn at every change.
 */
#include "liveview.h"

#include "connection.h"
#include "rescue.h"
#include "table.h"

#include <curses.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <clocale>
#include <ctime>
#include <string>
#include <vector>

namespace wtop {

namespace {

constexpr double kPollEvery = 1.0;      /* change stream once a second                */
constexpr double kFullReadEvery = 10.0; /* whole store: a safety net for ends a full   */
                                        /* store dropped before this viewer read them */
constexpr double kReconnectEvery = 2.0; /* after the connection was lost              */
constexpr int kKeyWaitMs = 100;         /* longest wait for a key press               */

/* The live table on the terminal: reads the change stream once a second and
 * the whole store every ten, keeps drawing while the daemon is away, and
 * reconnects when it comes back. */
class LiveView {
public:
    explicit LiveView(const Options &opt)
        : conn_(opt.host, opt.answerWait), table_(kLinger), filter_(opt.filter), reverse_(opt.reverse)
    {
        const auto cols = LiveColumns();
        for (size_t i = 0; i < cols.size(); ++i) {
            if (cols[i] == opt.sort)
                sortIndex_ = i;
        }
    }

    /* Connects and reads the store before taking the terminal, so that an
     * unreachable daemon is reported plainly; then draws until q or a stop
     * signal.  The exit status. */
    int Run()
    {
        std::string err;
        if (!conn_.Open(&err) || !FullRead(Monotonic(), &err)) {
            Complain(err);
            return kExitError;
        }
        std::setlocale(LC_ALL, "");
        struct termios shellTty;
        const bool haveTty = tcgetattr(STDIN_FILENO, &shellTty) == 0;
        if (initscr() == nullptr) {
            Complain("cannot use the terminal");
            return kExitError;
        }
        screenTaken_ = true;
        cbreak();
        noecho();
        keypad(stdscr, TRUE);
        (void)curs_set(0);
        set_escdelay(25);
        timeout(kKeyWaitMs);
        if (haveTty)
            ArmRescue(shellTty);
        CatchStopSignals();

        const double start = Monotonic();
        nextPoll_ = start + kPollEvery;
        nextFull_ = start + kFullReadEvery;
        Draw();
        while (StopSignal() == 0 && !quit_) {
            const int ch = getch();
            if (ch != ERR)
                Key(ch);
            const double now = Monotonic();
            if (now >= nextPoll_) {
                Poll(now);
                nextPoll_ = now + kPollEvery;
                Draw();
            } else if (ch != ERR) {
                Draw();
            }
        }
        GiveScreenBack();
        return kExitOk;
    }

    /* Ends curses if it holds the terminal: after the loop, or when an
     * exception leaves it. */
    void GiveScreenBack()
    {
        if (!screenTaken_)
            return;
        endwin();
        DisarmRescue();
        screenTaken_ = false;
    }

private:
    /* Reads the whole store into the table; false with *err on failure. */
    bool FullRead(double now, std::string *err)
    {
        table_.BeginFullRead();
        const time_t wall = time(nullptr);
        if (!conn_.Stream(1, [&](const MonData_t &rec) { table_.Apply(rec, now, wall); }, err)) {
            table_.CancelFullRead();
            return false;
        }
        table_.EndFullRead(now);
        return true;
    }

    /* One reading: a reconnect when the connection is down, a full read
     * when one is due, else the change stream.  A failure goes to the last
     * line and closes the connection for the next reconnect. */
    void Poll(double now)
    {
        std::string err;
        if (!conn_.IsOpen()) {
            if (now < nextReconnect_)
                return;
            if (conn_.Open(&err) && FullRead(now, &err)) {
                message_.clear();
                nextFull_ = now + kFullReadEvery;
            } else {
                message_ = err + "; retrying";
                nextReconnect_ = now + kReconnectEvery;
            }
        } else if (now >= nextFull_) {
            nextFull_ = now + kFullReadEvery;
            if (!FullRead(now, &err)) {
                message_ = err + "; retrying";
                nextReconnect_ = now + kReconnectEvery;
            }
        } else {
            const time_t wall = time(nullptr);
            if (!conn_.Stream(0, [&](const MonData_t &rec) { table_.Apply(rec, now, wall); }, &err)) {
                message_ = err + "; retrying";
                nextReconnect_ = now + kReconnectEvery;
            }
        }
        table_.Tick(now);
    }

    /* Acts on one key outside the filter prompt. */
    void Key(int ch)
    {
        const size_t ncols = LiveColumns().size();
        if (editing_) {
            EditKey(ch);
            return;
        }
        const int page = std::max(1, LINES - 4);
        switch (ch) {
        case 'q':
        case 'Q':
            quit_ = true;
            break;
        case 's':
            sortIndex_ = (sortIndex_ + 1) % ncols;
            break;
        case 'S':
            sortIndex_ = (sortIndex_ + ncols - 1) % ncols;
            break;
        case 'r':
            reverse_ = !reverse_;
            break;
        case '/':
            editing_ = true;
            savedFilter_ = filter_;
            break;
        case KEY_UP:
        case 'k':
            scroll_ = scroll_ > 0 ? scroll_ - 1 : 0;
            break;
        case KEY_DOWN:
        case 'j':
            ++scroll_;
            break;
        case KEY_PPAGE:
            scroll_ = scroll_ > page ? scroll_ - page : 0;
            break;
        case KEY_NPAGE:
            scroll_ += page;
            break;
        case KEY_HOME:
            scroll_ = 0;
            break;
        case KEY_END:
            scroll_ = 1 << 30;
            break;
        default:
            break;
        }
    }

    /* Keys while the filter is typed: it applies as it is typed; Enter
     * keeps it, Escape puts the previous one back. */
    void EditKey(int ch)
    {
        if (ch == '\n' || ch == '\r' || ch == KEY_ENTER) {
            editing_ = false;
        } else if (ch == 27) {
            filter_ = savedFilter_;
            editing_ = false;
        } else if (ch == KEY_BACKSPACE || ch == 127 || ch == 8) {
            while (!filter_.empty() && (static_cast<unsigned char>(filter_.back()) & 0xc0) == 0x80)
                filter_.pop_back();
            if (!filter_.empty())
                filter_.pop_back();
        } else if (ch == 21) { /* ^U */
            filter_.clear();
        } else if (ch >= 0x20 && ch <= 0xff && ch != 0x7f) {
            filter_ += static_cast<char>(ch);
        }
        scroll_ = 0;
    }

    /* Writes line at row y, cut to width columns, with attr. */
    void Put(int y, const std::string &line, int width, attr_t attr = A_NORMAL)
    {
        if (width <= 0)
            return;
        attron(attr);
        mvaddstr(y, 0, FitWidth(line, static_cast<size_t>(width)).c_str());
        attroff(attr);
    }

    /* Redraws the whole screen: summary, headings, rows, last line.
     * curses sends only what changed. */
    void Draw()
    {
        erase();
        const auto columns = LiveColumns();
        const Column sort = columns[sortIndex_];
        const CellStyle style{time(nullptr), false};
        const auto rows = table_.View(sort, reverse_, filter_, style);
        auto cells = Cells(rows, columns, style);
        /* The totals line is measured with the rows, so that it lines up. */
        cells.push_back(TotalsCells(Sum(rows), columns, style));
        const auto widths = ColumnWidths(cells, columns, true);
        const std::vector<std::string> totals = std::move(cells.back());
        cells.pop_back();

        std::string summary = "warden-top  " + conn_.Where() + "  " + Count(table_.Size(), "session") + ", " +
                              std::to_string(table_.OpenCount()) + " open, " + std::to_string(rows.size()) +
                              " shown  sort: " + Info(sort).sortName + (reverse_ ? " (descending)" : "");
        if (!filter_.empty())
            summary += "  filter: " + Printable(filter_, true);
        summary += "  " + ClockText(static_cast<int32_t>(style.wallNow), false);
        Put(0, summary, COLS);

        /* The heading line in reverse video, the sort column's heading bold. */
        std::string heading = FormatLine(Headings(columns), columns, widths);
        heading.resize(std::max<size_t>(heading.size(), static_cast<size_t>(std::max(COLS, 0))), ' ');
        Put(1, heading, COLS, A_REVERSE);
        int x = 0;
        for (size_t i = 0; i < sortIndex_; ++i)
            x += static_cast<int>(widths[i]) + 2;
        if (x < COLS)
            mvchgat(1, x, static_cast<int>(widths[sortIndex_]), A_REVERSE | A_BOLD | A_UNDERLINE, 0, nullptr);

        const int body = std::max(0, LINES - 4);
        const size_t maxScroll = rows.size() > static_cast<size_t>(body) ? rows.size() - static_cast<size_t>(body) : 0;
        scroll_ = std::min(scroll_, static_cast<int>(maxScroll));
        for (int i = 0; i < body && static_cast<size_t>(scroll_ + i) < rows.size(); ++i) {
            const size_t r = static_cast<size_t>(scroll_ + i);
            Put(2 + i, FormatLine(cells[r], columns, widths), COLS, rows[r]->ended ? A_DIM : A_NORMAL);
        }

        Put(LINES - 2, FormatLine(totals, columns, widths), COLS, A_BOLD);

        /* The last cell of the screen is left alone: writing it scrolls. */
        if (editing_)
            Put(LINES - 1, "/" + Printable(filter_, true), COLS - 1, A_BOLD);
        else if (!message_.empty())
            Put(LINES - 1, message_, COLS - 1, A_BOLD);
        else
            Put(LINES - 1, "q quit  s/S sort  r reverse  / filter  arrows scroll", COLS - 1);
        refresh();
    }

    Connection conn_;
    SessionTable table_;
    std::string filter_;
    std::string savedFilter_;
    std::string message_;      /* connection trouble, shown on the last line */
    size_t sortIndex_ = 0;
    bool reverse_;
    bool editing_ = false;
    bool quit_ = false;
    int scroll_ = 0;
    bool screenTaken_ = false; /* curses owns the terminal: endwin() before leaving */
    double nextPoll_ = 0;
    double nextFull_ = 0;
    double nextReconnect_ = 0;
};

}  // namespace

int RunLive(const Options &opt)
{
    LiveView view(opt);
    try {
        return view.Run();
    } catch (...) {
        view.GiveScreenBack();
        throw;
    }
}

}  // namespace wtop
