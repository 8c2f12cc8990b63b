// Reading the manifest of a package (name.mf): one line per file,
// "ALG(file)= hex" with ALG one of SHA1, SHA256, SHA512 in upper case, no
// space before '=' and one after, as importers accept it. Other spellings
// (the BSD "SHA256 (file) = hex", OpenSSL 3's "SHA2-256(file)= hex") are
// refused by some importers and read here as no manifest line at all.
#ifndef SKARVEL_FORMAT_OVA_MANIFEST_PARSER_H_
#define SKARVEL_FORMAT_OVA_MANIFEST_PARSER_H_

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace skarvel {

enum class ManifestAlgorithm { kSha1, kSha256, kSha512 };

struct ManifestEntry {
  ManifestAlgorithm algorithm = ManifestAlgorithm::kSha256;
  std::string algorithmName;  // as written: "SHA256"
  std::string file;
  std::string hex;  // in lower case
};

// The entry |line| (without its line end) states, or nothing when it is not
// exactly of the form above with as many hex digits as the algorithm gives
// (40, 64, 128; either case).
std::optional<ManifestEntry> parseManifestLine(std::string_view line);

// The lines of |text|, each without its '\n'; the '\n' after the last line
// ends it and starts no other. A '\r' stays part of its line.
std::vector<std::string_view> manifestLines(std::string_view text);

}  // namespace skarvel

#endif  // SKARVEL_FORMAT_OVA_MANIFEST_PARSER_H_
