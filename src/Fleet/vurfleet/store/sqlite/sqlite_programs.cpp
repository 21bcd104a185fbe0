// The most widespread file names, read from the counts the load keeps
// (store/counts.h): a few rows, whatever the size of the fleet.
#include <algorithm>
#include <optional>
#include <string>

#include "store/sqlite/sqlite_store.h"
#include "store/stored.h"

namespace vurfleet::sqlite {

void SqliteStore::Programs(int top, const std::function<void(const ProgramRow&)>& row) {
  if (top <= 0) return;
  ReadScope snapshot(db_);
  struct Top {
    std::int64_t name_id;
    std::string name;
    std::int64_t machines, mixed;
  };
  std::vector<Top> names;
  {
    Statement s(db_,
                "SELECT c.name_id, n.name_key, c.machines, coalesce(m.machines, 0) FROM counts c "
                "JOIN names n ON n.id = c.name_id "
                "LEFT JOIN counts m ON m.name_id = c.name_id AND m.version_id = -2 "
                "WHERE c.version_id = -1 AND c.machines > 0 ORDER BY c.machines DESC, n.name_key LIMIT ?1");
    s.Bind(1, static_cast<std::int64_t>(top));
    while (s.Step()) names.push_back(Top{s.Int(0), std::string(s.Text(1)), s.Int(2), s.Int(3)});
  }
  // Versions newest first, <none> last.
  Statement versions(db_,
                     "SELECT v.value, c.machines FROM counts c JOIN versions v ON v.id = c.version_id "
                     "WHERE c.name_id = ?1 AND c.version_id >= 0 AND c.machines > 0 ORDER BY v.value DESC");
  ProgramRow out;
  for (const Top& t : names) {
    out.name = t.name;
    out.machines = t.machines;
    out.mixed_machines = t.mixed;
    versions.Bind(1, t.name_id);
    while (versions.Step()) {
      out.version = versions.IsNull(0) ? Version::None() : VersionOfStored(versions.Int(0));
      out.version_machines = versions.Int(1);
      row(out);
    }
    versions.Reset();
  }
}

std::int64_t SqliteStore::MachinesBeyond(const std::string& name, const std::vector<Version>& versions) {
  ReadScope snapshot(db_);
  // The counts of the versions not shown, less what they count twice: the
  // machines holding the name at two versions or more, from their mixed
  // holds. A name that every user's profile holds has as many paths as the
  // fleet has users, and each machine's whole holds are kilobytes.
  Statement id(db_, "SELECT id FROM names WHERE name_key = ?1");
  id.Bind(1, name);
  if (!id.Step()) return 0;
  const NameId name_id = id.Int(0);
  std::vector<VersionId> shown;
  Statement version(db_, "SELECT id FROM versions WHERE value IS ?1");
  for (const Version& v : versions) {
    if (v.is_none()) {
      version.BindNull(1);
    } else {
      version.Bind(1, StoredVersion(v.value()));
    }
    if (version.Step()) shown.push_back(version.Int(0));
    version.Reset();
  }
  std::sort(shown.begin(), shown.end());
  std::int64_t machines = 0;
  Statement counts(db_, "SELECT version_id, machines FROM counts WHERE name_id = ?1 AND version_id >= 0");
  counts.Bind(1, name_id);
  while (counts.Step()) {
    if (!std::binary_search(shown.begin(), shown.end(), counts.Int(0))) machines += counts.Int(1);
  }
  Statement mixed(db_, "SELECT entries FROM mixed_holds");
  while (mixed.Step()) {
    const std::optional<std::vector<Held>> held = DecodeHolds(mixed.Blob(0));
    if (!held) return Store::MachinesBeyond(name, versions);  // `check` says why
    machines -= CountedAgain(*held, name_id, shown);
  }
  return machines;
}

}  // namespace vurfleet::sqlite
