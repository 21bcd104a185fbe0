// The entitlements file, and the true-up of a small fleet worked by hand,
// on both stores (the store suite's fixture, store/store_test.h).
#include <gtest/gtest.h>

#include "licenses/entitlements.h"
#include "licenses/gather.h"
#include "output/licenses.h"
#include "store/store_test.h"

namespace vurfleet {
namespace {

TEST(ReadEntitlements, Refusals) {
  const std::string head = "pool,name,version_from,version_below,seats,rule,period_from,period_until,title\n";
  const std::string ok = "V,visio.exe,16,17,10,peak,2026-01-01,2027-01-01,Visio\n";
  struct {
    std::string text;
    int line;
    const char* why;  // a part of the message
  } cases[] = {
      {"", 1, "empty file"},
      {"pool,name,seats,rule,period_from\nV,a.exe,1,peak,2026-01-01\n", 1, "no 'period_until' column"},
      {"pool,name,seats,rule,period_from,period_until,fixed\n", 1, "unknown column 'fixed'"},
      {head, 1, "no pool: the header is the only row"},
      {head + ok + "V,b.exe,16,17,10\n", 3, "5 fields; the header has 9"},
      {head + ",a.exe,,,1,peak,2026-01-01,2027-01-01,\n", 2, "no pool"},
      {head + "V,,,,1,peak,2026-01-01,2027-01-01,\n", 2, "no name"},
      {head + "V,a.exe,1.x,,1,peak,2026-01-01,2027-01-01,\n", 2, "version_from '1.x' is no version"},
      {head + "V,a.exe,2,2.0,1,peak,2026-01-01,2027-01-01,\n", 2,
       "version_below '2.0' is not above version_from '2'"},
      {head + "V,a.exe,,,-1,peak,2026-01-01,2027-01-01,\n", 2, "seats '-1' is no whole number"},
      {head + "V,a.exe,,,1.5,peak,2026-01-01,2027-01-01,\n", 2, "seats '1.5' is no whole number"},
      {head + "V,a.exe,,,,peak,2026-01-01,2027-01-01,\n", 2, "seats '' is no whole number"},
      {head + "V,a.exe,,,1000000000000,peak,2026-01-01,2027-01-01,\n", 2, "is no whole number"},
      {head + "V,a.exe,,,1,Peak,2026-01-01,2027-01-01,\n", 2, "unknown rule 'Peak'"},
      {head + "V,a.exe,,,1,peak,2026-02-30,2027-01-01,\n", 2, "period_from '2026-02-30' is no date"},
      {head + "V,a.exe,,,1,peak,2026-01-01,,\n", 2, "period_until '' is no date"},
      {head + "V,a.exe,,,1,peak,2026-01-01,2026-01-01,\n", 2,
       "period_until '2026-01-01' is not after period_from '2026-01-01'"},
      {head + ok + "V,b.exe,,,11,peak,2026-01-01,2027-01-01,Visio\n", 3,
       "the pool 'V' has seats '10' on line 2 and '11' here"},
      {head + ok + "V,b.exe,,,10,snapshot,2026-01-01,2027-01-01,Visio\n", 3, "has rule 'peak' on line 2"},
      {head + ok + "V,b.exe,,,10,peak,2026-01-02,2027-01-01,Visio\n", 3, "has period_from '2026-01-01'"},
      {head + ok + "V,b.exe,,,10,peak,2026-01-01,2027-01-02,Visio\n", 3, "has period_until"},
      {head + ok + "V,b.exe,,,10,peak,2026-01-01,2027-01-01,Other\n", 3,
       "another title on line 2: 'Visio', here 'Other'"},
      {head + ok + "\nv,b.exe,,,10,peak,2026-01-01,2027-01-01,Visio\n", 4,
       "the pool 'v' differs only in case from 'V' on line 2"},
  };
  for (const auto& c : cases) {
    std::variant<Entitlements, Refusal> read = ReadEntitlements(c.text);
    const Refusal* refusal = std::get_if<Refusal>(&read);
    if (refusal == nullptr) {
      ADD_FAILURE() << "not refused: " << c.text;
      continue;
    }
    EXPECT_EQ(refusal->line, c.line) << c.text << "\n" << refusal->why;
    EXPECT_NE(refusal->why.find(c.why), std::string::npos) << c.text << "\n" << refusal->why;
  }
}

}  // namespace

namespace store_test {
namespace {

// Pools over app.exe, held at versions in [2, 3) and at any, and tool.exe.
const char* const kPools =
    "pool,name,path,version_from,version_below,seats,rule,period_from,period_until,title\n"
    "APP,app.exe,,2,3,1,peak,2026-12-02,2027-01-01,App 2\n"
    "EDGE,app.exe,,2,3,2,peak,2026-12-06,2026-12-31,\n"
    "SNAP,tool.exe,,,,0,snapshot,2026-12-01,2026-12-10,\n"
    "LATER,APP.EXE,,,,5,peak,2027-01-01,2028-01-01,\n";

// The fleet of docs/licenses.md's worked case, with --stale 3 (a machine
// counts up to 3 days after its last scan, to the second):
//   PCA upgrades into the range on the 5th (loaded out of order);
//   PCB holds 2.0 from the period's first second, leaves for 3.0 on the 6th;
//   PCC stops reporting after an unfinished run on the 4th (stale from
//       the 7th 02:00:01);
//   PCD is stale from the 5th 12:00:01 and comes back on the 10th, a scan
//       whose ERROR keeps its folder C:\Big\;
//   PCE holds app.exe without a version: unknown, never counted.
// APP's count: 1 on the 2nd 00:00:00, 2 at 12:00, 3 on the 3rd, 4 on the
// 5th 02:00:00 (the peak), 3 at 12:00:01, 2 on the 6th, 1 on the 7th, 2
// again from the 10th 12:00:00.
std::vector<std::pair<std::string, std::string>> TrueUpFleet() {
  const std::string app = "C:\\App\\app.exe - ";
  const std::string tool = "C:\\T\\tool.exe - 1.0.0.0";
  std::vector<std::pair<std::string, std::string>> fleet = {
      {"PCA", Output("08 02:00:00", {app + "2.5.0.0"})},
      {"PCA", Output("01 02:00:00", {app + "1.0.0.0", tool})},
      {"PCA", Output("05 02:00:00", {app + "2.0.0.0"})},
      {"PCB", Output("02 00:00:00", {app + "2.0.0.0", tool})},
      {"PCB", Output("04 00:00:00", {app + "2.0.0.0", tool})},
      {"PCC", Output("03 02:00:00", {app + "2.1.0.0"})},
      {"PCC", Output("04 02:00:00", {app + "2.1.0.0"}, false)},
      {"PCD", Output("02 12:00:00", {"C:\\Big\\app.exe - 2.0.0.0"})},
      {"PCD", Output("10 12:00:00", {"\n# ERROR: Exception in ScanFolder( C:\\Big\\ )",
                                     "C:\\Other\\z.exe - 1.0.0.0"})},
  };
  for (const char* day : {"11", "14", "17", "19"}) {
    fleet.emplace_back("PCA", Output((std::string(day) + " 02:00:00").c_str(), {app + "2.5.0.0"}));
  }
  for (const char* day : {"06", "09", "12", "15", "18"}) {
    fleet.emplace_back("PCB", Output((std::string(day) + " 02:00:00").c_str(), {app + "3.0.0.0", tool}));
  }
  for (const char* day : {"13", "16", "19"}) {
    fleet.emplace_back("PCD", Output((std::string(day) + " 12:00:00").c_str(), {"C:\\Big\\app.exe - 2.0.0.0"}));
  }
  for (const char* day : {"05", "12", "18"}) {
    fleet.emplace_back("PCE", Output((std::string(day) + " 06:00:00").c_str(), {app + "<none>"}));
  }
  return fleet;
}

TEST_P(StoreTest, TheTrueUpOfASmallFleetWorkedByHand) {
  std::unique_ptr<Store> store = Open();
  for (const auto& [machine, text] : TrueUpFleet()) EXPECT_EQ(Load(*store, machine, text), LoadStatus::kLoaded);
  const Entitlements pools = std::get<Entitlements>(ReadEntitlements(kPools));
  enum Form { kPools, kMachines, kDays };
  struct {
    const char* at;
    Form form;
    const char* pool;
    std::string expected;
  } cases[] = {
      {"2026-12-20", kPools, "*",
       "pool,title,rule,seats,now,unknown,stale,peak,peak_at,counted,due,days_over\r\n"
       "APP,App 2,peak,1,2,1,1,4,2026-12-05 02:00:00,4,3,17\r\n"
       "EDGE,,peak,2,2,1,1,3,2026-12-06 00:00:00,3,1,1\r\n"
       "SNAP,,snapshot,0,1,0,0,2,2026-12-02 00:00:00,1,1,9\r\n"
       "LATER,,peak,5,4,0,1,0,,0,0,0\r\n"},
      // Before the peak: the period so far ends at --at, to the second.
      {"2026-12-05 01:59:59", kPools, "APP",
       "pool,title,rule,seats,now,unknown,stale,peak,peak_at,counted,due,days_over\r\n"
       "APP,App 2,peak,1,3,0,0,3,2026-12-03 02:00:00,3,2,4\r\n"},
      // PCC's last scan started three days before: counted to that second,
      // stale the next.
      {"2026-12-07 02:00:00", kPools, "APP",
       "pool,title,rule,seats,now,unknown,stale,peak,peak_at,counted,due,days_over\r\n"
       "APP,App 2,peak,1,2,1,1,4,2026-12-05 02:00:00,4,3,6\r\n"},
      {"2026-12-07 02:00:01", kPools, "APP",
       "pool,title,rule,seats,now,unknown,stale,peak,peak_at,counted,due,days_over\r\n"
       "APP,App 2,peak,1,1,1,2,4,2026-12-05 02:00:00,4,3,6\r\n"},
      {"2026-12-20", kMachines, "*",
       "pool,machine,path,version,status,since,last_scan\r\n"
       "APP,PCA,C:\\App\\app.exe,2.5.0.0,counted,2026-12-08 02:00:00,2026-12-19 02:00:00\r\n"
       "APP,PCC,C:\\App\\app.exe,2.1.0.0,stale,2026-12-03 02:00:00,2026-12-04 02:00:00\r\n"
       "APP,PCD,C:\\Big\\app.exe,2.0.0.0,counted,2026-12-02 12:00:00,2026-12-19 12:00:00\r\n"
       "APP,PCE,C:\\App\\app.exe,<none>,unknown,2026-12-05 06:00:00,2026-12-18 06:00:00\r\n"
       "EDGE,PCA,C:\\App\\app.exe,2.5.0.0,counted,2026-12-08 02:00:00,2026-12-19 02:00:00\r\n"
       "EDGE,PCC,C:\\App\\app.exe,2.1.0.0,stale,2026-12-03 02:00:00,2026-12-04 02:00:00\r\n"
       "EDGE,PCD,C:\\Big\\app.exe,2.0.0.0,counted,2026-12-02 12:00:00,2026-12-19 12:00:00\r\n"
       "EDGE,PCE,C:\\App\\app.exe,<none>,unknown,2026-12-05 06:00:00,2026-12-18 06:00:00\r\n"
       "LATER,PCA,C:\\App\\app.exe,2.5.0.0,counted,2026-12-08 02:00:00,2026-12-19 02:00:00\r\n"
       "LATER,PCB,C:\\App\\app.exe,3.0.0.0,counted,2026-12-06 02:00:00,2026-12-18 02:00:00\r\n"
       "LATER,PCC,C:\\App\\app.exe,2.1.0.0,stale,2026-12-03 02:00:00,2026-12-04 02:00:00\r\n"
       "LATER,PCD,C:\\Big\\app.exe,2.0.0.0,counted,2026-12-02 12:00:00,2026-12-19 12:00:00\r\n"
       "LATER,PCE,C:\\App\\app.exe,<none>,counted,2026-12-05 06:00:00,2026-12-18 06:00:00\r\n"
       "SNAP,PCB,C:\\T\\tool.exe,1.0.0.0,counted,2026-12-02 00:00:00,2026-12-18 02:00:00\r\n"},
      {"2026-12-20", kDays, "APP",
       "pool,day,max,seats\r\n"
       "APP,2026-12-02,2,1\r\nAPP,2026-12-03,3,1\r\nAPP,2026-12-04,3,1\r\nAPP,2026-12-05,4,1\r\n"
       "APP,2026-12-06,3,1\r\nAPP,2026-12-07,2,1\r\nAPP,2026-12-08,1,1\r\nAPP,2026-12-09,1,1\r\n"
       "APP,2026-12-10,2,1\r\nAPP,2026-12-11,2,1\r\nAPP,2026-12-12,2,1\r\nAPP,2026-12-13,2,1\r\n"
       "APP,2026-12-14,2,1\r\nAPP,2026-12-15,2,1\r\nAPP,2026-12-16,2,1\r\nAPP,2026-12-17,2,1\r\n"
       "APP,2026-12-18,2,1\r\nAPP,2026-12-19,2,1\r\nAPP,2026-12-20,2,1\r\n"},
      // A period not begun has no days.
      {"2026-12-20", kDays, "LATER", "pool,day,max,seats\r\n"},
  };
  for (const auto& c : cases) {
    const Entitlements selected = SelectPools(pools, Glob(c.pool));
    LicenseOptions options;
    options.at = *ParseTimeArgument(c.at);
    options.stale_days = 3;
    std::ostringstream out;
    const TrueUp trueup = GatherTrueUp(*store, selected, options, c.form == kMachines);
    if (c.form == kPools) PrintLicenses(selected, trueup.Rows(), Format::kCsv, out);
    if (c.form == kMachines) PrintLicenseMachines(selected, trueup.entries(), Format::kCsv, out);
    if (c.form == kDays) PrintLicenseDays(selected, trueup.Days(), Format::kCsv, out);
    EXPECT_EQ(out.str(), c.expected) << c.at << " " << c.form << " " << c.pool;
  }
}

}  // namespace
}  // namespace store_test
}  // namespace vurfleet
