// The manifest of an OVA package: one line per other member,
//
//   SHA256(name.ovf)= 0123...ef\n
//
// the algorithm's name in capitals, the member name in parentheses, '=' right
// after them, one space, the digest in lowercase hexadecimal, a line feed.
// Importers refuse other spellings ("SHA256 (name) = ", "SHA2-256(name)= ").
// SHA-1 lines ("SHA1(name)= ") serve older importers.
#ifndef SKARVEL_FORMAT_OVA_OVA_MANIFEST_H_
#define SKARVEL_FORMAT_OVA_OVA_MANIFEST_H_

#include <cstdint>
#include <string>

#include "platform/digest.h"

namespace skarvel {

// "SHA256" or "SHA1".
const char* manifestAlgorithmName(platform::DigestAlgorithm algorithm);

// The line for member |name| with digest |hex|.
std::string manifestLine(platform::DigestAlgorithm algorithm, const std::string& name,
                         const std::string& hex);

// The length of that line, known before the digest: 2 hex digits a byte of
// a 20-byte (SHA-1) or 32-byte (SHA-256) digest.
uint64_t manifestLineBytes(platform::DigestAlgorithm algorithm, const std::string& name);

}  // namespace skarvel

#endif  // SKARVEL_FORMAT_OVA_OVA_MANIFEST_H_
