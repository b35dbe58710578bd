// A handle's write into the document, keeping the layout of the line.

#include "document/KeptWrite.h"

#include "text/ValueSyntax.h"

namespace vty::config::ini::detail {

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
  kept.raw = pair != nullptr ? KeptValue(pair->value, meant, syntax)
                             : std::string(meant);
  kept.refusal = ValueRefusal(kept.raw, meant, syntax);
  return kept;
}

KeyValuePair* SetKept(File& file, KeyValuePair* pair,
                      const std::optional<std::string>& section,
                      const std::string& key, std::string_view meant,
                      KeptText kept) {
  if (pair == nullptr) {
    return SetValue(file, section, key, std::string(meant),
                    Placement::kAfterLastKey);
  }
  if (!kept.refusal.empty()) {
    Rewrite(*pair, std::string(meant));  // their layout cannot hold it
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
