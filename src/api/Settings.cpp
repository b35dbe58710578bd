// The handle: a Settings names its document once and reads and edits it by
// its Syntax. Values are read by ValueSyntax.cpp's rules; edits are the
// journal's (Journal.cpp), which keeps the line a person wrote
// (KeptWrite.cpp). From the core it takes the registry's document, the
// document's Hold and Save.h's Changing, Flush and Reload: the same bodies
// the free functions run.

#include "config/Settings.h"

#include <algorithm>
#include <stdexcept>

#include "api/Handle.h"
#include "document/Comments.h"
#include "document/KeptWrite.h"
#include "document/KeyLines.h"
#include "document/Load.h"
#include "live/Registry.h"
#include "save/Hold.h"
#include "save/Journal.h"
#include "save/Save.h"
#include "text/Names.h"
#include "text/Refusal.h"
#include "text/UniquePairs.h"
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

// The key a read through the handle finds, with its continuation lines: the
// section's by the handle's syntax, else its default section's.
detail::KeyLines ReadKey(const Handle& handle, const SectionName& section,
                         std::string_view key) {
  detail::KeyLines found =
      detail::FindKeyLines(handle.document, section, key, handle.rules);
  if (found.pair != nullptr) return found;
  const std::string* defaults = DefaultsOf(handle, section);
  return defaults == nullptr ? found
                             : detail::FindKeyLines(handle.document, *defaults,
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
  const detail::KeyLines found = ReadKey(handle, section, key);
  if (found.pair == nullptr) return State::Missing;
  std::string scratch;  // only a value of several lines is built in it
  value = detail::ValueOf(found, handle.rules, scratch);
  if (inspect != nullptr) {
    inspect->text = value;
    inspect->line = detail::LineNumberOf(handle.document, found.pair);
    inspect->file = handle.name;
  }
  return State::Present;
}

Lookup::State Settings::FetchParsed(const SectionName& section,
                                    std::string_view key, Parser parse,
                                    void* value, Lookup* inspect) const {
  const Handle& handle = *handle_;
  const Hold hold(handle.document, Hold::Mode::kRead);
  const detail::KeyLines found = ReadKey(handle, section, key);
  if (found.pair == nullptr) return State::Missing;
  std::string scratch;  // only a value of several lines is built in it
  const std::string_view text = detail::ValueOf(found, handle.rules, scratch);
  if (inspect != nullptr) {
    inspect->text = text;
    inspect->line = detail::LineNumberOf(handle.document, found.pair);
    inspect->file = handle.name;
  }
  return parse(text, value) ? State::Present : State::Invalid;
}

Lookup::State Settings::FetchItems(const SectionName& section,
                                   std::string_view key,
                                   std::vector<std::string>& items,
                                   Lookup* inspect) const {
  const Handle& handle = *handle_;
  const Hold hold(handle.document, Hold::Mode::kRead);
  const detail::KeyLines found = ReadKey(handle, section, key);
  if (found.pair == nullptr) return State::Missing;
  // Split from the stored text: a quoted item keeps its separators.
  std::string scratch;
  items = detail::SplitList(
      detail::ValueOf(found, handle.rules, scratch, detail::Given::kStored),
      handle.rules);
  if (inspect != nullptr) {
    inspect->text = detail::ValueOf(found, handle.rules, scratch);
    inspect->line = detail::LineNumberOf(handle.document, found.pair);
  }
  return State::Present;
}

std::vector<std::string> Settings::SplitItems(std::string_view text,
                                              char separator) {
  // Items split as a file's are, quoted ones included.
  Syntax syntax;
  syntax.listSeparator = separator;
  return detail::SplitList(text, syntax);
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
  return ReadKey(handle, section, key).pair != nullptr;
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
  detail::UniquePairs pairs;
  const Hold hold(handle.document, Hold::Mode::kRead);
  if (detail::FindSection(handle.document, section) == nullptr) return {};
  for (auto& [key, value] :
       detail::KeyValues(handle.document, section, handle.rules)) {
    pairs.Add(key, value, last);
  }
  if (const std::string* defaults = DefaultsOf(handle, section)) {
    for (auto& [key, value] :
         detail::KeyValues(handle.document, *defaults, handle.rules)) {
      pairs.Add(key, value, false);
    }
  }
  return pairs.Take();
}

std::vector<std::string> Settings::GetAll(const SectionName& section,
                                          std::string_view key) const {
  const Handle& handle = *handle_;
  const Hold hold(handle.document, Hold::Mode::kRead);
  const detail::KeyLines found = ReadKey(handle, section, key);
  std::vector<std::string> values;
  if (found.pair == nullptr) return values;
  std::string scratch;
  for (const detail::KeyLines& each : detail::FindAllKeyLines(
           handle.document, found.pair->section->name, key, handle.rules)) {
    values.emplace_back(detail::ValueOf(each, handle.rules, scratch));
  }
  return values;
}

// ---- Changing ----

namespace {

// The rules of the free functions, which need no lock: with continuation
// lines a line break is the handle's to write.
void CheckStorableBy(const Handle& handle, const SectionName& section,
                     const std::string& key, std::string_view value) {
  if (!handle.rules.continuationLines ||
      value.find('\n') == std::string_view::npos) {
    detail::CheckStorable(section, key, value, handle.name);
    return;
  }
  std::string checked(value);  // copied only when it has a break to allow
  std::replace(checked.begin(), checked.end(), '\n', ' ');
  detail::CheckStorable(section, key, checked, handle.name);
}

// Sets `key` to `value` through `handle`; a flag (`flag` set, `value` its
// text) keeps the words and letter case of the flag it replaces.

// Sets `key` to `value` through `handle`, `value` given as `given` says; a
// flag (`flag` set, `value` its text) keeps the words and letter case of the
// flag it replaces.
void Store(const Handle& handle, const SectionName& section,
           std::string_view key, std::string_view value,
           std::optional<bool> flag = std::nullopt,
           detail::Given given = detail::Given::kMeant) {
  const std::string name(key);
  CheckStorableBy(handle, section, name, value);
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

void Settings::Add(const SectionName& section, std::string_view key,
                   std::string_view value) {
  const Handle& handle = *handle_;
  const std::string name(key);
  CheckStorableBy(handle, section, name, value);
  File& document = handle.document;
  detail::Changing(document, [&] {
    return detail::LoggedAdd(document, section, name, value, handle.syntax,
                             handle.name);
  });
}

bool Settings::Erase(const SectionName& section, std::string_view key) {
  const Handle& handle = *handle_;
  File& document = handle.document;
  return detail::Changing(document, [&] {
    return detail::LoggedEraseKey(document, section, key, false, handle.syntax);
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

// ---- Comments ----

std::string Settings::Comment(const SectionName& section) const {
  const Handle& handle = *handle_;
  const Hold hold(handle.document, Hold::Mode::kRead);
  const Line* header =
      detail::CommentedLine(handle.document, section, {}, handle.rules);
  return header == nullptr ? std::string()
                           : detail::CommentAbove(handle.document, *header);
}

std::string Settings::Comment(const SectionName& section,
                              std::string_view key) const {
  const Handle& handle = *handle_;
  const Hold hold(handle.document, Hold::Mode::kRead);
  const KeyValuePair* pair = ReadKey(handle, section, key).pair;
  return pair == nullptr ? std::string()
                         : detail::CommentAbove(handle.document, *pair);
}

namespace {

// Sets the block above `key`'s line, or the header's with `key` empty.
void StoreComment(const Handle& handle, const SectionName& section,
                  std::string_view key, std::string_view text) {
  if (const char* refusal = detail::CommentRefusal(text)) {
    detail::Refuse(detail::CommentSubject(section, key, handle.name), refusal);
  }
  const std::string name(key);
  File& document = handle.document;
  detail::Changing(document, [&] {
    return detail::LoggedComment(document, section, name, text, handle.syntax,
                                 handle.name);
  });
}

}  // namespace

void Settings::SetComment(const SectionName& section, std::string_view text) {
  StoreComment(*handle_, section, {}, text);
}

void Settings::SetComment(const SectionName& section, std::string_view key,
                          std::string_view text) {
  if (key.empty()) {
    detail::Refuse(
        "comment of " + detail::KeySubject(section, key, handle_->name),
        "names no key: an empty key is none");
  }
  StoreComment(*handle_, section, key, text);
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
