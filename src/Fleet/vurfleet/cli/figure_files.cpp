#include "cli/figure_files.h"

#include <iostream>
#include <stdexcept>

#include "base/file.h"
#include "cli/command.h"
#include "cli/exposure.h"
#include "cli/licenses.h"

namespace vurfleet {

void FigureFiles::AddTo(CLI::App* command, const char* advisories_help, const char* entitlements_help,
                        const char* stale_help) {
  command->add_option("--advisories", advisories_path_, advisories_help);
  command->add_option("--entitlements", entitlements_path_, entitlements_help);
  command->add_option("--licenses-stale", licenses_stale_, stale_help)->check(WholeNumber("days", 36500));
}

bool FigureFiles::Read(std::ostream& err) {
  if (advisories_path_ && !(advisories_ = ReadAdvisoriesFile(*advisories_path_, err))) return false;
  if (entitlements_path_ && !(entitlements_ = ReadEntitlementsFile(*entitlements_path_, err))) return false;
  return true;
}

int WriteWhole(const std::string& output, const std::string& text, const char* what, std::ostream& err) {
  if (output == "-") {
    std::cout << text << std::flush;
    if (!std::cout) {
      err << "vurfleet: standard output: can't write " << what << '\n';
      return kExitUsage;
    }
    return kExitOk;
  }
  try {
    WriteFileWhole(output, text);
  } catch (const std::runtime_error& e) {
    err << "vurfleet: " << e.what() << '\n';
    return kExitUsage;
  }
  return kExitOk;
}

}  // namespace vurfleet
