// Message digests of files as they are written or read (SHA-256, SHA-1), for
// the manifests of packages.
//
// The digest itself comes from the system's crypto library (libcrypto on
// POSIX, CNG on Windows); this layer only feeds it bytes.
#ifndef SKARVEL_PLATFORM_DIGEST_H_
#define SKARVEL_PLATFORM_DIGEST_H_

#include <cstddef>
#include <memory>
#include <string>

namespace skarvel::platform {

enum class DigestAlgorithm { kSha1, kSha256 };

// One running digest. Feed it with update(), in as many pieces as wanted,
// then call finishHex() once; the object takes no more bytes afterwards.
class Digest {
 public:
  explicit Digest(DigestAlgorithm algorithm);
  ~Digest();
  Digest(const Digest&) = delete;
  Digest& operator=(const Digest&) = delete;

  void update(const void* data, size_t size);

  // The digest in lowercase hexadecimal (40 digits for SHA-1, 64 for
  // SHA-256); empty when the system could not compute it.
  std::string finishHex();

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// The lowercase hexadecimal form of |count| bytes.
std::string lowercaseHex(const unsigned char* bytes, size_t count);

}  // namespace skarvel::platform

#endif  // SKARVEL_PLATFORM_DIGEST_H_
