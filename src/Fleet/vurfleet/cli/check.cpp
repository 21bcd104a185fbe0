// `vurfleet check`: the inventory checks itself (check/check.h), and with
// --repair rewrites what the load derives from the intervals.
#include <iostream>

#include "check/check.h"
#include "cli/command.h"
#include "store/store.h"

namespace vurfleet {
namespace {

constexpr std::size_t kShown = 20;  // lines a kind, and repairs said, before the rest is counted

class CheckCommand : public Command {
 public:
  explicit CheckCommand(CLI::App& app) {
    command_ = app.add_subcommand(
        "check", "Check the inventory: no two intervals of a path overlap, each opens at a scan, the "
                 "latest-runs cache and each machine's count of files agree with the open intervals, "
                 "and the database's own check (exit code 1 when a fault is found)");
    command_->add_flag("--repair", repair_,
                       "Rewrite what is derived from the intervals, in one transaction: latest-runs "
                       "caches that disagree are deleted (the next load reads the open intervals "
                       "instead) and counts of files rewritten; then check again. The intervals are "
                       "never rewritten");
    command_->footer(
        "A line a fault, at most 20 a kind, then a summary. Faults in the intervals themselves are "
        "not repaired: 'vurfleet forget --machine NAME' takes the machine out whole, and a load of "
        "its files stores its history anew.");
  }

  int Run(const std::string& db) override {
    // A database that is not there is not made by a repair.
    if (repair_) OpenStore(db, Access::kRead);
    std::unique_ptr<Store> store = OpenStore(db, repair_ ? Access::kWrite : Access::kRead);
    PrintUpgraded(*store, std::cerr);
    const CheckRun run = RunCheck(*store, repair_, kShown);
    PrintCheckRun(run, repair_, std::cout, kShown);
    return run.last().faults() > 0 ? kExitRefused : kExitOk;
  }

 private:
  bool repair_ = false;
};

}  // namespace

std::unique_ptr<Command> AddCheck(CLI::App& app) { return std::make_unique<CheckCommand>(app); }

}  // namespace vurfleet
