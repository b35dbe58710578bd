// Loads arbitrary bytes as an INI file and saves the document unchanged: the
// saved bytes must be the input with every line end made LF and a final LF
// added, and the saved file must load back to the same document.

#include <stdlib.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <string>

#include "FuzzUtil.h"
#include "config/INI.h"

namespace {

namespace fs = std::filesystem;
using fuzz::kByteOrderMark;
using fuzz::ReadAll;
using fuzz::ScratchDir;
using vty::config::ini::File;

using fuzz::Check;

// What a save of the unchanged document must write: LF after every line, the
// byte-order mark only in front of at least one line.
std::string Expected(std::string_view in) {
  const bool mark = in.substr(0, kByteOrderMark.size()) == kByteOrderMark;
  if (mark) in.remove_prefix(kByteOrderMark.size());
  std::string out;
  for (std::size_t i = 0; i < in.size(); ++i) {
    if (in[i] != '\r') {
      out += in[i];
      continue;
    }
    out += '\n';
    if (i + 1 < in.size() && in[i + 1] == '\n') ++i;
  }
  if (!out.empty() && out.back() != '\n') out += '\n';
  return mark && !out.empty() ? std::string(kByteOrderMark) + out : out;
}

std::vector<std::string> Texts(const File& file) {
  std::vector<std::string> texts;
  for (const auto& line : file.lines) texts.push_back(line->text);
  return texts;
}

// Same lines, same sections (names as first written) with the same lines and
// the same key/value pairs.
void CheckSameDocument(const File& a, const File& b) {
  Check(Texts(a) == Texts(b), "same lines");
  Check(a.sections.size() == b.sections.size(), "same number of sections");
  std::size_t refs = 0;
  for (const auto& [name, section] : a.sections) {
    const auto other = b.sections.find(name);
    Check(other != b.sections.end(), "section found again");
    Check(other->second->name == section->name, "same section name");
    Check(a.ReadSectionKeyValuePairs(name) == b.ReadSectionKeyValuePairs(name),
          "same key/value pairs");
    Check(a.ReadSection(name) == b.ReadSection(name), "same section lines");
    refs += section->lineRefs.size();
  }
  Check(refs == a.lines.size(), "every line in one section");
}

// Each line is what the rules make of its text, tried in their order.
void CheckLinesFollowTheRules(const File& file) {
  using vty::config::ini::KeyValuePair;
  for (const auto& line : file.lines) {
    const std::string& text = line->text;
    std::string key, name;
    const bool ignorable = vty::config::ini::IsBlankLine(text) ||
                           vty::config::ini::IsComment(text);
    const bool isKey = !ignorable && vty::config::ini::IsKey(text, key);
    const auto* pair = dynamic_cast<const KeyValuePair*>(line.get());
    Check((pair != nullptr) == isKey, "key lines are the lines IsKey takes");
    Check(!pair || (pair->key == key &&
                    pair->value == text.substr(text.find('=') + 1)),
          "key and value as the rules give them");
    Check(line->ignorable ==
              (ignorable ||
               (!isKey && vty::config::ini::IsSectionHeader(text, name))),
          "ignorable lines are blanks, comments and headers");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);
  const fs::path path = ScratchDir() / "in.ini";
  std::ofstream(path, std::ios::binary | std::ios::trunc) << input;

  File loaded(path, [] { return true; });
  CheckLinesFollowTheRules(loaded);
  {
    std::unique_lock lock(loaded.mutex);
    loaded.Write();
  }
  Check(ReadAll(path) == Expected(input), "saved bytes");
  const File reloaded(path, [] { return true; });
  CheckSameDocument(loaded, reloaded);
  return 0;
}
