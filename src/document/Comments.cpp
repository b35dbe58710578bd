// Comment blocks: see Comments.h.

#include "document/Comments.h"

#include <algorithm>
#include <iterator>
#include <list>
#include <memory>

#include "document/KeptWrite.h"
#include "text/LineRules.h"
#include "text/Refusal.h"

namespace vty::config::ini::detail {

namespace {

using Lines = std::list<std::shared_ptr<Line>>;

bool IsCommentLine(std::string_view text) {
  const std::size_t first = FirstNonBlank(text);
  return first < text.size() && StartsComment(text[first]);
}

// Where `line` stands among the file's lines. Every line is among its
// section's, and a named section's header comes first there.
std::optional<Lines::iterator> PlaceOf(const Line& line) {
  for (const auto& ref : line.section->lineRefs) {
    if (ref->get() == &line) return ref;
  }
  return std::nullopt;  // not the file's: no block to read or write
}

// The first of the comment lines right above `at`, or `at` itself.
Lines::iterator BlockTop(const File& file, Lines::iterator at) {
  while (at != file.lines.begin() && IsCommentLine((*std::prev(at))->text)) {
    --at;
  }
  return at;
}

// The marker of the file's first comment, ';' when it has none.
char FirstMarker(const File& file) {
  for (const auto& line : file.lines) {
    if (IsCommentLine(line->text)) return line->text[FirstNonBlank(line->text)];
  }
  return ';';
}

}  // namespace

const Line* CommentedLine(const File& file,
                          const std::optional<std::string>& section,
                          std::string_view key, const Syntax& syntax) {
  if (!key.empty()) return FindPairBy(file, section, key, syntax);
  if (!section) return nullptr;
  const Section* found = FindSection(file, section);
  if (found == nullptr || found->lineRefs.empty()) return nullptr;
  return found->lineRefs.front()->get();
}

std::string CommentAbove(const File& file, const Line& line) {
  const std::optional<Lines::iterator> at = PlaceOf(line);
  std::string text;
  if (!at) return text;
  const Lines::iterator top = BlockTop(file, *at);
  for (auto each = top; each != *at; ++each) {
    std::string_view comment = (*each)->text;
    comment.remove_prefix(FirstNonBlank(comment) + 1);  // and the marker
    if (!comment.empty() && IsBlank(comment.front())) comment.remove_prefix(1);
    if (each != top) text += '\n';
    text.append(comment);
  }
  return text;
}

const char* CommentRefusal(std::string_view text) {
  return text.find('\r') == std::string_view::npos
             ? nullptr
             : "holds a carriage return, which would end a line of its own";
}

std::string CommentSubject(const std::optional<std::string>& section,
                           std::string_view key, std::string_view file) {
  if (!key.empty()) return "comment of " + KeySubject(section, key, file);
  std::string subject = "comment of the header of " + SectionPlace(section);
  return subject.append(" in ").append(file);
}

void SetCommentAbove(File& file, const Line& line, std::string_view text) {
  const std::optional<Lines::iterator> place = PlaceOf(line);
  if (!place) return;
  const Lines::iterator target = *place;
  const Lines::iterator top = BlockTop(file, target);
  const auto above =
      target == file.lines.begin() ? file.lines.end() : std::prev(target);

  // The lines above a header belong to the section above it, those above a
  // key line to its own; above the file's first line, to the unnamed
  // section, made when a header is that line.
  std::shared_ptr<Section> owner;
  bool unnamedMade = false;
  if (above != file.lines.end()) {
    owner = (*above)->section;
  } else if (const auto unnamed = file.sections.find(std::nullopt);
             unnamed != file.sections.end()) {
    owner = unnamed->second;
  } else if (!text.empty()) {
    owner = std::make_shared<Section>(std::nullopt);
    unnamedMade = true;
  } else {
    return;  // nothing above, nothing to add
  }
  // The new lines and their refs are made aside: running out of memory
  // then leaves every line as it was.
  Lines made;
  std::list<Lines::iterator> refs;
  if (!text.empty()) {
    const std::string start =
        line.text.substr(0, FirstNonBlank(line.text)) + FirstMarker(file);
    for (std::size_t from = 0;;) {
      const std::size_t end = std::min(text.find('\n', from), text.size());
      std::string comment = start;
      if (end > from) comment.append(" ").append(text.substr(from, end - from));
      made.push_back(std::make_shared<Line>(owner, true, std::move(comment)));
      refs.push_back(std::prev(made.end()));
      if (end == text.size()) break;
      from = end + 1;
    }
  }
  if (unnamedMade) {
    file.sections.emplace(std::nullopt, owner);  // the last step that throws
  }

  // The refs of the lines right above `target` end just before `position`
  // among the owner's: the old block's last, and the new block's place.
  auto& ownerRefs = owner->lineRefs;
  auto position = ownerRefs.begin();
  if (above != file.lines.end()) {
    auto ref = ownerRefs.end();
    while (ref != ownerRefs.begin() && *std::prev(ref) != above) --ref;
    if (ref == ownerRefs.begin()) return;  // not the owner's: change nothing
    position = ref;
  }
  for (auto old = top; old != target; ++old) {
    ownerRefs.erase(std::prev(position));
  }
  ForgetLastAdded(*owner);
  file.lines.erase(top, target);
  if (made.empty()) return;
  const auto first = made.begin(), last = std::prev(made.end());
  file.lines.splice(target, made);
  ownerRefs.splice(position, refs);
  EndAdded(file, first, last, false);
}

}  // namespace vty::config::ini::detail
