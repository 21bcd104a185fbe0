// The inventory's store: one interface, one implementation per database.
// Its unit is one scan file for one machine, stored whole in one
// transaction, and the queries; never a single line.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <cstdint>
#include <string>
#include <vector>

#include "query/rows.h"
#include "read/scan.h"

namespace vurfleet {

// A database that can't be opened, read or written. The message names what
// failed and never holds a password.
class StoreError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A run of a scan's report lines (in file order) and a digest of their
// text. A machine's next scan repeats most runs of its last one; a store
// may recognise them by digest and take their ids from what it stored for
// the last scan instead of looking each line up.
struct LineRun {
  std::uint32_t first;
  std::uint32_t count;
  std::uint64_t digest;
};

// One collected file, read.
struct ScanFile {
  std::string machine;  // any case; kept in upper case
  std::string file;     // the name it was loaded from, kept with the scan
  std::string sha256;   // the 32 bytes of the file's SHA-256
  const Scan* scan = nullptr;
  std::vector<LineRun> runs;  // covering scan->reports; may be empty
};

enum class LoadStatus {
  kLoaded,         // stored
  kReplaced,       // stored in place of an unfinished copy of the same run
  kAlreadyLoaded,  // these bytes are stored already, as this machine's
  kKeptStored,     // a copy of the same run that is further along is stored
  kConflict,       // a finished copy of the same run with other bytes is stored
};

struct LoadResult {
  LoadStatus status = LoadStatus::kLoaded;
  std::string machine;     // as stored
  std::string stored_file; // for kAlreadyLoaded, kKeptStored, kConflict: the stored copy's file
  Time stored_started = 0; // for kAlreadyLoaded: the stored run's start
  bool reordered = false;  // the scan was not the machine's latest: its history was worked out again
};

// A stored scan that Forget took out.
struct ForgottenScan {
  Time started = 0;
  std::string file;
  bool finished = false;
  std::int64_t report_lines = 0;
  std::int64_t error_lines = 0;
};

struct ForgetResult {
  std::string machine;               // as stored; empty: no such machine
  std::vector<ForgottenScan> scans;  // in start order; empty: no such scan
  bool machine_removed = false;      // the machine is gone whole
  std::int64_t files = 0;            // entries of its inventory after, if it stays
};

class Store {
 public:
  virtual ~Store() = default;

  // The database as messages and the page show it: a SQLite file's path,
  // or a PostgreSQL connection as libpq reads it, without its password.
  virtual std::string Description() const = 0;

  // The machine's stored scan with these bytes, if any: (machine as
  // stored, file, start). The same bytes under another machine's name are
  // that machine's scan: cloned desktops write identical files.
  struct StoredFile {
    std::string machine;
    std::string file;
    Time started;
  };
  virtual std::optional<StoredFile> FindFile(const std::string& machine, const std::string& sha256) = 0;

  // Stores one scan of one machine in one transaction, and the machine's
  // history with it: a scan later than the machine's others adds only what
  // changed; one that is not (a late file, or a copy that replaces an
  // unfinished one) has the machine's history worked out again from its
  // stored scans. A process killed at any moment leaves the database as it
  // was before the file. Throws StoreError when the database fails.
  virtual LoadResult Load(const ScanFile& file) = 0;

  // Takes out what should not be there, in one transaction: the machine's
  // scan that started at `scan`, its history worked out again as if that
  // scan had never been loaded; or, without `scan`, the machine whole. A
  // machine left without scans is taken out whole. `machine` is compared
  // without regard to case.
  virtual ForgetResult Forget(const std::string& machine, std::optional<Time> scan) = 0;

  // The queries. Each hands its rows, in their order, to `row`.
  virtual void Find(const FindQuery& query, const std::function<void(const FindRow&)>& row) = 0;
  virtual void Changes(const ChangesQuery& query,
                       const std::function<void(const ChangeRow&)>& row) = 0;
  virtual void Machines(const std::function<void(const MachineRow&)>& row) = 0;
  // The `top` file names held by the most machines (ties by name), with
  // their versions; nothing for `top` <= 0. See ProgramRow.
  virtual void Programs(int top, const std::function<void(const ProgramRow&)>& row) = 0;
};

// How a store is opened.
enum class Access {
  // Queries only: the store can't write the database, and every query of its
  // life reads one snapshot of it, however many statements it takes and
  // whatever loads commit meanwhile. A missing database is an error.
  kRead,
  // Loads and queries: a missing SQLite file, or a database without the
  // inventory's tables, is given its schema; each query reads a snapshot of
  // its own.
  kWrite,
};

// Opens the store named by `where`: a PostgreSQL database when it is a
// postgresql:// (or postgres://) URI or a libpq "keyword=value" string,
// else a SQLite file. Throws StoreError.
std::unique_ptr<Store> OpenStore(const std::string& where, Access access);

}  // namespace vurfleet
