// vurfleet: the fleet's inventory, from the files the scanner's runs left on
// a share, in one database with each machine's history. main defines the
// program's own options and dispatches to the commands, one file each
// (cli/command.h).
//
// Exit codes: cli/exit_codes.h.
#include <CLI/CLI.hpp>

#include <iostream>
#include <new>
#include <string>

#include "base/text.h"
#include "cli/command.h"
#include "run/version.h"
#include "store/store.h"

namespace vurfleet {
namespace {

int Run(int argc, char** argv) {
  CLI::App app("The fleet's inventory in one database: the scanner's outputs loaded with "
               "each machine's history, and queried.",
               "vurfleet");
  app.set_version_flag("--version", std::string("vurfleet ") + VUR_VERSION_TEXT,
                       "Print the version and exit");
  app.footer(kExitCodesHelp);
  app.require_subcommand(1);
  app.fallthrough();
  std::string db = "inventory.db";
  app.add_option("--db", db,
                 "The database: a SQLite file, made by the first load, or a PostgreSQL "
                 "database (postgresql://USER@HOST/DBNAME, or a libpq connection string) "
                 "(default: $VURFLEET_DB, else inventory.db)")
      ->envname("VURFLEET_DB");

  std::unique_ptr<Command> load = AddLoad(app);
  std::unique_ptr<Command> commands[] = {AddForget(app),   AddFind(app),     AddChanges(app),
                                         AddMachines(app), AddPrograms(app), AddExposure(app),
                                         AddLicenses(app), AddReport(app),   AddCheck(app),
                                         AddMetrics(app)};

  const LoadWords load_words = FindLoadFiles(app, argc, argv);
  try {
    app.parse(load_words.cut, argv);
  } catch (const CLI::ParseError& e) {
    if (e.get_exit_code() == static_cast<int>(CLI::ExitCodes::Success)) return app.exit(e);
    // The parser's text quotes the user's own words.
    std::cerr << "vurfleet: " << Printable(e.what()) << "\nRun 'vurfleet --help' for the commands, "
              << "'vurfleet COMMAND --help' for one.\n";
    return kExitUsage;
  }

  try {
    if (load->parsed()) {
      TakeLoadFiles(*load, argv + load_words.files, argv + argc);
      return load->Run(db);
    }
    for (const std::unique_ptr<Command>& command : commands) {
      if (command->parsed()) return command->Run(db);
    }
  } catch (const UsageError& e) {
    std::cerr << "vurfleet: " << Printable(e.message) << '\n';
    return kExitUsage;
  } catch (const StoreError& e) {
    std::cout.flush();
    // It may name a file of the share, or quote what the database holds.
    std::cerr << "vurfleet: " << Printable(e.what()) << '\n';
    return kExitDatabase;
  } catch (const std::bad_alloc&) {
    std::cout.flush();
    std::cerr << "vurfleet: out of memory\n";
    return kExitDatabase;
  }
  return kExitUsage;
}

}  // namespace
}  // namespace vurfleet

int main(int argc, char** argv) { return vurfleet::Run(argc, argv); }
