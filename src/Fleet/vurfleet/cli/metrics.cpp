// `vurfleet metrics`: the fleet's figures as a metrics collector's text
// file, from one snapshot of the database.
#include <iostream>

#include "cli/command.h"
#include "cli/figure_files.h"
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
    files_.AddTo(command_, "FILE: advisories whose exposure --summary figures to add (see exposure)",
                 "FILE: entitlements whose licenses figures to add (see licenses)",
                 "DAYS: the licenses figures' staleness, as licenses --stale (default 30)");
  }

  int Run(const std::string& db) override {
    if (!files_.Read(std::cerr)) return kExitUsage;
    const Time now = now_ ? TimeArgument("--now", *now_) : LocalNow();
    std::unique_ptr<Store> store = OpenStore(db, Access::kRead);
    Exposition out;
    WriteMachines(out, GatherMachineStates(*store, now, stale_));
    if (const Advisories* advisories = files_.advisories()) {
      WriteExposure(out, *advisories, GatherSummary(*store, *advisories, now));
    }
    if (const Entitlements* entitlements = files_.entitlements()) {
      WriteLicenses(out, *entitlements,
                    LicenseRows(*store, *entitlements, LicenseOptions{now, files_.licenses_stale()}));
    }
    WriteLoad(out, store->LastLoad());
    return WriteWhole(output_, out.text(), "the figures", std::cerr);
  }

 private:
  std::string output_ = "-";
  std::optional<std::string> now_;
  int stale_ = 7;
  FigureFiles files_;
};

}  // namespace

std::unique_ptr<Command> AddMetrics(CLI::App& app) { return std::make_unique<MetricsCommand>(app); }

}  // namespace vurfleet
