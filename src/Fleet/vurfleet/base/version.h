// A file version: four 16-bit parts held as one 64-bit number, or <none>,
// which is apart from every version and compares with none of them.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace vurfleet {

class Version {
 public:
  Version() : Version(true, 0) {}  // <none>
  static Version None() { return Version(true, 0); }
  static Version Of(std::uint64_t value) { return Version(false, value); }
  static Version FromParts(unsigned a, unsigned b, unsigned c, unsigned d);

  // A report line's version: "<none>", or four decimal parts 0 to 65535
  // separated by dots, each of one to five digits.
  static std::optional<Version> ParseReported(std::string_view text);
  // A command-line version: one to four parts; missing parts are 0, so
  // "8.5" is 8.5.0.0. Never <none>.
  static std::optional<Version> ParseArgument(std::string_view text);

  bool is_none() const { return none_; }
  // The number, high part first; 0 for <none>.
  std::uint64_t value() const { return value_; }
  // "1.2.3.4" or "<none>".
  std::string ToString() const;

  friend bool operator==(const Version& a, const Version& b) {
    return a.none_ == b.none_ && a.value_ == b.value_;
  }
  friend bool operator!=(const Version& a, const Version& b) { return !(a == b); }

 private:
  Version(bool none, std::uint64_t value) : none_(none), value_(value) {}
  bool none_;
  std::uint64_t value_;
};

}  // namespace vurfleet
