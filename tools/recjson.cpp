/*
 * recjson.cpp - a monitor record as a JSON object.  Absent values (a zero
 * time, an all-zero address block, a zero link key) are null rather than a
 * magic number, so that consumers need not know the record's conventions.
 */
#include "recjson.h"

#include "fieldfmt.h"

namespace wtop {

namespace {

nlohmann::ordered_json TimeJson(int32_t t)
{
    return t == 0 ? nlohmann::ordered_json(nullptr) : nlohmann::ordered_json(t);
}

nlohmann::ordered_json AddrJson(const unsigned char *block)
{
    const auto text = AddrDecode(block);
    return text ? nlohmann::ordered_json(*text) : nlohmann::ordered_json(nullptr);
}

}  // namespace

nlohmann::ordered_json RecordJson(const MonData_t &rec)
{
    nlohmann::ordered_json flags = nlohmann::ordered_json::array();
    if (rec.flags & MON_FLAG_START)
        flags.push_back("start");
    if (rec.flags & MON_FLAG_UPDATE)
        flags.push_back("update");
    if (rec.flags & MON_FLAG_STATUS)
        flags.push_back("status");
    if (rec.flags & MON_FLAG_END)
        flags.push_back("end");
    const RecordKey link = LinkOf(rec);
    const bool ended = (rec.flags & MON_FLAG_END) != 0 || rec.endTime != 0;

    nlohmann::ordered_json j;
    j["key"] = KeyText(KeyOf(rec));
    j["pid"] = rec.pid;
    j["handle"] = rec.handleNum;
    j["record"] = rec.recordNum;
    j["link"] = link == RecordKey{0, 0, 0} ? nlohmann::ordered_json(nullptr) : nlohmann::ordered_json(KeyText(link));
    j["seq"] = rec.seqNum;
    j["client_tag"] = rec.clientTag;
    j["flags"] = flags;
    j["state"] = ended ? "ended" : "open";
    j["start_time"] = TimeJson(rec.startTime);
    j["event_time"] = TimeJson(rec.eventTime);
    j["end_time"] = TimeJson(rec.endTime);
    j["client"] = AddrJson(rec.addrA);
    j["resolved"] = AddrJson(rec.addrB);
    j["outbound"] = AddrJson(rec.addrC);
    j["user"] = FieldText(rec.text1, sizeof rec.text1);
    j["destination"] = FieldText(rec.text2, sizeof rec.text2);
    j["command"] = FieldText(rec.text3, sizeof rec.text3);
    j["proxy"] = FieldText(rec.text4, sizeof rec.text4);
    j["text5"] = FieldText(rec.text5, sizeof rec.text5);
    j["code1"] = rec.code1;
    j["code2"] = rec.code2;
    j["bytes_up"] = rec.countA;
    j["bytes_down"] = rec.countB;
    j["status"] = rec.status;
    j["status_text"] = FieldText(rec.statusText, sizeof rec.statusText);
    j["data"] = DataHex(rec);
    return j;
}

std::string JsonLine(const nlohmann::ordered_json &j)
{
    return j.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}

}  // namespace wtop
