#include <filesystem>

#include "platform/win32.h"
#include "run/redirection_guard.h"
#include "support/test_machine.h"

namespace vur::test {
namespace {

const wchar_t kKeyPath[] = L"Software\\Tolvek\\QIM\\VUR";

// Sets the settings key's DACL: an empty one denies everyone, a null one
// allows everyone. The owner may always change it (WRITE_DAC).
void SetKeyDacl(bool deny) {
  HKEY key = nullptr;
  if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, kKeyPath, 0, nullptr, 0, WRITE_DAC, nullptr, &key, nullptr) !=
      ERROR_SUCCESS)
    return;
  SECURITY_DESCRIPTOR descriptor;
  InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION);
  ACL empty;
  InitializeAcl(&empty, sizeof empty, ACL_REVISION);
  SetSecurityDescriptorDacl(&descriptor, TRUE, deny ? &empty : nullptr, FALSE);
  RegSetKeySecurity(key, DACL_SECURITY_INFORMATION, &descriptor);
  RegCloseKey(key);
}

}  // namespace

TestMachine::TestMachine() {
  DeleteKey();
  wchar_t temp[MAX_PATH + 1];
  DWORD length = GetTempPathW(MAX_PATH + 1, temp);
  static unsigned counter = 0;
  std::wstring folder = std::wstring(temp, length) + L"vurtest." +
                        std::to_wstring(GetCurrentProcessId()) + L"." + std::to_wstring(counter++);
  std::filesystem::remove_all(folder);
  std::filesystem::create_directories(folder);
  root_ = folder + L"\\";
  native_root_ = std::filesystem::path(folder).string();
  vur::ResetRedirectionGuardForTesting();
  SetLastError(0);
}

TestMachine::~TestMachine() {
  std::error_code ignored;
  std::filesystem::remove_all(std::filesystem::path(root_), ignored);
  if (denied_) SetKeyDacl(false);
  DeleteKey();
  vur::ResetRedirectionGuardForTesting();
  SetLastError(0);
}

std::string TestMachine::Native(const std::string& relative) const {
  return native_root_ + "\\" + relative;
}

void TestMachine::MakeFolder(const std::string& relative) const {
  std::filesystem::create_directories(std::filesystem::path(Native(relative)));
}

void TestMachine::SetValue(const std::wstring& name, const std::wstring& data) const {
  HKEY key = nullptr;
  RegCreateKeyExW(HKEY_LOCAL_MACHINE, kKeyPath, 0, nullptr, 0, KEY_WRITE, nullptr, &key, nullptr);
  bool list = data.find(L'\0') != std::wstring::npos;
  std::wstring stored = data;
  stored.push_back(L'\0');
  if (list) stored.push_back(L'\0');
  RegSetValueExW(key, name.c_str(), 0, list ? REG_MULTI_SZ : REG_SZ,
                 reinterpret_cast<const BYTE*>(stored.data()),
                 static_cast<DWORD>(stored.size() * sizeof(wchar_t)));
  RegCloseKey(key);
}

bool TestMachine::GetValue(const std::wstring& name, std::string* bytes) const {
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kKeyPath, 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
  std::string narrow_name = Narrow(name);
  DWORD size = 0;
  LSTATUS status = RegQueryValueExA(key, narrow_name.c_str(), nullptr, nullptr, nullptr, &size);
  if (status == ERROR_SUCCESS) {
    bytes->assign(size, '\0');
    status = RegQueryValueExA(key, narrow_name.c_str(), nullptr, nullptr,
                              reinterpret_cast<BYTE*>(&(*bytes)[0]), &size);
    bytes->resize(size);
  }
  RegCloseKey(key);
  return status == ERROR_SUCCESS;
}

void TestMachine::DenyKeyAccess() {
  SetKeyDacl(true);
  denied_ = true;
}

void TestMachine::DeleteKey() const { RegDeleteTreeW(HKEY_LOCAL_MACHINE, kKeyPath); }

}  // namespace vur::test
