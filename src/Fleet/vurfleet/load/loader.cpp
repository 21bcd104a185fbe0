#include "load/loader.h"

#include <variant>

#include "base/text.h"
#include "load/files.h"
#include "load/sha256.h"
#include "read/read.h"

namespace vurfleet {
namespace {

std::string BaseName(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string Count(std::int64_t n, const char* one, const char* many) {
  return std::to_string(n) + " " + (n == 1 ? one : many);
}

// "PC042, started 2026-12-08 04:03:56, finished, 3012 report lines, 1 ERROR line"
std::string Summary(const std::string& machine, const Scan& scan) {
  std::string text = machine + ", started " + FormatTime(scan.started) + ", " +
                     (scan.finished() ? "finished" : "not finished") + ", " +
                     Count(scan.report_lines, "report line", "report lines") + ", " +
                     Count(static_cast<std::int64_t>(scan.errors.size()), "ERROR line",
                           "ERROR lines");
  if (scan.unterminated_tail) text += ", its end still being written";
  return text;
}

class Loader {
 public:
  Loader(Store& store, const LoadOptions& options, std::ostream& out, std::ostream& err)
      : store_(store), options_(options), out_(out), err_(err) {}

  void LoadOne(const FileToLoad& file);
  bool refused() const { return refused_; }

 private:
  void Refuse(const std::string& file, int line, const std::string& why) {
    err_ << "vurfleet: " << file << (line > 0 ? ":" + std::to_string(line) : std::string()) << ": "
         << why << '\n';
    refused_ = true;
  }

  Store& store_;
  const LoadOptions& options_;
  std::ostream& out_;
  std::ostream& err_;
  bool refused_ = false;
};

void Loader::LoadOne(const FileToLoad& file) {
  if (!file.error.empty()) return Refuse(file.path, 0, file.error);
  std::string why;
  std::optional<std::string> bytes = ReadFileBytes(file.path, &why);
  if (!bytes) return Refuse(file.path, 0, why);

  const std::string sha = Sha256(*bytes);
  if (std::optional<Store::StoredFile> stored = store_.FindFile(sha)) {
    // Known bytes need no reading.
    out_ << file.path << ": already loaded (" << stored->machine << ", started "
         << FormatTime(stored->started) << ", from " << stored->file << ")\n";
    return;
  }

  std::string machine;
  if (options_.machine) {
    machine = *options_.machine;
  } else {
    const std::optional<std::string> named = MachineOfFileName(BaseName(file.path));
    if (!named) {
      return Refuse(file.path, 0, "the file's name holds no machine name before its first dot; "
                                  "name the machine with --machine");
    }
    machine = *named;
  }
  if (!IsMachineName(machine)) {
    return Refuse(file.path, 0, "'" + (IsUtf8(machine) ? machine : std::string("?")) +
                                    "' is no computer name (letters, digits, '-' and '_'); "
                                    "name the machine with --machine");
  }

  std::variant<Scan, Refusal> read = ReadScan(std::move(*bytes));
  if (const Refusal* refusal = std::get_if<Refusal>(&read)) {
    return Refuse(file.path, refusal->line, refusal->why);
  }
  const Scan& scan = std::get<Scan>(read);
  ScanFile scan_file{machine, file.path, sha, &scan};
  const LoadResult result = store_.Load(scan_file);
  const std::string summary = Summary(result.machine, scan);
  switch (result.status) {
    case LoadStatus::kLoaded:
    case LoadStatus::kReplaced:
      out_ << file.path << ": " << summary;
      if (result.status == LoadStatus::kReplaced) {
        out_ << "; replaces the unfinished copy from " << result.stored_file;
      } else if (result.reordered) {
        out_ << "; earlier than the latest scan: history worked out again";
      }
      out_ << '\n';
      return;
    case LoadStatus::kAlreadyLoaded:
      out_ << file.path << ": already loaded (" << result.machine << ", started "
           << FormatTime(result.stored_started) << ", from " << result.stored_file << ")\n";
      return;
    case LoadStatus::kKeptStored:
      out_ << file.path << ": " << summary << "; not stored: the copy of this run from "
           << result.stored_file << " is further along\n";
      return;
    case LoadStatus::kConflict:
      return Refuse(file.path, scan.started_line,
                    "conflict: " + result.machine + "'s run started " + FormatTime(scan.started) +
                        " is stored finished from " + result.stored_file +
                        ", with other bytes; a finished run is never replaced");
  }
}

}  // namespace

std::optional<std::string> MachineOfFileName(std::string_view file_name) {
  const std::string_view machine = file_name.substr(0, file_name.find('.'));
  if (machine.empty()) return std::nullopt;
  return std::string(machine);
}

bool IsMachineName(std::string_view name) {
  if (name.empty() || name.size() > 63 || name[0] == '-') return false;
  std::size_t pos = 0;
  char32_t c;
  while (pos < name.size()) {
    if (!NextCodePoint(name, &pos, &c)) return false;
    const bool ascii_ok = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
                          (c >= '0' && c <= '9') || c == '-' || c == '_';
    // Letters of other scripts, but no controls, spaces, separators or
    // marks that could break a line or hide in one.
    const bool other_ok = c >= 0xC0 && !(c >= 0x2000 && c <= 0x206F) && c != 0x3000 &&
                          c != 0xFEFF && !(c >= 0xFFF0 && c <= 0xFFFF) &&
                          !(c >= 0xE000 && c <= 0xF8FF);
    if (!(ascii_ok || other_ok)) return false;
  }
  return true;
}

int LoadAll(Store& store, const std::vector<std::string>& arguments, const LoadOptions& options,
            std::ostream& out, std::ostream& err) {
  Loader loader(store, options, out, err);
  for (const FileToLoad& file : ListFiles(arguments)) {
    loader.LoadOne(file);
    out.flush();
  }
  return loader.refused() ? 1 : 0;
}

}  // namespace vurfleet
