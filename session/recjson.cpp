/*
 * recjson.cpp - a monitor record as a JSON object, its keys and their order
 * taken from the table of field meanings.  Absent values (a zero time, an
 * all-zero address block, a zero link key) are null rather than a magic
 * number, so that consumers need not know the record's conventions.
 */
#include "recjson.h"

#include "fieldfmt.h"
#include "fields.h"
#include "rules.h"

#include <cstdio>

namespace wtop {

namespace {

using Json = nlohmann::ordered_json;

Json TimeJson(int32_t t)
{
    return t == 0 ? Json(nullptr) : Json(t);
}

Json FlagsJson(uint32_t flags)
{
    Json names = Json::array();
    for (auto [bit, name] : {std::pair{MON_FLAG_START, "start"}, {MON_FLAG_UPDATE, "update"},
                             {MON_FLAG_STATUS, "status"}, {MON_FLAG_END, "end"}}) {
        if (flags & bit)
            names.push_back(name);
    }
    return names;
}

/* The JSON value of field f of rec. */
Json Value(const MonData_t &rec, Field f)
{
    switch (f) {
    case Field::Key:
        return KeyText(KeyOf(rec));
    case Field::Pid:
        return rec.pid;
    case Field::Handle:
        return rec.handleNum;
    case Field::Record:
        return rec.recordNum;
    case Field::Link: {
        const RecordKey link = LinkOf(rec);
        return link == RecordKey{0, 0, 0} ? Json(nullptr) : Json(KeyText(link));
    }
    case Field::Sequence:
        return rec.seqNum;
    case Field::ClientTag:
        return rec.clientTag;
    case Field::Flags:
        return FlagsJson(rec.flags);
    case Field::State:
        return sess::IsEnded(rec) ? "ended" : "open";
    case Field::Started:
        return TimeJson(rec.startTime);
    case Field::Last:
        return TimeJson(rec.eventTime);
    case Field::Ended:
        return TimeJson(rec.endTime);
    case Field::Client:
    case Field::Resolved:
    case Field::Outbound: {
        const auto text = AddrDecode(AddrOf(rec, f));
        return text ? Json(*text) : Json(nullptr);
    }
    case Field::User:
    case Field::Destination:
    case Field::Command:
    case Field::Proxy:
    case Field::Text5:
    case Field::StatusText:
        return TextOf(rec, f);
    case Field::Code1:
        return rec.code1;
    case Field::Code2:
        return rec.code2;
    case Field::Up:
        return BytesUp(rec);
    case Field::Down:
        return BytesDown(rec);
    case Field::Status:
        return rec.status;
    case Field::Data:
        return DataHex(rec);
    default:
        return nullptr;
    }
}

/* Appends code point cp, a control character, as a \u escape. */
void AppendEscape(std::string &out, unsigned cp)
{
    char esc[8];
    std::snprintf(esc, sizeof esc, "\\u%04x", cp);
    out += esc;
}

}  // namespace

Json RecordJson(const MonData_t &rec)
{
    Json j;
    for (const FieldInfo &info : Fields()) {
        if (info.json != nullptr)
            j[info.json] = Value(rec, info.id);
    }
    return j;
}

std::string JsonLine(const Json &j)
{
    const std::string dumped = j.dump(-1, ' ', false, Json::error_handler_t::replace);
    /* The dump is valid UTF-8 and escapes C0 controls already; DEL and the
     * C1 controls (U+0080..U+009F, which terminals obey as escapes) still
     * come out raw.  They occur only inside strings, where a \u escape
     * means the same character. */
    std::string out;
    out.reserve(dumped.size());
    for (size_t i = 0; i < dumped.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(dumped[i]);
        if (c == 0x7f) {
            AppendEscape(out, c);
        } else if (c == 0xc2 && i + 1 < dumped.size() && static_cast<unsigned char>(dumped[i + 1]) <= 0x9f) {
            AppendEscape(out, static_cast<unsigned char>(dumped[i + 1]));
            ++i;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

}  // namespace wtop
