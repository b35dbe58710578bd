// Check: the lines of a file that every read skips or that hide a setting,
// found by the very rules loading applies.

#include "document/Check.h"

#include <array>
#include <map>
#include <string_view>
#include <unordered_map>

#include "document/Document.h"
#include "text/Names.h"

namespace vty::config::ini {

namespace {

using detail::kByteOrderMark;

// Spaces that the line rules do not strip, since blanks are the space and
// the tab only, as UTF-8: a name that begins or ends with one is not found
// by the name a person types.
constexpr std::array<std::string_view, 18> kUnstrippedSpaces = {
    "\v",           "\f",           "\xC2\xA0",     "\xE1\x9A\x80",
    "\xE2\x80\x80", "\xE2\x80\x81", "\xE2\x80\x82", "\xE2\x80\x83",
    "\xE2\x80\x84", "\xE2\x80\x85", "\xE2\x80\x86", "\xE2\x80\x87",
    "\xE2\x80\x88", "\xE2\x80\x89", "\xE2\x80\x8A", "\xE2\x80\x8B",
    "\xE2\x80\xAF", "\xE3\x80\x80"};

bool EndsWithSpace(std::string_view name) {
  for (const std::string_view space : kUnstrippedSpaces) {
    if (name.size() >= space.size() &&
        (name.substr(0, space.size()) == space ||
         name.substr(name.size() - space.size()) == space)) {
      return true;
    }
  }
  return false;
}

std::string Quoted(std::string_view name) {
  return "\"" + std::string(name) + "\"";
}

std::string Where(const SectionName& section) {
  return section ? "[" + *section + "]" : "the unnamed section";
}

// What is odd about the name of a key or section, or "".
std::string OddName(std::string_view what, std::string_view name) {
  if (name.find(kByteOrderMark) != std::string_view::npos) {
    return std::string(what) + " " + Quoted(name) +
           " holds a byte-order mark: a name typed without it does not find "
           "it";
  }
  if (EndsWithSpace(name)) {
    return std::string(what) + " " + Quoted(name) +
           " begins or ends with a space that is not a blank (a vertical "
           "tab, form feed, or no-break or other Unicode space): a name "
           "typed without it does not find it";
  }
  return {};
}

}  // namespace

namespace detail {

std::vector<Finding> CheckLines(const File& file, const std::string& origin) {
  std::vector<Finding> findings;
  // The first line of each key of each section, and of each section's header.
  std::map<std::pair<const Section*, std::string>, std::size_t> firstKey;
  std::unordered_map<const Section*, std::size_t> firstHeader;
  std::size_t number = 0;
  std::string name;
  const auto find = [&](std::string message) {
    if (!message.empty())
      findings.push_back({number, std::move(message), origin});
  };
  for (const auto& line : file.lines) {
    ++number;
    const Section* section = line->section.get();
    if (const KeyValuePair* pair = AsKeyValue(*line)) {
      find(OddName("key", pair->key));
      const auto [first, fresh] =
          firstKey.emplace(std::make_pair(section, Folded(pair->key)), number);
      if (!fresh) {
        find("key " + Quoted(pair->key) + " occurs again in " +
             Where(section->name) + " (first on line " +
             std::to_string(first->second) + "): only the first is read");
      }
    } else if (line->ignorable) {
      if (!IsSectionHeader(line->text, name)) continue;  // blank or comment
      find(OddName("section name", name));
      const auto [first, fresh] = firstHeader.emplace(section, number);
      if (!fresh) {
        find("section " + Where(section->name) +
             " repeats the header on line " + std::to_string(first->second) +
             ": the lines below join that section");
      }
    } else {
      find("unrecognised text in " + Where(section->name) +
           ": neither blank, comment, key (nothing before its first '=') "
           "nor section header; every read skips it");
    }
  }
  return findings;
}

}  // namespace detail

std::vector<Finding> Check(const std::string& file) {
  // A document of its own, read from disk now: never the registered one,
  // whose unsaved changes are not what the file says.
  const File document(file, [] { return false; });
  return detail::CheckLines(document, file);
}

}  // namespace vty::config::ini
