// The records of a POSIX extended header (a member of type 'x' before the
// member it describes): "LEN KEY=VALUE\n", LEN the decimal length of the
// whole record. Tar programs put a long name ("path") or a size past the
// ustar field's 8 GiB - 1 ("size") there.
#ifndef SKARVEL_FORMAT_OVA_PAX_RECORDS_H_
#define SKARVEL_FORMAT_OVA_PAX_RECORDS_H_

#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace skarvel {

// The records of |data| by key (a later record of a key wins), or nothing
// when a record is malformed: its length is no number, runs past the data,
// or it lacks the space, the '=' or the final '\n'.
std::optional<std::map<std::string, std::string>> parsePaxRecords(std::string_view data);

}  // namespace skarvel

#endif  // SKARVEL_FORMAT_OVA_PAX_RECORDS_H_
