// How a handle's syntax reads and writes the text after a key's '='.

#include "text/ValueSyntax.h"

#include <algorithm>

namespace vty::config::ini::detail {

std::vector<std::string> SplitList(std::string_view meant, char separator) {
  std::vector<std::string> items;
  if (StripBlanks(meant).empty()) return items;
  for (std::size_t start = 0;;) {
    const std::size_t end = meant.find(separator, start);
    items.emplace_back(StripBlanks(meant.substr(start, end - start)));
    if (end == std::string_view::npos) return items;
    start = end + 1;
  }
}

std::string JoinList(const std::vector<std::string>& items, char separator) {
  std::string text;
  for (std::size_t i = 0; i < items.size(); ++i) {
    if (i > 0) {
      text += separator;
      if (!IsBlank(separator) && !items[i].empty()) text += ' ';
    }
    text += items[i];
  }
  return text;
}

std::string ListRefusal(const std::vector<std::string>& items, char separator) {
  if (items.size() == 1 && items.front().empty()) {
    return "is a list of one empty item, which reads back as no items";
  }
  // Empty items joined by blanks leave blanks only, which read as no items.
  if (IsBlank(separator) && !items.empty() &&
      std::all_of(items.begin(), items.end(),
                  [](const std::string& item) { return item.empty(); })) {
    return "is a list of empty items only, which with a blank separator "
           "reads back as no items";
  }
  for (const std::string& item : items) {
    if (item.find(separator) != std::string::npos) {
      return "has an item \"" + item + "\" that holds the separator '" +
             separator + "'";
    }
    if (StripBlanks(item).size() != item.size()) {
      return "has an item \"" + item +
             "\" that begins or ends with a blank, which a list trims";
    }
  }
  return {};
}

std::string FlagLike(std::string_view old, bool value) {
  for (const FlagWords& words : kFlagWords) {
    if (!FoldedEqual(old, words.yes) && !FoldedEqual(old, words.no)) continue;
    std::string word(value ? words.yes : words.no);
    const auto upper = [](char c) { return c >= 'A' && c <= 'Z'; };
    const auto lower = [](char c) { return c >= 'a' && c <= 'z'; };
    const bool allUpper = std::none_of(old.begin(), old.end(), lower);
    for (std::size_t i = 0; i < word.size(); ++i) {
      if ((allUpper || (i == 0 && upper(old.front()))) && lower(word[i])) {
        word[i] = static_cast<char>(word[i] - 'a' + 'A');
      }
    }
    return word;
  }
  return {};
}

std::string KeptValue(std::string_view oldRaw, std::string_view meant,
                      const Syntax& syntax) {
  const std::size_t comment = CommentStart(oldRaw, syntax.inlineComments);
  const std::string_view body = oldRaw.substr(0, comment);
  const std::string_view tail =
      comment == std::string_view::npos ? "" : oldRaw.substr(comment);
  std::string_view lead, trail;
  if (syntax.trimValues) {
    const std::string_view value = StripBlanks(body);
    if (value.empty()) {
      // Only blanks: one goes before the value, the rest (at least one
      // before a comment) after it.
      const std::size_t before = tail.empty() || body.size() < 2 ? 0 : 1;
      lead = body.substr(0, tail.empty() ? body.size() : before);
      trail = body.substr(lead.size());
    } else {
      lead =
          body.substr(0, static_cast<std::size_t>(value.data() - body.data()));
      trail = body.substr(lead.size() + value.size());
    }
  }
  std::string raw;
  raw.reserve(lead.size() + meant.size() + trail.size() + tail.size());
  raw.append(lead).append(meant).append(trail).append(tail);
  return raw;
}

std::string ValueRefusal(std::string_view raw, std::string_view meant,
                         const Syntax& syntax) {
  if (MeantValue(raw, syntax) == meant) return {};
  if (syntax.trimValues && StripBlanks(meant).size() != meant.size()) {
    return "begins or ends with a blank, which this handle's syntax trims";
  }
  const std::size_t at = raw.find(meant);
  if (at != std::string_view::npos) {
    const std::size_t marker = CommentStart(raw, syntax.inlineComments);
    if (marker != std::string_view::npos && marker < at + meant.size()) {
      return std::string("holds '") + raw[marker] +
             "' after a blank, which this handle's syntax reads as an inline "
             "comment";
    }
    return "would run into the line's inline comment: with untrimmed values "
           "it must end with a blank";
  }
  return "would read back as \"" + std::string(MeantValue(raw, syntax)) + "\"";
}

}  // namespace vty::config::ini::detail
