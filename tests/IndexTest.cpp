// The key index of a section must always give what a plain walk of the
// section's lines gives: the first key line of the key in file order.

#include <random>

#include "TestUtil.h"
#include "config/INI.h"

namespace vty::config::ini {
namespace {

// The first matching key line, found the slow way.
std::optional<std::string> Walk(const File& file,
                                const std::optional<std::string>& section,
                                const std::string& key) {
  const auto found = file.sections.find(section);
  if (found == file.sections.end()) return std::nullopt;
  for (const auto& ref : found->second->lineRefs) {
    const auto* pair = dynamic_cast<const KeyValuePair*>(ref->get());
    if (pair != nullptr && IsEqual(pair->key, key)) return pair->value;
  }
  return std::nullopt;
}

class IndexTest : public testing::TempDirTest {};

TEST_F(IndexTest, AgreesWithAWalkOfTheLinesAfterRandomEdits) {
  const std::optional<std::string> sections[] = {std::nullopt, "a", "A", "b"};
  const std::string keys[] = {"k", "K", "x", "y"};
  for (unsigned seed = 0; seed < 20; ++seed) {
    const std::string path = Path("f" + std::to_string(seed) + ".ini");
    testing::WriteAll(path, "k=0\nK=dup\n[a]\nx=1\n\n[b]\ny=2\n[A]\nx=3\n");
    File file(path, [] { return true; });
    std::mt19937 random(seed);
    auto pick = [&](int n) {
      return std::uniform_int_distribution<int>(0, n - 1)(random);
    };
    for (int step = 0; step < 200; ++step) {
      const auto& section = sections[pick(4)];
      const std::string& key = keys[pick(4)];
      switch (pick(6)) {
        case 0:
          file.EraseKey(section, key);
          break;
        case 1:
          if (pick(4) == 0) file.EraseSection(section);
          break;
        default:
          file.WriteValue(section, key, std::to_string(step));
      }
      for (const auto& s : sections) {
        for (const std::string& k : keys) {
          ASSERT_EQ(file.ReadValue(s, k), Walk(file, s, k))
              << "seed " << seed << " step " << step << " key " << k;
        }
      }
    }
  }
}

// Loading indexes nothing; the first lookup builds the index from the lines,
// where the first of two duplicate keys must win.
TEST_F(IndexTest, FirstDuplicateWinsWhenBuiltLazily) {
  const std::string path = Path("dup.ini");
  testing::WriteAll(path, "[s]\nport=1\nPORT=2\n[S]\nPort=3\n");
  File file(path, [] { return true; });
  file.EraseKey("s", "missing");  // an edit before any lookup
  EXPECT_EQ(file.ReadValue("S", "Port"), "1");
  file.WriteValue("s", "pOrT", "9");
  EXPECT_EQ(testing::ReadAll(path), "[s]\nport=1\nPORT=2\n[S]\nPort=3\n");
  EXPECT_EQ(file.ReadSection("s"),
            (std::vector<std::string>{"port=9", "PORT=2", "Port=3"}));
  file.EraseKey("s", "PORT");
  EXPECT_EQ(file.ReadValue("s", "port"), std::nullopt);
}

}  // namespace
}  // namespace vty::config::ini
