#include "config/exclusions.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/scanner_fixture.h"

namespace vur {
namespace {

using test::Narrow;

// Whether any compiled rule excludes the folder, as the walker asks.
bool Excluded(const Scanner& scanner, const std::wstring& folder) {
  for (const std::wregex& rule : scanner.exclusion_rules())
    if (Scanner::IsExcludedBy(rule, folder)) return true;
  return false;
}

struct Example {
  std::wstring pattern;
  std::wstring expression;
  std::vector<std::wstring> excluded;
  std::vector<std::wstring> kept;
};

const Example kExamples[] = {
    {L"m/.:\\\\RECYCLER\\\\/", L".:\\\\RECYCLER\\\\", {L"D:\\RECYCLER\\", L"e:\\recycler\\"},
     {L"D:\\Old\\RECYCLER\\"}},
    {L"m/D:\\\\Temp/", L"D:\\\\Temp\\\\", {L"D:\\Temp\\", L"d:\\TEMP\\"}, {L"D:\\Temp\\x\\", L"D:\\Tempo\\"}},
    {L"D:\\Temp", L"D:\\\\Temp\\\\", {L"D:\\Temp\\", L"d:\\temp\\"}, {L"D:\\Temp\\x\\"}},
    {L"D:\\Temp\\", L"D:\\\\Temp\\\\", {L"D:\\Temp\\"}, {L"D:\\"}},
    {L"D:\\Temp\\*", L"D:\\\\Temp\\\\.*\\\\", {L"D:\\Temp\\a\\", L"D:\\Temp\\a\\b\\"}, {L"D:\\Temp\\"}},
    {L"*\\Cache", L".*\\\\Cache\\\\", {L"C:\\Cache\\", L"D:\\x\\y\\cache\\"}, {L"D:\\Cache2\\", L"D:\\x\\Cache\\y\\"}},
    {L"E:", L"E:\\\\", {L"E:\\", L"e:\\"}, {L"E:\\x\\", L"F:\\"}},
    {L"D:\\Data?", L"D:\\\\Data.\\\\", {L"D:\\Data1\\", L"D:\\DataX\\"}, {L"D:\\Data\\", L"D:\\Data12\\"}},
    {L"D:\\Program Files (x86)", L"D:\\\\Program Files \\(x86\\)\\\\", {L"D:\\Program Files (x86)\\"},
     {L"D:\\Program Files\\"}},
    {L"M/D:\\\\Temp/", L"M/D:\\\\\\\\Temp/\\\\", {}, {L"D:\\Temp\\", L"M:\\Temp\\"}},
    {L"m/^D:\\\\Temp$/", L"^D:\\\\Temp$\\\\", {}, {L"D:\\Temp\\"}},
    {L"D:\\My.Docs", L"D:\\\\My.Docs\\\\", {L"D:\\My.Docs\\", L"D:\\My_Docs\\"}, {}},
    {L"D:\\a^b$c+d{1}[x]", L"D:\\\\a[\\^]b[$]c[+]d\\{1\\}\\[x\\]\\\\", {L"D:\\a^b$c+d{1}[x]\\"}, {L"D:\\ab\\"}},
};

class ExclusionsTest : public test::ScannerTest {};

TEST_F(ExclusionsTest, WorkedExamples) {
  const std::wregex form = ExclusionFormTest();
  for (const Example& e : kExamples) {
    SCOPED_TRACE(Narrow(e.pattern));
    EXPECT_EQ(Narrow(e.expression), Narrow(PrepareExclusion(e.pattern, form)));
    std::wregex rule = CompileExclusion(e.expression);
    for (const std::wstring& path : e.excluded)
      EXPECT_TRUE(Scanner::IsExcludedBy(rule, path)) << Narrow(path);
    for (const std::wstring& path : e.kept)
      EXPECT_FALSE(Scanner::IsExcludedBy(rule, path)) << Narrow(path);
  }
}

// --- The walker's pre-test: the text a rule requires ----------------------

TEST(RequiredText, ReadsOnlyWhatEveryMatchMustHold) {
  struct Case {
    const wchar_t* expression;
    const wchar_t* required;
  } cases[] = {
      {L".:\\\\RECYCLER\\\\", L":\\recycler\\"},
      {L".:\\\\[$]Recycle.Bin\\\\", L"recycle"},
      {L"D:\\\\Temp\\\\.*\\\\", L"d:\\temp\\"},
      {L".*\\\\Cache\\\\", L"\\cache\\"},
      {L"D:\\\\Program Files \\(x86\\)\\\\", L"d:\\program files (x86)\\"},
      {L"^D:\\\\Temp$\\\\", L"d:\\temp"},
      {L"abc+", L"ab"},           // a quantifier takes its atom out
      {L"abc{2,}", L"ab"},
      {L"xab*?c", L"xa"},         // and the lazy mark with it
      {L"ab(cdef)gh", L"ab"},     // groups are not read into
      {L"[abcdef]gh", L"gh"},     // nor classes
      {L"\\x41BC", L"bc"},      // the code of an escape is no literal
      {L"\\u0041DEF", L"def"},
      {L"\\cJab", L"ab"},
      {L"(a)\\12xy", L"xy"},    // nor the digits of a back-reference
      {L"\\dabc\\bde", L"abc"},
      {L"a\\.b\\[c", L"a.b[c"},
      {L"a|bcdef", L""},          // an alternation gives nothing
      {L"(ab|cd)ef", L"ef"},      // inside a group it is the group's
      {L"[]abc]def", L""},        // a class whose end isn't plain to see
      {L"[[:alpha:]]def", L""},
      {L"ab)cd", L""},
      {L"D:\\\\caf\u00e9\\\\", L"d:\\caf"},  // no letter beyond ASCII
  };
  for (const Case& c : cases)
    EXPECT_EQ(Narrow(c.required), Narrow(RequiredText(c.expression))) << Narrow(c.expression);
}

// Every path a rule matches must pass the pre-test, or the walker would list
// a folder that a rule excludes; and the pre-test must turn most folders
// away from the default rules, or it would be worth nothing.
TEST(RequiredText, EveryMatchPassesThePreTest) {
  const std::wregex form = ExclusionFormTest();
  std::vector<std::wstring> expressions, paths;
  for (const Example& e : kExamples) {
    expressions.push_back(e.expression);
    paths.insert(paths.end(), e.excluded.begin(), e.excluded.end());
    paths.insert(paths.end(), e.kept.begin(), e.kept.end());
  }
  for (const wchar_t* pattern : kDefaultExclusions) expressions.push_back(PrepareExclusion(pattern, form));
  for (const wchar_t* more : {L"m/.:\\\\(Temp|Tmp)\\\\/", L"m/.*\\\\node_modules\\\\.*/",
                              L"m/D:\\\\a+b?c*\\\\/", L"m/D:\\\\ab?\\\\/", L"m/.:\\\\\\x52ecycler\\\\/",
                              L"m/(.)\\1:\\\\/", L"m/D:\\\\Temp\\\\|E:\\\\Tmp\\\\/", L"*\\Temp?\\*", L"D:\\Caf\u00c9"})
    expressions.push_back(PrepareExclusion(more, form));
  for (const wchar_t* path :
       {L"D:\\$Recycle.Bin\\", L"C:\\$RECYCLE.BIN\\", L"E:\\recycled\\", L"D:\\Tmp\\",
        L"D:\\x\\node_modules\\y\\", L"D:\\aabcc\\", L"D:\\bc\\", L"D:\\Recycler\\",
        L"DD:\\", L"D:\\Temp1\\x\\", L"D:\\ac\\", L"D:\\a\\", L"E:\\Tmp\\", L"D:\\caf\u00e9\\", L"D:\\CAF\u00c9\\", L"D:\\"})
    paths.push_back(path);
  for (const std::wstring& expression : expressions) {
    std::wregex rule = CompileExclusion(expression);
    std::wstring required = RequiredText(expression);
    for (const std::wstring& path : paths) {
      if (Scanner::IsExcludedBy(rule, path)) {
        EXPECT_TRUE(MayHold(path, required)) << Narrow(expression) << " on " << Narrow(path);
      }
    }
  }
  int passed = 0;
  const wchar_t* folders[] = {L"D:\\", L"D:\\Program Files\\", L"D:\\Users\\a\\AppData\\",
                              L"D:\\Windows\\System32\\", L"D:\\Old\\Stuff\\"};
  for (const wchar_t* pattern : kDefaultExclusions)
    for (const wchar_t* folder : folders) passed += MayHold(folder, RequiredText(PrepareExclusion(pattern, form)));
  EXPECT_EQ(passed, 0);
}

TEST(MayHold, IsCaseBlindAndLeavesOtherScriptsToTheRule) {
  EXPECT_TRUE(MayHold(L"D:\\ReCyClEr\\", L":\\recycler\\"));
  EXPECT_FALSE(MayHold(L"D:\\Recycle\\", L":\\recycler\\"));
  EXPECT_FALSE(MayHold(L"D:\\", L"d:\\temp\\"));
  EXPECT_TRUE(MayHold(L"D:\\\u0130\\", L"d:\\i"));  // beyond ASCII: the rule decides
  EXPECT_TRUE(MayHold(L"anything", L""));
}

TEST(ReplaceAll, DoesNotRescanWhatItInserted) {
  EXPECT_EQ(L"a\\\\b\\\\", ReplaceAll(L"a\\b\\", L"\\", L"\\\\"));
  EXPECT_EQ(L"xx", ReplaceAll(L"x", L"x", L"xx"));
  EXPECT_EQ(L"", ReplaceAll(L"", L"x", L"y"));
  EXPECT_EQ(L"abc", ReplaceAll(L"abc", L"", L"y"));
}

TEST_F(ExclusionsTest, DefaultsExcludeTheRecycleBinsAtADriveRoot) {
  Scanner& scanner = MakeScanner();
  scanner.LoadExclusions();
  EXPECT_EQ("# No local exclusions found.\n", Log());
  ASSERT_EQ(3u, scanner.exclusion_rules().size());
  for (const wchar_t* path : {L"D:\\RECYCLER\\", L"D:\\Recycled\\", L"D:\\$Recycle.Bin\\",
                              L"d:\\$RECYCLE.BIN\\"})
    EXPECT_TRUE(Excluded(scanner, path)) << Narrow(path);
  for (const wchar_t* path : {L"D:\\", L"D:\\Old\\RECYCLER\\", L"D:\\Old\\$Recycle.Bin\\",
                              L"D:\\Recycle.Bin\\", L"D:\\RECYCLER\\x\\"})
    EXPECT_FALSE(Excluded(scanner, path)) << Narrow(path);
}

TEST_F(ExclusionsTest, RegistryPatternsJoinTheDefaults) {
  const wchar_t kPatterns[] = L"D:\\Temp\0m/.*\\\\Cache\\\\/\0m/.:\\\\RECYCLER\\\\/";
  machine_.SetValue(L"PathExclusions", std::wstring(kPatterns, sizeof kPatterns / sizeof(wchar_t) - 1));
  Scanner& scanner = MakeScanner();
  scanner.LoadExclusions();
  EXPECT_EQ(
      "# Path exclusions were specified in registry.\n"
      "# Found path exclusions D:\\Temp.\n"
      "# Found path exclusions m/.*\\\\Cache\\\\/.\n"
      "# Found path exclusions m/.:\\\\RECYCLER\\\\/.\n",
      Log());
  // The pattern equal to a default gives one rule, not two.
  EXPECT_EQ(5u, scanner.exclusion_rules().size());
  EXPECT_EQ(5u, scanner.exclusion_patterns().size());
  EXPECT_TRUE(Excluded(scanner, L"D:\\Temp\\"));
  EXPECT_TRUE(Excluded(scanner, L"C:\\Users\\x\\Cache\\"));
  EXPECT_FALSE(Excluded(scanner, L"D:\\Temporary\\"));
}

TEST_F(ExclusionsTest, PatternsThatDoNotCompileAreReportedAndSkipped) {
  const wchar_t kPatterns[] = L"m/D:\\\\Temp[/\0m/D:\\\\Temp\\/\0D:\\a)\0m//\0m/D:\\\\Keep/";
  machine_.SetValue(L"PathExclusions", std::wstring(kPatterns, sizeof kPatterns / sizeof(wchar_t) - 1));
  Scanner& scanner = MakeScanner();
  scanner.LoadExclusions();
  std::string log = Log();
  // In the patterns' sorted order; the messages have no line end. "m//" has
  // nothing to match and is reported with its empty expression.
  const std::string expected =
      "Invalid Path Exclusion: "
      "Invalid Path Exclusion: D:\\\\Temp[\\\\"
      "Invalid Path Exclusion: D:\\\\Temp\\";
  ASSERT_GE(log.size(), expected.size()) << log;
  EXPECT_EQ(expected, log.substr(log.size() - expected.size())) << log;
  // A wildcard ")" is escaped, so "D:\a)" compiles.
  EXPECT_EQ(3u + 2u, scanner.exclusion_rules().size()) << log;
  EXPECT_TRUE(Excluded(scanner, L"D:\\Keep\\"));
  EXPECT_TRUE(Excluded(scanner, L"D:\\a)\\"));
}

TEST(CompileExclusion, BackReferencesAreValid) {
  std::wregex rule = CompileExclusion(L"D:\\\\(a+)-\\1\\\\");
  EXPECT_TRUE(Scanner::IsExcludedBy(rule, L"D:\\aa-AA\\"));
  EXPECT_FALSE(Scanner::IsExcludedBy(rule, L"D:\\aa-a\\"));
  EXPECT_THROW(CompileExclusion(L"(a)\\1["), std::regex_error);
}

TEST_F(ExclusionsTest, UnbalancedParenthesisInAnExpressionIsReported) {
  machine_.SetValue(L"PathExclusions", L"m/D:\\\\a)/");
  Scanner& scanner = MakeScanner();
  scanner.LoadExclusions();
  EXPECT_NE(std::string::npos, Log().find("Invalid Path Exclusion: D:\\\\a)\\\\"));
  EXPECT_EQ(3u, scanner.exclusion_rules().size());
}

// The longest folder paths the platform lists (about 4100 characters on Linux,
// 32767 on Windows) against rules that a backtracking engine would run with a
// stack frame per character, and, for the nested repetition, in time
// exponential in the path's depth: neither may crash or hang the scan.
TEST(ExclusionRules, LongestPathsDoNotExhaustTheStack) {
  const std::wregex form = ExclusionFormTest();
  const std::size_t longest = sizeof(wchar_t) == 2 ? 32767 : 4200;
  std::wstring path = L"D:\\";
  while (path.size() < longest - 10) path += L"abcdefghi\\";
  const struct {
    const wchar_t* pattern;
    bool matches_cache;  // whether it excludes the long path plus "Cache\"
  } cases[] = {{L"*\\Cache", true},
               {L"m/(.*\\\\)*Cache\\\\/", true},
               {L"m/.*x.*/", false},
               {L"m/.:\\\\RECYCLER\\\\/", false}};
  for (const auto& c : cases) {
    std::wregex rule = CompileExclusion(PrepareExclusion(c.pattern, form));
    EXPECT_FALSE(Scanner::IsExcludedBy(rule, path)) << Narrow(c.pattern);
    EXPECT_EQ(c.matches_cache, Scanner::IsExcludedBy(rule, path + L"Cache\\")) << Narrow(c.pattern);
  }
}

}  // namespace
}  // namespace vur
