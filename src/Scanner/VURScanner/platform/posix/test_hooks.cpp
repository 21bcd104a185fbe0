// Fault injection and search recording for tests. The product never arms a
// fault or calls Reset, so it pays a scan of an empty list and records nothing.
#include "platform/posix/test_hooks.h"

#include <stdexcept>

#include "platform/posix/machine.h"

namespace vur::posix::testing {
namespace {

std::vector<Fault>& Faults() {
  static auto* faults = new std::vector<Fault>();
  return *faults;
}
std::vector<SearchRecord>& SearchLog() {
  static auto* log = new std::vector<SearchRecord>();
  return *log;
}
std::vector<std::wstring>& RequestLog() {
  static auto* log = new std::vector<std::wstring>();
  return *log;
}

std::vector<KeyOpenRecord>& KeyOpenLog() {
  static auto* log = new std::vector<KeyOpenRecord>();
  return *log;
}

bool g_recording = false;

}  // namespace

bool g_armed = false;

void InjectFault(const Fault& fault) {
  Faults().push_back(fault);
  g_armed = true;
}

void Reset() {
  Faults().clear();
  g_armed = false;
  SearchLog().clear();
  RequestLog().clear();
  KeyOpenLog().clear();
  ResetMachine();
  g_recording = true;
}

std::vector<SearchRecord> Searches() { return SearchLog(); }
std::vector<std::wstring> SearchRequests() { return RequestLog(); }
std::vector<KeyOpenRecord> KeyOpens() { return KeyOpenLog(); }

bool TakeFault(Op op, const std::wstring& target, Fault* fault) {
  std::vector<Fault>& faults = Faults();
  for (std::size_t i = 0; i < faults.size(); ++i) {
    Fault& f = faults[i];
    if (f.op != op || (!f.target.empty() && f.target != target)) continue;
    if (f.skip > 0) {
      --f.skip;
      return false;
    }
    *fault = f;
    if (--f.times <= 0) faults.erase(faults.begin() + static_cast<std::ptrdiff_t>(i));
    g_armed = !faults.empty();
    if (fault->raise) throw std::runtime_error("injected fault");
    return true;
  }
  return false;
}

void RecordSearchRequest(const std::wstring& pattern) {
  if (g_recording) RequestLog().push_back(pattern);
}

int RecordSearchOpened(const std::wstring& pattern) {
  if (!g_recording) return -1;
  SearchLog().push_back({pattern, false});
  return static_cast<int>(SearchLog().size()) - 1;
}

void RecordSearchClosed(int id) {
  if (id >= 0 && static_cast<std::size_t>(id) < SearchLog().size()) SearchLog()[id].closed = true;
}

void RecordKeyOpen(const char* sub_key, REGSAM access) {
  if (!g_recording) return;
  std::string text = sub_key == nullptr ? "" : sub_key;
  KeyOpenLog().push_back({DecodeUtf8(text.data(), text.size()), access});
}

}  // namespace vur::posix::testing
