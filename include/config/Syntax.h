// Vantry.Config: how a handle reads and writes values.
//
// File: config/Syntax.h
// -----------------------------------------------------------------------------
//
// A `Syntax` says what of a line's text after '=' is the value a person
// means: blanks at its ends, an inline comment, quotes, the items of a list.
// The handles of config/Settings.h read and edit by one; see there for
// examples.

#ifndef VTY_CONFIG_SYNTAX_H_
#define VTY_CONFIG_SYNTAX_H_

#include <optional>
#include <string>

namespace vty::config::ini {

/// A section by name; `std::nullopt` names the unnamed section (the lines
/// before the first header).
using SectionName = std::optional<std::string>;

/// How a handle reads and edits values.
struct Syntax {
  /// Blanks (space, tab) at both ends are not part of a value.
  bool trimValues = true;
  /// Each character here is an inline comment marker: a marker preceded by a
  /// blank, and all after it, is a comment. Empty: no inline comments.
  std::string inlineComments = ";";
  /// Separates the items of a std::vector<T> value; blanks around items are
  /// trimmed.
  char listSeparator = ',';
  /// A value that is one double-quoted string after trimming ("...", with
  /// '"' and '\\' inside escaped by '\\'; any other '\\' stands for itself)
  /// reads as the text inside; markers inside the quotes are no comment, and
  /// a quoted list item keeps its separators. Anything else ("a" b, a lone
  /// '"') reads as written. Without `trimValues` a value's blanks are its
  /// own, so the quotes must span all of it, from right after the '=' to
  /// the end of the line. `Set` quotes a value that would read back
  /// otherwise bare, where without quotes it refuses it.
  bool quotes = true;
  /// Deeper-indented non-blank lines after a key line continue its value,
  /// read joined by "\n" (configparser's multi-line values). Without it a
  /// handle reads only the key line, but still treats indented lines that
  /// are no key, comment or header as part of the key above them.
  bool continuationLines = false;
  /// Which line of a key repeated in one section `Get`, `Find`, `Inspect`
  /// and `Set` use: the first, as the free functions read, or the last, as
  /// configparser (strict off), crudini, git, GKeyFile and systemd read.
  /// `GetAll` gives every one.
  enum class Duplicates { First, Last };
  Duplicates duplicates = Duplicates::First;
  /// A section whose keys every named section has unless it sets them
  /// itself (configparser's "DEFAULT"): reads, `HasKey`, `Keys` and `Pairs`
  /// of a named section fall back to it; `Set` writes the named section.
  std::optional<std::string> defaultSection;
};

}  // namespace vty::config::ini

#endif  // VTY_CONFIG_SYNTAX_H_
