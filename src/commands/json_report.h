// Reports for programs: one JSON document on standard output.
//
// Keys are snake_case; sizes are integers; names are strings. A name is a
// file's bytes, which need not be UTF-8: a byte that is not part of a valid
// UTF-8 sequence appears as the character U+10FF00 plus the byte's value
// (U+10FF80 to U+10FFFF, private-use characters no file name holds), so a
// reader of the report can recover the bytes exactly.
#ifndef SKARVEL_COMMANDS_JSON_REPORT_H_
#define SKARVEL_COMMANDS_JSON_REPORT_H_

#include <nlohmann/json.hpp>
#include <string>

namespace skarvel {

using Json = nlohmann::ordered_json;

// |bytes| as a JSON string, escaped as described above.
Json jsonName(const std::string& bytes);

// A CID as the descriptor writes it: eight lower-case hex digits.
Json jsonCid(uint32_t cid);

// Writes |report| and a line feed to standard output, and flushes.
void printJson(const Json& report);

}  // namespace skarvel

#endif  // SKARVEL_COMMANDS_JSON_REPORT_H_
