#include "cli/command.h"

#include <ostream>

#include "base/text.h"
#include "store/store.h"

namespace vurfleet {

const char* const kArgumentsFooter =
    "GLOB: * any characters, ? one character, case ignored.\n"
    "V: 1 to 4 numbers 0-65535 (missing parts are 0: 8.5 is 8.5.0.0); <none> matches only "
    "--none.\n"
    "TIME: YYYY-MM-DD (its midnight) or 'YYYY-MM-DD HH:MM:SS', the machines' wall clock.";

void OutputFlags::AddTo(CLI::App* command) {
  CLI::Option* csv = command->add_flag(
      "--csv", csv_,
      "CSV (RFC 4180) with a header row; a text that begins with =, +, - or @ gets a ' "
      "before it, so that no spreadsheet runs it (--json keeps every text exactly)");
  command->add_flag("--json", json_, "JSON Lines: one object a row")->excludes(csv);
}

void PrintUpgraded(const Store& store, std::ostream& err) {
  for (const std::string& line : store.Upgraded()) err << "vurfleet: " << Printable(line) << '\n';
}

Time TimeArgument(const std::string& option, const std::string& text) {
  const std::optional<Time> time = ParseTimeArgument(text);
  if (!time) {
    throw UsageError{option + ": '" + text + "' is no time: give YYYY-MM-DD or 'YYYY-MM-DD HH:MM:SS'"};
  }
  return *time;
}

std::optional<Time> TimeArgument(const std::string& option, const std::optional<std::string>& text) {
  if (!text) return std::nullopt;
  return TimeArgument(option, *text);
}

Version VersionArgument(const std::string& option, const std::string& text) {
  const std::optional<Version> version = Version::ParseArgument(text);
  if (!version) {
    throw UsageError{option + ": '" + text + "' is no version: give 1 to 4 numbers 0-65535 separated by dots"};
  }
  return *version;
}

CLI::Validator WholeNumber(const char* what, long most) {
  return CLI::Validator(
      [what, most](std::string& text) -> std::string {
        if (text.empty() || text.size() > 9 || text.find_first_not_of("0123456789") != std::string::npos ||
            std::stol(text) > most) {
          return "'" + text + "' is not a whole number of " + std::string(what) + " from 0 to " +
                 std::to_string(most);
        }
        return std::string();
      },
      "", "");
}

}  // namespace vurfleet
