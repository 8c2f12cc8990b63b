// Digests on Windows: the system's CNG provider (bcrypt.dll).
#include <windows.h>
// windows.h first: bcrypt.h needs its types.
#include <bcrypt.h>

#include <algorithm>
#include <cstdint>

#include "platform/digest.h"

namespace skarvel::platform {

struct Digest::State {
  BCRYPT_ALG_HANDLE algorithm = nullptr;
  BCRYPT_HASH_HANDLE hash = nullptr;
  ULONG length = 0;
};

namespace {

bool succeeded(NTSTATUS status) { return status >= 0; }

}  // namespace

Digest::Digest(DigestAlgorithm algorithm) : state_(std::make_unique<State>()) {
  const wchar_t* name =
      algorithm == DigestAlgorithm::kSha1 ? BCRYPT_SHA1_ALGORITHM : BCRYPT_SHA256_ALGORITHM;
  ULONG copied = 0;
  if (!succeeded(BCryptOpenAlgorithmProvider(&state_->algorithm, name, nullptr, 0)) ||
      !succeeded(BCryptGetProperty(state_->algorithm, BCRYPT_HASH_LENGTH,
                                   reinterpret_cast<PUCHAR>(&state_->length), sizeof state_->length,
                                   &copied, 0)) ||
      !succeeded(BCryptCreateHash(state_->algorithm, &state_->hash, nullptr, 0, nullptr, 0, 0))) {
    state_->hash = nullptr;
  }
}

Digest::~Digest() {
  if (state_->hash != nullptr) BCryptDestroyHash(state_->hash);
  if (state_->algorithm != nullptr) BCryptCloseAlgorithmProvider(state_->algorithm, 0);
}

void Digest::update(const void* data, size_t size) {
  const auto* bytes = static_cast<const unsigned char*>(data);
  while (state_->hash != nullptr && size > 0) {
    ULONG piece = static_cast<ULONG>(std::min<size_t>(size, UINT32_MAX));
    BCryptHashData(state_->hash, const_cast<PUCHAR>(bytes), piece, 0);
    bytes += piece;
    size -= piece;
  }
}

std::string Digest::finishHex() {
  unsigned char value[64] = {};
  ULONG length = std::min<ULONG>(state_->length, sizeof value);
  if (state_->hash == nullptr || !succeeded(BCryptFinishHash(state_->hash, value, length, 0))) {
    return std::string();
  }
  return lowercaseHex(value, length);
}

}  // namespace skarvel::platform
