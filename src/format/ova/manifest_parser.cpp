#include "format/ova/manifest_parser.h"

#include <algorithm>

namespace skarvel {

namespace {

struct Algorithm {
  std::string_view name;
  ManifestAlgorithm algorithm;
  size_t hexDigits;  // two per byte of the digest
};

constexpr Algorithm kAlgorithms[] = {{"SHA1", ManifestAlgorithm::kSha1, 2 * 20},
                                     {"SHA256", ManifestAlgorithm::kSha256, 2 * 32},
                                     {"SHA512", ManifestAlgorithm::kSha512, 2 * 64}};

// |text| in lower case when it is all hex digits; nothing otherwise.
std::optional<std::string> lowerHex(std::string_view text) {
  std::string result(text);
  for (char& c : result) {
    if (c >= 'A' && c <= 'F') c = static_cast<char>(c - 'A' + 'a');
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return std::nullopt;
  }
  return result;
}

}  // namespace

std::optional<ManifestEntry> parseManifestLine(std::string_view line) {
  // The name runs from the first '(' to the last ")= ", so that it may hold
  // parentheses itself.
  constexpr std::string_view kAfterName = ")= ";
  size_t open = line.find('(');
  size_t close = line.rfind(kAfterName);
  if (open == std::string_view::npos || close == std::string_view::npos || close <= open + 1) {
    return std::nullopt;
  }
  std::string_view name = line.substr(0, open);
  for (const Algorithm& a : kAlgorithms) {
    if (name != a.name) continue;
    std::string_view digits = line.substr(close + kAfterName.size());
    std::optional<std::string> hex = lowerHex(digits);
    if (!hex || hex->size() != a.hexDigits) return std::nullopt;
    return ManifestEntry{a.algorithm, std::string(a.name),
                         std::string(line.substr(open + 1, close - open - 1)), *hex};
  }
  return std::nullopt;
}

std::vector<std::string_view> manifestLines(std::string_view text) {
  std::vector<std::string_view> lines;
  while (!text.empty()) {
    size_t end = text.find('\n');
    if (end == std::string_view::npos) end = text.size();
    lines.push_back(text.substr(0, end));
    text.remove_prefix(std::min(end + 1, text.size()));
  }
  return lines;
}

}  // namespace skarvel
