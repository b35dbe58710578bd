// Store: the one place vty-ini reads and edits an INI file, through the
// library's `Settings` handle with the syntax the command line asks for (by
// default: no blanks at a value's ends, no ';' comment after a blank, the
// text inside the quotes of a quoted value, the first of a repeated key,
// [DEFAULT] under every named section), and an edit keeps the rest of the
// line.
//
// A command reads and edits an in-memory copy of the file, so that every
// refusal comes before the file is touched and --dry-run sees the result
// without writing. Save then makes the same edits on the file's shared
// document with writing deferred, and flushes once: the whole command
// reaches the file in one save, merged with what others wrote meanwhile.

#ifndef VTY_CONFIG_TOOLS_STORE_H_
#define VTY_CONFIG_TOOLS_STORE_H_

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "config/Settings.h"

namespace vty::config::tool {

using ini::SectionName;

class Store {
 public:
  // Loads `file` (a missing file is an empty document), read by `syntax`.
  // Throws std::filesystem::filesystem_error when the file exists but cannot
  // be read.
  Store(const std::string& file, const ini::Syntax& syntax);

  // Every section in file order; the unnamed one first when it has keys.
  std::vector<SectionName> Sections() const { return doc_.Sections(); }
  bool HasSection(const SectionName& section) const {
    return doc_.HasSection(section);
  }
  // Each key of `section` itself once, with the value Get gives it; with
  // `raw`, everything after the '=' as stored. The keys of the default
  // section are listed under it alone, as crudini lists them.
  std::vector<std::pair<std::string, std::string>> Pairs(
      const SectionName& section, bool raw) const;
  std::optional<std::string> Get(const SectionName& section,
                                 std::string_view key, bool raw) const {
    return (raw ? raw_ : doc_).Find<std::string>(section, key);
  }
  // Every value of a repeated key, in file order; empty when missing.
  std::vector<std::string> GetAll(const SectionName& section,
                                  std::string_view key, bool raw) const {
    return (raw ? raw_ : doc_).GetAll(section, key);
  }
  // The comment block above the section's header, or above KEY's line
  // (Settings::Comment).
  std::string Comment(const SectionName& section) const {
    return doc_.Comment(section);
  }
  std::string Comment(const SectionName& section, std::string_view key) const {
    return doc_.Comment(section, key);
  }
  std::optional<std::vector<std::string>> GetList(const SectionName& section,
                                                  std::string_view key) const {
    return doc_.Find<std::vector<std::string>>(section, key);
  }

  // Each returns whether the document changed; a refused value throws
  // std::invalid_argument before anything changes.
  // With `raw`, `value` is the exact text after the '=' (a line break
  // still refused).
  bool Set(const SectionName& section, const std::string& key,
           const std::string& value, bool raw = false);
  // Settings::Add: one more line for the key; always a change.
  bool Add(const SectionName& section, const std::string& key,
           const std::string& value);
  bool SetList(const SectionName& section, const std::string& key,
               const std::vector<std::string>& items);
  bool Erase(const SectionName& section, const std::string& key);
  bool EraseSection(const SectionName& section);
  // Settings::RenameSection.
  bool RenameSection(const std::string& from, const std::string& to);
  // Settings::SetComment above the key's line in the section itself.
  bool SetComment(const SectionName& section, const std::string& key,
                  const std::string& text);

  // The bytes a save would write: the file when loaded, and now.
  const std::string& Loaded() const { return loaded_; }
  std::string Text() const { return doc_.Text(); }
  bool Changed() const { return Text() != loaded_; }

  // Saves what changed: the edits are made on the file's document and saved
  // once, merged; with `inPlace`, by rewriting the file itself
  // (Settings::SaveInPlace). A failure throws std::runtime_error with the
  // library's message and whether the file is as it was.
  void Save(bool inPlace);

 private:
  void SaveEdits(bool inPlace);

  std::string file_;
  ini::Syntax syntax_;
  ini::Settings doc_;  // the copy the command reads and edits
  ini::Settings raw_;  // the same text, read raw; kept by a raw Set only
  std::string loaded_;
  std::vector<std::function<void(ini::Settings&)>> edits_;  // for Save
};

}  // namespace vty::config::tool

#endif  // VTY_CONFIG_TOOLS_STORE_H_
