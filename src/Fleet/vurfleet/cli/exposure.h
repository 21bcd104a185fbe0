// `vurfleet exposure`: advisories held against the fleet's history. Its
// options are defined on the program's CLI::App; main dispatches to it.
#pragma once

#include <CLI/CLI.hpp>

#include <optional>
#include <ostream>
#include <string>

#include "exposure/advisories.h"

namespace vurfleet {

class ExposureCommand {
 public:
  // Adds the subcommand and its options to `app`.
  explicit ExposureCommand(CLI::App& app);
  bool parsed() const { return command_->parsed(); }
  // Runs it on the database `db`: the exit code (0, or 2 for a usage error,
  // an advisories file refused, or a database that fails).
  int Run(const std::string& db);

 private:
  CLI::App* command_;
  std::string advisories_;
  std::optional<std::string> at_, machine_, id_;
  bool summary_ = false, windows_ = false, csv_ = false, json_ = false;
};

// The advisories file at `path`, read whole; a file that can't be read or
// is no advisories file is said on `err` ("vurfleet: FILE:LINE: why") and
// gives nothing.
std::optional<Advisories> ReadAdvisoriesFile(const std::string& path, std::ostream& err);

}  // namespace vurfleet
