#include "cli/exposure.h"

#include <iostream>
#include <variant>

#include "base/file.h"
#include "base/text.h"
#include "base/time.h"
#include "cli/command.h"
#include "output/exposure.h"

namespace vurfleet {
namespace {

class ExposureCommand : public Command {
 public:
  explicit ExposureCommand(CLI::App& app);
  int Run(const std::string& db) override;

 private:
  std::string advisories_;
  std::optional<std::string> at_, machine_, id_;
  bool summary_ = false, windows_ = false;
  OutputFlags output_;
};

ExposureCommand::ExposureCommand(CLI::App& app) {
  command_ = app.add_subcommand(
      "exposure", "Hold advisories against the fleet's history: what is exposed now or at a time, "
                  "each advisory's figures (--summary), or every window of exposure (--windows)");
  command_->add_option("--advisories", advisories_, "FILE: the advisories, CSV with a header row")
      ->required();
  CLI::Option* summary = command_->add_flag(
      "--summary", summary_, "One row per advisory: machines exposed, unknown and fixed, median days to fix");
  CLI::Option* windows = command_->add_flag(
      "--windows", windows_, "Every window of exposure of the history, one row per machine and window");
  CLI::Option* at = command_->add_option("--at", at_, "TIME: as after each machine's last scan started by "
                                                      "then (default: now)");
  CLI::Option* machine = command_->add_option("--machine", machine_, "GLOB: the machine");
  CLI::Option* id = command_->add_option("--id", id_, "GLOB: the advisory's id");
  summary->excludes(windows, machine, id);
  windows->excludes(at);
  output_.AddTo(command_);
  command_->footer(
      "FILE: columns id and name (required), path, affected_from, fixed, severity (critical, high, "
      "medium, low), published (YYYY-MM-DD), title, url; one row a rule, rows of one id one advisory.\n"
      "An entry is exposed when its file name matches name, its path path, and its version lies in "
      "[affected_from, fixed); unknown when a rule bounds versions and the file has none (<none>).\n"
      "GLOB: * any characters, ? one character, case ignored.\n"
      "TIME: YYYY-MM-DD (its midnight) or 'YYYY-MM-DD HH:MM:SS', the machines' wall clock.");
}

int ExposureCommand::Run(const std::string& db) {
  Time at = 0;
  if (at_) {
    const std::optional<Time> parsed = ParseTimeArgument(*at_);
    if (!parsed) {
      std::cerr << "vurfleet: --at: '" << *at_
                << "' is no time: give YYYY-MM-DD or 'YYYY-MM-DD HH:MM:SS'\n";
      return kExitUsage;
    }
    at = *parsed;
  } else {
    at = LocalNow();
  }
  std::optional<Advisories> advisories = ReadAdvisoriesFile(advisories_, std::cerr);
  if (!advisories) return kExitUsage;
  if (id_) advisories = SelectAdvisories(*advisories, Glob(*id_));
  std::optional<Glob> machine;
  if (machine_) machine.emplace(*machine_);
  const Format format = output_.format();
  try {
    std::unique_ptr<Store> store = OpenStore(db, Access::kRead);
    if (summary_) {
      PrintExposureSummary(*advisories, GatherSummary(*store, *advisories, at), format, std::cout);
    } else if (windows_) {
      PrintExposureWindows(*advisories, GatherWindows(*store, *advisories, machine), format, std::cout);
    } else {
      PrintExposure(*advisories, GatherEntries(*store, *advisories, at, machine), format, std::cout);
    }
  } catch (const StoreError& e) {
    std::cout.flush();
    std::cerr << "vurfleet: " << Printable(e.what()) << '\n';
    return kExitDatabase;
  }
  return kExitOk;
}

}  // namespace

std::unique_ptr<Command> AddExposure(CLI::App& app) { return std::make_unique<ExposureCommand>(app); }

std::optional<Advisories> ReadAdvisoriesFile(const std::string& path, std::ostream& err) {
  std::string error;
  std::optional<std::string> bytes =
      ReadFileWhole(path, kMaxAdvisoriesBytes,
                    "larger than 64 MiB: an advisories file is at most 64 MiB (some 600 000 rules)",
                    &error);
  if (!bytes) {
    err << "vurfleet: " << Printable(path) << ": " << Printable(error) << '\n';
    return std::nullopt;
  }
  std::variant<Advisories, Refusal> read = ReadAdvisories(std::move(*bytes));
  if (const Refusal* refusal = std::get_if<Refusal>(&read)) {
    err << "vurfleet: " << Printable(path) << ':' << refusal->line << ": " << Printable(refusal->why) << '\n';
    return std::nullopt;
  }
  return std::move(std::get<Advisories>(read));
}

}  // namespace vurfleet
