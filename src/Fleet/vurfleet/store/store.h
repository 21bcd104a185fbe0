// The inventory's store: one interface, one implementation per database:
// the named operations a load is made of (store/load_target.h; the load
// itself is load/procedure.h), and the queries; never a single line.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "query/rows.h"
#include "read/scan.h"
#include "store/check_source.h"
#include "store/load_target.h"

namespace vurfleet {

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

// A stored file, as "already loaded" names it.
struct StoredFile {
  std::string machine;  // as stored
  std::string file;
  Time started = 0;
};

struct LoadResult {
  LoadStatus status = LoadStatus::kLoaded;
  std::string machine;     // as stored
  std::string stored_file; // for kAlreadyLoaded, kKeptStored, kConflict: the stored copy's file
  Time stored_started = 0; // for kAlreadyLoaded: the stored run's start
  bool reordered = false;  // the scan was not the machine's latest: its history was worked out again
};

struct ForgetResult {
  std::string machine;               // as stored; empty: no such machine
  std::vector<ScanFacts> scans;      // taken out, in start order; empty: no such scan
  bool machine_removed = false;      // the machine is gone whole
  std::int64_t files = 0;            // entries of its inventory after, if it stays
};

// What the last `vurfleet load` did with its files, kept by the load.
struct LoadFigures {
  std::int64_t stored = 0;          // stored, or kept as a further-along copy of the same run
  std::int64_t already_loaded = 0;  // these bytes were stored already
  std::int64_t refused = 0;         // refused, or in conflict with a finished run
  std::int64_t finished = 0;        // when the load ended, seconds since 1970 (UTC)
};

class Store : public LoadTarget, public CheckSource {
 public:
  // The database as messages and the page show it: a SQLite file's path,
  // or a PostgreSQL connection as libpq reads it, without its password.
  virtual std::string Description() const = 0;
  // What opening the store did to an inventory of an older schema, a line
  // each, for the terminal; empty when it found the schema current.
  const std::vector<std::string>& Upgraded() const { return upgraded_; }

  // The queries. Each hands its rows, in their order, to `row`.
  virtual void Find(const FindQuery& query, const std::function<void(const FindRow&)>& row) = 0;
  virtual void Changes(const ChangesQuery& query,
                       const std::function<void(const ChangeRow&)>& row) = 0;
  // The changes Changes gives from `since` to `until` (both included),
  // counted by kind without being read out, and handed to `row` from a scan
  // start at or before which the last `newest` of them lie; one snapshot.
  // A week of a large fleet is hundreds of thousands of changes.
  virtual ChangeCounts RecentChanges(Time since, Time until, std::size_t newest,
                                     const std::function<void(const ChangeRow&)>& row) = 0;
  virtual void Machines(const std::function<void(const MachineRow&)>& row) = 0;
  // The `top` file names held by the most machines (ties by name), with
  // their versions; nothing for `top` <= 0. See ProgramRow.
  virtual void Programs(int top, const std::function<void(const ProgramRow&)>& row) = 0;
  // The machines holding the file name `name` (lower case) now at a
  // version not among `versions`, each once. By default read as `find
  // --name` reads the inventory.
  virtual std::int64_t MachinesBeyond(const std::string& name, const std::vector<Version>& versions);
  // Every stored interval, of every machine, of the paths whose file name
  // matches one of `names`; ordered by machine, path, since. Intervals whose
  // version is not stored are left out, as Find leaves them.
  virtual void Holdings(const std::vector<Glob>& names,
                        const std::function<void(const HoldingRow&)>& row) = 0;
  // Each machine's scans' starts, finished or not: ordered by machine (as
  // Holdings orders them), then start.
  virtual void ScanStarts(const std::function<void(const std::string& machine, Time started)>& row) = 0;
  // The figures of a load that ended, in place of any before, written in
  // a group of the load (LoadTarget::BeginGroup). LastLoad: the last kept;
  // nothing when no load has ended since the inventory was made or upgraded.
  virtual void NoteLoad(const LoadFigures& figures) = 0;
  virtual std::optional<LoadFigures> LastLoad() = 0;

  // A reader (Access::kRead) of this reader's snapshot on a connection of
  // its own, for a query run beside this store's on another thread. None
  // where it can't be had: a writer; a SQLite reader not opened by
  // OpenTwinnedReader (SQLite can't hand a snapshot from one connection to
  // another), or asked for more twins than it was opened with; a server
  // with no connection left. The caller then asks this store.
  virtual std::unique_ptr<Store> Twin() { return nullptr; }

 protected:
  std::vector<std::string> upgraded_;
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

// Whether `where` names a PostgreSQL database: a postgresql:// or
// postgres:// URI, or a libpq "keyword=value ..." string.
bool IsConnectionString(std::string_view where);

// The PostgreSQL store, for `where` as IsConnectionString takes it. The
// command line loads it, with libpq and the libraries libpq needs, only when
// a database is PostgreSQL (store/pg_loader.cpp), so that a query of a
// SQLite file spends no time binding them; the tests link it in
// (store/postgres/pg_linked.cpp). Throws StoreError.
std::unique_ptr<Store> OpenPostgres(const std::string& where, Access access);

// Opens the store named by `where`: a PostgreSQL database when it is a
// postgresql:// (or postgres://) URI or a libpq "keyword=value" string,
// else a SQLite file. Throws StoreError.
std::unique_ptr<Store> OpenStore(const std::string& where, Access access);

// A reader (as OpenStore's Access::kRead) of which `twins` twins can be
// had: on SQLite, made with it, all beginning their reads while no commit
// can come; on PostgreSQL, any number, when asked.
std::unique_ptr<Store> OpenTwinnedReader(const std::string& where, int twins = 1);

}  // namespace vurfleet
