// What the commands of the command line share: one file a command
// (cli/*.cpp), each a Command that defines its options on the program's
// CLI::App and runs when parsed; main only dispatches.
#pragma once

#include <CLI/CLI.hpp>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "base/time.h"
#include "base/version.h"
#include "cli/exit_codes.h"
#include "output/output.h"

namespace vurfleet {

// A command line that can't be followed: said as "vurfleet: MESSAGE", exit
// code 2.
struct UsageError {
  std::string message;
};

class Command {
 public:
  virtual ~Command() = default;
  bool parsed() const { return command_->parsed(); }
  // Runs the command on the database `db`; its exit code. Throws
  // UsageError, or StoreError for a database that fails.
  virtual int Run(const std::string& db) = 0;

 protected:
  CLI::App* command_ = nullptr;
};

// The output forms, defined once for every command that prints rows:
// aligned columns, or --csv, or --json.
class OutputFlags {
 public:
  void AddTo(CLI::App* command);
  Format format() const { return csv_ ? Format::kCsv : json_ ? Format::kJson : Format::kColumns; }

 private:
  bool csv_ = false;
  bool json_ = false;
};

// What opening `store` upgraded, a line each, on `err`.
void PrintUpgraded(const class Store& store, std::ostream& err);

// The words of options, read, or a UsageError naming the option.
Time TimeArgument(const std::string& option, const std::string& text);
std::optional<Time> TimeArgument(const std::string& option, const std::optional<std::string>& text);
Version VersionArgument(const std::string& option, const std::string& text);
// A check of a whole number from 0 to `most`, said in words when it is none.
CLI::Validator WholeNumber(const char* what, long most);

// The footer the commands that take patterns, versions and times share.
extern const char* const kArgumentsFooter;

// The commands, each added to `app`.
std::unique_ptr<Command> AddLoad(CLI::App& app);
std::unique_ptr<Command> AddForget(CLI::App& app);
std::unique_ptr<Command> AddFind(CLI::App& app);
std::unique_ptr<Command> AddChanges(CLI::App& app);
std::unique_ptr<Command> AddMachines(CLI::App& app);
std::unique_ptr<Command> AddPrograms(CLI::App& app);
std::unique_ptr<Command> AddExposure(CLI::App& app);
std::unique_ptr<Command> AddLicenses(CLI::App& app);
std::unique_ptr<Command> AddReport(CLI::App& app);
std::unique_ptr<Command> AddCheck(CLI::App& app);
std::unique_ptr<Command> AddMetrics(CLI::App& app);

// Where `load`'s files and folders begin in argv (see cli/load.cpp): `cut`
// is the end of what the parser reads, `files` where the files begin; both
// argc when the command is not load. Load takes the words from `files` on.
struct LoadWords {
  int cut;
  int files;
};
LoadWords FindLoadFiles(const CLI::App& app, int argc, char** argv);
void TakeLoadFiles(Command& load, char** first, char** last);

}  // namespace vurfleet
