// Drives one document through writes, erasures, reads and flushes chosen by
// the input, and after every step compares it with a small model of what it
// must hold: a vector of lines, each with its section.

#include <fuzzer/FuzzedDataProvider.h>
#include <stdlib.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include "FuzzUtil.h"
#include "config/INI.h"

namespace {

namespace fs = std::filesystem;
using fuzz::kByteOrderMark;
using fuzz::ReadAll;
using fuzz::ScratchDir;
using vty::config::ini::File;
using vty::config::ini::KeyValuePair;
using vty::config::ini::Line;
using Name = std::optional<std::string>;
using namespace std::string_literals;

// The lines the initial file is made of, with what each must load as: the
// section a header opens, or the key of a key line.
struct Seed {
  const char* text;
  Name header;
  std::optional<std::string> key;
};
const Seed kSeeds[] = {
    {"", {}, {}},         {" \t", {}, {}},        {"; note", {}, {}},
    {"#k=1", {}, {}},     {"[a]", "a", {}},       {"[A]", "A", {}},
    {" [ b ] ", "b", {}}, {"[a] ; c", "a", {}},   {"[]", {}, {}},
    {"[a] x", {}, {}},    {"junk", {}, {}},       {"=v", {}, {}},
    {"k=1", {}, "k"},     {" K = 2", {}, "K"},    {"x=", {}, "x"},
    {"k==3", {}, "k"},    {"\tk\t=\t4", {}, "k"}, {"[s=1]", {}, "[s"},
};
const char* const kLineEnds[] = {"\n", "\r\n", "\r"};
const Name kSections[] = {std::nullopt, "a", "A",   "b",  "c",
                          " a",         "",  "s=1", "b\r"};
const std::string kKeys[] = {"k",  "K", "x",  "y",   " k",
                             "[s", "",  ";k", "k=1", "k\n"};
const std::string kValues[] = {"", "1", " v w ", "=x", "n\0l"s, "2\n"};

// The text with control bytes and non-ASCII shown as \xHH.
std::string Show(std::string_view text) {
  std::string shown;
  for (const unsigned char c : text) {
    char hex[5];
    std::snprintf(hex, sizeof hex, "\\x%02X", c);
    shown += c == '\n'              ? "\\n\n"
             : c >= ' ' && c < 0x7F ? std::string(1, c)
                                    : hex;
  }
  return shown;
}

// The steps of the current input, shown when a check fails.
std::string g_steps;

void Check(bool ok, const char* what) {
  if (ok) return;
  std::fprintf(stderr, "steps:\n%s\ncheck failed: %s\n", g_steps.c_str(), what);
  std::abort();
}

void CheckBytes(const std::string& got, const std::string& want,
                const char* what) {
  if (got != want) {
    std::fprintf(stderr, "got:\n%s\nwant:\n%s\n", Show(got).c_str(),
                 Show(want).c_str());
  }
  Check(got == want, what);
}

bool Blank(std::string_view s) {
  return s.find_first_not_of(" \t") == std::string_view::npos;
}

bool Same(std::string_view a, std::string_view b) {
  const auto lower = [](char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
  };
  return a.size() == b.size() &&
         std::equal(a.begin(), a.end(), b.begin(),
                    [&](char x, char y) { return lower(x) == lower(y); });
}

bool Storable(const Name& section, const std::string& key,
              const std::string& value) {
  const auto breaks = [](const std::string& s) {
    return s.find_first_of("\r\n") != std::string::npos;
  };
  // Loading strips blanks at the ends of names.
  const auto outerBlank = [](const std::string& s) {
    return !s.empty() && (s.front() == ' ' || s.front() == '\t' ||
                          s.back() == ' ' || s.back() == '\t');
  };
  if (section &&
      (section->empty() || outerBlank(*section) ||
       section->find('=') != std::string::npos || breaks(*section))) {
    return false;
  }
  return !key.empty() && key[0] != ';' && key[0] != '#' && !outerBlank(key) &&
         key.rfind(kByteOrderMark, 0) != 0 &&
         key.find('=') == std::string::npos && !breaks(key) && !breaks(value);
}

// The document as it must be.
struct Model {
  struct ModelLine {
    std::string text;
    std::size_t section;
    std::optional<std::string> key;  // set for key lines
  };
  struct ModelSection {
    Name name;  // as first written
    bool alive;
  };
  std::vector<ModelLine> lines;
  std::vector<ModelSection> sections;
  bool mark = false;
  bool changed = false;  // since the last save: the next flush must write

  std::optional<std::size_t> Find(const Name& name) const {
    for (std::size_t s = 0; s < sections.size(); ++s) {
      const Name& other = sections[s].name;
      if (sections[s].alive && name.has_value() == other.has_value() &&
          (!name || Same(*name, *other))) {
        return s;
      }
    }
    return std::nullopt;
  }
  std::size_t Add(const Name& name) {
    sections.push_back({name, true});
    return sections.size() - 1;
  }
  bool IsKeyOf(const ModelLine& line, std::size_t s,
               std::string_view key) const {
    return line.section == s && line.key && Same(*line.key, key);
  }

  std::optional<std::string> Read(const Name& name,
                                  const std::string& key) const {
    const auto s = Find(name);
    for (const ModelLine& line : lines) {
      if (s && IsKeyOf(line, *s, key)) {
        return line.text.substr(line.text.find('=') + 1);
      }
    }
    return std::nullopt;
  }

  void Write(const Name& name, const std::string& key,
             const std::string& value) {
    changed = true;
    std::optional<std::size_t> s = Find(name);
    if (!s) {
      s = Add(name);
      if (name) lines.push_back({"[" + *name + "]", *s, {}});
    }
    for (ModelLine& line : lines) {
      if (IsKeyOf(line, *s, key)) {
        line.text = *line.key + "=" + value;
        return;
      }
    }
    // After the section's last non-blank line; before its first line when
    // all are blank; first in the file when it has none.
    std::size_t at = 0;
    bool seen = false;
    for (std::size_t i = 0; i < lines.size(); ++i) {
      if (lines[i].section != *s) continue;
      if (!seen) at = i;
      seen = true;
      if (!Blank(lines[i].text)) at = i + 1;
    }
    lines.insert(lines.begin() + static_cast<std::ptrdiff_t>(at),
                 {key + "=" + value, *s, key});
  }

  void EraseKey(const Name& name, const std::string& key) {
    if (const auto s = Find(name)) {
      changed = true;
      lines.erase(std::remove_if(lines.begin(), lines.end(),
                                 [&](const ModelLine& line) {
                                   return IsKeyOf(line, *s, key);
                                 }),
                  lines.end());
    }
  }

  void EraseSection(const Name& name) {
    if (const auto s = Find(name)) {
      changed = true;
      lines.erase(std::remove_if(lines.begin(), lines.end(),
                                 [&](const ModelLine& line) {
                                   return line.section == *s;
                                 }),
                  lines.end());
      sections[*s].alive = false;
    }
  }

  std::string Texts() const {
    std::string texts;
    for (const ModelLine& line : lines) texts += line.text + "\n";
    return texts;
  }
  // What a save writes.
  std::string Render() const {
    return std::string(mark && !lines.empty() ? kByteOrderMark : "") + Texts();
  }
};

// The lines in order, every section with exactly its lines (the same line
// objects, in order), and every key line with its key and value.
void CheckDocument(const File& file, const Model& model) {
  std::shared_lock lock(file.mutex);
  std::string texts;
  for (const auto& line : file.lines) texts += line->text + "\n";
  CheckBytes(texts, model.Texts(), "lines");
  Check(file.lines.size() == model.lines.size(), "number of lines");
  std::vector<const Line*> order;
  for (const auto& line : file.lines) {
    const Model::ModelLine& want = model.lines[order.size()];
    Check(line->text == want.text, "line text");
    const auto* pair = dynamic_cast<const KeyValuePair*>(line.get());
    Check((pair != nullptr) == want.key.has_value(), "key line or not");
    Check(!pair || (pair->key == *want.key &&
                    pair->value == want.text.substr(want.text.find('=') + 1)),
          "key and value");
    order.push_back(line.get());
  }
  std::size_t alive = 0;
  for (std::size_t s = 0; s < model.sections.size(); ++s) {
    if (!model.sections[s].alive) continue;
    ++alive;
    const auto found = file.sections.find(model.sections[s].name);
    Check(found != file.sections.end(), "section exists");
    Check(found->second->name == model.sections[s].name, "section name");
    auto ref = found->second->lineRefs.begin();
    for (std::size_t i = 0; i < model.lines.size(); ++i) {
      if (model.lines[i].section != s) continue;
      Check(ref != found->second->lineRefs.end(), "section too short");
      Check((*ref)->get() == order[i], "section line");
      Check((**ref)->section == found->second, "line's section");
      ++ref;
    }
    Check(ref == found->second->lineRefs.end(), "section too long");
  }
  Check(file.sections.size() == alive, "number of sections");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  FuzzedDataProvider input(data, size);
  g_steps.clear();
  Model model;
  model.mark = input.ConsumeBool();
  std::string text(model.mark ? kByteOrderMark : "");
  std::size_t current = model.Add(std::nullopt);
  for (int n = input.ConsumeIntegralInRange(0, 12); n > 0; --n) {
    const Seed& seed = input.PickValueInArray(kSeeds);
    std::string end = input.PickValueInArray(kLineEnds);
    // A lone CR followed by an empty line ended by LF would read as CR LF.
    if (!text.empty() && text.back() == '\r' && !*seed.text && end == "\n") {
      end = "\r\n";
    }
    if (seed.header) {
      const auto found = model.Find(seed.header);
      current = found ? *found : model.Add(seed.header);
    }
    model.lines.push_back({seed.text, current, seed.key});
    text += seed.text + end;
  }
  g_steps = "initial file:\n" + Show(text) + "\n";
  const fs::path path = ScratchDir() / "doc.ini";
  std::ofstream(path, std::ios::binary | std::ios::trunc) << text;

  std::string disk = text;
  File file(path, [] { return true; });
  CheckDocument(file, model);
  while (input.remaining_bytes() > 0) {
    const int op = input.ConsumeIntegralInRange(0, 4);
    const Name& section = input.PickValueInArray(kSections);
    const std::string& key = input.PickValueInArray(kKeys);
    const std::string& value = input.PickValueInArray(kValues);
    g_steps += "op " + std::to_string(op) + " [" + Show(section.value_or("-")) +
               "] " + Show(key) + "=" + Show(value) + "\n";
    switch (op) {
      case 0:
        try {
          file.WriteValue(section, key, value);
          Check(Storable(section, key, value), "write accepted");
          model.Write(section, key, value);
        } catch (const std::invalid_argument&) {
          Check(!Storable(section, key, value), "write refused");
        }
        break;
      case 1:
        file.EraseKey(section, key);
        model.EraseKey(section, key);
        break;
      case 2:
        file.EraseSection(section);
        model.EraseSection(section);
        break;
      case 3:
        Check(file.ReadValue(section, key) == model.Read(section, key),
              "read value");
        break;
      default:
        file.Flush();
        if (model.changed) disk = model.Render();
        model.changed = false;
        CheckBytes(ReadAll(path), disk, "flushed bytes");
    }
    CheckDocument(file, model);
  }
  {
    std::unique_lock lock(file.mutex);
    file.Write();
  }
  CheckBytes(ReadAll(path), model.Render(), "saved bytes");
  return 0;
}
