#include "format/ova/ova_manifest.h"

namespace skarvel {

namespace {

constexpr uint64_t kSha1Bytes = 20, kSha256Bytes = 32;
constexpr uint64_t kHexDigitsPerByte = 2;

}  // namespace

const char* manifestAlgorithmName(platform::DigestAlgorithm algorithm) {
  return algorithm == platform::DigestAlgorithm::kSha1 ? "SHA1" : "SHA256";
}

std::string manifestLine(platform::DigestAlgorithm algorithm, const std::string& name,
                         const std::string& hex) {
  return std::string(manifestAlgorithmName(algorithm)) + "(" + name + ")= " + hex + "\n";
}

uint64_t manifestLineBytes(platform::DigestAlgorithm algorithm, const std::string& name) {
  uint64_t digestBytes = algorithm == platform::DigestAlgorithm::kSha1 ? kSha1Bytes : kSha256Bytes;
  return manifestLine(algorithm, name, std::string(digestBytes * kHexDigitsPerByte, '0')).size();
}

}  // namespace skarvel
