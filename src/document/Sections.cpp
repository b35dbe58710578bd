// The section queries' reads of a document: a section's lines and pairs
// in file order, and the names of the sections.

#include <unordered_set>

#include "document/Document.h"

namespace vty::config::ini::detail {

std::vector<std::string> SectionTexts(const File& file,
                                      const std::optional<std::string>& name) {
  std::vector<std::string> texts;
  const Section* found = FindSection(file, name);
  if (found == nullptr) return texts;
  texts.reserve(found->lineRefs.size());
  for (const auto& ref : found->lineRefs) {
    if (!(*ref)->ignorable) texts.push_back((*ref)->text);
  }
  return texts;
}

std::vector<std::pair<std::string, std::string>> SectionPairs(
    const File& file, const std::optional<std::string>& name) {
  std::vector<std::pair<std::string, std::string>> pairs;
  const Section* found = FindSection(file, name);
  if (found == nullptr) return pairs;
  pairs.reserve(found->lineRefs.size());
  for (const auto& ref : found->lineRefs) {
    if (const KeyValuePair* pair = AsKeyValue(**ref)) {
      pairs.emplace_back(pair->key, pair->value);
    }
  }
  return pairs;
}

std::vector<std::string> NamesInFileOrder(const File& file) {
  // Each section's first line is its header, so the first line met of a
  // section is that header; the set is consulted only where one block gives
  // way to the next.
  std::vector<std::string> names;
  std::unordered_set<const Section*> seen;
  seen.reserve(file.sections.size());
  const Section* previous = nullptr;
  for (const auto& line : file.lines) {
    const Section* section = line->section.get();
    if (section == previous) continue;
    previous = section;
    if (section->name && seen.insert(section).second) {
      names.push_back(*section->name);
    }
  }
  return names;
}

std::unordered_set<std::string> SectionNames(const File& file) {
  std::unordered_set<std::string> names;
  names.reserve(file.sections.size());
  for (const auto& entry : file.sections) {
    if (entry.first) names.insert(*entry.first);
  }
  return names;
}

}  // namespace vty::config::ini::detail
