// `vurfleet machines`: each machine's last scan, its status, entries and ERROR lines.
// It reads one snapshot of the database and prints its rows in the form
// asked for.
#include <iostream>

#include "cli/command.h"
#include "output/print.h"
#include "store/store.h"

namespace vurfleet {
namespace {

class MachinesCommand : public Command {
 public:
  explicit MachinesCommand(CLI::App& app) {
    command_ = app.add_subcommand("machines", "List the machines: last scan, status, entries and ERROR lines");
    command_->add_option("--stale", stale_, "DAYS: stale when the last scan started longer ago (default 7)")
        ->check(WholeNumber("days", 36500));
    command_->add_option("--now", now_, "TIME: the time to measure from (default: this machine's clock)");
    output_.AddTo(command_);
  }

  int Run(const std::string& db) override {
    const Time now = now_ ? TimeArgument("--now", *now_) : LocalNow();
    std::unique_ptr<Store> store = OpenStore(db, Access::kRead);
    PrintMachines(*store, now, stale_, output_.format(), std::cout);
    return kExitOk;
  }

 private:
  int stale_ = 7;
  std::optional<std::string> now_;
  OutputFlags output_;
};

}  // namespace

std::unique_ptr<Command> AddMachines(CLI::App& app) { return std::make_unique<MachinesCommand>(app); }

}  // namespace vurfleet
