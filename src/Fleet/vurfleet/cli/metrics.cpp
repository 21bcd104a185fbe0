// `vurfleet metrics`: the fleet's figures as a metrics collector's text
// file, from one snapshot of the database.
#include <iostream>

#include "base/file.h"
#include "cli/command.h"
#include "cli/exposure.h"
#include "cli/licenses.h"
#include "exposure/gather.h"
#include "licenses/gather.h"
#include "metrics/figures.h"
#include "store/store.h"

namespace vurfleet {
namespace {

class MetricsCommand : public Command {
 public:
  explicit MetricsCommand(CLI::App& app) {
    command_ = app.add_subcommand(
        "metrics", "Write the fleet's figures as gauges in the text format metrics collectors read");
    command_->add_option("-o,--output", output_,
                         "FILE: the file to write, replaced whole (default: - for standard output)");
    command_->add_option("--now", now_, "TIME: the time to measure from (default: this machine's clock)");
    command_->add_option("--stale", stale_, "DAYS: stale when the last scan started longer ago (default 7)")
        ->check(WholeNumber("days", 36500));
    command_->add_option("--advisories", advisories_,
                         "FILE: advisories whose exposure --summary figures to add (see exposure)");
    command_->add_option("--entitlements", entitlements_,
                         "FILE: entitlements whose licenses figures to add (see licenses)");
    command_->add_option("--licenses-stale", licenses_stale_,
                         "DAYS: the licenses figures' staleness, as licenses --stale (default 30)")
        ->check(WholeNumber("days", 36500));
  }

  int Run(const std::string& db) override {
    std::optional<Advisories> advisories;
    if (advisories_ && !(advisories = ReadAdvisoriesFile(*advisories_, std::cerr))) return kExitUsage;
    std::optional<Entitlements> entitlements;
    if (entitlements_ && !(entitlements = ReadEntitlementsFile(*entitlements_, std::cerr))) return kExitUsage;
    const Time now = now_ ? TimeArgument("--now", *now_) : LocalNow();
    std::unique_ptr<Store> store = OpenStore(db, Access::kRead);
    Exposition out;
    WriteMachines(out, GatherMachineStates(*store, now, stale_));
    if (advisories) WriteExposure(out, *advisories, GatherSummary(*store, *advisories, now));
    if (entitlements) {
      WriteLicenses(out, *entitlements, LicenseRows(*store, *entitlements, LicenseOptions{now, licenses_stale_}));
    }
    WriteLoad(out, store->LastLoad());
    if (output_ == "-") {
      std::cout << out.text() << std::flush;
      if (!std::cout) {
        std::cerr << "vurfleet: standard output: can't write the figures\n";
        return kExitUsage;
      }
      return kExitOk;
    }
    try {
      WriteFileWhole(output_, out.text());
    } catch (const std::runtime_error& e) {
      std::cerr << "vurfleet: " << e.what() << '\n';
      return kExitUsage;
    }
    return kExitOk;
  }

 private:
  std::string output_ = "-";
  std::optional<std::string> now_, advisories_, entitlements_;
  int stale_ = 7, licenses_stale_ = 30;
};

}  // namespace

std::unique_ptr<Command> AddMetrics(CLI::App& app) { return std::make_unique<MetricsCommand>(app); }

}  // namespace vurfleet
