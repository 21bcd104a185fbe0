// What a PostgreSQL load fetched for its group (LoadTarget::Expect): the
// group's machines, their scans with the files' starts or bytes, and their
// latest runs, in three statements for the group instead of a few a file.
// Kept up to date by the group's own writes; emptied when the group ends,
// after which each question goes to the server again.
#pragma once

#include <map>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "store/load_target.h"
#include "store/postgres/pg_db.h"
#include "store/store.h"

namespace vurfleet::pg {

class ExpectedFiles {
 public:
  void Clear() { *this = ExpectedFiles(); }
  void Fetch(Connection& conn, const std::vector<const ScanFile*>& files);

  // The answers fetched; nothing when the question goes to the server.
  std::optional<std::optional<StoredMachine>> Machine(const std::string& name) const;
  std::optional<std::optional<std::pair<Time, std::string>>> Bytes(MachineId machine,
                                                                    const std::string& sha256) const;
  std::optional<std::optional<StoredRun>> Run(MachineId machine, Time started) const;
  std::optional<std::optional<LatestRuns>> Latest(MachineId machine) const;

  // The lines of `files` the group will ask ids for, each once: all but the
  // runs each machine's latest scan holds (the load takes those ids from it).
  void LinesToIntern(const std::vector<const ScanFile*>& files, std::vector<std::string_view>* paths,
                     std::vector<std::uint64_t>* values) const;

  // What a file wrote: `machine` its machine's id, `scan_id` its scan's.
  void Wrote(const FileWrite& write, MachineId machine, std::int64_t scan_id);

 private:
  struct KnownRun {
    StoredRun run;
    Time started;
  };
  std::map<std::string, std::optional<StoredMachine>> machines_;  // by name
  // The fetched machines' scans whose start or bytes are among the group's
  // files': a question about other starts or bytes goes to the server.
  std::set<std::string> sha256s_;
  std::set<Time> starts_;
  std::map<MachineId, std::vector<KnownRun>> runs_;
  std::map<MachineId, std::optional<LatestRuns>> latest_;
};

}  // namespace vurfleet::pg
