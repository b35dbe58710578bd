// A handle's write into the document, keeping the layout of the line.

#include "document/KeptWrite.h"

#include "text/ValueSyntax.h"

namespace vty::config::ini::detail {

namespace {

// The key line whose blanks around '=' a new key of `section` copies: the
// section's last, which it follows, or the file's first.
const KeyValuePair* SpacingModel(const File& file,
                                 const std::optional<std::string>& section) {
  if (const Section* found = FindSection(file, section)) {
    // A key AddKey added last, which no key line follows, spares the walk.
    for (const auto& added : DocumentState::IndexOf(*found).lastAdded) {
      if (added) return AsKeyValue(***added.value());
    }
    for (auto ref = found->lineRefs.rbegin(); ref != found->lineRefs.rend();
         ++ref) {
      if (const KeyValuePair* pair = AsKeyValue(***ref)) return pair;
    }
  }
  for (const auto& line : file.lines) {
    if (const KeyValuePair* pair = AsKeyValue(*line)) return pair;
  }
  return nullptr;
}

// A new key line for `key` holding `raw`, spelled with the blanks around '='
// of `model` (plain "key=raw" without one, or when values are not trimmed:
// then the blanks after '=' would be the value's own).
std::string SpelledLike(const KeyValuePair* model, const std::string& key,
                        std::string_view raw, const Syntax& syntax) {
  std::string text = key;
  if (model == nullptr || !syntax.trimValues) {
    text.append("=").append(raw);
    return text;
  }
  const std::string_view line = model->text;
  const std::size_t equals = line.find('=');
  const std::string_view before = line.substr(0, equals);
  const std::string_view after = line.substr(equals + 1);
  const std::size_t keyEnd = before.find_last_not_of(" \t") + 1;
  text.append(before.substr(keyEnd))
      .append("=")
      .append(after.substr(0, FirstNonBlank(after)))
      .append(raw);
  return text;
}

// Adds the key line `text` for `key` as AddKey does, with its
// continuation lines after it.
KeyValuePair* AddKeyLines(File& file, const std::optional<std::string>& section,
                          const std::string& key, std::string text,
                          const std::vector<std::string>& continuation) {
  std::string value = text.substr(text.find('=') + 1);
  KeyValuePair* made = AddKey(file, section, key, std::move(text),
                              std::move(value), Placement::kAfterLastKey);
  if (!continuation.empty()) {
    Section& target = *made->section;
    InsertLines(file, target, RefOf(target, made), continuation);
  }
  return made;
}

}  // namespace

KeptText KeptTextOf(const File& file, const KeyLines& key,
                    std::string_view value, const Syntax& syntax, Given given) {
  const std::string_view first = value.substr(0, value.find('\n'));
  const std::string_view old =
      key.pair != nullptr ? std::string_view(key.pair->value) : "";
  KeptText kept;
  if (given == Given::kMeant && ReadsBackAnywhere(first, syntax)) {
    kept.raw = PlaceValue(old, first, syntax);  // what KeptValue would give
  } else if (given == Given::kMeant) {
    kept.raw = KeptValue(old, first, syntax);
    kept.refusal = ValueRefusal(kept.raw, first, syntax);
  } else {
    kept.raw = PlaceValue(old, first, syntax);
    if (StoredValue(kept.raw, syntax) != first) {
      // Read without quotes, the line would give the text as given: the
      // rule that keeps it from doing so is the refusal.
      Syntax bare = syntax;
      bare.quotes = false;
      kept.refusal = ValueRefusal(kept.raw, first, bare);
      if (kept.refusal.empty()) {
        kept.refusal =
            "would not read back as the text \"" + std::string(first) + "\"";
      }
    }
  }
  if (kept.refusal.empty()) {
    ContinuationText more = ContinuationOf(file, key, value, syntax, given);
    kept.continuation = std::move(more.lines);
    kept.refusal = std::move(more.refusal);
  }
  return kept;
}

KeyValuePair* SetKept(File& file, KeyValuePair* pair,
                      const std::optional<std::string>& section,
                      const std::string& key, std::string_view value,
                      KeptText kept, const Syntax& syntax) {
  if (pair == nullptr) {
    // Spelled as its neighbours are: a file written "Key = value" gets
    // "New = value".
    return AddKeyLines(
        file, section, key,
        SpelledLike(SpacingModel(file, section), key, kept.raw, syntax),
        kept.continuation);
  }
  if (!kept.refusal.empty()) {
    // Their layout cannot hold it: the first line plainly.
    Rewrite(*pair, std::string(value.substr(0, value.find('\n'))));
  } else {
    // Everything up to the first '=' stays: indentation, key, blanks. The
    // line's buffer is reused, grown before it is touched.
    const std::size_t equals = pair->text.find('=');
    pair->text.reserve(equals + 1 + kept.raw.size());
    pair->text.resize(equals + 1);
    pair->text.append(kept.raw);
    pair->value.swap(kept.raw);
  }
  ReplaceContinuation(file, *pair->section, pair, kept.continuation, syntax);
  return pair;
}

KeyValuePair* AddKept(File& file, const std::optional<std::string>& section,
                      const std::string& key, KeptText kept,
                      const Syntax& syntax) {
  std::vector<KeyLines> all = FindAllKeyLines(file, section, key, syntax);
  if (all.empty()) {
    const std::string meant = kept.raw;  // kept is moved below
    return SetKept(file, nullptr, section, key, meant, std::move(kept), syntax);
  }
  // The new line and its continuation lines, right after the last line of
  // the key's last occurrence.
  Section& target = *all.back().pair->section;
  const KeyLines last = WithContinuation(target, all.back(), syntax);
  std::vector<std::string> lines{SpelledLike(last.pair, key, kept.raw, syntax)};
  lines.insert(lines.end(), kept.continuation.begin(), kept.continuation.end());
  const auto at = std::prev(last.end);
  InsertLines(file, target, at, lines);
  return AsKeyValue(***std::next(at));
}

void SetAllKept(File& file, const std::optional<std::string>& section,
                const std::string& key, const std::vector<std::string>& values,
                const Syntax& syntax, Given given) {
  std::vector<KeyLines> all = FindAllKeyLines(file, section, key, syntax);
  // Their lines beyond the first go; ours are added after it.
  while (all.size() > 1) {
    Section& target = *all.back().pair->section;
    const KeyLines extra = WithContinuation(target, all.back(), syntax);
    RemoveLines(file, target, extra.line, extra.end);
    all.pop_back();
  }
  KeyLines first = all.empty() ? KeyLines{} : all.front();
  for (std::size_t i = 0; i < values.size(); ++i) {
    KeptText kept =
        KeptTextOf(file, i == 0 ? first : KeyLines{}, values[i], syntax, given);
    if (i == 0) {
      SetKept(file, first.pair, section, key, values[i], std::move(kept),
              syntax);
    } else {
      AddKept(file, section, key, std::move(kept), syntax);
    }
  }
}

}  // namespace vty::config::ini::detail
