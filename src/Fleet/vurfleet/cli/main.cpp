// vurfleet: the fleet's inventory, from the files the scanner's runs left on
// a share, in one database with each machine's history.
//
// Exit codes: 0 done; 1 a file was refused (load); 2 a usage error, or a
// database that can't be opened, read or written.
#include <CLI/CLI.hpp>

#include <cstdlib>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include "base/time.h"
#include "base/version.h"
#include "cli/exposure.h"
#include "load/loader.h"
#include "query/print.h"
#include "report/figures.h"
#include "report/render.h"
#include "run/version.h"
#include "store/store.h"

namespace vurfleet {
namespace {

constexpr int kUsageError = 2;

struct UsageError {
  std::string message;
};

Format FormatOf(bool csv, bool json) {
  return csv ? Format::kCsv : json ? Format::kJson : Format::kColumns;
}

Time TimeArgument(const std::string& option, const std::string& text) {
  const std::optional<Time> time = ParseTimeArgument(text);
  if (!time) {
    throw UsageError{option + ": '" + text +
                     "' is no time: give YYYY-MM-DD or 'YYYY-MM-DD HH:MM:SS'"};
  }
  return *time;
}

Version VersionArgument(const std::string& option, const std::string& text) {
  const std::optional<Version> version = Version::ParseArgument(text);
  if (!version) {
    throw UsageError{option + ": '" + text +
                     "' is no version: give 1 to 4 numbers 0-65535 separated by dots"};
  }
  return *version;
}

int Run(int argc, char** argv) {
  CLI::App app("The fleet's inventory in one database: the scanner's outputs loaded with "
               "each machine's history, and queried.",
               "vurfleet");
  app.set_version_flag("--version", std::string("vurfleet ") + VUR_VERSION_TEXT,
                       "Print the version and exit");
  app.require_subcommand(1);
  app.fallthrough();
  std::string db = "inventory.db";
  app.add_option("--db", db,
                 "The database: a SQLite file, made by the first load, or a PostgreSQL "
                 "database (postgresql://USER@HOST/DBNAME, or a libpq connection string) "
                 "(default: $VURFLEET_DB, else inventory.db)")
      ->envname("VURFLEET_DB");

  // load
  CLI::App* load = app.add_subcommand(
      "load", "Load scan outputs: each FILE, and every *.txt file below each FOLDER");
  std::optional<std::string> machine;
  std::vector<std::string> inputs;
  load->add_option("--machine", machine,
                   "The machine of every file (default: the file's name up to its first dot)");
  load->add_option("FILE_OR_FOLDER", inputs, "Files and folders to load")->required();

  // find
  CLI::App* find = app.add_subcommand(
      "find", "List the inventory's entries, as they stand now or at a time");
  std::optional<std::string> name, path, find_machine, version, below, at_least, at;
  bool none = false, find_csv = false, find_json = false;
  find->add_option("--name", name, "GLOB: the file's name (the path after its last backslash)");
  find->add_option("--path", path, "GLOB: the whole path");
  find->add_option("--machine", find_machine, "GLOB: the machine");
  CLI::Option* o_version = find->add_option("--version", version, "V: exactly this version");
  CLI::Option* o_below = find->add_option("--below", below, "V: versions below V");
  CLI::Option* o_at_least = find->add_option("--at-least", at_least, "V: versions V and above");
  CLI::Option* o_none = find->add_flag("--none", none, "Only entries without a version (<none>)");
  o_version->excludes(o_below, o_at_least, o_none);
  o_below->excludes(o_at_least, o_none);
  o_at_least->excludes(o_none);
  find->add_option("--at", at, "TIME: as after each machine's last scan started by then");
  CLI::Option* o_find_csv = find->add_flag("--csv", find_csv, "CSV (RFC 4180) with a header row");
  find->add_flag("--json", find_json, "JSON Lines: one object a row")->excludes(o_find_csv);
  find->footer(
      "GLOB: * any characters, ? one character, case ignored.\n"
      "V: 1 to 4 numbers 0-65535 (missing parts are 0: 8.5 is 8.5.0.0); <none> matches only "
      "--none.\n"
      "TIME: YYYY-MM-DD (its midnight) or 'YYYY-MM-DD HH:MM:SS', the machines' wall clock.");

  // changes
  CLI::App* changes = app.add_subcommand(
      "changes", "List what changed, one row per change, for each scan after a machine's first");
  std::optional<std::string> changes_machine, since, until;
  bool changes_csv = false, changes_json = false;
  changes->add_option("--machine", changes_machine, "GLOB: the machine");
  changes->add_option("--since", since, "TIME: scans that started then or later");
  changes->add_option("--until", until, "TIME: scans that started then or earlier");
  CLI::Option* o_changes_csv = changes->add_flag("--csv", changes_csv, "CSV (RFC 4180) with a header row");
  changes->add_flag("--json", changes_json, "JSON Lines: one object a row")->excludes(o_changes_csv);

  // machines
  CLI::App* machines = app.add_subcommand(
      "machines", "List the machines: last scan, status, entries and ERROR lines");
  int stale = 7;
  std::optional<std::string> now;
  bool machines_csv = false, machines_json = false;
  machines->add_option("--stale", stale, "DAYS: stale when the last scan started longer ago (default 7)")
      ->check(CLI::NonNegativeNumber);
  machines->add_option("--now", now, "TIME: the time to measure from (default: this machine's clock)");
  CLI::Option* o_machines_csv = machines->add_flag("--csv", machines_csv, "CSV (RFC 4180) with a header row");
  machines->add_flag("--json", machines_json, "JSON Lines: one object a row")->excludes(o_machines_csv);

  // programs
  CLI::App* programs = app.add_subcommand(
      "programs", "List the file names held by the most machines, and their versions");
  int programs_top = 25;
  bool programs_csv = false, programs_json = false;
  programs->add_option("--top", programs_top, "N: this many file names (default 25)")
      ->check(CLI::NonNegativeNumber);
  CLI::Option* o_programs_csv = programs->add_flag("--csv", programs_csv, "CSV (RFC 4180) with a header row");
  programs->add_flag("--json", programs_json, "JSON Lines: one object a row")->excludes(o_programs_csv);

  ExposureCommand exposure(app);

  // report
  CLI::App* report = app.add_subcommand(
      "report", "Write the fleet at a glance as one HTML page that needs no network");
  std::string report_out = "report.html";
  std::optional<std::string> report_now;
  int report_top = 25, report_stale = 7;
  report->add_option("-o,--output", report_out, "FILE: the page to write (default report.html)");
  report->add_option("--now", report_now, "TIME: the time to measure from (default: this machine's clock)");
  report->add_option("--top", report_top, "N: the most widespread programs shown (default 25)")
      ->check(CLI::NonNegativeNumber);
  report->add_option("--stale", report_stale,
                     "DAYS: stale when the last scan started longer ago (default 7)")
      ->check(CLI::NonNegativeNumber);
  std::optional<std::string> report_advisories;
  report->add_option("--advisories", report_advisories,
                     "FILE: advisories to open the page with the fleet's exposure (see exposure)");

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    if (e.get_exit_code() == static_cast<int>(CLI::ExitCodes::Success)) return app.exit(e);
    std::cerr << "vurfleet: " << e.what() << "\nRun 'vurfleet --help' for the commands, "
              << "'vurfleet COMMAND --help' for one.\n";
    return kUsageError;
  }

  try {
    if (load->parsed()) {
      if (machine && !IsMachineName(*machine)) {
        throw UsageError{"--machine: '" + *machine +
                         "' is no computer name (letters, digits, '-' and '_')"};
      }
      std::unique_ptr<Store> store = OpenStore(db, true);
      LoadOptions options;
      options.machine = machine;
      return LoadAll(*store, inputs, options, std::cout, std::cerr);
    }
    if (find->parsed()) {
      FindQuery query;
      if (name) query.name.emplace(*name);
      if (path) query.path.emplace(*path);
      if (find_machine) query.machine.emplace(*find_machine);
      if (version) query.test = VersionTest::kEqual, query.version = VersionArgument("--version", *version);
      if (below) query.test = VersionTest::kBelow, query.version = VersionArgument("--below", *below);
      if (at_least) {
        query.test = VersionTest::kAtLeast, query.version = VersionArgument("--at-least", *at_least);
      }
      if (none) query.test = VersionTest::kNone;
      if (at) query.at = TimeArgument("--at", *at);
      std::unique_ptr<Store> store = OpenStore(db, false);
      PrintFind(*store, query, FormatOf(find_csv, find_json), std::cout);
      return 0;
    }
    if (changes->parsed()) {
      ChangesQuery query;
      if (changes_machine) query.machine.emplace(*changes_machine);
      if (since) query.since = TimeArgument("--since", *since);
      if (until) query.until = TimeArgument("--until", *until);
      std::unique_ptr<Store> store = OpenStore(db, false);
      PrintChanges(*store, query, FormatOf(changes_csv, changes_json), std::cout);
      return 0;
    }
    if (machines->parsed()) {
      const Time when = now ? TimeArgument("--now", *now) : LocalNow();
      std::unique_ptr<Store> store = OpenStore(db, false);
      PrintMachines(*store, when, stale, FormatOf(machines_csv, machines_json), std::cout);
      return 0;
    }
    if (programs->parsed()) {
      std::unique_ptr<Store> store = OpenStore(db, false);
      PrintPrograms(*store, programs_top, FormatOf(programs_csv, programs_json), std::cout);
      return 0;
    }
    if (exposure.parsed()) return exposure.Run(db);
    if (report->parsed()) {
      std::optional<Advisories> advisories;
      if (report_advisories && !(advisories = ReadAdvisoriesFile(*report_advisories, std::cerr))) {
        return kUsageError;
      }
      ReportOptions options;
      options.advisories = advisories ? &*advisories : nullptr;
      options.database = db;
      options.made = LocalNow();
      options.now = report_now ? TimeArgument("--now", *report_now) : options.made;
      options.top = report_top;
      options.stale_days = report_stale;
      std::unique_ptr<Store> store = OpenStore(db, false);
      const std::string page = RenderReport(GatherFigures(*store, options), options);
      try {
        WriteFileWhole(report_out, page);
      } catch (const std::runtime_error& e) {
        std::cerr << "vurfleet: " << e.what() << '\n';
        return kUsageError;
      }
      return 0;
    }
  } catch (const UsageError& e) {
    std::cerr << "vurfleet: " << e.message << '\n';
    return kUsageError;
  } catch (const StoreError& e) {
    std::cout.flush();
    std::cerr << "vurfleet: " << e.what() << '\n';
    return kUsageError;
  }
  return kUsageError;
}

}  // namespace
}  // namespace vurfleet

int main(int argc, char** argv) { return vurfleet::Run(argc, argv); }
