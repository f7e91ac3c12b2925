/*
 * table.cpp - warden-top's session table: its columns, the order and filter
 * of its rows, and the text of their cells.  Every cell text is made
 * printable here, so the drawing code never sees raw record bytes.
 */
#include "table.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <tuple>

namespace wtop {

namespace {

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

std::string RateText(const Row &row, double rate)
{
    return row.ended || rate < 0 ? "-" : HumanBytes(rate);
}

std::string Lower(std::string s)
{
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return std::tolower(c); });
    return s;
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
    wall_ = wallNow;
    (void)book_.Apply(rec, now, wallNow);
}

std::vector<const Row *> SessionTable::View(Column c, bool descending, std::string_view filter,
                                            const CellStyle &style) const
{
    std::vector<const Row *> out;
    for (const auto &[key, row] : book_.Rows()) {
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
