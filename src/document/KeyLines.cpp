// A key as a handle sees it: see KeyLines.h.

#include "document/KeyLines.h"

#include "text/LineRules.h"
#include "text/Names.h"
#include "text/ValueSyntax.h"

namespace vty::config::ini::detail {

namespace {

// Whether `line`, right after the key line `key` or a line that continues
// it, continues it too.
bool Continues(const KeyValuePair& key, Line& line, const Syntax& syntax) {
  const std::string_view text = line.text;
  const std::size_t indent = FirstNonBlank(text);
  if (indent == 0 || indent == text.size()) return false;
  if (!line.ignorable && AsKeyValue(line) == nullptr) return true;
  // Only a header is an ignorable line that is no blank or comment; it
  // begins a section whatever its indentation.
  return syntax.continuationLines && indent > FirstNonBlank(key.text) &&
         !(line.ignorable && ShapeOf(text).kind == LineShape::kOther);
}

// Whether a line of the section may continue a key under `syntax`; when
// none may, the index alone finds a key and its lines.
bool MayContinue(const Section& section, const Syntax& syntax) {
  return syntax.continuationLines ? HasIndentedLines(section)
                                  : HasIndentedText(section);
}

// Calls `visit(KeyLines)` for every key line of the section with its
// continuation lines, in file order, until it returns false.
template <class Visit>
void ForEachKey(const Section& section, const Syntax& syntax, Visit visit) {
  const LineRefs& refs = section.lineRefs;
  KeyLines current;
  current.walked = true;
  for (auto ref = refs.begin(); ref != refs.end(); ++ref) {
    Line& line = ***ref;
    if (current.pair != nullptr) {
      if (Continues(*current.pair, line, syntax)) continue;
      current.end = ref;
      if (!visit(current)) return;
      current.pair = nullptr;
    }
    if (KeyValuePair* pair = AsKeyValue(line)) {
      current.pair = pair;
      current.line = ref;
    }
  }
  if (current.pair != nullptr) {
    current.end = refs.end();
    visit(current);
  }
}

// The indentation a new continuation line of `key` takes: that of its own
// first one, else that of the file's first line continuing a key, else
// four spaces; always deeper than the key line's.
std::string ContinuationIndent(const File& file, const KeyLines& key,
                               const Syntax& syntax) {
  std::string_view indent;
  if (key.HasContinuation()) {
    const std::string_view text = (**std::next(key.line))->text;
    indent = text.substr(0, FirstNonBlank(text));
  }
  const KeyValuePair* above = nullptr;  // the key line the last lines follow
  for (auto line = file.lines.begin();
       indent.empty() && line != file.lines.end(); ++line) {
    if (above != nullptr && Continues(*above, **line, syntax)) {
      indent = std::string_view((*line)->text)
                   .substr(0, FirstNonBlank((*line)->text));
    } else {
      above = AsKeyValue(**line);
    }
  }
  const std::string_view keyIndent =
      key.pair == nullptr ? std::string_view()
                          : std::string_view(key.pair->text)
                                .substr(0, FirstNonBlank(key.pair->text));
  if (indent.size() <= keyIndent.size()) {
    return std::string(keyIndent) + "    ";
  }
  return std::string(indent);
}

}  // namespace

KeyLines FindKeyLines(const File& file,
                      const std::optional<std::string>& section,
                      std::string_view key, const Syntax& syntax) {
  const bool last = syntax.duplicates == Syntax::Duplicates::Last;
  const Section* found = FindSection(file, section);
  KeyLines match;
  if (found == nullptr) return match;
  // Without continuationLines every key line is a key, and the value is its
  // line alone: the index finds it.
  if (!syntax.continuationLines || !HasIndentedLines(*found)) {
    match.pair = FindPairIn(*found, key, last);
    return match;
  }
  ForEachKey(*found, syntax, [&](const KeyLines& each) {
    if (!FoldedEqual(each.pair->key, key)) return true;
    match = each;
    return last;
  });
  return match;
}

KeyValuePair* FindPairBy(const File& file,
                         const std::optional<std::string>& section,
                         std::string_view key, const Syntax& syntax) {
  return FindKeyLines(file, section, key, syntax).pair;
}

std::vector<KeyLines> FindAllKeyLines(const File& file,
                                      const std::optional<std::string>& section,
                                      std::string_view key,
                                      const Syntax& syntax) {
  std::vector<KeyLines> all;
  const Section* found = FindSection(file, section);
  if (found == nullptr) return all;
  if (!syntax.continuationLines || !HasIndentedLines(*found)) {
    for (KeyValuePair* pair : FindPairs(file, section, key)) {
      all.emplace_back().pair = pair;
    }
    return all;
  }
  ForEachKey(*found, syntax, [&](const KeyLines& each) {
    if (FoldedEqual(each.pair->key, key)) all.push_back(each);
    return true;
  });
  return all;
}

std::vector<std::string> ValuesOfKey(const File& file,
                                     const std::optional<std::string>& section,
                                     std::string_view key,
                                     const Syntax* syntax) {
  std::vector<std::string> values;
  if (syntax == nullptr) {
    for (const KeyValuePair* pair : FindPairs(file, section, key)) {
      values.push_back(pair->value);
    }
    return values;
  }
  std::string scratch;
  for (const KeyLines& each : FindAllKeyLines(file, section, key, *syntax)) {
    values.emplace_back(ValueOf(each, *syntax, scratch));
  }
  return values;
}

std::vector<std::pair<std::string, std::string>> KeyValues(
    const File& file, const std::optional<std::string>& section,
    const Syntax& syntax) {
  std::vector<std::pair<std::string, std::string>> values;
  const Section* found = FindSection(file, section);
  if (found == nullptr) return values;
  std::string scratch;
  if (!syntax.continuationLines || !HasIndentedLines(*found)) {
    for (auto& [key, raw] : SectionPairs(file, section)) {
      values.emplace_back(std::move(key), MeantValue(raw, syntax, scratch));
    }
    return values;
  }
  ForEachKey(*found, syntax, [&](const KeyLines& each) {
    values.emplace_back(each.pair->key, ValueOf(each, syntax, scratch));
    return true;
  });
  return values;
}

std::string_view ValueOf(const KeyLines& key, const Syntax& syntax,
                         std::string& scratch, Given given) {
  const auto read = [&](std::string_view raw, std::string& into) {
    return given == Given::kMeant ? MeantValue(raw, syntax, into)
                                  : StoredValue(raw, syntax);
  };
  const std::string_view first = read(key.pair->value, scratch);
  if (!syntax.continuationLines || !key.HasContinuation()) return first;
  std::string joined(first);
  std::string line;
  for (auto ref = std::next(key.line); ref != key.end; ++ref) {
    const std::string_view text = (**ref)->text;
    const std::size_t indent = FirstNonBlank(text);
    if (StartsComment(text[indent])) continue;  // a comment among the lines
    joined += '\n';
    joined += read(text.substr(indent), line);
  }
  scratch.swap(joined);
  return scratch;
}

ContinuationText ContinuationOf(const File& file, const KeyLines& key,
                                std::string_view value, const Syntax& syntax,
                                Given given) {
  ContinuationText more;
  const std::string_view meant = value;
  std::size_t at = meant.find('\n');
  if (at == std::string_view::npos) return more;
  if (!syntax.continuationLines) {
    more.refusal =
        "holds a line break, which this handle's syntax cannot "
        "write without continuation lines";
    return more;
  }
  const std::string indent = ContinuationIndent(file, key, syntax);
  std::string name;  // of a line that would be a header
  std::string scratch;
  while (at != std::string_view::npos && more.refusal.empty()) {
    const std::size_t next = meant.find('\n', at + 1);
    const std::string_view line = meant.substr(at + 1, next - at - 1);
    at = next;
    // As a value of one line is written: quoted where the syntax reads
    // quotes and the bare line would read otherwise.
    const std::string raw = given == Given::kMeant ? KeptValue("", line, syntax)
                                                   : std::string(line);
    std::string text = indent + raw;
    const LineShape shape = ShapeOf(text);
    if (StripBlanks(line).empty()) {
      more.refusal = "has an empty line, which would end the value";
    } else if (StartsComment(raw.front())) {
      more.refusal =
          "has a line that begins with a comment marker, which "
          "would be read as a comment";
    } else if (shape.kind == LineShape::kOther && IsSectionHeader(text, name)) {
      more.refusal = "has a line that would be read as a section header";
    } else if ((given == Given::kMeant ? MeantValue(raw, syntax, scratch)
                                       : StoredValue(raw, syntax)) != line) {
      more.refusal = "has the line \"" + std::string(line) + "\", which " +
                     ValueRefusal(raw, line, syntax);
    }
    more.lines.push_back(std::move(text));
  }
  return more;
}

KeyLines WithContinuation(Section& section, KeyLines key,
                          const Syntax& syntax) {
  if (key.walked || key.pair == nullptr) return key;
  key.walked = true;
  key.line = RefOf(section, key.pair);
  key.end = std::next(key.line);
  if (MayContinue(section, syntax)) {
    while (key.end != section.lineRefs.end() &&
           Continues(*key.pair, ***key.end, syntax)) {
      ++key.end;
    }
  }
  return key;
}

void ReplaceContinuation(File& file, Section& section, KeyValuePair* pair,
                         const std::vector<std::string>& lines,
                         const Syntax& syntax) {
  if (lines.empty() && !MayContinue(section, syntax)) return;
  KeyLines key;
  key.pair = pair;
  key = WithContinuation(section, key, syntax);
  if (key.HasContinuation()) {
    // The key line's own iterator stays valid: only the lines after it go.
    RemoveLines(file, section, std::next(key.line), key.end);
  }
  InsertLines(file, section, key.line, lines);
}

bool EraseKeyLines(File& file, const std::optional<std::string>& section,
                   std::string_view key, const Syntax& syntax) {
  const auto found = file.sections.find(section);
  if (found == file.sections.end()) return false;
  Section& target = *found->second;
  if (!MayContinue(target, syntax)) {
    if (FindPair(file, section, key) == nullptr) return false;
    return RemoveKey(file, section, key);
  }
  std::vector<KeyLines> all = FindAllKeyLines(file, section, key, syntax);
  if (all.empty()) return false;
  for (KeyLines& each : all) each = WithContinuation(target, each, syntax);
  // From the first: a range ends where the next may begin, and its end
  // stays while only the lines before it go.
  for (const KeyLines& each : all) {
    RemoveLines(file, target, each.line, each.end);
  }
  return true;
}

}  // namespace vty::config::ini::detail
