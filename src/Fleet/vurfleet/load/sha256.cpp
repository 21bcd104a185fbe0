#include "load/sha256.h"

#include <openssl/evp.h>

#include <stdexcept>

namespace vurfleet {

std::string Sha256(std::string_view bytes) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int size = 0;
  if (EVP_Digest(bytes.data(), bytes.size(), digest, &size, EVP_sha256(), nullptr) != 1 ||
      size != 32) {
    throw std::runtime_error("SHA-256 failed");
  }
  return std::string(reinterpret_cast<const char*>(digest), size);
}

}  // namespace vurfleet
