#include "cli/licenses.h"

#include <iostream>
#include <variant>

#include "base/file.h"
#include "base/text.h"
#include "cli/command.h"
#include "licenses/gather.h"
#include "output/licenses.h"

namespace vurfleet {
namespace {

class LicensesCommand : public Command {
 public:
  explicit LicensesCommand(CLI::App& app) {
    command_ = app.add_subcommand(
        "licenses", "The true-up: each pool's installs now, at their peak, and what is due beyond the seats "
                    "bought; the entries that count (--machines), or each day's highest count (--days)");
    command_->add_option("--entitlements", entitlements_, "FILE: the entitlements, CSV with a header row")
        ->required();
    CLI::Option* machines =
        command_->add_flag("--machines", machines_, "One row per entry counted, unknown or held by a stale machine");
    CLI::Option* days = command_->add_flag("--days", days_, "One row per pool and day of the period so far");
    machines->excludes(days);
    command_->add_option("--at", at_, "TIME: the period so far ends here; now is counted here (default: now)");
    command_->add_option("--stale", stale_,
                         "DAYS: a machine whose last scan started longer ago counts no more (default 30)")
        ->check(WholeNumber("days", 36500));
    command_->add_option("--pool", pool_, "GLOB: the pool");
    command_->add_option("--machine", machine_, "GLOB: the machine (with --machines)")->needs(machines);
    output_.AddTo(command_);
    command_->footer(
        "FILE: columns pool, name, seats, rule (peak or snapshot), period_from and period_until "
        "(YYYY-MM-DD) required; path, version_from, version_below, title, url. One row a rule, rows of "
        "one pool one entitlement.\n"
        "An entry counts when its file name matches name, its path path, and its version lies in "
        "[version_from, version_below); unknown when a row bounds versions and the file has none.\n"
        "GLOB: * any characters, ? one character, case ignored.\n"
        "TIME: YYYY-MM-DD (its midnight) or 'YYYY-MM-DD HH:MM:SS', the machines' wall clock.");
  }

  int Run(const std::string& db) override {
    LicenseOptions options;
    options.at = at_ ? TimeArgument("--at", *at_) : LocalNow();
    options.stale_days = stale_;
    std::optional<Entitlements> entitlements = ReadEntitlementsFile(entitlements_, std::cerr);
    if (!entitlements) return kExitUsage;
    if (pool_) entitlements = SelectPools(*entitlements, Glob(*pool_));
    std::optional<Glob> machine;
    if (machine_) machine.emplace(*machine_);
    const Format format = output_.format();
    std::unique_ptr<Store> store = OpenStore(db, Access::kRead);
    const TrueUp trueup = GatherTrueUp(*store, *entitlements, options, machines_, machine);
    if (machines_) {
      PrintLicenseMachines(*entitlements, trueup.entries(), format, std::cout);
    } else if (days_) {
      PrintLicenseDays(*entitlements, trueup.Days(), format, std::cout);
    } else {
      PrintLicenses(*entitlements, trueup.Rows(), format, std::cout);
    }
    return kExitOk;
  }

 private:
  std::string entitlements_;
  std::optional<std::string> at_, pool_, machine_;
  int stale_ = 30;
  bool machines_ = false, days_ = false;
  OutputFlags output_;
};

}  // namespace

std::unique_ptr<Command> AddLicenses(CLI::App& app) { return std::make_unique<LicensesCommand>(app); }

std::optional<Entitlements> ReadEntitlementsFile(const std::string& path, std::ostream& err) {
  std::string error;
  std::optional<std::string> bytes =
      ReadFileWhole(path, kMaxEntitlementsBytes,
                    "larger than 64 MiB: an entitlements file is at most 64 MiB (some 600 000 rules)", &error);
  if (!bytes) {
    err << "vurfleet: " << Printable(path) << ": " << Printable(error) << '\n';
    return std::nullopt;
  }
  std::variant<Entitlements, Refusal> read = ReadEntitlements(std::move(*bytes));
  if (const Refusal* refusal = std::get_if<Refusal>(&read)) {
    err << "vurfleet: " << Printable(path) << ':' << refusal->line << ": " << Printable(refusal->why) << '\n';
    return std::nullopt;
  }
  return std::move(std::get<Entitlements>(read));
}

}  // namespace vurfleet
