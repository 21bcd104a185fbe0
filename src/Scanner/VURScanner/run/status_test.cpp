#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <regex>
#include <string>

#include "support/scanner_fixture.h"

namespace vur {
namespace {

class StatusTest : public test::ScannerTest {
 protected:
  void SetUp() override {
    const char* zone = std::getenv("TZ");
    saved_zone_ = zone == nullptr ? "" : zone;
    had_zone_ = zone != nullptr;
  }
  void TearDown() override {
    SetZone(had_zone_ ? saved_zone_.c_str() : nullptr);
  }
  static void SetZone(const char* zone) {
    std::string setting = std::string("TZ=") + (zone == nullptr ? "" : zone);
    static std::string storage;  // putenv keeps the pointer
    storage = setting;
    putenv(&storage[0]);
    tzset();
  }
  static std::string LocalNow() {
    std::time_t now = std::time(nullptr);
    char text[64];
    std::strftime(text, sizeof text, "%a, %d %b %Y %H:%M:%S", std::localtime(&now));
    return text;
  }
  std::string saved_zone_;
  bool had_zone_ = false;
};

TEST_F(StatusTest, StoresTheTextWithItsNulAndAFixedOffsetTime) {
  // A zone far from UTC and from -07:00: the clock part is local time, the
  // offset text never changes.
  SetZone("JST-9");
  Scanner& scanner = MakeScanner();
  std::string before = LocalNow();
  EXPECT_FALSE(scanner.SetStatus("Started"));
  std::string after = LocalNow();

  std::string status, time_text;
  ASSERT_TRUE(machine_.GetValue(L"ScannerStatus", &status));
  EXPECT_EQ(std::string("Started\0", 8), status);
  ASSERT_TRUE(machine_.GetValue(L"ScannerStatusTime", &time_text));
  ASSERT_EQ(32u, time_text.size());
  EXPECT_EQ('\0', time_text.back());
  time_text.pop_back();
  EXPECT_TRUE(std::regex_match(
      time_text, std::regex("(Mon|Tue|Wed|Thu|Fri|Sat|Sun), [0-3][0-9] "
                            "(Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) [0-9]{4} "
                            "[0-2][0-9]:[0-5][0-9]:[0-5][0-9] -0700")))
      << time_text;
  std::string clock = time_text.substr(0, 25);
  EXPECT_TRUE(clock == before || clock == after) << clock << " vs " << before;

  // Both lines reach the console before anything touches the registry.
  EXPECT_EQ("# Started\n# " + time_text + "\n", console_.Text());

  EXPECT_FALSE(scanner.SetStatus("Complete"));
  ASSERT_TRUE(machine_.GetValue(L"ScannerStatus", &status));
  EXPECT_EQ(std::string("Complete\0", 9), status);
}

TEST_F(StatusTest, CreatesTheKeyWhenItIsMissing) {
  Scanner& scanner = MakeScanner();
  machine_.DeleteKey();
  EXPECT_FALSE(scanner.SetStatus("Started"));
  std::string status;
  EXPECT_TRUE(machine_.GetValue(L"ScannerStatus", &status));
}

}  // namespace
}  // namespace vur
