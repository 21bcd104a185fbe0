// vurfleet: the fleet's inventory, from the files the scanner's runs left on
// a share, in one database with each machine's history.
//
// Exit codes: 0 done; 1 a file was refused (load); 2 a usage error, or a
// database that can't be opened, read or written.
#include <CLI/CLI.hpp>
#include <sys/stat.h>

#include <cstdlib>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include "base/text.h"
#include "base/time.h"
#include "base/version.h"
#include "cli/exposure.h"
#include "load/loader.h"
#include "load/procedure.h"
#include "query/print.h"
#include "report/figures.h"
#include "report/render.h"
#include "run/version.h"
#include "store/store.h"

namespace vurfleet {
namespace {

constexpr int kUsageError = 2;

constexpr const char* kCsvHelp =
    "CSV (RFC 4180) with a header row; a text that begins with =, +, - or @ gets a ' "
    "before it, so that no spreadsheet runs it (--json keeps every text exactly)";

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

// What forget took out, one line; a machine or scan not stored is exit code 1.
int PrintForget(const ForgetResult& result, const std::string& machine, std::optional<Time> scan,
                std::ostream& out, std::ostream& err) {
  if (result.machine.empty()) {
    err << "vurfleet: no machine " << Printable(machine) << " is stored\n";
    return 1;
  }
  const std::string name = Printable(result.machine);
  if (result.scans.empty()) {
    err << "vurfleet: " << name << " has no scan that started " << FormatTime(*scan) << '\n';
    return 1;
  }
  const auto count = [](std::int64_t n, const char* one, const char* many) {
    return std::to_string(n) + " " + (n == 1 ? one : many);
  };
  if (!scan) {
    out << name << ": forgot the machine whole: " << count(static_cast<std::int64_t>(result.scans.size()), "scan", "scans")
        << " (" << FormatTime(result.scans.front().started) << " to " << FormatTime(result.scans.back().started)
        << ") and its history\n";
    return 0;
  }
  const ScanFacts& gone = result.scans.front();
  out << name << ": forgot the scan started " << FormatTime(gone.started) << " (from " << Printable(gone.file)
      << ", " << (gone.finished ? "finished" : "not finished") << ", "
      << count(gone.report_lines, "report line", "report lines") << ", "
      << count(gone.error_lines, "ERROR line", "ERROR lines") << ")";
  if (result.machine_removed) {
    out << "; it was the machine's only scan: the machine is gone\n";
  } else {
    out << "; history worked out again, " << count(result.files, "entry", "entries") << " now\n";
  }
  return 0;
}

// A whole number from 0 to `most`, said in words when it is none.
CLI::Validator WholeNumber(const char* what, long most) {
  return CLI::Validator(
      [what, most](std::string& text) -> std::string {
        const std::string range = "a whole number of " + std::string(what) + " from 0 to " + std::to_string(most);
        if (text.empty() || text.size() > 9 || text.find_first_not_of("0123456789") != std::string::npos ||
            std::stol(text) > most) {
          return "'" + text + "' is not " + range;
        }
        return std::string();
      },
      "", "");
}

Version VersionArgument(const std::string& option, const std::string& text) {
  const std::optional<Version> version = Version::ParseArgument(text);
  if (!version) {
    throw UsageError{option + ": '" + text +
                     "' is no version: give 1 to 4 numbers 0-65535 separated by dots"};
  }
  return *version;
}

// Where `load`'s files and folders begin in argv. After the first of them
// every word is one, whatever it looks like; before it, a word is an option
// (or the value of one) when it begins with '-' and names nothing that
// exists. So `load *` in a share that holds a file named "--machine=PCB" or
// "--db=x" loads that file as a file, wherever the glob's order puts it.
// `files` is where they begin; `cut` the end of what the parser reads (the
// same, or a "--" before them). Both are argc when the command is not load.
struct LoadWords {
  int cut;
  int files;
};

LoadWords FindLoadFiles(const CLI::App& app, const CLI::App& load, int argc, char** argv) {
  // Whether `word` is an option that takes the next word as its value.
  const auto takes_value = [](const CLI::App& where, const std::string& word) {
    if (word.find('=') != std::string::npos) return false;
    const CLI::Option* option = where.get_option_no_throw(word);
    return option != nullptr && option->get_type_size_max() > 0;
  };
  int i = 1;
  while (i < argc && argv[i][0] == '-' && std::string(argv[i]) != "--") {
    i += takes_value(app, argv[i]) ? 2 : 1;
  }
  if (i >= argc || !load.check_name(argv[i])) return LoadWords{argc, argc};
  for (++i; i < argc; ++i) {
    const std::string word = argv[i];
    if (word == "--") return LoadWords{i, i + 1};
    struct stat info;
    if (word.size() < 2 || word[0] != '-' || lstat(word.c_str(), &info) == 0) {
      return LoadWords{i, i};
    }
    // The program's own options may follow the command.
    if (takes_value(load, word) || takes_value(app, word)) ++i;
  }
  return LoadWords{argc, argc};
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
  std::optional<std::string> load_now;
  load->add_option("--now", load_now,
                   "TIME: this machine's clock, for refusing scans that started more than two days "
                   "after it (default: the clock itself)");
  load->add_option("FILE_OR_FOLDER", inputs,
                   "Files and folders to load. Every word after the first is one, and so is "
                   "a first that names a file or folder, whatever it looks like (-- before "
                   "them is safe too)");

  // forget
  CLI::App* forget = app.add_subcommand(
      "forget", "Take out one stored scan (the machine's history worked out again without it), "
                "or a machine whole");
  std::string forget_machine;
  std::optional<std::string> forget_scan;
  forget->add_option("--machine", forget_machine, "NAME: the machine (case ignored)")->required();
  forget->add_option("--scan", forget_scan,
                     "TIME: the start of the scan to take out, as the queries show it "
                     "(default: the machine whole)");

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
  CLI::Option* o_find_csv = find->add_flag("--csv", find_csv, kCsvHelp);
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
  CLI::Option* o_changes_csv = changes->add_flag("--csv", changes_csv, kCsvHelp);
  changes->add_flag("--json", changes_json, "JSON Lines: one object a row")->excludes(o_changes_csv);

  // machines
  CLI::App* machines = app.add_subcommand(
      "machines", "List the machines: last scan, status, entries and ERROR lines");
  int stale = 7;
  std::optional<std::string> now;
  bool machines_csv = false, machines_json = false;
  machines->add_option("--stale", stale, "DAYS: stale when the last scan started longer ago (default 7)")
      ->check(WholeNumber("days", 36500));
  machines->add_option("--now", now, "TIME: the time to measure from (default: this machine's clock)");
  CLI::Option* o_machines_csv = machines->add_flag("--csv", machines_csv, kCsvHelp);
  machines->add_flag("--json", machines_json, "JSON Lines: one object a row")->excludes(o_machines_csv);

  // programs
  CLI::App* programs = app.add_subcommand(
      "programs", "List the file names held by the most machines, and their versions");
  int programs_top = 25;
  bool programs_csv = false, programs_json = false;
  programs->add_option("--top", programs_top, "N: this many file names (default 25)")
      ->check(WholeNumber("names", 1000000));
  CLI::Option* o_programs_csv = programs->add_flag("--csv", programs_csv, kCsvHelp);
  programs->add_flag("--json", programs_json, "JSON Lines: one object a row")->excludes(o_programs_csv);

  ExposureCommand exposure(app);

  // report
  CLI::App* report = app.add_subcommand(
      "report", "Write the fleet at a glance as one HTML page that needs no network");
  std::string report_out = "report.html";
  std::optional<std::string> report_now;
  int report_top = 25, report_stale = 7;
  report->add_option("-o,--output", report_out,
                     "FILE: the page to write (default report.html), - for standard output");
  report->add_option("--now", report_now, "TIME: the time to measure from (default: this machine's clock)");
  report->add_option("--top", report_top, "N: the most widespread programs shown (default 25)")
      ->check(WholeNumber("names", 1000000));
  report->add_option("--stale", report_stale,
                     "DAYS: stale when the last scan started longer ago (default 7)")
      ->check(WholeNumber("days", 36500));
  std::optional<std::string> report_advisories;
  report->add_option("--advisories", report_advisories,
                     "FILE: advisories to open the page with the fleet's exposure (see exposure)");

  const LoadWords load_words = FindLoadFiles(app, *load, argc, argv);
  try {
    app.parse(load_words.cut, argv);
  } catch (const CLI::ParseError& e) {
    if (e.get_exit_code() == static_cast<int>(CLI::ExitCodes::Success)) return app.exit(e);
    std::cerr << "vurfleet: " << e.what() << "\nRun 'vurfleet --help' for the commands, "
              << "'vurfleet COMMAND --help' for one.\n";
    return kUsageError;
  }

  try {
    if (load->parsed()) {
      inputs.insert(inputs.end(), argv + load_words.files, argv + argc);
      if (inputs.empty()) throw UsageError{"load: FILE_OR_FOLDER is required"};
      if (machine && !IsMachineName(*machine)) {
        throw UsageError{"--machine: '" + *machine +
                         "' is no computer name (letters, digits, '-' and '_')"};
      }
      std::unique_ptr<Store> store = OpenStore(db, Access::kWrite);
      LoadOptions options;
      options.machine = machine;
      options.now = load_now ? TimeArgument("--now", *load_now) : LocalNow();
      return LoadAll(*store, inputs, options, std::cout, std::cerr);
    }
    if (forget->parsed()) {
      const std::optional<Time> scan =
          forget_scan ? std::optional<Time>(TimeArgument("--scan", *forget_scan)) : std::nullopt;
      std::unique_ptr<Store> store = OpenStore(db, Access::kWrite);
      return PrintForget(Forget(*store, forget_machine, scan), forget_machine, scan, std::cout, std::cerr);
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
      std::unique_ptr<Store> store = OpenStore(db, Access::kRead);
      PrintFind(*store, query, FormatOf(find_csv, find_json), std::cout);
      return 0;
    }
    if (changes->parsed()) {
      ChangesQuery query;
      if (changes_machine) query.machine.emplace(*changes_machine);
      if (since) query.since = TimeArgument("--since", *since);
      if (until) query.until = TimeArgument("--until", *until);
      std::unique_ptr<Store> store = OpenStore(db, Access::kRead);
      PrintChanges(*store, query, FormatOf(changes_csv, changes_json), std::cout);
      return 0;
    }
    if (machines->parsed()) {
      const Time when = now ? TimeArgument("--now", *now) : LocalNow();
      std::unique_ptr<Store> store = OpenStore(db, Access::kRead);
      PrintMachines(*store, when, stale, FormatOf(machines_csv, machines_json), std::cout);
      return 0;
    }
    if (programs->parsed()) {
      std::unique_ptr<Store> store = OpenStore(db, Access::kRead);
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
      options.made = LocalNow();
      options.now = report_now ? TimeArgument("--now", *report_now) : options.made;
      options.top = report_top;
      options.stale_days = report_stale;
      std::unique_ptr<Store> store = OpenStore(db, Access::kRead);
      options.database = store->Description();
      const std::string page = RenderReport(GatherFigures(*store, options), options);
      if (report_out == "-") {
        std::cout << page << std::flush;
        if (!std::cout) {
          std::cerr << "vurfleet: standard output: can't write the page\n";
          return kUsageError;
        }
        return 0;
      }
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
    // It may name a file of the share, or quote what the database holds.
    std::cerr << "vurfleet: " << Printable(e.what()) << '\n';
    return kUsageError;
  }
  return kUsageError;
}

}  // namespace
}  // namespace vurfleet

int main(int argc, char** argv) { return vurfleet::Run(argc, argv); }
