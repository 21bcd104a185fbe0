// The most widespread file names, read from the counts the load keeps
// (store/counts.h): a few rows, whatever the size of the fleet.
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

}  // namespace vurfleet::sqlite
