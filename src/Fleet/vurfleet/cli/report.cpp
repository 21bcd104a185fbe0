// `vurfleet report`: the fleet at a glance, one HTML page.
#include <iostream>

#include "cli/command.h"
#include "cli/figure_files.h"
#include "report/figures.h"
#include "report/render.h"
#include "store/store.h"

namespace vurfleet {
namespace {

class ReportCommand : public Command {
 public:
  explicit ReportCommand(CLI::App& app) {
    command_ = app.add_subcommand("report", "Write the fleet at a glance as one HTML page that needs no network");
    command_->add_option("-o,--output", output_,
                         "FILE: the page to write (default report.html), - for standard output");
    command_->add_option("--now", now_, "TIME: the time to measure from (default: this machine's clock)");
    command_->add_option("--top", top_, "N: the most widespread programs shown (default 25)")
        ->check(WholeNumber("names", 1000000));
    command_->add_option("--stale", stale_, "DAYS: stale when the last scan started longer ago (default 7)")
        ->check(WholeNumber("days", 36500));
    files_.AddTo(command_, "FILE: advisories to open the page with the fleet's exposure (see exposure)",
                 "FILE: entitlements for a Licenses section, after Exposure (see licenses)",
                 "DAYS: the Licenses section's staleness, as licenses --stale (default 30)");
  }

  int Run(const std::string& db) override {
    if (!files_.Read(std::cerr)) return kExitUsage;
    ReportOptions options;
    options.advisories = files_.advisories();
    options.entitlements = files_.entitlements();
    options.licenses_stale_days = files_.licenses_stale();
    options.made = LocalNow();
    options.now = now_ ? TimeArgument("--now", *now_) : options.made;
    options.top = top_;
    options.stale_days = stale_;
    // Exposure and Licenses are gathered beside the rest, each by a twin.
    const int twins = (options.advisories != nullptr) + (options.entitlements != nullptr);
    std::unique_ptr<Store> store = twins > 0 ? OpenTwinnedReader(db, twins) : OpenStore(db, Access::kRead);
    options.database = store->Description();
    return WriteWhole(output_, RenderReport(GatherFigures(*store, options), options), "the page", std::cerr);
  }

 private:
  std::string output_ = "report.html";
  std::optional<std::string> now_;
  int top_ = 25, stale_ = 7;
  FigureFiles files_;
};

}  // namespace

std::unique_ptr<Command> AddReport(CLI::App& app) { return std::make_unique<ReportCommand>(app); }

}  // namespace vurfleet
