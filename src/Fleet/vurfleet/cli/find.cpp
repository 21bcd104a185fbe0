// `vurfleet find`: the inventory's entries, now or at a time.
// It reads one snapshot of the database and prints its rows in the form
// asked for.
#include <iostream>

#include "cli/command.h"
#include "output/print.h"
#include "store/store.h"

namespace vurfleet {
namespace {

class FindCommand : public Command {
 public:
  explicit FindCommand(CLI::App& app) {
    command_ = app.add_subcommand("find", "List the inventory's entries, as they stand now or at a time");
    command_->add_option("--name", name_, "GLOB: the file's name (the path after its last backslash)");
    command_->add_option("--path", path_, "GLOB: the whole path");
    command_->add_option("--machine", machine_, "GLOB: the machine");
    CLI::Option* version = command_->add_option("--version", version_, "V: exactly this version");
    CLI::Option* below = command_->add_option("--below", below_, "V: versions below V");
    CLI::Option* at_least = command_->add_option("--at-least", at_least_, "V: versions V and above");
    CLI::Option* none = command_->add_flag("--none", none_, "Only entries without a version (<none>)");
    version->excludes(below, at_least, none);
    below->excludes(at_least, none);
    at_least->excludes(none);
    command_->add_option("--at", at_, "TIME: as after each machine's last scan started by then");
    output_.AddTo(command_);
    command_->footer(kArgumentsFooter);
  }

  int Run(const std::string& db) override {
    FindQuery query;
    if (name_) query.name.emplace(*name_);
    if (path_) query.path.emplace(*path_);
    if (machine_) query.machine.emplace(*machine_);
    if (version_) query.test = VersionTest::kEqual, query.version = VersionArgument("--version", *version_);
    if (below_) query.test = VersionTest::kBelow, query.version = VersionArgument("--below", *below_);
    if (at_least_) query.test = VersionTest::kAtLeast, query.version = VersionArgument("--at-least", *at_least_);
    if (none_) query.test = VersionTest::kNone;
    query.at = TimeArgument("--at", at_);
    std::unique_ptr<Store> store = OpenStore(db, Access::kRead);
    PrintFind(*store, query, output_.format(), std::cout);
    return kExitOk;
  }

 private:
  std::optional<std::string> name_, path_, machine_, version_, below_, at_least_, at_;
  bool none_ = false;
  OutputFlags output_;
};

}  // namespace

std::unique_ptr<Command> AddFind(CLI::App& app) { return std::make_unique<FindCommand>(app); }

}  // namespace vurfleet
