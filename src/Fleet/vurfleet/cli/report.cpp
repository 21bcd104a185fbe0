// `vurfleet report`: the fleet at a glance, one HTML page.
#include <iostream>

#include "base/file.h"
#include "cli/command.h"
#include "cli/exposure.h"
#include "cli/licenses.h"
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
    command_->add_option("--advisories", advisories_,
                         "FILE: advisories to open the page with the fleet's exposure (see exposure)");
    command_->add_option("--entitlements", entitlements_,
                         "FILE: entitlements for a Licenses section, after Exposure (see licenses)");
    command_->add_option("--licenses-stale", licenses_stale_,
                         "DAYS: the Licenses section's staleness, as licenses --stale (default 30)")
        ->check(WholeNumber("days", 36500));
  }

  int Run(const std::string& db) override {
    std::optional<Advisories> advisories;
    if (advisories_ && !(advisories = ReadAdvisoriesFile(*advisories_, std::cerr))) return kExitUsage;
    std::optional<Entitlements> entitlements;
    if (entitlements_ && !(entitlements = ReadEntitlementsFile(*entitlements_, std::cerr))) return kExitUsage;
    ReportOptions options;
    options.advisories = advisories ? &*advisories : nullptr;
    options.entitlements = entitlements ? &*entitlements : nullptr;
    options.licenses_stale_days = licenses_stale_;
    options.made = LocalNow();
    options.now = now_ ? TimeArgument("--now", *now_) : options.made;
    options.top = top_;
    options.stale_days = stale_;
    std::unique_ptr<Store> store = OpenStore(db, Access::kRead);
    options.database = store->Description();
    const std::string page = RenderReport(GatherFigures(*store, options), options);
    if (output_ == "-") {
      std::cout << page << std::flush;
      if (!std::cout) {
        std::cerr << "vurfleet: standard output: can't write the page\n";
        return kExitUsage;
      }
      return kExitOk;
    }
    try {
      WriteFileWhole(output_, page);
    } catch (const std::runtime_error& e) {
      std::cerr << "vurfleet: " << e.what() << '\n';
      return kExitUsage;
    }
    return kExitOk;
  }

 private:
  std::string output_ = "report.html";
  std::optional<std::string> now_, advisories_, entitlements_;
  int top_ = 25, stale_ = 7, licenses_stale_ = 30;
};

}  // namespace

std::unique_ptr<Command> AddReport(CLI::App& app) { return std::make_unique<ReportCommand>(app); }

}  // namespace vurfleet
