// OpenPostgres for the command line: the PostgreSQL store is a module of its
// own (vurfleet-pg.so), loaded here the first time a database is
// PostgreSQL. Linking libpq into the program would have every run, of a
// SQLite file too, load and bind libpq and the two dozen libraries it needs
// (Kerberos, LDAP, TLS): about 12 ms, most of a quick query's time.
//
// The module is looked for beside the program (the build folder), then in
// ../lib/vurfleet/ from it (an installed program), never on a search path.
#include <dlfcn.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <vector>

#include "store/store.h"

namespace vurfleet {
namespace {

using Open = Store* (*)(const std::string&, Access);

constexpr const char* kModule = "vurfleet-pg.so";

std::string ProgramFolder() {
  std::vector<char> buffer(4096);
  for (;;) {
    const ssize_t n = readlink("/proc/self/exe", buffer.data(), buffer.size());
    if (n < 0) return ".";
    if (static_cast<std::size_t>(n) < buffer.size()) {
      const std::string path(buffer.data(), static_cast<std::size_t>(n));
      const std::size_t slash = path.rfind('/');
      return slash == std::string::npos || slash == 0 ? "/" : path.substr(0, slash);
    }
    buffer.resize(buffer.size() * 2);
  }
}

Open LoadModule() {
  const std::string folder = ProgramFolder();
  std::string tried;
  for (const std::string& path : {folder + "/" + kModule, folder + "/../lib/vurfleet/" + kModule}) {
    // Held for the rest of the run: the store it makes lives in it.
    void* module = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (module == nullptr) {
      const char* why = dlerror();
      // A module that is there but can't be loaded is the fault to name.
      if (access(path.c_str(), F_OK) == 0) {
        throw StoreError(std::string("PostgreSQL databases need ") + path + ", which can't be loaded: " +
                         (why != nullptr ? why : "no reason given"));
      }
      tried += (tried.empty() ? "" : " or ") + path;
      continue;
    }
    if (void* open = dlsym(module, "vurfleet_pg_open")) return reinterpret_cast<Open>(open);
    throw StoreError(path + ": not vurfleet's PostgreSQL module");
  }
  throw StoreError("PostgreSQL databases need vurfleet's module " + std::string(kModule) + ", not found at " +
                   tried);
}

}  // namespace

std::unique_ptr<Store> OpenPostgres(const std::string& where, Access access) {
  static const Open open = LoadModule();
  return std::unique_ptr<Store>(open(where, access));
}

}  // namespace vurfleet
