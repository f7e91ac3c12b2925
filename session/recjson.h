/*
 * recjson.h - a monitor record as one JSON object, the form warden-top --json
 * writes a line of per change.  Every field is decoded by the proxy
 * convention of the chief header; texts are kept as the proxy wrote them and
 * made valid UTF-8 only when the object is written out.
 */
#ifndef WARDEN_SESSION_RECJSON_H
#define WARDEN_SESSION_RECJSON_H

#include <quelm/monitor.h>

#include <nlohmann/json.hpp>

#include <string>

namespace wtop {

/* The record as an object; "flags" spells out the change bits (start,
 * update, status, end) and "state" is "ended" when the end bit is set or the
 * record carries an end time. */
nlohmann::ordered_json RecordJson(const MonData_t &rec);

/* The object on one line, without a newline: valid UTF-8 (bytes that are
 * not become U+FFFD instead of making the dump fail) with every control
 * character escaped, C0, DEL and C1 alike, so that no text from a record can
 * act on a terminal the line is shown on. */
std::string JsonLine(const nlohmann::ordered_json &j);

}  // namespace wtop

#endif /* WARDEN_SESSION_RECJSON_H */
