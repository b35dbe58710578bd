// How a handle's syntax reads and writes the text after a key's '='.

#include "text/ValueSyntax.h"

#include <algorithm>

namespace vty::config::ini::detail {

std::size_t QuoteEnd(std::string_view text, std::size_t open) {
  for (std::size_t at = open + 1; at < text.size(); ++at) {
    if (text[at] == '"') return at;
    if (text[at] == '\\' && at + 1 < text.size() &&
        (text[at + 1] == '"' || text[at + 1] == '\\')) {
      ++at;
    }
  }
  return std::string_view::npos;
}

std::string_view Unquoted(std::string_view text, std::size_t open,
                          std::size_t close, std::string& scratch) {
  const std::string_view inside = text.substr(open + 1, close - open - 1);
  std::size_t at = inside.find('\\');
  // A '\\' escapes only '"' and '\\'; without such a pair, nothing to undo.
  while (at != std::string_view::npos && at + 1 < inside.size() &&
         inside[at + 1] != '"' && inside[at + 1] != '\\') {
    at = inside.find('\\', at + 1);
  }
  if (at == std::string_view::npos || at + 1 == inside.size()) return inside;
  scratch.assign(inside.substr(0, at));
  for (; at < inside.size(); ++at) {
    if (inside[at] == '\\' && at + 1 < inside.size() &&
        (inside[at + 1] == '"' || inside[at + 1] == '\\')) {
      ++at;
    }
    scratch += inside[at];
  }
  return scratch;
}

std::string Quoted(std::string_view text) {
  std::string quoted = "\"";
  for (std::size_t at = 0; at < text.size(); ++at) {
    const char next = at + 1 < text.size() ? text[at + 1] : '"';
    if (text[at] == '"' ||
        (text[at] == '\\' && (next == '"' || next == '\\'))) {
      quoted += '\\';
    }
    quoted += text[at];
  }
  return quoted += '"';
}

namespace {

// Where the value of `raw` ends when it is one quoted string opening at
// `open`: after its closing quote, followed only by what `syntax` does not
// read as the value (blanks when it trims, then an inline comment); npos
// when it is no such string.
std::size_t QuotedValueEnd(std::string_view raw, std::size_t open,
                           const Syntax& syntax) {
  const std::size_t close = QuoteEnd(raw, open);
  if (close == std::string_view::npos) return close;
  // The character before `rest` is the quote, so a marker right after it
  // begins no comment, as CommentStart takes the first one.
  const std::string_view rest = raw.substr(close + 1);
  const std::string_view after =
      rest.substr(0, CommentStart(rest, syntax.inlineComments));
  const bool alone =
      syntax.trimValues ? StripBlanks(after).empty() : after.empty();
  return alone ? close + 1 : std::string_view::npos;
}

// The position of `plain`, a view into `raw`, in it.
std::size_t OffsetIn(std::string_view raw, std::string_view plain) {
  return static_cast<std::size_t>(plain.data() - raw.data());
}

}  // namespace

// A marker inside the quotes cut `plain` short: the string is looked for in
// `raw` from its opening quote.
std::string_view QuotedStoredValue(std::string_view raw, std::string_view plain,
                                   const Syntax& syntax) {
  const std::size_t open = OffsetIn(raw, plain);
  const std::size_t end = QuotedValueEnd(raw, open, syntax);
  return end == std::string_view::npos ? plain : raw.substr(open, end - open);
}

std::string_view QuotedMeantValue(std::string_view raw, std::string_view plain,
                                  const Syntax& syntax, std::string& scratch) {
  const std::size_t open = OffsetIn(raw, plain);
  const std::size_t end = QuotedValueEnd(raw, open, syntax);
  return end == std::string_view::npos ? plain
                                       : Unquoted(raw, open, end - 1, scratch);
}

namespace {

// Where the list item that begins at `start` of `stored` ends (at its
// separator, or the text's end), with `item` set to the item it reads as.
std::size_t NextItem(std::string_view stored, std::size_t start,
                     const Syntax& syntax, std::string& item) {
  const char separator = syntax.listSeparator;
  if (syntax.quotes) {
    std::size_t open = start;
    while (open < stored.size() && IsBlank(stored[open]) &&
           stored[open] != separator) {
      ++open;
    }
    if (open < stored.size() && stored[open] == '"') {
      std::size_t end = QuoteEnd(stored, open);
      if (end != std::string_view::npos) {
        const std::size_t close = end++;
        while (end < stored.size() && IsBlank(stored[end]) &&
               stored[end] != separator) {
          ++end;
        }
        if (end == stored.size() || stored[end] == separator) {
          std::string scratch;
          item = std::string(Unquoted(stored, open, close, scratch));
          return end;
        }
      }
    }
  }
  const std::size_t end =
      std::min(stored.find(separator, start), stored.size());
  item = std::string(StripBlanks(stored.substr(start, end - start)));
  return end;
}

// Whether `item` needs quotes to read back as itself in a list under
// `syntax`: it holds the separator, has blanks at its ends, opens with a
// quote, or holds an inline comment marker where a blank may stand before
// it (at its start, after the separator's blank, or after a blank of its
// own).
bool NeedsQuotes(std::string_view item, const Syntax& syntax) {
  if (item.empty()) return false;
  return item.find(syntax.listSeparator) != std::string_view::npos ||
         StripBlanks(item).size() != item.size() || item.front() == '"' ||
         syntax.inlineComments.find(item.front()) != std::string::npos ||
         CommentStart(item, syntax.inlineComments) != std::string_view::npos;
}

}  // namespace

std::vector<std::string> SplitList(std::string_view stored,
                                   const Syntax& syntax) {
  std::vector<std::string> items;
  if (StripBlanks(stored).empty()) return items;
  for (std::size_t start = 0;;) {
    const std::size_t end =
        NextItem(stored, start, syntax, items.emplace_back());
    if (end == stored.size()) return items;
    start = end + 1;
  }
}

std::string JoinList(const std::vector<std::string>& items,
                     const Syntax& syntax) {
  const char separator = syntax.listSeparator;
  std::string text;
  for (std::size_t i = 0; i < items.size(); ++i) {
    if (i > 0) {
      text += separator;
      if (!IsBlank(separator) && !items[i].empty()) text += ' ';
    }
    text += syntax.quotes && NeedsQuotes(items[i], syntax) ? Quoted(items[i])
                                                           : items[i];
  }
  return text;
}

std::string ListRefusal(const std::vector<std::string>& items,
                        const Syntax& syntax) {
  const char separator = syntax.listSeparator;
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
  if (syntax.quotes) return {};  // JoinList quotes what needs it
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

std::string PlaceValue(std::string_view oldRaw, std::string_view stored,
                       const Syntax& syntax) {
  // The comment begins after the value StoredValue finds, so that a marker
  // inside its quotes begins none.
  const std::string_view value = StoredValue(oldRaw, syntax);
  const std::size_t end =
      value.empty() ? 0
                    : static_cast<std::size_t>(value.data() - oldRaw.data()) +
                          value.size();
  std::size_t comment = std::string_view::npos;
  if (!syntax.trimValues) {
    if (end < oldRaw.size()) comment = end;  // the value runs up to it
  } else if (value.empty()) {
    comment = CommentStart(oldRaw, syntax.inlineComments);
  } else if (const std::size_t after =
                 CommentStart(oldRaw.substr(end), syntax.inlineComments);
             after != std::string_view::npos) {
    comment = end + after;
  }
  const std::string_view body = oldRaw.substr(0, comment);
  const std::string_view tail =
      comment == std::string_view::npos ? "" : oldRaw.substr(comment);
  std::string_view lead, trail;
  if (syntax.trimValues) {
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
  raw.reserve(lead.size() + stored.size() + trail.size() + tail.size());
  raw.append(lead).append(stored).append(trail).append(tail);
  return raw;
}

std::string KeptValue(std::string_view oldRaw, std::string_view meant,
                      const Syntax& syntax) {
  std::string raw = PlaceValue(oldRaw, meant, syntax);
  std::string scratch;
  if (!syntax.quotes || MeantValue(raw, syntax, scratch) == meant) return raw;
  std::string quoted = PlaceValue(oldRaw, Quoted(meant), syntax);
  return MeantValue(quoted, syntax, scratch) == meant ? quoted : raw;
}

bool ReadsBackAnywhere(std::string_view meant, const Syntax& syntax) {
  if (!syntax.trimValues || meant.empty() || IsBlank(meant.front()) ||
      IsBlank(meant.back()) || (syntax.quotes && meant.front() == '"')) {
    return false;
  }
  const std::string_view markers = syntax.inlineComments;
  if (markers.size() == 1) {
    return !IsBlank(markers.front()) &&
           FindByte(meant, markers.front(), 0) == std::string_view::npos;
  }
  return markers.find_first_of(" \t") == std::string_view::npos &&
         meant.find_first_of(markers) == std::string_view::npos;
}

std::string ValueRefusal(std::string_view raw, std::string_view meant,
                         const Syntax& syntax) {
  std::string scratch;
  const std::string_view read = MeantValue(raw, syntax, scratch);
  if (read == meant) return {};
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
  return "would read back as \"" + std::string(read) + "\"";
}

}  // namespace vty::config::ini::detail
