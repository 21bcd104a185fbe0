// What `report` and `metrics` share: the files they add figures from, and
// writing what they made whole.
#pragma once

#include <CLI/CLI.hpp>

#include <optional>
#include <ostream>
#include <string>

#include "exposure/advisories.h"
#include "licenses/entitlements.h"

namespace vurfleet {

// --advisories, --entitlements and --licenses-stale, each said as the
// command uses it.
class FigureFiles {
 public:
  void AddTo(CLI::App* command, const char* advisories_help, const char* entitlements_help,
             const char* stale_help);
  // Reads the files named; false when one is refused (said on `err`).
  bool Read(std::ostream& err);
  const Advisories* advisories() const { return advisories_ ? &*advisories_ : nullptr; }
  const Entitlements* entitlements() const { return entitlements_ ? &*entitlements_ : nullptr; }
  int licenses_stale() const { return licenses_stale_; }

 private:
  std::optional<std::string> advisories_path_, entitlements_path_;
  std::optional<Advisories> advisories_;
  std::optional<Entitlements> entitlements_;
  int licenses_stale_ = 30;
};

// Writes `text` to the file `output`, replaced whole, or to standard
// output for "-". The exit code: kExitOk, or kExitUsage with why on `err`
// (`what`: what could not be written, as "the page").
int WriteWhole(const std::string& output, const std::string& text, const char* what, std::ostream& err);

}  // namespace vurfleet
