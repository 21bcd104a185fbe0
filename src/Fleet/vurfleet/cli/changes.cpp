// `vurfleet changes`: one row per change, for each scan after a machine's first.
// It reads one snapshot of the database and prints its rows in the form
// asked for.
#include <iostream>

#include "cli/command.h"
#include "output/print.h"
#include "store/store.h"

namespace vurfleet {
namespace {

class ChangesCommand : public Command {
 public:
  explicit ChangesCommand(CLI::App& app) {
    command_ = app.add_subcommand(
        "changes", "List what changed, one row per change, for each scan after a machine's first");
    command_->add_option("--machine", machine_, "GLOB: the machine");
    command_->add_option("--since", since_, "TIME: scans that started then or later");
    command_->add_option("--until", until_, "TIME: scans that started then or earlier");
    output_.AddTo(command_);
  }

  int Run(const std::string& db) override {
    ChangesQuery query;
    if (machine_) query.machine.emplace(*machine_);
    query.since = TimeArgument("--since", since_);
    query.until = TimeArgument("--until", until_);
    std::unique_ptr<Store> store = OpenStore(db, Access::kRead);
    PrintChanges(*store, query, output_.format(), std::cout);
    return kExitOk;
  }

 private:
  std::optional<std::string> machine_, since_, until_;
  OutputFlags output_;
};

}  // namespace

std::unique_ptr<Command> AddChanges(CLI::App& app) { return std::make_unique<ChangesCommand>(app); }

}  // namespace vurfleet
