#include "format/ova/pax_records.h"

#include "base/numbers.h"

namespace skarvel {

std::optional<std::map<std::string, std::string>> parsePaxRecords(std::string_view data) {
  std::map<std::string, std::string> records;
  while (!data.empty()) {
    size_t space = data.find(' ');
    std::optional<uint64_t> length =
        space == std::string_view::npos ? std::nullopt : readDecimal64(data.substr(0, space));
    if (!length || *length <= space + 1 || *length > data.size()) return std::nullopt;
    std::string_view record = data.substr(space + 1, *length - space - 1);
    size_t equals = record.find('=');
    if (equals == std::string_view::npos || equals == 0 || !record.ends_with('\n')) {
      return std::nullopt;
    }
    records[std::string(record.substr(0, equals))] =
        std::string(record.substr(equals + 1, record.size() - equals - 2));
    data.remove_prefix(*length);
  }
  return records;
}

}  // namespace skarvel
