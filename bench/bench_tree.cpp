// The tree that bench/vs_find.sh scans: a deterministic software tree of a
// given size made from the PE files this machine's packages ship.
//
// Shape, for FILES files: FILES/20 folders in a ten-way tree (four levels at
// 200 000 files), one folder in every fifty holding 2 % of the files, so that
// listings larger than one read occur; 3 % of the files are copies of real PE
// images (under 2 MiB), a bit under half of them named .exe or .com; 0.1 % are
// .exe/.com files that are no image at all (empty, text, a bare DOS header,
// the first 512 bytes of an image); the rest are small files of other types.
// The same FILES and the same installed packages give the same tree.
#include "bench_tree.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace vur::bench {
namespace {

namespace fs = std::filesystem;

constexpr std::uintmax_t kMaxSourceSize = 2u << 20;

// Where Debian's Wine, mingw-w64 and Mono packages put Windows images.
const char* const kSourceFolders[] = {
    "/usr/lib/x86_64-linux-gnu/wine", "/usr/lib/i386-linux-gnu/wine",
    "/usr/lib/gcc/x86_64-w64-mingw32", "/usr/lib/gcc/i686-w64-mingw32",
    "/usr/x86_64-w64-mingw32",         "/usr/i686-w64-mingw32",
    "/usr/lib/mono",                   "/usr/share/wine",
};

// A fixed generator, so the tree does not depend on the C++ library.
class Random {
 public:
  explicit Random(std::uint64_t seed) : state_(seed) {}
  std::uint32_t Next() {
    state_ = state_ * 6364136223846793005ull + 1442695040888963407ull;
    return static_cast<std::uint32_t>(state_ >> 33);
  }
  std::uint32_t Below(std::uint32_t n) { return Next() % n; }

 private:
  std::uint64_t state_;
};

// "MZ", and "PE\0\0" where the DOS header says the PE header starts.
bool IsPeImage(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  unsigned char dos[64];
  if (!in.read(reinterpret_cast<char*>(dos), sizeof dos) || dos[0] != 'M' || dos[1] != 'Z')
    return false;
  std::uint32_t lfanew = dos[60] | dos[61] << 8 | dos[62] << 16 | static_cast<std::uint32_t>(dos[63]) << 24;
  char signature[4];
  in.seekg(lfanew);
  return in.read(signature, 4) && std::memcmp(signature, "PE\0\0", 4) == 0;
}

struct Source {
  std::string path;
  std::string stem, extension;  // extension with its dot, lower case
  std::string head;             // the first 512 bytes
};

std::vector<Source> FindSources() {
  std::vector<Source> sources;
  for (const char* folder : kSourceFolders) {
    std::error_code ec;
    if (!fs::is_directory(folder, ec)) continue;
    for (auto it = fs::recursive_directory_iterator(folder, ec);
         !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
      if (!it->is_regular_file(ec) || it->is_symlink(ec)) continue;
      if (it->file_size(ec) > kMaxSourceSize || !IsPeImage(it->path())) continue;
      Source s;
      s.path = it->path().string();
      s.stem = it->path().stem().string();
      s.extension = it->path().extension().string();
      std::transform(s.extension.begin(), s.extension.end(), s.extension.begin(),
                     [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
      sources.push_back(s);
    }
  }
  std::sort(sources.begin(), sources.end(),
            [](const Source& a, const Source& b) { return a.path < b.path; });
  for (Source& s : sources) {
    std::ifstream in(s.path, std::ios::binary);
    char head[512];
    in.read(head, sizeof head);
    s.head.assign(head, static_cast<std::size_t>(in.gcount()));
  }
  return sources;
}

bool WriteFile(const std::string& path, const std::string& bytes) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  bool ok = write(fd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
  return close(fd) == 0 && ok;
}

bool CopyFile(const std::string& from, const std::string& to) {
  std::error_code ec;
  return fs::copy_file(from, to, fs::copy_options::overwrite_existing, ec);
}

bool IsCandidateName(const std::string& name) {
  auto ends = [&](const char* tail) {
    std::size_t n = std::strlen(tail);
    if (name.size() <= n) return false;
    for (std::size_t i = 0; i < n; ++i)
      if (std::tolower(static_cast<unsigned char>(name[name.size() - n + i])) != tail[i]) return false;
    return true;
  };
  return ends(".exe") || ends(".com");
}

}  // namespace

int MakeTree(const std::string& root, long files, TreeSummary* summary) {
  if (files < 20) files = 20;
  std::vector<Source> sources = FindSources();
  if (sources.empty()) {
    std::fprintf(stderr, "no PE images found under the Wine or mingw-w64 folders; install wine64 or mingw-w64\n");
    return 1;
  }
  std::error_code ec;
  fs::remove_all(root, ec);
  if (!fs::create_directories(root, ec)) {
    std::fprintf(stderr, "can't create %s: %s\n", root.c_str(), ec.message().c_str());
    return 1;
  }

  // Folder k (1..F) lies in folder (k-1)/10; folder 0 is the root.
  long folders = files / 20;
  std::vector<std::string> paths(static_cast<std::size_t>(folders) + 1);
  paths[0] = root;
  static const char* const kFolderNames[] = {"Program", "Common", "Data", "bin", "lib",
                                             "Tools",   "Setup",  "x86",  "res", "cache"};
  for (long k = 1; k <= folders; ++k) {
    std::string name = std::string(kFolderNames[k % 10]) + std::to_string(k);
    paths[static_cast<std::size_t>(k)] = paths[static_cast<std::size_t>((k - 1) / 10)] + "/" + name;
    if (!fs::create_directory(paths[static_cast<std::size_t>(k)], ec) && ec) {
      std::fprintf(stderr, "can't create %s: %s\n", paths[k].c_str(), ec.message().c_str());
      return 1;
    }
  }

  static const char* const kOtherExtensions[] = {".txt", ".dat", ".log", ".ini", ".xml",
                                                 ".png", ".h",   ".cfg", ".json", ".exe.config"};
  Random random(20240611);
  *summary = TreeSummary();
  summary->folders = folders;
  summary->sources = static_cast<long>(sources.size());
  for (long i = 0; i < files; ++i) {
    std::size_t folder = random.Below(50) == 0 ? 1 : 1 + random.Below(static_cast<std::uint32_t>(folders));
    if (folders == 0) folder = 0;
    std::string name;
    std::uint32_t kind = random.Below(1000);
    bool ok = true;
    if (kind < 30) {
      const Source& s = sources[random.Below(static_cast<std::uint32_t>(sources.size()))];
      std::string extension = s.extension;
      if (extension != ".exe" && extension != ".com" && random.Below(100) < 33)
        extension = random.Below(10) == 0 ? ".com" : ".exe";
      name = s.stem + extension;
      if (fs::exists(paths[folder] + "/" + name)) name = s.stem + "-" + std::to_string(i) + extension;
      ok = CopyFile(s.path, paths[folder] + "/" + name);
      ++summary->images;
    } else if (kind < 31) {
      std::uint32_t variant = random.Below(4);
      name = "tool" + std::to_string(i) + (random.Below(3) == 0 ? ".com" : ".exe");
      std::string bytes;
      if (variant == 1) bytes = "#!/bin/sh\nexec true\n";
      if (variant == 2) bytes = std::string("MZ") + std::string(62, '\x90');
      if (variant == 3) bytes = sources[random.Below(static_cast<std::uint32_t>(sources.size()))].head;
      ok = WriteFile(paths[folder] + "/" + name, bytes);
    } else {
      name = "file" + std::to_string(i) + kOtherExtensions[random.Below(10)];
      std::string bytes(random.Below(1025), 'a' + static_cast<char>(i % 26));
      ok = WriteFile(paths[folder] + "/" + name, bytes);
    }
    if (!ok) {
      std::fprintf(stderr, "can't write %s/%s\n", paths[folder].c_str(), name.c_str());
      return 1;
    }
    ++summary->files;
    if (IsCandidateName(name)) ++summary->candidates;
  }
  return 0;
}

}  // namespace vur::bench
