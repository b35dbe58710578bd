// The handle: a Settings names its document once and reads and edits it by
// its Syntax. Values are read and written by Syntax.cpp's rules, lines are
// edited by KeptWrite.cpp. From the core it takes the registry's Lookup, the
// document's Hold, the change log (Log below) and Save.h's Changing, Flush
// and Reload: the same bodies the free functions run.

#include "config/Settings.h"

#include <stdexcept>
#include <unordered_set>

#include "api/Handle.h"
#include "document/KeptWrite.h"
#include "document/Load.h"
#include "live/Registry.h"
#include "save/Hold.h"
#include "save/Save.h"
#include "text/Hash.h"
#include "text/Refusal.h"
#include "text/ValueSyntax.h"

namespace vty::config::ini {

namespace {

using detail::Handle;
using detail::Hold;
using State = Lookup::State;
using Kind = detail::ChangeLog::Kind;

// ---- The core, as the handle reaches it ----

// A document that is never saved: bound to a path below /dev/null, which is
// no directory, so loading it finds nothing and its text is parsed in
// instead. It is not registered, so its File::mutex guards it; its writes
// are always deferred, and nothing ever flushes it.
std::shared_ptr<File> DocumentOfText(std::string_view text) {
  auto file = std::make_shared<File>("/dev/null/vty-config-in-memory",
                                     [] { return true; });
  detail::DiskContent content;
  content.snapshot.exists = true;
  content.bytes.assign(text.begin(), text.end());
  detail::Parse(*file, content);
  return file;
}

void Log(File& document, Kind kind, const SectionName& section,
         std::string_view key, const KeyValuePair* line = nullptr,
         std::shared_ptr<const Syntax> syntax = {}) {
  detail::DocumentState::Of(document).changes.Add(kind, section, key, line,
                                                  std::move(syntax));
}

// ---- Lookups ----

const Section* FindSection(const File& document, const SectionName& name) {
  const auto found = document.sections.find(name);
  return found == document.sections.end() ? nullptr : found->second.get();
}

bool HasKeyLine(const Section& section) {
  for (const auto& ref : section.lineRefs) {
    if (dynamic_cast<const KeyValuePair*>(ref->get()) != nullptr) return true;
  }
  return false;
}

std::size_t LineOf(const File& document, const Line* line) {
  std::size_t number = 1;
  for (const auto& each : document.lines) {
    if (each.get() == line) return number;
    ++number;
  }
  return 0;
}

}  // namespace

Settings::Settings(const std::string& file, Syntax syntax) {
  File& document = detail::Lookup(file);
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
  const KeyValuePair* pair = detail::FindPair(handle.document, section, key);
  if (pair == nullptr) return State::Missing;
  value = std::string(detail::MeantValue(pair->value, handle.rules));
  if (inspect != nullptr) {
    inspect->text = value;
    inspect->line = LineOf(handle.document, pair);
  }
  return State::Present;
}

Lookup::State Settings::FetchParsed(const SectionName& section,
                                    std::string_view key, Parser parse,
                                    void* value, Lookup* inspect) const {
  const Handle& handle = *handle_;
  const Hold hold(handle.document, Hold::Mode::kRead);
  const KeyValuePair* pair = detail::FindPair(handle.document, section, key);
  if (pair == nullptr) return State::Missing;
  const std::string_view text = detail::MeantValue(pair->value, handle.rules);
  if (inspect != nullptr) {
    inspect->text = text;
    inspect->line = LineOf(handle.document, pair);
  }
  return parse(text, value) ? State::Present : State::Invalid;
}

Lookup::State Settings::FetchItems(const SectionName& section,
                                   std::string_view key,
                                   std::vector<std::string>& items,
                                   Lookup* inspect) const {
  std::string text;
  const State state = FetchText(section, key, text, inspect);
  if (state == State::Present) {
    items = detail::SplitList(text, handle_->rules.listSeparator);
  }
  return state;
}

bool Settings::HasSection(const SectionName& section) const {
  const Handle& handle = *handle_;
  const Hold hold(handle.document, Hold::Mode::kRead);
  const Section* found = FindSection(handle.document, section);
  return found != nullptr && (section || HasKeyLine(*found));
}

bool Settings::HasKey(const SectionName& section, std::string_view key) const {
  const Handle& handle = *handle_;
  const Hold hold(handle.document, Hold::Mode::kRead);
  return detail::FindPair(handle.document, section, key) != nullptr;
}

std::vector<SectionName> Settings::Sections() const {
  const Handle& handle = *handle_;
  const Hold hold(handle.document, Hold::Mode::kRead);
  std::vector<SectionName> sections;
  const Section* unnamed = FindSection(handle.document, std::nullopt);
  if (unnamed != nullptr && HasKeyLine(*unnamed)) sections.emplace_back();
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
  std::vector<std::pair<std::string, std::string>> pairs;
  std::unordered_set<std::string> seen;  // folded: the first key wins
  const Hold hold(handle.document, Hold::Mode::kRead);
  for (auto& [key, raw] : detail::SectionPairs(handle.document, section)) {
    std::string folded(key);
    for (char& c : folded) c = detail::FoldAscii(c);
    if (!seen.insert(std::move(folded)).second) continue;
    pairs.emplace_back(std::move(key), detail::MeantValue(raw, handle.rules));
  }
  return pairs;
}

// ---- Changing ----

void Settings::StoreText(const SectionName& section, std::string_view key,
                         std::string_view value) {
  const Handle& handle = *handle_;
  const std::string name(key);
  // The rules of the free functions first: they need no lock.
  detail::CheckStorable(section, name, std::string(value), handle.name);
  File& document = handle.document;
  detail::Changing(document, [&] {
    const KeyValuePair* pair = detail::FindPair(document, section, key);
    // The value it has already: nothing changes, and nothing is logged that
    // a merge would use to undo another writer's edit of the key.
    if (pair != nullptr &&
        detail::MeantValue(pair->value, handle.rules) == value) {
      return false;
    }
    const detail::KeptText kept = detail::KeptTextOf(pair, value, handle.rules);
    if (!kept.refusal.empty()) {
      detail::Refuse("value \"" + std::string(value) + "\" of " +
                         detail::KeySubject(section, key, handle.name),
                     kept.refusal);
    }
    Log(document, Kind::kWrite, section, key, pair, handle.syntax);
    detail::SetKept(document, section, name, value, handle.rules);
    return true;
  });
}

void Settings::StoreItems(const SectionName& section, std::string_view key,
                          const std::vector<std::string>& items) {
  const char separator = handle_->rules.listSeparator;
  const std::string refusal = detail::ListRefusal(items, separator);
  if (!refusal.empty()) {
    detail::Refuse(
        "value of " + detail::KeySubject(section, key, handle_->name), refusal);
  }
  StoreText(section, key, detail::JoinList(items, separator));
}

bool Settings::Erase(const SectionName& section, std::string_view key) {
  File& document = handle_->document;
  return detail::Changing(document, [&] {
    if (detail::FindPair(document, section, key) == nullptr) return false;
    Log(document, Kind::kEraseKey, section, key);
    return detail::RemoveKey(document, section, key);
  });
}

bool Settings::EraseSection(const SectionName& section) {
  File& document = handle_->document;
  return detail::Changing(document, [&] {
    if (FindSection(document, section) == nullptr) return false;
    Log(document, Kind::kEraseSection, section, {});
    return detail::RemoveSection(document, section);
  });
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
