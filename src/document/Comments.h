// Comment blocks: the comment lines right above a section's header or a key
// line, read and replaced as one text (Comments.cpp). Shared by the handle's
// Comment and SetComment and by a merge that re-applies such an edit on top
// of what another process left.

#ifndef VTY_CONFIG_SRC_DOCUMENT_COMMENTS_H_
#define VTY_CONFIG_SRC_DOCUMENT_COMMENTS_H_

#include <optional>
#include <string>
#include <string_view>

#include "document/Document.h"

namespace vty::config::ini::detail {

// The line a comment block belongs to. With `key` empty (no key is), the
// first header of the named section `section`; otherwise the key line a
// handle with `syntax` reads there (FindPairBy). Null when missing, and for
// the header of the unnamed section, which has none.
const Line* CommentedLine(const File& file,
                          const std::optional<std::string>& section,
                          std::string_view key, const Syntax& syntax);

// The comment lines right above `line`, a line of `file`, up to the first
// line that is no comment (a blank line ends the block): each without its
// indentation, its marker (';' or '#') and the one blank after that, joined
// by "\n". Empty when there is none.
std::string CommentAbove(const File& file, const Line& line);

// Why `text` cannot be a comment block: a carriage return would end a line
// of its own. Null when it can: any other byte is kept as given.
const char* CommentRefusal(std::string_view text);

// "comment of key "Port" in [Net] of app.ini", or with `key` empty
// "comment of the header of [Net] in app.ini": what refusals name.
std::string CommentSubject(const std::optional<std::string>& section,
                           std::string_view key, std::string_view file);

// Replaces the comment block above `line`, a line of `file`, with one
// comment line per line of `text` (split at "\n"): the indentation of
// `line`, the file's first comment marker (';' in a file without
// comments), a blank and the line's text (the marker alone for an empty
// one), so that CommentAbove gives `text` back. "" removes the block. The
// new lines end as added lines end (EndAdded) and belong to the section of
// the line above them, as loading would have them. The caller checks
// CommentRefusal. Either completes or, on bad_alloc, changes nothing.
void SetCommentAbove(File& file, const Line& line, std::string_view text);

}  // namespace vty::config::ini::detail

#endif  // VTY_CONFIG_SRC_DOCUMENT_COMMENTS_H_
