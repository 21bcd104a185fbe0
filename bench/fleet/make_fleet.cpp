// make_fleet: a synthetic fleet's scan outputs, as a share collects them.
//
//   make_fleet OUT [--machines N] [--lines L] [--weeks S] [--seed X]
//              [--first YYYY-MM-DD] [--change FRACTION] [--unfinished FRACTION]
//              [--same-week] [--tsv FILE]
//
// Writes OUT/week-NN/PCnnnnn.YYYY-MM-DD.txt, one file per machine and week,
// each a run's standard output (UTF-8, LF) of about L report lines:
// - a shared catalogue of software: system files every machine holds with
//   the same version, and programs of which each machine holds a share, the
//   popular ones on most machines, with versions that drift from machine to
//   machine (putty.exe among them, on about a third of the machines);
// - a few files of each machine's own (its users' profiles);
// - from week to week about FRACTION of the entries change (default 0.01):
//   upgrades mostly, then installs and removals.
// With --unfinished, that share of the runs ends before "# Complete",
// part-way through. --same-week adds week S+1, each machine's last scan
// again a week later, unchanged. --tsv writes week 1's report lines to FILE
// as "machine TAB path TAB version", for `sqlite3 .import`. The same
// arguments always give the same files.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <algorithm>
#include <map>
#include <string>
#include <sys/stat.h>
#include <vector>

#include "base/time.h"

namespace {

// splitmix64: small, fast, and the same everywhere.
struct Random {
  std::uint64_t state;
  std::uint64_t Next() {
    std::uint64_t z = (state += 0x9E3779B97F4A7C15ULL);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
  }
  std::uint64_t Below(std::uint64_t n) { return n == 0 ? 0 : Next() % n; }
  double Unit() { return static_cast<double>(Next() >> 11) / 9007199254740992.0; }
};

struct Program {
  std::string path;
  unsigned major, minor, build;  // the newest version; machines lag behind it
  double popularity;             // the share of machines holding it
};

std::string VersionText(unsigned a, unsigned b, unsigned c, unsigned d) {
  char text[48];
  std::snprintf(text, sizeof text, "%u.%u.%u.%u", a, b, c, d);
  return text;
}

std::string Date(vurfleet::Time day_start) { return vurfleet::FormatTime(day_start).substr(0, 10); }

// --help prints this on standard output and exits 0; a wrong call prints it
// on standard error and exits 2, before anything is written.
[[noreturn]] void Usage(int code = 2) {
  std::fprintf(code == 0 ? stdout : stderr,
               "usage: make_fleet OUT [--machines N] [--lines L] [--weeks S] [--seed X]\n"
               "                  [--first YYYY-MM-DD] [--change FRACTION] [--unfinished FRACTION]\n"
               "                  [--same-week] [--tsv FILE]\n");
  std::exit(code);
}

}  // namespace

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) Usage(0);
  }
  // An OUT that looks like an option is a mistake, never a folder to make.
  if (argc < 2 || argv[1][0] == '-') Usage();
  const std::string out = argv[1];
  long machines = 100, lines = 3000, weeks = 2;
  std::uint64_t seed = 1;
  double change = 0.01, unfinished = 0.0;
  int fy = 2026, fm = 11, fd = 3;
  bool same_week = false;
  std::string tsv_path;
  for (int i = 2; i < argc; ++i) {
    if (std::string(argv[i]) == "--same-week") {
      same_week = true;
      continue;
    }
    if (i + 1 >= argc) Usage();
    const std::string option = argv[i];
    const char* value = argv[++i];
    if (option == "--machines") machines = std::atol(value);
    else if (option == "--lines") lines = std::atol(value);
    else if (option == "--weeks") weeks = std::atol(value);
    else if (option == "--seed") seed = std::strtoull(value, nullptr, 10);
    else if (option == "--change") change = std::atof(value);
    else if (option == "--unfinished") unfinished = std::atof(value);
    else if (option == "--tsv") tsv_path = value;
    else if (option == "--first" && std::sscanf(value, "%d-%d-%d", &fy, &fm, &fd) == 3) continue;
    else Usage();
  }
  if (machines < 1 || lines < 10 || weeks < 1) Usage();

  // The catalogue: a tenth system files, the rest programs whose popularity
  // falls off, so that each machine holds about `lines` entries in all.
  Random random{seed};
  std::vector<Program> system, programs;
  const long system_count = lines / 10;
  for (long k = 0; k < system_count; ++k) {
    system.push_back({"C:\\Windows\\System32\\sys" + std::to_string(k) + (k % 3 ? ".dll" : ".exe"),
                      10, 0, 19041, 1.0});
  }
  const long own = lines / 20;  // each machine's own files
  const double wanted = static_cast<double>(lines - system_count - own);
  const long program_count = lines * 4;
  double total = 0;
  for (long k = 0; k < program_count; ++k) {
    const unsigned vendor = static_cast<unsigned>(k / 7);
    Program p;
    p.path = "C:\\Program Files\\Vendor " + std::to_string(vendor) + "\\Product " +
             std::to_string(k % 7) + " - Suite\\bin\\tool" + std::to_string(k) +
             (k % 4 ? ".dll" : ".exe");
    p.major = 1 + static_cast<unsigned>(random.Below(30));
    p.minor = static_cast<unsigned>(random.Below(20));
    p.build = static_cast<unsigned>(random.Below(9000));
    p.popularity = 1.0 / (1.0 + static_cast<double>(k) / 300.0);
    total += p.popularity;
    programs.push_back(p);
  }
  // Scale to the wanted count; popular programs are capped, so scale again
  // until the capped shares add up.
  std::vector<double> base;
  for (const Program& p : programs) base.push_back(p.popularity);
  double scale = wanted / total;
  for (int round = 0; round < 20; ++round) {
    double sum = 0;
    for (std::size_t k = 0; k < programs.size(); ++k) sum += std::min(0.97, base[k] * scale);
    scale *= wanted / sum;
  }
  for (std::size_t k = 0; k < programs.size(); ++k) {
    programs[k].popularity = std::min(0.97, base[k] * scale);
  }
  // The program the queries look for: on about a third of the machines.
  programs[1] = {"C:\\Program Files\\PuTTY\\putty.exe", 0, 83, 0, 0.33};

  mkdir(out.c_str(), 0755);
  const vurfleet::Time first_day = vurfleet::MakeTime(fy, fm, fd, 0, 0, 0);
  const long folders = weeks + (same_week ? 1 : 0);
  FILE* tsv = nullptr;
  if (!tsv_path.empty() && (tsv = std::fopen(tsv_path.c_str(), "wb")) == nullptr) {
    std::perror(tsv_path.c_str());
    return 1;
  }
  for (long w = 0; w < folders; ++w) {
    char folder[32];
    std::snprintf(folder, sizeof folder, "/week-%02ld", w + 1);
    mkdir((out + folder).c_str(), 0755);
  }

  std::string text;
  for (long m = 0; m < machines; ++m) {
    Random mr{seed * 1000003 + static_cast<std::uint64_t>(m)};
    char name[24];
    std::snprintf(name, sizeof name, "PC%05ld", m + 1);
    // The machine's inventory: path -> version text.
    std::map<std::string, std::string> inventory;
    for (const Program& p : system) inventory[p.path] = VersionText(p.major, p.minor, p.build, 1);
    for (const Program& p : programs) {
      if (mr.Unit() >= p.popularity) continue;
      // Machines lag behind the newest version by a few releases.
      const unsigned lag = static_cast<unsigned>(mr.Below(4));
      const unsigned minor = p.minor >= lag ? p.minor - lag : 0;
      inventory[p.path] = mr.Below(40) == 0 ? "<none>" : VersionText(p.major, minor, p.build, lag);
    }
    for (long k = 0; k < own; ++k) {
      inventory["C:\\Users\\user" + std::to_string(m) + "\\AppData\\Local\\App" + std::to_string(k) +
                "\\run.exe"] = VersionText(1, 0, static_cast<unsigned>(k), 0);
    }
    for (long w = 0; w < folders; ++w) {
      const vurfleet::Time day = first_day + (7 * w + (m % 3)) * 86400;  // runs spread over three days
      const int second = 3600 + static_cast<int>(mr.Below(7200));
      const bool finished = w == weeks || mr.Unit() >= unfinished;
      text.clear();
      text += "# Started\n# " + vurfleet::FormatStamp(day + second) + "\n";
      std::size_t reported = 0;
      const std::size_t cut = finished ? inventory.size() : mr.Below(inventory.size() + 1);
      for (const auto& [path, version] : inventory) {
        if (reported++ == cut) break;
        text += path;
        text += " - ";
        text += version;
        text += '\n';
        if (tsv != nullptr && w == 0) std::fprintf(tsv, "%s\t%s\t%s\n", name, path.c_str(), version.c_str());
      }
      if (finished) text += "# Complete\n# " + vurfleet::FormatStamp(day + second + 300) + "\n";
      char file[96];
      std::snprintf(file, sizeof file, "/week-%02ld/%s.%s.txt", w + 1, name, Date(day).c_str());
      const std::string path = out + file;
      FILE* f = std::fopen(path.c_str(), "wb");
      if (f == nullptr || std::fwrite(text.data(), 1, text.size(), f) != text.size() ||
          std::fclose(f) != 0) {
        std::perror(path.c_str());
        return 1;
      }

      // Next week: upgrades, installs and removals; none before the
      // unchanged week.
      if (w + 1 >= weeks) continue;
      const std::size_t changes = static_cast<std::size_t>(static_cast<double>(inventory.size()) * change + 0.5);
      for (std::size_t c = 0; c < changes; ++c) {
        const std::uint64_t kind = mr.Below(10);
        if (kind < 6 && !inventory.empty()) {
          auto it = inventory.begin();
          std::advance(it, static_cast<long>(mr.Below(inventory.size())));
          unsigned a = 1, b = 0, cc = 0, d = 0;
          std::sscanf(it->second.c_str(), "%u.%u.%u.%u", &a, &b, &cc, &d);
          it->second = VersionText(a, b + 1, cc, d);
        } else if (kind < 8) {
          const Program& p = programs[mr.Below(programs.size())];
          inventory[p.path] = VersionText(p.major, p.minor, p.build, 0);
        } else if (!inventory.empty()) {
          auto it = inventory.begin();
          std::advance(it, static_cast<long>(mr.Below(inventory.size())));
          inventory.erase(it);
        }
      }
    }
  }
  if (tsv != nullptr && std::fclose(tsv) != 0) {
    std::perror(tsv_path.c_str());
    return 1;
  }
  return 0;
}
