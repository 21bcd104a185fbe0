#include "load/line_runs.h"

#include <openssl/evp.h>

#include <cstring>
#include <functional>
#include <memory>
#include <stdexcept>

namespace vurfleet {

std::vector<LineRun> LineRuns(const Scan& scan) {
  std::vector<LineRun> runs;
  std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context(EVP_MD_CTX_new(), EVP_MD_CTX_free);
  if (!context) throw std::runtime_error("SHA-256 failed");
  const auto digest_of = [&](std::uint32_t first, std::uint32_t end) {
    if (EVP_DigestInit_ex(context.get(), EVP_sha256(), nullptr) != 1) {
      throw std::runtime_error("SHA-256 failed");
    }
    for (std::uint32_t k = first; k < end; ++k) {
      const ReportLine& line = scan.reports[k];
      // The path, a line feed (never in a path), the version's 8 bytes and
      // whether it is <none>: each line's text, unambiguously.
      unsigned char tail[10];
      const std::uint64_t value = line.version.value();
      std::memcpy(tail + 1, &value, 8);
      tail[0] = '\n';
      tail[9] = line.version.is_none() ? 1 : 0;
      EVP_DigestUpdate(context.get(), line.path.data(), line.path.size());
      EVP_DigestUpdate(context.get(), tail, sizeof tail);
    }
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    if (EVP_DigestFinal_ex(context.get(), digest, &size) != 1 || size < 8) {
      throw std::runtime_error("SHA-256 failed");
    }
    std::uint64_t d;
    std::memcpy(&d, digest, 8);
    return d;
  };
  const std::uint32_t count = static_cast<std::uint32_t>(scan.reports.size());
  std::uint32_t first = 0;
  for (std::uint32_t k = 0; k < count; ++k) {
    const bool cut = (std::hash<std::string_view>{}(scan.reports[k].path) & 7) == 0;
    if (cut || k + 1 == count) {
      runs.push_back(LineRun{first, k + 1 - first, digest_of(first, k + 1)});
      first = k + 1;
    }
  }
  return runs;
}

}  // namespace vurfleet
