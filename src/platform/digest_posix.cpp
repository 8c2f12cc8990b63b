// Digests on POSIX systems: OpenSSL's libcrypto (EVP interface).
#include <openssl/evp.h>

#include "platform/digest.h"

namespace skarvel::platform {

struct Digest::State {
  EVP_MD_CTX* context = nullptr;
};

Digest::Digest(DigestAlgorithm algorithm) : state_(std::make_unique<State>()) {
  const EVP_MD* method = algorithm == DigestAlgorithm::kSha1 ? EVP_sha1() : EVP_sha256();
  state_->context = EVP_MD_CTX_new();
  if (state_->context != nullptr && EVP_DigestInit_ex(state_->context, method, nullptr) != 1) {
    EVP_MD_CTX_free(state_->context);
    state_->context = nullptr;
  }
}

Digest::~Digest() { EVP_MD_CTX_free(state_->context); }

void Digest::update(const void* data, size_t size) {
  if (state_->context != nullptr && size > 0) EVP_DigestUpdate(state_->context, data, size);
}

std::string Digest::finishHex() {
  unsigned char value[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (state_->context == nullptr || EVP_DigestFinal_ex(state_->context, value, &length) != 1) {
    return std::string();
  }
  return lowercaseHex(value, length);
}

}  // namespace skarvel::platform
