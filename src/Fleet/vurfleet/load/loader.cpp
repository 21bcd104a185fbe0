#include "load/loader.h"

#include <condition_variable>
#include <deque>
#include <exception>
#include <mutex>
#include <new>
#include <thread>
#include <variant>

#include "base/text.h"
#include "load/files.h"
#include "load/line_runs.h"
#include "load/procedure.h"
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

// A file read, hashed and parsed, ready for the store.
struct Prepared {
  FileToLoad file;
  std::string read_error;   // the file could not be read
  std::string sha256;
  std::string machine;
  std::string name_error;   // no machine name
  std::optional<std::variant<Scan, Refusal>> read;
  std::vector<LineRun> runs;
};

// Reads, hashes and parses files on a thread of its own, a few files ahead
// of the store, so that the store's work and the parsing overlap. The files
// come out in their order.
class Reader {
 public:
  Reader(std::vector<FileToLoad> files, const LoadOptions& options)
      : files_(std::move(files)), options_(options), thread_([this] { Work(); }) {}
  ~Reader() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stop_ = true;
    }
    changed_.notify_all();
    thread_.join();
  }

  // The next file, or nothing after the last.
  std::optional<Prepared> Next() {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [this] { return !ready_.empty() || done_; });
    if (ready_.empty()) return std::nullopt;
    Prepared next = std::move(ready_.front());
    ready_.pop_front();
    changed_.notify_all();
    return next;
  }

 private:
  static constexpr std::size_t kAhead = 4;  // files held ready at most

  Prepared Prepare(const FileToLoad& file) const {
    Prepared p;
    p.file = file;
    if (!file.error.empty()) {
      p.read_error = file.error;
      return p;
    }
    std::optional<std::string> bytes = ReadFileBytes(file, &p.read_error);
    if (!bytes) return p;
    p.sha256 = Sha256(*bytes);
    if (options_.machine) {
      p.machine = *options_.machine;
    } else if (std::optional<std::string> named = MachineOfFileName(BaseName(file.path))) {
      p.machine = *named;
    } else {
      p.name_error = "the file's name holds no machine name before its first dot; "
                     "name the machine with --machine";
    }
    if (p.name_error.empty() && !IsMachineName(p.machine)) {
      p.name_error = "'" + Printable(p.machine) +
                     "' is no computer name (letters, digits, '-' and '_'); "
                     "name the machine with --machine";
    }
    if (p.name_error.empty()) {
      p.read = ReadScan(std::move(*bytes));
      if (const Scan* scan = std::get_if<Scan>(&*p.read)) p.runs = LineRuns(*scan);
    }
    return p;
  }

  // What failed in preparing one file refuses that file, and the next is
  // prepared: one file on the share must not stop every load after it.
  static Prepared Failed(const FileToLoad& file, std::string why) {
    Prepared p;
    p.file = file;
    p.read_error = std::move(why);
    return p;
  }

  void Work() {
    for (const FileToLoad& file : files_) {
      Prepared p;
      try {
        p = Prepare(file);
      } catch (const std::bad_alloc&) {
        p = Failed(file, "out of memory reading it: not loaded");
      } catch (const std::exception& e) {
        p = Failed(file, std::string("cannot read it: ") + e.what());
      } catch (...) {
        p = Failed(file, "cannot read it: an unknown failure");
      }
      std::unique_lock<std::mutex> lock(mutex_);
      changed_.wait(lock, [this] { return ready_.size() < kAhead || stop_; });
      if (stop_) return;
      ready_.push_back(std::move(p));
      changed_.notify_all();
    }
    std::lock_guard<std::mutex> lock(mutex_);
    done_ = true;
    changed_.notify_all();
  }

  const std::vector<FileToLoad> files_;
  const LoadOptions& options_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<Prepared> ready_;
  bool done_ = false;
  bool stop_ = false;
  std::thread thread_;  // last: starts once the rest is there
};

class Loader {
 public:
  Loader(Store& store, Time now, std::ostream& out, std::ostream& err)
      : store_(store), now_(now), out_(out), err_(err) {}

  void LoadOne(Prepared& file);
  bool refused() const { return refused_; }

 private:
  // Names, excerpts and stored paths come from the share or the database:
  // each text reaches the terminal or the journal through Printable.
  void Refuse(const std::string& file, int line, const std::string& why) {
    err_ << "vurfleet: " << Printable(file)
         << (line > 0 ? ":" + std::to_string(line) : std::string()) << ": " << Printable(why)
         << '\n';
    refused_ = true;
  }

  Store& store_;
  const Time now_;
  std::ostream& out_;
  std::ostream& err_;
  bool refused_ = false;
};

void Loader::LoadOne(Prepared& prepared) {
  const std::string& path = prepared.file.path;
  const std::string shown = Printable(path);
  if (!prepared.read_error.empty()) return Refuse(path, 0, prepared.read_error);

  if (!prepared.name_error.empty()) return Refuse(path, 0, prepared.name_error);
  if (const Refusal* refusal = std::get_if<Refusal>(&*prepared.read)) {
    return Refuse(path, refusal->line, refusal->why);
  }
  const Scan& scan = std::get<Scan>(*prepared.read);
  // A stamp from a clock set wrong would stand as the machine's latest scan
  // for years, and hide every real one before it.
  if (scan.started > now_ + kClockTolerance) {
    return Refuse(path, scan.started_line + 1,
                  "started " + FormatTime(scan.started) + ", later than this machine's clock (" +
                      FormatTime(now_) + ")");
  }
  ScanFile scan_file{prepared.machine, path, prepared.sha256, &scan, std::move(prepared.runs)};
  LoadResult result;
  try {
    result = LoadAlone(store_, scan_file);
  } catch (const std::bad_alloc&) {
    // Its transaction was rolled back; the next file may well fit.
    return Refuse(path, 0, "out of memory while storing it; nothing of it was stored");
  }
  const std::string summary = Summary(Printable(result.machine), scan);
  switch (result.status) {
    case LoadStatus::kLoaded:
    case LoadStatus::kReplaced:
      out_ << shown << ": " << summary;
      if (result.status == LoadStatus::kReplaced) {
        out_ << "; replaces the unfinished copy from " << Printable(result.stored_file);
      } else if (result.reordered) {
        out_ << "; earlier than the latest scan: history worked out again";
      }
      out_ << '\n';
      return;
    case LoadStatus::kAlreadyLoaded:
      out_ << shown << ": already loaded (" << Printable(result.machine) << ", started "
           << FormatTime(result.stored_started) << ", from " << Printable(result.stored_file)
           << ")\n";
      return;
    case LoadStatus::kKeptStored:
      out_ << shown << ": " << summary << "; not stored: the copy of this run from "
           << Printable(result.stored_file) << " is further along\n";
      return;
    case LoadStatus::kConflict:
      return Refuse(path, scan.started_line,
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
  Loader loader(store, options.now, out, err);
  Reader reader(ListFiles(arguments), options);
  while (std::optional<Prepared> file = reader.Next()) {
    loader.LoadOne(*file);
    out.flush();
  }
  return loader.refused() ? 1 : 0;
}

}  // namespace vurfleet
