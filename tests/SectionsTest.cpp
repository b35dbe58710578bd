// Seeing a file section by section: the section queries of a document, the
// exported ReadSectionNames, ReadSection and IterateAllSections, and the
// SectionKeyValuePair they hand out.

#include <functional>
#include <map>
#include <set>
#include <stdexcept>

#include "TestUtil.h"

namespace vty::config::ini {

// Lets a failing expectation show pairs as text.
void PrintTo(const SectionKeyValuePair& pair, std::ostream* os) {
  *os << '{' << pair.key << '=' << pair.value << '}';
}

namespace {

using Lines = std::vector<std::string>;
using Visits = std::map<std::string, std::vector<SectionKeyValuePair>>;

// Walks `file`, keeping what each visit was given; with `during`, that is
// called in every visit after the pairs are kept.
Visits Walk(const std::string& file,
            const std::function<void(const std::string&)>& during = nullptr) {
  Visits visits;
  EXPECT_TRUE(IterateAllSections(
      file,
      [&](const std::string& name,
          const std::vector<SectionKeyValuePair>& pairs) {
        EXPECT_TRUE(visits.emplace(name, pairs).second) << name;
        if (during) during(name);
      },
      [](const std::exception& error) { ADD_FAILURE() << error.what(); }));
  return visits;
}

using SectionsTest = testing::TempDirTest;

TEST_F(SectionsTest, QueriesReturnContentLinesInFileOrder) {
  // Text before the first header, a section whose header comes twice in two
  // spellings, one of only a header and a comment, and odd text.
  const std::string path = Path("sample.ini");
  const std::string sample =
      "top=1\nloose text\n; comment\n"
      "[Net]\nHost = example\n; note\n\nplain words\n"
      "[Empty]\n; nothing but this\n"
      "[Other]\nk=v\n"
      "[NET]\nport=80\nhost=again\n";
  testing::WriteAll(path, sample);
  const File document(path, [] { return false; });
  static const struct {
    std::optional<std::string> section;
    Lines lines;                                             // ReadSection
    std::vector<std::pair<std::string, std::string>> pairs;  // key lines
  } kCases[] = {
      {std::nullopt, {"top=1", "loose text"}, {{"top", "1"}}},
      {"net",
       {"Host = example", "plain words", "port=80", "host=again"},
       {{"Host", " example"}, {"port", "80"}, {"host", "again"}}},
      {"OTHER", {"k=v"}, {{"k", "v"}}},
      {"Empty", {}, {}},
      {"Missing", {}, {}},
      {"", {}, {}},
  };
  for (const auto& c : kCases) {
    const std::string context = c.section.value_or("(unnamed)");
    EXPECT_EQ(ReadSection(c.section, path), c.lines) << context;
    EXPECT_EQ(document.ReadSectionKeyValuePairs(c.section), c.pairs) << context;
  }
  const std::unordered_set<std::string> names{"Net", "Empty", "Other"};
  EXPECT_EQ(ReadSectionNames(path), names);
  EXPECT_EQ(document.ReadSectionNames(), names);
  const Visits visits{
      {"Net", {{"Host", " example"}, {"port", "80"}, {"host", "again"}}},
      {"Empty", {}},
      {"Other", {{"k", "v"}}},
  };
  EXPECT_EQ(Walk(path), visits);
  EXPECT_EQ(testing::ReadAll(path), sample);  // nothing was saved
}

TEST_F(SectionsTest, WalkFollowsTheFileNotTheHash) {
  const std::string path = Path("order.ini");
  Lines order = {"s0", "s7", "s2", "s9", "s4", "s11", "s6", "s1", "s8"}, seen;
  std::string text;
  for (const auto& name : order) text += "[" + name + "]\n";
  testing::WriteAll(path, text + "[S7]\nk=1\n");  // a repeated header
  WriteString("New", "k", "v", path);             // an added section goes last
  order.push_back("New");
  const auto names = ReadSectionNames(path);
  ASSERT_NE(Lines(names.begin(), names.end()), order) << "pick other names";
  Walk(path, [&](const std::string& name) { seen.push_back(name); });
  EXPECT_EQ(seen, order);
}

TEST_F(SectionsTest, MissingFileHasNoSectionsToList) {
  const std::string path = Path("missing.ini");
  EXPECT_TRUE(ReadSectionNames(path).empty());
  EXPECT_TRUE(Walk(path).empty());
  EXPECT_TRUE(ReadSection(std::nullopt, path).empty());
  EXPECT_FALSE(std::filesystem::exists(path));
}

TEST_F(SectionsTest, CallbackMayChangeAndFlushTheFileItWalks) {
  const std::string path = Path("walk.ini");
  testing::WriteAll(path, "[A]\na=1\n[B]\nb=1\n[C]\nc=1\n");
  std::string first;
  std::string victim;
  std::set<std::string> seen;
  const Visits visits = Walk(path, [&](const std::string& name) {
    seen.insert(name);
    if (!first.empty()) return;
    // Erase a section still ahead, whatever the order of the visits.
    first = name;
    for (const char* other : {"A", "B", "C"}) {
      if (seen.count(other) == 0) victim = other;
    }
    WriteString(name, "added", "x", path);
    EraseSection(victim, path);
    WriteString("D", "d", "1", path);
    Flush(path);
  });
  ASSERT_EQ(visits.size(), 3u) << "visited a section created by the walk";
  EXPECT_EQ(visits.at(first).size(), 1u) << "saw its own new key";
  EXPECT_TRUE(visits.at(victim).empty()) << victim;
  EXPECT_EQ(ReadString(first, "added", "", path), "x");
  EXPECT_EQ(ReadSectionNames(path).size(), 3u);
}

TEST_F(SectionsTest, CallbackFailures) {
  const std::string path = Path("errors.ini");
  testing::WriteAll(path, "[A]\n[B]\n[C]\n");
  // A standard exception goes to errorCallback, and the walk goes on.
  int visits = 0;
  Lines errors;
  EXPECT_TRUE(IterateAllSections(
      path,
      [&](const std::string& name, const std::vector<SectionKeyValuePair>&) {
        ++visits;
        if (name == "B") throw std::runtime_error("B failed");
      },
      [&](const std::exception& error) {
        EXPECT_NE(dynamic_cast<const std::runtime_error*>(&error), nullptr);
        errors.push_back(error.what());
      }));
  EXPECT_EQ(visits, 3);
  EXPECT_EQ(errors, Lines{"B failed"});
  // An empty callback fails once per section, each failure reported.
  int bad = 0;
  EXPECT_TRUE(IterateAllSections(path, nullptr, [&](const std::exception& e) {
    bad += dynamic_cast<const std::bad_function_call*>(&e) != nullptr;
  }));
  EXPECT_EQ(bad, 3);
  // Anything else ends the walk at once.
  visits = 0;
  const auto throwInt = [&](const std::string&,
                            const std::vector<SectionKeyValuePair>&) {
    ++visits;
    throw 7;
  };
  EXPECT_THROW(IterateAllSections(path, throwInt, [](auto&) {}), int);
  EXPECT_EQ(visits, 1);
  EXPECT_THROW(IterateAllSections(path, nullptr, nullptr),
               std::bad_function_call);
}

TEST(SectionKeyValuePair, ComparesBytesAndIgnoresValueAsArgument) {
  const SectionKeyValuePair pair("Port", "80");
  EXPECT_EQ(pair.Key(), "Port");
  EXPECT_EQ(pair.ValueAs("ignored"), "80");
  EXPECT_EQ(SectionKeyValuePair("k", "").ValueAs("default"), "");
  EXPECT_TRUE(pair == SectionKeyValuePair("Port", "80"));
  EXPECT_FALSE(pair == SectionKeyValuePair("port", "80"));
  EXPECT_FALSE(pair == SectionKeyValuePair("Port", "80 "));
}

}  // namespace
}  // namespace vty::config::ini
