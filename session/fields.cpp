/*
 * fields.cpp - the table of field meanings and the accessors that read a
 * record by meaning.  The slots follow the proxy convention of the chief
 * header: addrA the client, addrB the resolved destination, addrC the
 * proxy's outbound address, text1 the user, text2 the destination as asked,
 * text3 the command, text4 the proxy's name.
 */
#include "fields.h"

#include "fieldfmt.h"

#include <array>

namespace wtop {

namespace {

constexpr std::array<FieldInfo, 31> kFields = {{
    {Field::Key, "key", "key", "KEY", "key", false, 24},
    {Field::Pid, "pid", nullptr, nullptr, nullptr, true, 0},
    {Field::Handle, "handle", nullptr, nullptr, nullptr, true, 0},
    {Field::Record, "record", nullptr, nullptr, nullptr, true, 0},
    {Field::Link, "link", "link", nullptr, nullptr, false, 0},
    {Field::Sequence, "seq", "sequence", nullptr, nullptr, true, 0},
    {Field::ClientTag, "client_tag", "client tag", nullptr, nullptr, true, 0},
    {Field::Flags, "flags", "flags", nullptr, nullptr, false, 0},
    {Field::State, "state", "state", "STATE", "state", false, 5},
    {Field::Started, "start_time", "started", nullptr, nullptr, false, 0},
    {Field::Age, nullptr, nullptr, "AGE", "age", true, 6},
    {Field::Last, "event_time", "last event", "LAST", "last", false, 19},
    {Field::Ended, "end_time", "ended", nullptr, nullptr, false, 0},
    {Field::Client, "client", "client", "CLIENT", "client", false, 28},
    {Field::Resolved, "resolved", "resolved", "RESOLVED", "resolved", false, 28},
    {Field::Outbound, "outbound", "outbound", nullptr, nullptr, false, 0},
    {Field::User, "user", "user", "USER", "user", false, 16},
    {Field::Destination, "destination", "destination", "DESTINATION", "destination", false, 32},
    {Field::Command, "command", "command", nullptr, nullptr, false, 0},
    {Field::Proxy, "proxy", "proxy", "PROXY", "proxy", false, 16},
    {Field::Text5, "text5", "text5", nullptr, nullptr, false, 0},
    {Field::Code1, "code1", nullptr, nullptr, nullptr, true, 0},
    {Field::Code2, "code2", nullptr, nullptr, nullptr, true, 0},
    {Field::Codes, nullptr, "codes", nullptr, nullptr, false, 0},
    {Field::Up, "bytes_up", "bytes up", "UP", "up", true, 10},
    {Field::UpRate, nullptr, nullptr, "UP/s", "uprate", true, 6},
    {Field::Down, "bytes_down", "bytes down", "DOWN", "down", true, 10},
    {Field::DownRate, nullptr, nullptr, "DOWN/s", "downrate", true, 6},
    {Field::Status, "status", "status", "STATUS", "status", false, 0},
    {Field::StatusText, "status_text", nullptr, nullptr, nullptr, false, 0},
    {Field::Data, "data", "data", nullptr, nullptr, false, 0},
}};

/* Info() indexes the table by the enum's value. */
constexpr bool InEnumOrder()
{
    for (size_t i = 0; i < kFields.size(); ++i) {
        if (static_cast<size_t>(kFields[i].id) != i)
            return false;
    }
    return true;
}
static_assert(InEnumOrder(), "kFields must list every Field in declaration order");

}  // namespace

std::span<const FieldInfo> Fields()
{
    return kFields;
}

const FieldInfo &Info(Field f)
{
    return kFields[static_cast<size_t>(f)];
}

std::optional<Field> ColumnByName(std::string_view name)
{
    for (const FieldInfo &info : kFields) {
        if (info.sortName != nullptr && name == info.sortName)
            return info.id;
    }
    return std::nullopt;
}

const unsigned char *AddrOf(const MonData_t &rec, Field f)
{
    switch (f) {
    case Field::Client:
        return rec.addrA;
    case Field::Resolved:
        return rec.addrB;
    case Field::Outbound:
        return rec.addrC;
    default:
        return nullptr;
    }
}

std::string TextOf(const MonData_t &rec, Field f)
{
    switch (f) {
    case Field::User:
        return FieldText(rec.text1, sizeof rec.text1);
    case Field::Destination:
        return FieldText(rec.text2, sizeof rec.text2);
    case Field::Command:
        return FieldText(rec.text3, sizeof rec.text3);
    case Field::Proxy:
        return FieldText(rec.text4, sizeof rec.text4);
    case Field::Text5:
        return FieldText(rec.text5, sizeof rec.text5);
    case Field::StatusText:
        return FieldText(rec.statusText, sizeof rec.statusText);
    default:
        return "";
    }
}

uint64_t BytesUp(const MonData_t &rec)
{
    return QxMonTotalA(&rec);
}

uint64_t BytesDown(const MonData_t &rec)
{
    return QxMonTotalB(&rec);
}

}  // namespace wtop
