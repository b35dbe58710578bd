// The key index of a section must always give what a plain walk of the
// section's lines gives: the first key line of the key in file order.

#include <random>
#include <sstream>

#include "TestUtil.h"
#include "config/INI.h"
#include "config/Settings.h"

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

// Every value of `key` in `section` of `text`, found the slow way: a walk of
// its lines of the shape "key=value" below "[section]" headers.
std::vector<std::string> WalkAll(const std::string& text,
                                 const std::string& section,
                                 const std::string& key) {
  std::vector<std::string> values;
  std::istringstream lines(text);
  std::string in;
  for (std::string line; std::getline(lines, line);) {
    if (!line.empty() && line.front() == '[') {
      in = line.substr(1, line.size() - 2);
    } else if (const auto equals = line.find('=');
               equals != std::string::npos && IsEqual(in, section) &&
               IsEqual(line.substr(0, equals), key)) {
      values.push_back(line.substr(equals + 1));
    }
  }
  return values;
}

// A handle that reads a repeated key's last line must find it, and erase
// every line of it, as a walk does, however the lines were loaded and added.
TEST_F(IndexTest, RepeatedKeysAgreeWithAWalkAfterRandomEdits) {
  const std::string sections[] = {"a", "A", "b"};
  const std::string keys[] = {"k", "K", "x"};
  Syntax lastWins;
  lastWins.duplicates = Syntax::Duplicates::Last;
  for (unsigned seed = 0; seed < 20; ++seed) {
    Settings settings = Settings::FromText(
        "[a]\nk=0\nx=1\nK=2\n[b]\nx=3\n[A]\nk=4\nx=5\n", lastWins);
    std::mt19937 random(seed);
    auto pick = [&](int n) {
      return std::uniform_int_distribution<int>(0, n - 1)(random);
    };
    for (int step = 0; step < 100; ++step) {
      const std::string& section = sections[pick(3)];
      const std::string& key = keys[pick(3)];
      const std::string value = std::to_string(step);
      switch (pick(4)) {
        case 0:
          settings.Erase(section, key);
          break;
        case 1:
          settings.Set(section, key, value);
          break;
        default:
          settings.Add(section, key, value);
      }
      const std::string text = settings.Text();
      for (const std::string& s : sections) {
        for (const std::string& k : keys) {
          const auto all = WalkAll(text, s, k);
          ASSERT_EQ(settings.GetAll(s, k), all)
              << "seed " << seed << " step " << step << "\n"
              << text;
          ASSERT_EQ(settings.Get(s, k, "missing"),
                    all.empty() ? "missing" : all.back())
              << "seed " << seed << " step " << step << "\n"
              << text;
        }
      }
    }
  }
}

// A key added to a section goes where a walk back from the section's end
// puts it, however the section's lines changed since the last key added:
// the same as in a document freshly loaded from the same text. One document
// takes the edits of both faces, whose new keys go to different places.
TEST_F(IndexTest, NewKeysGoWhereAFreshDocumentPutsThem) {
  const std::string text =
      "a=1\n\n; note\n\n[s]\nx=1\n; closing\n\n\n[t]\n\n\n";
  const std::optional<std::string> sections[] = {std::nullopt, "s", "t"};
  const std::string keys[] = {"x", "y", "z", "w"};
  Syntax folded;
  folded.continuationLines = true;
  for (unsigned seed = 0; seed < 8; ++seed) {
    std::mt19937 random(seed);
    auto pick = [&](int n) {
      return std::uniform_int_distribution<int>(0, n - 1)(random);
    };
    const std::string path = Path("f" + std::to_string(seed) + ".ini");
    testing::WriteAll(path, text);
    Settings settings(path, folded);
    for (int step = 0; step < 50; ++step) {
      const auto& section = sections[pick(3)];
      const std::string& key = keys[pick(4)];
      const std::string value =
          std::to_string(step) + (pick(3) == 0 ? "\nmore" : "");
      const std::string fresh =
          Path("g" + std::to_string(seed) + "_" + std::to_string(step));
      testing::WriteAll(fresh, settings.Text());
      Settings again(fresh, folded);
      int what = pick(6);
      if ((what == 2 && !section) ||
          (what == 3 && !settings.HasKey(section, key))) {
        what = 4;
      }
      for (const auto& [each, file] :
           {std::pair{&settings, path}, std::pair{&again, fresh}}) {
        switch (what) {
          case 0:
            each->Erase(section, key);
            break;
          case 1:
            EraseKey(section, key, file);
            break;
          case 2:
            each->SetComment(section, "note " + value.substr(0, 2));
            break;
          case 3:
            each->SetComment(section, key, "note " + value.substr(0, 2));
            break;
          case 4:
            each->Set(section, key, value);
            break;
          default:
            WriteString(section, key, std::to_string(step), file);
        }
      }
      ASSERT_EQ(settings.Text(), again.Text())
          << "seed " << seed << " step " << step << " edit " << what;
    }
  }
}

}  // namespace
}  // namespace vty::config::ini
