// `vurfleet programs`: the file names held by the most machines, and their versions.
// It reads one snapshot of the database and prints its rows in the form
// asked for.
#include <iostream>

#include "cli/command.h"
#include "output/print.h"
#include "store/store.h"

namespace vurfleet {
namespace {

class ProgramsCommand : public Command {
 public:
  explicit ProgramsCommand(CLI::App& app) {
    command_ = app.add_subcommand("programs", "List the file names held by the most machines, and their versions");
    command_->add_option("--top", top_, "N: this many file names (default 25)")->check(WholeNumber("names", 1000000));
    output_.AddTo(command_);
  }

  int Run(const std::string& db) override {
    std::unique_ptr<Store> store = OpenStore(db, Access::kRead);
    PrintPrograms(*store, top_, output_.format(), std::cout);
    return kExitOk;
  }

 private:
  int top_ = 25;
  OutputFlags output_;
};

}  // namespace

std::unique_ptr<Command> AddPrograms(CLI::App& app) { return std::make_unique<ProgramsCommand>(app); }

}  // namespace vurfleet
