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
  kAlreadyLoaded,  // these bytes are stored already
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

class Store {
 public:
  virtual ~Store() = default;

  // The stored scan with these bytes, if any: (machine, file, start).
  struct StoredFile {
    std::string machine;
    std::string file;
    Time started;
  };
  virtual std::optional<StoredFile> FindFile(const std::string& sha256) = 0;

  // Stores one scan of one machine in one transaction, and the machine's
  // history with it: a scan later than the machine's others adds only what
  // changed; one that is not (a late file, or a copy that replaces an
  // unfinished one) has the machine's history worked out again from its
  // stored scans. A process killed at any moment leaves the database as it
  // was before the file. Throws StoreError when the database fails.
  virtual LoadResult Load(const ScanFile& file) = 0;

  // The queries. Each hands its rows, in their order, to `row`.
  virtual void Find(const FindQuery& query, const std::function<void(const FindRow&)>& row) = 0;
  virtual void Changes(const ChangesQuery& query,
                       const std::function<void(const ChangeRow&)>& row) = 0;
  virtual void Machines(const std::function<void(const MachineRow&)>& row) = 0;
  // The `top` file names held by the most machines (ties by name), with
  // their versions; nothing for `top` <= 0. See ProgramRow.
  virtual void Programs(int top, const std::function<void(const ProgramRow&)>& row) = 0;
  // Every stored interval, of every machine, of the paths whose file name
  // matches one of `names`; ordered by machine, path, since. Intervals whose
  // version is not stored are left out, as Find leaves them.
  virtual void Holdings(const std::vector<Glob>& names,
                        const std::function<void(const HoldingRow&)>& row) = 0;
};

// Opens the store named by `where`: a PostgreSQL database when it is a
// postgresql:// (or postgres://) URI or a libpq "keyword=value" string,
// else a SQLite file. With `create`, a missing file, or a database without
// the inventory's tables, is given its schema; without, either is an error.
// Throws StoreError.
std::unique_ptr<Store> OpenStore(const std::string& where, bool create);

}  // namespace vurfleet
