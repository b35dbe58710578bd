// Store: the one place vty-ini reads and edits an INI file. A private
// document of the file whose changes stay in memory until Save, so that a
// command's edits reach the file in one save, or not at all (--dry-run).
//
// Values come in two forms. The *stored* text is everything after the first
// '=' of a key line, as the compatible functions give it. The *meant* value
// is what a person reads there: blanks (space, tab) at both ends are not part
// of it, and a ';' preceded by a blank starts a comment that runs to the end
// of the line. Set takes a meant value and keeps the rest of the stored text
// (the blanks around the value and the comment after it).

#ifndef VTY_CONFIG_TOOLS_STORE_H_
#define VTY_CONFIG_TOOLS_STORE_H_

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "InPlace.h"
#include "config/INI.h"

namespace vty::config::tool {

using SectionName = std::optional<std::string>;  // std::nullopt: unnamed

// The meant value of a stored text.
std::string_view Meant(std::string_view stored);

class Store {
 public:
  // Loads `file`; a missing file is an empty document. Throws
  // std::filesystem::filesystem_error when the file exists but cannot be
  // read.
  explicit Store(const std::string& file);

  // Every section that has lines, in the order its first line appears; the
  // unnamed section first when lines stand before the first header.
  std::vector<SectionName> Sections() const;
  bool HasSection(const SectionName& section) const;
  // Each key of `section` once with its first value, in file order; meant
  // values unless `raw`.
  std::vector<std::pair<std::string, std::string>> Pairs(
      const SectionName& section, bool raw) const;
  // Every key line of `section`, a key given twice listed twice.
  std::vector<std::pair<std::string, std::string>> AllPairs(
      const SectionName& section, bool raw) const;
  // The text of every key line and unrecognised line of `section`.
  std::vector<std::string> SectionLines(const SectionName& section) const;
  std::optional<std::string> Get(const SectionName& section,
                                 std::string_view key, bool raw) const;

  // Each returns whether the document changed. Set refuses, with
  // std::invalid_argument, a meant value that would read back differently;
  // with `raw`, `value` becomes the whole stored text.
  bool Set(const SectionName& section, const std::string& key,
           const std::string& value, bool raw = false);
  bool Erase(const SectionName& section, const std::string& key);
  bool EraseSection(const SectionName& section);
  // Renames every header of `from`; the lines under them stay. Throws
  // std::invalid_argument when `to` names another section that exists.
  bool RenameSection(const std::string& from, const std::string& to);

  // The bytes a save would write now.
  std::string Text() const;
  bool Changed() const { return Text() != loaded_; }
  // Saves the changes. With a held `inPlace` lock (taken before this
  // Store was loaded) the file is rewritten in place with Text(); otherwise
  // the changes are merged with what others wrote meanwhile and the file is
  // replaced in one step. A rename is always written in place.
  void Save(const FileLock* inPlace);

  const std::string& file() const { return file_; }

 private:
  std::string file_;
  std::unique_ptr<vty::config::ini::File> doc_;
  bool byteOrderMark_ = false;
  std::string loaded_;               // Text() when loaded
  std::optional<std::string> text_;  // a rename's text, replacing doc_'s
};

}  // namespace vty::config::tool

#endif  // VTY_CONFIG_TOOLS_STORE_H_
