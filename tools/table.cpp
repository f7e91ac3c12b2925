/*
 * table.cpp - warden-top's session table: rows keyed by record key, their
 * rates and lifetimes, and the text of their cells.  Every cell text is made
 * printable here, so the drawing code never sees raw record bytes.
 */
#include "table.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <tuple>

namespace wtop {

namespace {

/* The proxy reports a running session's counters at most once every five
 * seconds; a rate is held until two such periods and a poll have passed
 * without movement. */
constexpr double kRateStale = 11.0;

constexpr std::array<Column, 14> kLive = {Column::Key,    Column::Client, Column::Destination, Column::Resolved,
                                          Column::User,   Column::Proxy,  Column::State,       Column::Age,
                                          Column::Up,     Column::UpRate, Column::Down,        Column::DownRate,
                                          Column::Last,   Column::Status};
constexpr std::array<Column, 12> kPlain = {Column::Key,   Column::Client, Column::Destination, Column::Resolved,
                                           Column::User,  Column::Proxy,  Column::State,       Column::Age,
                                           Column::Up,    Column::Down,   Column::Last,        Column::Status};

/* Seconds the session has lasted: up to its end once ended, else up to now;
 * -1 without a start time. */
long long AgeSeconds(const Row &row, time_t wallNow)
{
    const int32_t start = row.rec.startTime;
    if (start == 0)
        return -1;
    const int32_t end = row.rec.endTime;
    if (row.ended && end != 0 && end >= start)
        return static_cast<long long>(end) - start;
    return static_cast<long long>(wallNow) - start;
}

int32_t LastEvent(const Row &row)
{
    return std::max(row.rec.eventTime, row.rec.endTime);
}

int StateRank(const Row &row)
{
    return row.gone ? 2 : row.ended ? 1 : 0;
}

bool HasStatus(const MonData_t &rec)
{
    return rec.status != 0 || rec.statusText[0] != '\0';
}

std::string CountText(uint64_t n, bool exact)
{
    return exact ? std::to_string(n) : HumanBytes(static_cast<double>(n));
}

/* Bytes moved between two readings of a total.  A total read as 32 bits
 * wraps at 4 GiB, and a smaller reading below that is taken as one wrap; a
 * full 64-bit total only grows, so a smaller one larger than 32 bits means
 * the counter started over, and nothing is counted. */
uint64_t Moved(uint64_t now, uint64_t before)
{
    if (now >= before)
        return now - before;
    if (before <= UINT32_MAX)
        return now + (uint64_t{1} << 32) - before;
    return 0;
}

std::string RateText(const Row &row, double rate)
{
    return row.ended || rate < 0 ? "-" : HumanBytes(rate);
}

std::string Lower(std::string s)
{
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return std::tolower(c); });
    return s;
}

/* Starts row over from rec: a new session, or the first sight of one. */
void Restart(Row &row, const MonData_t &rec, double now)
{
    row.rec = rec;
    row.ended = row.gone = false;
    row.changedAt = now;
    row.sampleA = BytesUp(rec);
    row.sampleB = BytesDown(rec);
    row.sampleTime = rec.eventTime != 0 ? rec.eventTime : rec.startTime;
    row.rateA = row.rateB = -1;
    /* A session met in the middle: its average so far is the best guess. */
    const long long span = static_cast<long long>(rec.eventTime) - rec.startTime;
    if (rec.startTime != 0 && span >= 1 && (row.sampleA != 0 || row.sampleB != 0)) {
        row.rateA = static_cast<double>(row.sampleA) / static_cast<double>(span);
        row.rateB = static_cast<double>(row.sampleB) / static_cast<double>(span);
    }
}

/* True when rec, met under the key of row, belongs to a new session.  A
 * start bit alone is no news: a reconnected viewer is seeded with a start
 * for every open session.  A different start time is a new session under a
 * reused key, with or without its start bit (a viewer that was away may
 * have missed it); so is a fresh start, not ended, of a row that had ended.
 * Counting such a record as an update would take its small totals for a
 * wrap of the old ones. */
bool IsNewSession(const Row &row, const MonData_t &rec)
{
    if (rec.startTime != 0 && rec.startTime != row.rec.startTime)
        return true;
    const bool freshStart = (rec.flags & (MON_FLAG_START | MON_FLAG_END)) == MON_FLAG_START && rec.endTime == 0;
    return row.ended && freshStart;
}

/* Moves the rates when rec's totals differ from row's.  The rate spans the
 * proxy's event times, at least one second; a change within the same second
 * is folded into the next sample, however late or early it arrives here. */
void UpdateRates(Row &row, const MonData_t &rec, double now)
{
    const uint64_t up = BytesUp(rec), down = BytesDown(rec);
    if (up == BytesUp(row.rec) && down == BytesDown(row.rec))
        return;
    row.changedAt = now;
    const long long span = static_cast<long long>(rec.eventTime) - row.sampleTime;
    if (span < 1)
        return;
    row.rateA = static_cast<double>(Moved(up, row.sampleA)) / static_cast<double>(span);
    row.rateB = static_cast<double>(Moved(down, row.sampleB)) / static_cast<double>(span);
    row.sampleA = up;
    row.sampleB = down;
    row.sampleTime = rec.eventTime;
}

}  // namespace

std::span<const Column> LiveColumns()
{
    return kLive;
}

std::span<const Column> PlainColumns()
{
    return kPlain;
}

std::string CellText(const Row &row, Column c, const CellStyle &style)
{
    const MonData_t &rec = row.rec;
    switch (c) {
    case Column::Key:
        return KeyText(row.key);
    case Column::Client:
    case Column::Resolved:
        return AddrText(AddrOf(rec, c));
    case Column::Destination:
    case Column::User:
    case Column::Proxy: {
        const std::string text = TextOf(rec, c);
        return text.empty() ? "-" : Printable(text, !style.exact);
    }
    case Column::State:
        return row.gone ? "gone" : row.ended ? "ended" : "open";
    case Column::Age:
        return HumanAge(AgeSeconds(row, style.wallNow));
    case Column::Up:
        return CountText(BytesUp(rec), style.exact);
    case Column::Down:
        return CountText(BytesDown(rec), style.exact);
    case Column::UpRate:
        return RateText(row, row.rateA);
    case Column::DownRate:
        return RateText(row, row.rateB);
    case Column::Last:
        return ClockText(LastEvent(row), style.exact);
    case Column::Status: {
        if (!HasStatus(rec))
            return "-";
        const std::string text = TextOf(rec, Field::StatusText);
        return std::to_string(rec.status) + (text.empty() ? "" : " " + Printable(text, true));
    }
    default:
        break;
    }
    return "?";
}

bool RowMatches(const Row &row, std::string_view filter, const CellStyle &style)
{
    if (filter.empty())
        return true;
    const std::string needle = Lower(std::string(filter));
    for (Column c : {Column::Key, Column::Client, Column::Resolved, Column::Destination, Column::User,
                     Column::Proxy, Column::State, Column::Status}) {
        if (Lower(CellText(row, c, style)).find(needle) != std::string::npos)
            return true;
    }
    return false;
}

void SessionTable::Apply(const MonData_t &rec, double now, time_t wallNow)
{
    const RecordKey key = KeyOf(rec);
    const bool ended = (rec.flags & MON_FLAG_END) != 0;
    auto it = rows_.find(key);
    if (it == rows_.end()) {
        if (full_ && ended) {
            if (auto r = retired_.find(key); r != retired_.end() && r->second == rec.endTime) {
                retiredSeen_.insert(key);
                return;
            }
            const bool news = (rec.flags & (MON_FLAG_START | MON_FLAG_UPDATE | MON_FLAG_STATUS)) != 0;
            const bool recent = rec.endTime != 0 && wallNow - rec.endTime < linger_;
            if (!news && !recent)
                return;
        }
        Row row;
        row.key = key;
        Restart(row, rec, now);
        row.ended = ended;
        row.endedAt = now;
        row.seen = full_;
        rows_.emplace(key, row);
        retired_.erase(key);
        return;
    }

    Row &row = it->second;
    if (IsNewSession(row, rec)) {
        Restart(row, rec, now);
    } else {
        UpdateRates(row, rec, now);
        row.rec = rec;
    }
    if (ended && !row.ended)
        row.endedAt = now;
    row.ended = ended;
    row.gone = false;
    row.seen = row.seen || full_;
}

void SessionTable::BeginFullRead()
{
    full_ = true;
    retiredSeen_.clear();
    for (auto &[key, row] : rows_)
        row.seen = false;
}

void SessionTable::EndFullRead(double now)
{
    full_ = false;
    for (auto &[key, row] : rows_) {
        if (!row.seen && !row.ended) {
            row.ended = row.gone = true;
            row.endedAt = now;
        }
        row.seen = false;
    }
    /* A dropped row that the store no longer holds cannot come back. */
    std::erase_if(retired_, [&](const auto &entry) { return retiredSeen_.count(entry.first) == 0; });
    retiredSeen_.clear();
}

void SessionTable::CancelFullRead()
{
    full_ = false;
    retiredSeen_.clear();
    for (auto &[key, row] : rows_)
        row.seen = false;
}

void SessionTable::Tick(double now)
{
    for (auto it = rows_.begin(); it != rows_.end();) {
        Row &row = it->second;
        if (row.ended && now - row.endedAt >= linger_) {
            retired_[it->first] = row.rec.endTime;
            it = rows_.erase(it);
            continue;
        }
        if (!row.ended && now - row.changedAt > kRateStale)
            row.rateA = row.rateB = 0;
        ++it;
    }
}

size_t SessionTable::OpenCount() const
{
    return static_cast<size_t>(std::count_if(rows_.begin(), rows_.end(), [](const auto &e) { return !e.second.ended; }));
}

std::vector<const Row *> SessionTable::View(Column c, bool descending, std::string_view filter,
                                            const CellStyle &style) const
{
    std::vector<const Row *> out;
    for (const auto &[key, row] : rows_) {
        if (RowMatches(row, filter, style))
            out.push_back(&row);
    }
    /* Numbers compare as numbers, addresses and texts by their shown text. */
    const auto value = [&](const Row *r) -> std::tuple<double, std::string> {
        switch (c) {
        case Column::Key:
            return {0, {}};
        case Column::State:
            return {static_cast<double>(StateRank(*r)), {}};
        case Column::Age:
            return {static_cast<double>(AgeSeconds(*r, style.wallNow)), {}};
        case Column::Up:
            return {static_cast<double>(BytesUp(r->rec)), {}};
        case Column::Down:
            return {static_cast<double>(BytesDown(r->rec)), {}};
        case Column::UpRate:
            return {r->ended ? -1 : r->rateA, {}};
        case Column::DownRate:
            return {r->ended ? -1 : r->rateB, {}};
        case Column::Last:
            return {static_cast<double>(LastEvent(*r)), {}};
        case Column::Status:
            return {HasStatus(r->rec) ? static_cast<double>(r->rec.status) : -1e12, CellText(*r, c, style)};
        default:
            return {0, CellText(*r, c, style)};
        }
    };
    std::stable_sort(out.begin(), out.end(), [&](const Row *a, const Row *b) {
        const auto va = value(a), vb = value(b);
        if (va != vb)
            return descending ? vb < va : va < vb;
        return descending ? b->key < a->key : a->key < b->key;
    });
    return out;
}

std::vector<std::vector<std::string>> Cells(const std::vector<const Row *> &rows, std::span<const Column> columns,
                                            const CellStyle &style)
{
    std::vector<std::vector<std::string>> cells;
    cells.reserve(rows.size());
    for (const Row *row : rows) {
        std::vector<std::string> line;
        line.reserve(columns.size());
        for (Column c : columns)
            line.push_back(CellText(*row, c, style));
        cells.push_back(std::move(line));
    }
    return cells;
}

std::vector<std::string> Headings(std::span<const Column> columns)
{
    std::vector<std::string> h;
    for (Column c : columns)
        h.emplace_back(Info(c).heading);
    return h;
}

std::vector<size_t> ColumnWidths(const std::vector<std::vector<std::string>> &cells, std::span<const Column> columns,
                                 bool capped)
{
    std::vector<size_t> widths;
    for (size_t i = 0; i < columns.size(); ++i) {
        size_t w = DisplayWidth(Info(columns[i]).heading);
        for (const auto &line : cells)
            w = std::max(w, DisplayWidth(line[i]));
        const size_t cap = Info(columns[i]).cap;
        if (capped && cap != 0)
            w = std::min(w, std::max(cap, DisplayWidth(Info(columns[i]).heading)));
        widths.push_back(w);
    }
    return widths;
}

std::string FormatLine(const std::vector<std::string> &cells, std::span<const Column> columns,
                       const std::vector<size_t> &widths)
{
    std::string line;
    for (size_t i = 0; i < cells.size(); ++i) {
        const bool last = i + 1 == cells.size();
        const std::string text = last ? cells[i] : FitWidth(cells[i], widths[i]);
        const std::string pad(last ? 0 : widths[i] - DisplayWidth(text), ' ');
        if (i > 0)
            line += "  ";
        line += Info(columns[i]).right ? pad + text : text + pad;
    }
    while (!line.empty() && line.back() == ' ')
        line.pop_back();
    return line;
}

Totals Sum(const std::vector<const Row *> &rows)
{
    Totals t;
    for (const Row *r : rows) {
        ++t.sessions;
        t.up += BytesUp(r->rec);
        t.down += BytesDown(r->rec);
        if (r->ended)
            continue;
        t.upRate += std::max(r->rateA, 0.0);
        t.downRate += std::max(r->rateB, 0.0);
    }
    return t;
}

std::string Count(size_t n, const char *noun)
{
    return std::to_string(n) + " " + noun + (n == 1 ? "" : "s");
}

std::vector<std::string> TotalsCells(const Totals &totals, std::span<const Column> columns, const CellStyle &style)
{
    std::vector<std::string> cells;
    for (Column c : columns) {
        switch (c) {
        case Column::Key:
            cells.push_back("total (" + Count(totals.sessions, "session") + ")");
            break;
        case Column::Up:
            cells.push_back(CountText(totals.up, style.exact));
            break;
        case Column::Down:
            cells.push_back(CountText(totals.down, style.exact));
            break;
        case Column::UpRate:
            cells.push_back(HumanBytes(totals.upRate));
            break;
        case Column::DownRate:
            cells.push_back(HumanBytes(totals.downRate));
            break;
        default:
            cells.emplace_back();
            break;
        }
    }
    return cells;
}

std::string RenderPlain(const std::vector<const Row *> &rows, std::span<const Column> columns,
                        const CellStyle &style)
{
    const auto cells = Cells(rows, columns, style);
    const auto widths = ColumnWidths(cells, columns, false);
    std::string out = FormatLine(Headings(columns), columns, widths) + "\n";
    for (const auto &line : cells)
        out += FormatLine(line, columns, widths) + "\n";
    return out;
}

}  // namespace wtop
