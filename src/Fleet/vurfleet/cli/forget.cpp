// `vurfleet forget`: what should not be there, taken out.
#include <iostream>

#include "base/text.h"
#include "cli/command.h"
#include "load/procedure.h"
#include "store/store.h"

namespace vurfleet {
namespace {

// What forget took out, one line; a machine or scan not stored is kExitRefused.
int PrintForget(const ForgetResult& result, const std::string& machine, std::optional<Time> scan,
                std::ostream& out, std::ostream& err) {
  if (result.machine.empty()) {
    err << "vurfleet: no machine " << Printable(machine) << " is stored\n";
    return kExitRefused;
  }
  const std::string name = Printable(result.machine);
  if (result.scans.empty()) {
    err << "vurfleet: " << name << " has no scan that started " << FormatTime(*scan) << '\n';
    return kExitRefused;
  }
  const auto count = [](std::int64_t n, const char* one, const char* many) {
    return std::to_string(n) + " " + (n == 1 ? one : many);
  };
  if (!scan) {
    out << name << ": forgot the machine whole: " << count(static_cast<std::int64_t>(result.scans.size()), "scan", "scans")
        << " (" << FormatTime(result.scans.front().started) << " to " << FormatTime(result.scans.back().started)
        << ") and its history\n";
    return kExitOk;
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
  return kExitOk;
}

class ForgetCommand : public Command {
 public:
  explicit ForgetCommand(CLI::App& app) {
    command_ = app.add_subcommand(
        "forget", "Take out one stored scan (the machine's history worked out again without it), "
                  "or a machine whole");
    command_->add_option("--machine", machine_, "NAME: the machine (case ignored)")->required();
    command_->add_option("--scan", scan_,
                         "TIME: the start of the scan to take out, as the queries show it "
                         "(default: the machine whole)");
  }

  int Run(const std::string& db) override {
    if (machine_.empty()) throw UsageError{"--machine: give the name of a stored machine"};
    const std::optional<Time> scan = TimeArgument("--scan", scan_);
    std::unique_ptr<Store> store = OpenStore(db, Access::kWrite);
    PrintUpgraded(*store, std::cerr);
    const ForgetResult result = Forget(*store, machine_, scan);
    store->Settle();
    return PrintForget(result, machine_, scan, std::cout, std::cerr);
  }

 private:
  std::string machine_;
  std::optional<std::string> scan_;
};

}  // namespace

std::unique_ptr<Command> AddForget(CLI::App& app) { return std::make_unique<ForgetCommand>(app); }

}  // namespace vurfleet
