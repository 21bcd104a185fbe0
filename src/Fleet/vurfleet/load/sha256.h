#pragma once

#include <string>
#include <string_view>

namespace vurfleet {

// The 32 bytes of the SHA-256 of `bytes` (libcrypto's).
std::string Sha256(std::string_view bytes);

}  // namespace vurfleet
