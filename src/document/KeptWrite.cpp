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

}  // namespace

KeyValuePair* FindPairBy(const File& file,
                         const std::optional<std::string>& section,
                         std::string_view key, const Syntax& syntax) {
  return syntax.duplicates == Syntax::Duplicates::Last
             ? FindLastPair(file, section, key)
             : FindPair(file, section, key);
}

KeptText KeptTextOf(const KeyValuePair* pair, std::string_view meant,
                    const Syntax& syntax) {
  KeptText kept;
  kept.raw = KeptValue(pair != nullptr ? pair->value : "", meant, syntax);
  kept.refusal = ValueRefusal(kept.raw, meant, syntax);
  return kept;
}

KeptText KeptStoredOf(const KeyValuePair* pair, std::string_view stored,
                      const Syntax& syntax) {
  KeptText kept;
  kept.raw = PlaceValue(pair != nullptr ? pair->value : "", stored, syntax);
  if (StoredValue(kept.raw, syntax) == stored) return kept;
  // Read without quotes, the line would give the text as given: the rule
  // that keeps it from doing so is the refusal.
  Syntax bare = syntax;
  bare.quotes = false;
  kept.refusal = ValueRefusal(kept.raw, stored, bare);
  if (kept.refusal.empty()) {
    kept.refusal =
        "would not read back as the text \"" + std::string(stored) + "\"";
  }
  return kept;
}

KeyValuePair* SetKept(File& file, KeyValuePair* pair,
                      const std::optional<std::string>& section,
                      const std::string& key, std::string_view stored,
                      KeptText kept, const Syntax& syntax) {
  if (pair == nullptr) {
    // Spelled as its neighbours are: a file written "Key = value" gets
    // "New = value". Blanks after '=' are the value's own unless trimmed.
    const KeyValuePair* model = SpacingModel(file, section);
    if (model == nullptr || !syntax.trimValues) {
      return SetValue(file, section, key, kept.raw, Placement::kAfterLastKey);
    }
    const std::string_view line = model->text;
    const std::size_t equals = line.find('=');
    const std::string_view before = line.substr(0, equals);
    const std::string_view after = line.substr(equals + 1);
    const std::string raw =
        std::string(after.substr(0, FirstNonBlank(after))) + kept.raw;
    const std::size_t keyEnd = before.find_last_not_of(" \t") + 1;
    std::string text = key;
    text.append(before.substr(keyEnd)).append("=").append(raw);
    KeyValuePair* made =
        SetValue(file, section, key, raw, Placement::kAfterLastKey);
    made->text.swap(text);  // cannot throw
    return made;
  }
  if (!kept.refusal.empty()) {
    Rewrite(*pair, std::string(stored));  // their layout cannot hold it
    return pair;
  }
  // Everything up to the first '=' stays: indentation, key, blanks.
  const std::size_t equals = pair->text.find('=');
  std::string text;
  text.reserve(equals + 1 + kept.raw.size());
  text.append(pair->text, 0, equals + 1).append(kept.raw);
  pair->text.swap(text);
  pair->value.swap(kept.raw);
  return pair;
}

}  // namespace vty::config::ini::detail
