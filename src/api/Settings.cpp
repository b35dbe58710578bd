// The handle: a Settings names its document once and reads and edits it by
// its Syntax. Values are read by ValueSyntax.cpp's rules; edits are the
// journal's (Journal.cpp), which keeps the line a person wrote
// (KeptWrite.cpp). From the core it takes the registry's document, the
// document's Hold and Save.h's Changing, Flush and Reload: the same bodies
// the free functions run.

#include "config/Settings.h"

#include <stdexcept>
#include <unordered_map>

#include "api/Handle.h"
#include "document/KeptWrite.h"
#include "document/Load.h"
#include "live/Registry.h"
#include "save/Hold.h"
#include "save/Journal.h"
#include "save/Save.h"
#include "text/Names.h"
#include "text/Refusal.h"
#include "text/ValueSyntax.h"

namespace vty::config::ini {

namespace {

using detail::Handle;

// The section a named section falls back to for the keys it lacks, when the
// handle's syntax names one; null otherwise (and for that section itself).
const std::string* DefaultsOf(const Handle& handle,
                              const SectionName& section) {
  const std::optional<std::string>& defaults = handle.rules.defaultSection;
  if (!defaults || !section || detail::FoldedEqual(*section, *defaults)) {
    return nullptr;
  }
  return &*defaults;
}

// The key line a read through the handle finds: the section's by the
// handle's syntax, else its default section's.
const KeyValuePair* ReadPair(const Handle& handle, const SectionName& section,
                             std::string_view key) {
  const KeyValuePair* pair =
      detail::FindPairBy(handle.document, section, key, handle.rules);
  if (pair != nullptr) return pair;
  const std::string* defaults = DefaultsOf(handle, section);
  return defaults == nullptr ? nullptr
                             : detail::FindPairBy(handle.document, *defaults,
                                                  key, handle.rules);
}
using detail::Hold;
using State = Lookup::State;

// ---- The core, as the handle reaches it ----

// A document that is never saved: bound to a path below /dev/null, which is
// no directory, so loading it finds nothing and its text is parsed in
// instead. It is not registered, so its File::mutex guards it; its writes
// are always deferred, and nothing ever flushes it. Its Text keeps the line
// endings, as a handle's saves do.
std::shared_ptr<File> DocumentOfText(std::string_view text) {
  auto file = std::make_shared<File>("/dev/null/vty-config-in-memory",
                                     [] { return true; });
  detail::DiskContent content;
  content.snapshot.exists = true;
  content.bytes.assign(text.begin(), text.end());
  detail::Parse(*file, content);
  detail::KeepLineEndings(*file);  // not shared yet: no lock needed
  return file;
}

}  // namespace

Settings::Settings(const std::string& file, Syntax syntax) {
  File& document = detail::RegisteredDocument(file);
  {
    // Once a handle is made on it, the document keeps the line endings of
    // its file: a handle edits without changing what it does not touch.
    const Hold hold(document, Hold::Mode::kChange);
    detail::KeepLineEndings(document);
  }
  auto rules = std::make_shared<const Syntax>(std::move(syntax));
  handle_ = std::make_shared<const Handle>(
      Handle{nullptr, document, rules, file, *rules});
}

Settings Settings::FromText(std::string_view text, Syntax syntax) {
  std::shared_ptr<File> document = DocumentOfText(text);
  File& reference = *document;
  Settings settings;
  auto rules = std::make_shared<const Syntax>(std::move(syntax));
  settings.handle_ = std::make_shared<const Handle>(
      Handle{std::move(document), reference, rules,
             "the text of Settings::FromText", *rules});
  return settings;
}

Settings::~Settings() = default;

std::string Settings::Text() const {
  const Handle& handle = *handle_;
  const Hold hold(handle.document, Hold::Mode::kRead);
  return detail::Bytes(handle.document);
}

const Syntax& Settings::GetSyntax() const { return handle_->rules; }

// ---- Reading ----

Lookup::State Settings::FetchText(const SectionName& section,
                                  std::string_view key, std::string& value,
                                  Lookup* inspect) const {
  const Handle& handle = *handle_;
  const Hold hold(handle.document, Hold::Mode::kRead);
  const KeyValuePair* pair = ReadPair(handle, section, key);
  if (pair == nullptr) return State::Missing;
  std::string scratch;
  value = detail::MeantValue(pair->value, handle.rules, scratch);
  if (inspect != nullptr) {
    inspect->text = value;
    inspect->line = detail::LineNumberOf(handle.document, pair);
  }
  return State::Present;
}

Lookup::State Settings::FetchParsed(const SectionName& section,
                                    std::string_view key, Parser parse,
                                    void* value, Lookup* inspect) const {
  const Handle& handle = *handle_;
  const Hold hold(handle.document, Hold::Mode::kRead);
  const KeyValuePair* pair = ReadPair(handle, section, key);
  if (pair == nullptr) return State::Missing;
  std::string scratch;  // touched only by a quoted value with an escape
  const std::string_view text =
      detail::MeantValue(pair->value, handle.rules, scratch);
  if (inspect != nullptr) {
    inspect->text = text;
    inspect->line = detail::LineNumberOf(handle.document, pair);
  }
  return parse(text, value) ? State::Present : State::Invalid;
}

Lookup::State Settings::FetchItems(const SectionName& section,
                                   std::string_view key,
                                   std::vector<std::string>& items,
                                   Lookup* inspect) const {
  const Handle& handle = *handle_;
  const Hold hold(handle.document, Hold::Mode::kRead);
  const KeyValuePair* pair = ReadPair(handle, section, key);
  if (pair == nullptr) return State::Missing;
  // Split from the stored text: a quoted item keeps its separators.
  items = detail::SplitList(detail::StoredValue(pair->value, handle.rules),
                            handle.rules);
  if (inspect != nullptr) {
    std::string scratch;
    inspect->text = detail::MeantValue(pair->value, handle.rules, scratch);
    inspect->line = detail::LineNumberOf(handle.document, pair);
  }
  return State::Present;
}

bool Settings::HasSection(const SectionName& section) const {
  const Handle& handle = *handle_;
  const Hold hold(handle.document, Hold::Mode::kRead);
  const Section* found = detail::FindSection(handle.document, section);
  return found != nullptr && (section || detail::HasKeyLine(*found));
}

bool Settings::HasKey(const SectionName& section, std::string_view key) const {
  const Handle& handle = *handle_;
  const Hold hold(handle.document, Hold::Mode::kRead);
  return ReadPair(handle, section, key) != nullptr;
}

std::vector<SectionName> Settings::Sections() const {
  const Handle& handle = *handle_;
  const Hold hold(handle.document, Hold::Mode::kRead);
  std::vector<SectionName> sections;
  const Section* unnamed = detail::FindSection(handle.document, std::nullopt);
  if (unnamed != nullptr && detail::HasKeyLine(*unnamed))
    sections.emplace_back();
  for (std::string& name : detail::NamesInFileOrder(handle.document)) {
    sections.emplace_back(std::move(name));
  }
  return sections;
}

std::vector<std::string> Settings::Keys(const SectionName& section) const {
  std::vector<std::string> keys;
  for (auto& pair : Pairs(section)) keys.push_back(std::move(pair.first));
  return keys;
}

std::vector<std::pair<std::string, std::string>> Settings::Pairs(
    const SectionName& section) const {
  const Handle& handle = *handle_;
  const bool last = handle.rules.duplicates == Syntax::Duplicates::Last;
  std::vector<std::pair<std::string, std::string>> pairs;
  std::unordered_map<std::string, std::size_t> seen;  // folded key: its place
  std::string scratch;
  const auto add = [&](std::string& key, std::string_view raw, bool overrides) {
    const auto [place, added] = seen.emplace(detail::Folded(key), pairs.size());
    if (added) {
      pairs.emplace_back(std::move(key),
                         detail::MeantValue(raw, handle.rules, scratch));
    } else if (overrides) {
      pairs[place->second].second =
          detail::MeantValue(raw, handle.rules, scratch);
    }
  };
  const Hold hold(handle.document, Hold::Mode::kRead);
  if (detail::FindSection(handle.document, section) == nullptr) return pairs;
  for (auto& [key, raw] : detail::SectionPairs(handle.document, section)) {
    add(key, raw, last);
  }
  if (const std::string* defaults = DefaultsOf(handle, section)) {
    for (auto& [key, raw] : detail::SectionPairs(handle.document, *defaults)) {
      add(key, raw, false);
    }
  }
  return pairs;
}

std::vector<std::string> Settings::GetAll(const SectionName& section,
                                          std::string_view key) const {
  const Handle& handle = *handle_;
  const Hold hold(handle.document, Hold::Mode::kRead);
  const KeyValuePair* found = ReadPair(handle, section, key);
  std::vector<std::string> values;
  if (found == nullptr) return values;
  std::string scratch;
  for (const KeyValuePair* pair :
       detail::FindPairs(handle.document, found->section->name, key)) {
    values.emplace_back(detail::MeantValue(pair->value, handle.rules, scratch));
  }
  return values;
}

// ---- Changing ----

namespace {

// Sets `key` to `value` through `handle`, `value` given as `given` says; a
// flag (`flag` set, `value` its text) keeps the words and letter case of the
// flag it replaces.
void Store(const Handle& handle, const SectionName& section,
           std::string_view key, std::string_view value,
           std::optional<bool> flag = std::nullopt,
           detail::Given given = detail::Given::kMeant) {
  const std::string name(key);
  // The rules of the free functions first: they need no lock.
  detail::CheckStorable(section, name, std::string(value), handle.name);
  File& document = handle.document;
  detail::Changing(document, [&] {
    std::string word;
    if (flag) {
      if (const KeyValuePair* pair =
              detail::FindPairBy(document, section, key, handle.rules)) {
        std::string scratch;
        word = detail::FlagLike(
            detail::MeantValue(pair->value, handle.rules, scratch), *flag);
      }
    }
    return detail::LoggedKeptWrite(document, section, name,
                                   word.empty() ? value : word, handle.syntax,
                                   handle.name, given);
  });
}

}  // namespace

void Settings::StoreText(const SectionName& section, std::string_view key,
                         std::string_view value) {
  Store(*handle_, section, key, value);
}

void Settings::StoreFlag(const SectionName& section, std::string_view key,
                         bool value) {
  Store(*handle_, section, key, FormatValue<bool>(value), value);
}

void Settings::StoreItems(const SectionName& section, std::string_view key,
                          const std::vector<std::string>& items) {
  const Syntax& syntax = handle_->rules;
  std::string refusal = detail::ListRefusal(items, syntax);
  const std::string text = detail::JoinList(items, syntax);
  if (refusal.empty() && detail::SplitList(text, syntax) != items) {
    refusal = "is a list whose text \"" + text +
              "\" would not read back as the same items";
  }
  if (!refusal.empty()) {
    detail::Refuse(
        "value of " + detail::KeySubject(section, key, handle_->name), refusal);
  }
  // As stored: read as a whole, one quoted item would lose its quotes.
  Store(*handle_, section, key, text, std::nullopt, detail::Given::kStored);
}

bool Settings::Erase(const SectionName& section, std::string_view key) {
  File& document = handle_->document;
  return detail::Changing(document, [&] {
    return detail::LoggedEraseKey(document, section, key, false);
  });
}

bool Settings::EraseSection(const SectionName& section) {
  File& document = handle_->document;
  return detail::Changing(
      document, [&] { return detail::LoggedEraseSection(document, section); });
}

bool Settings::RenameSection(const SectionName& from, const std::string& to) {
  const Handle& handle = *handle_;
  if (!from) {
    detail::Refuse("the unnamed section of " + handle.name,
                   "has no header to rename");
  }
  return detail::RenameSection(handle.document, *from, to, handle.name);
}

namespace {

// The document of a handle that has a file; throws for one made from a text.
File& FileOf(const Handle& handle, const char* what) {
  if (handle.owner) {
    throw std::logic_error(std::string("vty::config::ini: Settings::") + what +
                           " of a document made from a text, which has no "
                           "file");
  }
  return handle.document;
}

}  // namespace

void Settings::Flush() { detail::Flush(FileOf(*handle_, "Flush")); }

void Settings::Reload() { detail::Reload(FileOf(*handle_, "Reload")); }

void Settings::SaveInPlace(bool inPlace) {
  File& document = FileOf(*handle_, "SaveInPlace");
  const Hold hold(document, Hold::Mode::kChange);
  detail::SetSaveInPlace(document, inPlace);
}

}  // namespace vty::config::ini
