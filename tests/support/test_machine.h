// A machine for one test: an empty settings key and a scratch folder that the
// scanner can reach by a drive path. On Linux it is a temporary machine root
// with the scratch folder mapped as drive T:; on Windows it is the real
// registry (the settings key is deleted first and last) and a folder under
// the temporary folder.
#pragma once

#include <cstdio>
#include <string>

namespace vur::test {

class TestMachine {
 public:
  TestMachine();
  ~TestMachine();
  TestMachine(const TestMachine&) = delete;
  TestMachine& operator=(const TestMachine&) = delete;

  // The scratch folder as the scanner sees it, ending in a backslash.
  std::wstring Root() const { return root_; }
  // A path below the scratch folder: native for creating files, and as the
  // scanner sees it. `relative` uses '/' between its elements.
  std::string Native(const std::string& relative) const;
  std::wstring Wide(const std::string& relative) const;

  // Creates folders and files below the scratch folder.
  void MakeFolder(const std::string& relative) const;
  void WriteFile(const std::string& relative, const std::string& bytes) const;

  // Sets a value of the settings key. Texts are joined by NUL; a value of
  // more than one text is a list (REG_MULTI_SZ on Windows).
  void SetValue(const std::wstring& name, const std::wstring& data) const;
  // The stored bytes of a value written in narrow form, or false.
  bool GetValue(const std::wstring& name, std::string* bytes) const;
  void DeleteKey() const;
  // Makes every later open of the settings key fail with ERROR_ACCESS_DENIED,
  // as for an account without rights on it, until the machine is gone. On
  // Windows the key's DACL denies everyone; on POSIX, where root passes every
  // permission check, the layer's hook refuses the open.
  void DenyKeyAccess();

 private:
  std::string native_root_;
  std::wstring root_;
  std::string machine_root_;
  bool denied_ = false;
};

// A console stream that tests read back.
class Console {
 public:
  Console();
  ~Console();
  Console(const Console&) = delete;
  Console& operator=(const Console&) = delete;
  std::FILE* stream() const { return file_; }
  // Everything written so far.
  std::string Text() const;

 private:
  std::FILE* file_;
};

std::string ReadFileBytes(const std::string& native_path);
// Wide text to UTF-8 (test output and comparisons).
std::string Narrow(const std::wstring& text);

}  // namespace vur::test
