// The text format's escaping, and a family as a collector reads it.
#include <gtest/gtest.h>

#include "metrics/exposition.h"

namespace vurfleet {
namespace {

TEST(LabelValue, EscapesWhatTheFormatRequiresAndShowsWhatIsNoUtf8) {
  const struct {
    std::string value, shown;
  } cases[] = {
      {"CVE-2024-1", "CVE-2024-1"},
      {"a\\b", "a\\\\b"},
      {"say \"hi\"", "say \\\"hi\\\""},
      {"line\nbreak", "line\\nbreak"},
      {"\\\"\n", "\\\\\\\"\\n"},
      {"} 1\nvurfleet_machines{state=\"ok\"} 9", "} 1\\nvurfleet_machines{state=\\\"ok\\\"} 9"},
      {"caf\xC3\xA9 \xE2\x9C\x93", "caf\xC3\xA9 \xE2\x9C\x93"},  // UTF-8 kept exact
      {"tab\there", "tab\there"},
      {"bad \xFF byte", "bad <0xFF> byte"},
      {"bad \xFF and \"q\"\n", "bad <0xFF> and \\\"q\\\"<U+000A>"},
      {"", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(LabelValue(c.value), c.shown) << c.value;
}

TEST(Exposition, AFamilyIsItsHelpItsTypeThenItsSamples) {
  Exposition out;
  out.Family("vurfleet_x", "What x is.");
  out.Sample("vurfleet_x", {{"id", "a\"b"}, {"severity", ""}}, 3);
  out.Sample("vurfleet_x", {}, "12.5");
  EXPECT_EQ(out.text(),
            "# HELP vurfleet_x What x is.\n"
            "# TYPE vurfleet_x gauge\n"
            "vurfleet_x{id=\"a\\\"b\",severity=\"\"} 3\n"
            "vurfleet_x 12.5\n");
}

}  // namespace
}  // namespace vurfleet
