#include "load/loader.h"

#include <algorithm>
#include <chrono>
#include <ctime>
#include <condition_variable>
#include <deque>
#include <exception>
#include <mutex>
#include <new>
#include <thread>
#include <variant>

#include "base/text.h"
#include "load/files.h"
#include "load/group.h"
#include "load/line_runs.h"
#include "load/procedure.h"
#include "load/sha256.h"
#include "read/read.h"
#include "store/stored.h"

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
  std::size_t bytes = 0;  // what it holds in memory, about

  const Scan* scan() const { return read ? std::get_if<Scan>(&*read) : nullptr; }
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

  enum class Got { kFile, kWaited, kDone };
  // The next file, waiting for it until `deadline`: kWaited when none came
  // by then, kDone after the last.
  Got Next(std::chrono::steady_clock::time_point deadline, Prepared* next) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (!changed_.wait_until(lock, deadline, [this] { return !ready_.empty() || done_; })) {
      return Got::kWaited;
    }
    if (ready_.empty()) return Got::kDone;
    *next = std::move(ready_.front());
    ready_.pop_front();
    held_bytes_ -= next->bytes;
    changed_.notify_all();
    return Got::kFile;
  }

 private:
  // Files held ready at most: a group's worth, so that the next group is
  // read while one is stored; and bytes held, so that large files can't
  // add up (one is always held, whatever its size).
  std::size_t Ahead() const { return 2 * std::max<std::size_t>(1, options_.group_files); }
  static constexpr std::size_t kAheadBytes = std::size_t{256} << 20;

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
    p.bytes = bytes->size();
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
      changed_.wait(lock, [this] {
        return stop_ || ready_.empty() || (ready_.size() < Ahead() && held_bytes_ < kAheadBytes);
      });
      if (stop_) return;
      held_bytes_ += p.bytes;
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
  std::size_t held_bytes_ = 0;
  bool done_ = false;
  bool stop_ = false;
  std::thread thread_;  // last: starts once the rest is there
};

// What one file's load says: a line for standard output, or a refusal for
// standard error. Printed when the file's group has committed.
struct Said {
  std::string out;
  std::string err;
  bool already = false;  // the file's bytes were stored already
};

class Loader {
 public:
  Loader(Store& store, Time now, std::ostream& out, std::ostream& err)
      : store_(store), now_(now), out_(out), err_(err) {}

  // Stores the group, one transaction, and prints each file's line once it
  // has committed. A store error ends the load: the group is rolled back,
  // and nothing of it was said.
  void LoadGroup(std::vector<Prepared>& group);
  bool refused() const { return figures_.refused > 0; }
  const LoadFigures& figures() const { return figures_; }

 private:
  // Names, excerpts and stored paths come from the share or the database:
  // each text reaches the terminal or the journal through Printable.
  static Said Refusal(const std::string& file, int line, const std::string& why) {
    return Said{"", "vurfleet: " + Printable(file) + (line > 0 ? ":" + std::to_string(line) : std::string()) +
                        ": " + Printable(why) + "\n"};
  }
  // The refusal of a file that can't be stored at all, or nothing.
  std::optional<Said> Check(const Prepared& file) const;
  Said Stored(const Prepared& file, const LoadResult& result) const;

  Store& store_;
  const Time now_;
  std::ostream& out_;
  std::ostream& err_;
  LoadFigures figures_;
};

std::optional<Said> Loader::Check(const Prepared& prepared) const {
  const std::string& path = prepared.file.path;
  if (!prepared.read_error.empty()) return Refusal(path, 0, prepared.read_error);
  if (!prepared.name_error.empty()) return Refusal(path, 0, prepared.name_error);
  if (const vurfleet::Refusal* refusal = std::get_if<vurfleet::Refusal>(&*prepared.read)) {
    return Refusal(path, refusal->line, refusal->why);
  }
  const Scan& scan = *prepared.scan();
  // A stamp from a clock set wrong would stand as the machine's latest scan
  // for years, and hide every real one before it.
  if (scan.started > now_ + kClockTolerance) {
    return Refusal(path, scan.started_line + 1,
                   "started " + FormatTime(scan.started) + ", later than this machine's clock (" +
                       FormatTime(now_) + ")");
  }
  return std::nullopt;
}

Said Loader::Stored(const Prepared& prepared, const LoadResult& result) const {
  const std::string& path = prepared.file.path;
  const std::string shown = Printable(path);
  const Scan& scan = *prepared.scan();
  const std::string summary = Summary(Printable(result.machine), scan);
  switch (result.status) {
    case LoadStatus::kLoaded:
    case LoadStatus::kReplaced: {
      std::string line = shown + ": " + summary;
      if (result.status == LoadStatus::kReplaced) {
        line += "; replaces the unfinished copy from " + Printable(result.stored_file);
      } else if (result.reordered) {
        line += "; earlier than the latest scan: history worked out again";
      }
      return Said{line + "\n", ""};
    }
    case LoadStatus::kAlreadyLoaded:
      return Said{shown + ": already loaded (" + Printable(result.machine) + ", started " +
                      FormatTime(result.stored_started) + ", from " + Printable(result.stored_file) + ")\n",
                  "", true};
    case LoadStatus::kKeptStored:
      return Said{shown + ": " + summary + "; not stored: the copy of this run from " +
                      Printable(result.stored_file) + " is further along\n",
                  ""};
    case LoadStatus::kConflict:
      break;
  }
  return Refusal(path, scan.started_line,
                 "conflict: " + result.machine + "'s run started " + FormatTime(scan.started) +
                     " is stored finished from " + result.stored_file +
                     ", with other bytes; a finished run is never replaced");
}

void Loader::LoadGroup(std::vector<Prepared>& group) {
  std::vector<Said> said(group.size());
  std::vector<std::size_t> storable;
  std::vector<std::string> machines;
  for (std::size_t k = 0; k < group.size(); ++k) {
    if (std::optional<Said> refused = Check(group[k])) {
      said[k] = std::move(*refused);
    } else {
      storable.push_back(k);
      machines.push_back(MachineName(group[k].machine));
    }
  }
  if (!storable.empty()) {
    std::vector<ScanFile> files;
    for (const std::size_t k : storable) {
      Prepared& p = group[k];
      files.push_back(ScanFile{p.machine, p.file.path, p.sha256, p.scan(), std::move(p.runs)});
    }
    // A group that fails still says what was refused before it began: those
    // refusals hold whatever the store does.
    const auto say_refused = [&] {
      for (std::size_t k = 0; k < group.size(); ++k) {
        if (std::find(storable.begin(), storable.end(), k) == storable.end() && !said[k].err.empty()) {
          err_ << said[k].err;
        }
      }
      out_.flush();
    };
    std::size_t in_flight = 0;
    try {
      InGroup(store_, machines, [&] {
        std::vector<const ScanFile*> expected;
        for (const ScanFile& f : files) expected.push_back(&f);
        store_.Expect(expected);
        for (std::size_t f = 0; f < files.size(); ++f) {
          in_flight = f;
          const Prepared& p = group[storable[f]];
          try {
            said[storable[f]] = Stored(p, LoadFile(store_, files[f]));
          } catch (const std::bad_alloc&) {
            // Its savepoint was taken back; the next file may well fit.
            said[storable[f]] =
                Refusal(p.file.path, 0, "out of memory while storing it; nothing of it was stored");
          }
        }
        return true;
      });
    } catch (const StoreError& e) {
      say_refused();
      throw StoreError(std::string(e.what()) + " (while loading " + files[in_flight].file +
                       ": its transaction was rolled back; load it again)");
    } catch (...) {
      say_refused();
      throw;
    }
  }
  for (std::size_t k = 0; k < said.size(); ++k) {
    out_ << said[k].out;
    err_ << said[k].err;
    if (!said[k].err.empty()) {
      ++figures_.refused;
    } else if (said[k].already) {
      ++figures_.already_loaded;
    } else {
      ++figures_.stored;
    }
  }
  out_.flush();
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
  // Groups: as many files as come within kGroupWait of the first, up to
  // options.group_files of them and kGroupLines report lines.
  bool done = false;
  while (!done) {
    std::vector<Prepared> group;
    std::size_t lines = 0;
    auto deadline = std::chrono::steady_clock::time_point::max();
    const std::size_t most = std::max<std::size_t>(1, options.group_files);
    while (group.size() < most && lines < kGroupLines) {
      Prepared next;
      const Reader::Got got = reader.Next(deadline, &next);
      if (got == Reader::Got::kDone) done = true;
      if (got != Reader::Got::kFile) break;
      if (group.empty()) deadline = std::chrono::steady_clock::now() + kGroupWait;
      if (const Scan* scan = next.scan()) lines += scan->reports.size();
      group.push_back(std::move(next));
    }
    if (!group.empty()) loader.LoadGroup(group);
  }
  store.Settle();
  LoadFigures figures = loader.figures();
  figures.finished = static_cast<std::int64_t>(std::time(nullptr));
  // A group of its own, tried again as the files' groups are while another
  // load holds the lock.
  InGroup(store, {}, [&] {
    store.NoteLoad(figures);
    return true;
  });
  return loader.refused() ? 1 : 0;
}

}  // namespace vurfleet
