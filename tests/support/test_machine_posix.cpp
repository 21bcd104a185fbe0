#include <stdlib.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>

#include "platform/posix/machine.h"
#include "platform/posix/test_hooks.h"
#include "run/redirection_guard.h"
#include "support/test_machine.h"

namespace vur::test {
namespace {

const char kKeyFolder[] = "/registry/HKEY_LOCAL_MACHINE/Software/Tolvek/QIM/VUR";

}  // namespace

TestMachine::TestMachine() {
  char pattern[] = "/tmp/vurtest.XXXXXX";
  machine_root_ = mkdtemp(pattern);
  native_root_ = machine_root_ + "/t";
  mkdir(native_root_.c_str(), 0755);
  std::ofstream(machine_root_ + "/drives") << "T: fixed " << native_root_ << "\n";
  setenv("VURSCANNER_ROOT", machine_root_.c_str(), 1);
  root_ = L"T:\\";
  vur::posix::testing::Reset();
  vur::ResetRedirectionGuardForTesting();
  SetLastError(0);
}

TestMachine::~TestMachine() {
  std::error_code ignored;
  std::filesystem::remove_all(machine_root_, ignored);
  vur::posix::testing::Reset();
  vur::ResetRedirectionGuardForTesting();
  SetLastError(0);
}

std::string TestMachine::Native(const std::string& relative) const {
  return native_root_ + "/" + relative;
}

void TestMachine::MakeFolder(const std::string& relative) const {
  std::filesystem::create_directories(Native(relative));
}

void TestMachine::SetValue(const std::wstring& name, const std::wstring& data) const {
  std::string folder = machine_root_ + kKeyFolder;
  std::filesystem::create_directories(folder);
  std::ofstream(folder + "/" + Narrow(name), std::ios::binary) << Narrow(data);
}

void TestMachine::DenyKeyAccess() {
  vur::posix::testing::Fault fault{vur::posix::testing::Op::kRegCreateKey, L"Software\\Tolvek\\QIM\\VUR",
                                   ERROR_ACCESS_DENIED};
  fault.times = 1 << 30;
  vur::posix::testing::InjectFault(fault);
  denied_ = true;
}

bool TestMachine::GetValue(const std::wstring& name, std::string* bytes) const {
  std::string path = machine_root_ + kKeyFolder + "/" + Narrow(name);
  if (!std::filesystem::exists(path)) return false;
  *bytes = ReadFileBytes(path);
  return true;
}

void TestMachine::DeleteKey() const {
  std::error_code ignored;
  std::filesystem::remove_all(machine_root_ + kKeyFolder, ignored);
}

}  // namespace vur::test
