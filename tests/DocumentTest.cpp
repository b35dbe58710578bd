// Loading a file into a document, the model it builds, and value lookups.

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "TestUtil.h"
#include "config/INI.h"

namespace vty::config::ini {
namespace {

namespace fs = std::filesystem;
using namespace std::string_literals;
using Lines = std::vector<std::string>;

const std::string kMark = "\xEF\xBB\xBF";

// Every line as "section/kind/text": section "~" is the unnamed one; kind is
// "key|value" for a key line, "#" for an ignorable line, "?" for other text.
Lines Describe(const File& file) {
  Lines out;
  for (const auto& line : file.lines) {
    std::string kind = line->ignorable ? "#" : "?";
    if (const auto* pair = dynamic_cast<const KeyValuePair*>(line.get())) {
      kind = pair->key + "|" + pair->value;
    }
    out.push_back(line->section->name.value_or("~") + "/" + kind + "/" +
                  line->text);
  }
  return out;
}

// Each line is named by exactly one lineRefs entry, that of its own section,
// and each section lists its lines in file order.
void ExpectConsistent(const File& file, const char* context) {
  std::map<const Line*, std::size_t> position;
  for (const auto& line : file.lines) {
    position.emplace(line.get(), position.size());
  }
  std::size_t refs = 0;
  for (const auto& [name, section] : file.sections) {
    EXPECT_TRUE(File::SectionNameEq{}(name, section->name)) << context;
    std::size_t next = 0;  // lowest position the next line may have
    for (const auto& ref : section->lineRefs) {
      const auto found = position.find(ref->get());
      ASSERT_NE(found, position.end()) << context;
      EXPECT_EQ((*ref)->section, section) << context << ": " << (*ref)->text;
      EXPECT_GE(found->second, next) << context << ": " << (*ref)->text;
      next = found->second + 1;
      ++refs;
    }
  }
  EXPECT_EQ(refs, file.lines.size()) << context;
}

class DocumentTest : public testing::TempDirTest {
 protected:
  std::unique_ptr<File> Load(const std::string& content) {
    const std::string path = Path("f" + std::to_string(++count_) + ".ini");
    testing::WriteAll(path, content);
    return std::make_unique<File>(path, [] { return false; });
  }
  int count_ = 0;
};

struct LoadCase {
  const char* name;
  std::string content;
  Lines expected;
};

const Lines kEndings = {"s/#/[s]", "s/a|1/a=1", "s/#/", "s/?/b"};

const LoadCase kLoads[] = {
    {"sections", "a=1\n[s]\nb=2\n", {"~/a|1/a=1", "s/#/[s]", "s/b|2/b=2"}},
    {"order",
     "; x=1\n[a=b]\n[s] x\n k = v \nk=\n",
     {"~/#/; x=1", "~/[a|b]/[a=b]", "~/?/[s] x", "~/k| v / k = v ", "~/k|/k="}},
    {"commented headers",
     "[i] # c\na=1\n[m];c\n[m] x ; y\n[]  ; c\n[a ; b]\n[m] ; k=v\n",
     {"i/#/[i] # c", "i/a|1/a=1", "m/#/[m];c", "m/?/[m] x ; y", "m/?/[]  ; c",
      "a ; b/#/[a ; b]", "a ; b/[m] ; k|v/[m] ; k=v"}},
    {"rejoin",
     "[s]\na=1\n[t]\nb=2\n[S]\nc=3\n",
     {"s/#/[s]", "s/a|1/a=1", "t/#/[t]", "t/b|2/b=2", "s/#/[S]", "s/c|3/c=3"}},
    {"crlf", "[s]\r\na=1\r\n\r\nb\r\n", kEndings},
    {"cr", "[s]\ra=1\r\rb\r", kEndings},
    {"no final break", "[s]\na=1\r\n\rb", kEndings},
    {"cr cr", "a\r\rb", {"~/?/a", "~/#/", "~/?/b"}},
    {"lf cr", "a\n\rb", {"~/?/a", "~/#/", "~/?/b"}},
    {"lone break", "\n", {"~/#/"}},
    {"controls", " \t\n\f\n\v\n", {"~/#/ \t", "~/?/\f", "~/?/\v"}},
    {"nul", "k=a\0b\n\0\n"s, {"~/k|a\0b/k=a\0b"s, "~/?/\0"s}},
    {"mark", kMark + "[Net]\r\nPort=1\n", {"Net/#/[Net]", "Net/Port|1/Port=1"}},
    {"mark only", kMark, {}},
    {"mark later",
     "a=1\n" + kMark + "[Net]\n",
     {"~/a|1/a=1", "~/?/" + kMark + "[Net]"}},
    {"mark twice", kMark + kMark + "[s]", {"~/?/" + kMark + "[s]"}},
};

TEST_F(DocumentTest, LoadsEveryLineInOrder) {
  for (const LoadCase& c : kLoads) {
    const auto file = Load(c.content);
    EXPECT_EQ(Describe(*file), c.expected) << c.name;
    ExpectConsistent(*file, c.name);
    EXPECT_EQ(file->sections.count(std::nullopt), 1u) << c.name;
  }
}

TEST_F(DocumentTest, ByteOrderMarkHidesNoHeader) {
  EXPECT_EQ(Load(kMark + "[Net]\nPort=1\n")->ReadValue("Net"s, "Port"), "1");
}

TEST_F(DocumentTest, LooksUpTheFirstMatchingKey) {
  const auto file = Load(
      "a=0\n[Net]\nPort = 8080\nTimeOut=5\nempty=\ndup=first\n"
      "[Other]\nx=1\n[net]\ndup=second\nlate=9\n");
  ExpectConsistent(*file, "lookups");
  const struct {
    std::optional<std::string> section;
    std::string key;
    std::optional<std::string> value;
  } cases[] = {
      {std::nullopt, "a", "0"},    {""s, "a", std::nullopt},
      {"Net"s, "a", std::nullopt}, {std::nullopt, "Port", std::nullopt},
      {"NET"s, "port", " 8080"},   {"Net"s, "timeout", "5"},
      {"Net"s, "empty", ""},       {"Net"s, "dup", "first"},
      {"net"s, "LATE", "9"},       {"Net"s, " Port", std::nullopt},
      {"Other"s, "x", "1"},        {"Missing"s, "x", std::nullopt},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(file->ReadValue(c.section, c.key), c.value)
        << c.section.value_or("<unnamed>") << " / " << c.key;
  }
  EXPECT_EQ(file->sections.at("NET"s)->name, "Net");
}

TEST_F(DocumentTest, MissingFileIsEmptyAndOlderThanAnyFile) {
  const File missing(Path("missing.ini"), [] { return false; });
  EXPECT_TRUE(missing.lines.empty());
  EXPECT_TRUE(missing.sections.empty());
  EXPECT_EQ(missing.ReadValue(std::nullopt, "a"), std::nullopt);
  EXPECT_EQ(missing.GetFileTime(), missing.changeTime);

  const auto existing = Load("");
  EXPECT_LT(missing.changeTime, fs::last_write_time(existing->path));
  EXPECT_TRUE(existing->lines.empty());
  ASSERT_EQ(existing->sections.size(), 1u);
  EXPECT_TRUE(existing->sections.at(std::nullopt)->lineRefs.empty());
  EXPECT_EQ(existing->changeTime, fs::last_write_time(existing->path));
}

}  // namespace
}  // namespace vty::config::ini
