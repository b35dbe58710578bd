#include "Store.h"

#include <fstream>
#include <iterator>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

#include "config/INI.h"

namespace vty::config::tool {
namespace {

// The library names an in-memory document "the text of Settings::FromText";
// the command's copy stands for `file`.
template <class Edit>
void Naming(const std::string& file, Edit edit) {
  try {
    edit();
  } catch (const std::invalid_argument& error) {
    std::string message = error.what();
    const std::string_view unnamed = "the text of Settings::FromText";
    if (const auto at = message.find(unnamed); at != std::string::npos) {
      message.replace(at, unnamed.size(), file);
    }
    throw std::invalid_argument(message);
  }
}

// The same keys and lines as `syntax` reads, each value as stored: quotes
// and all.
ini::Syntax Raw(ini::Syntax syntax) {
  syntax.trimValues = false;
  syntax.inlineComments.clear();
  syntax.quotes = false;
  return syntax;
}

// `doc` read without its syntax's default section: each section's own keys.
ini::Settings Own(const ini::Settings& doc) {
  ini::Syntax own = doc.GetSyntax();
  if (!own.defaultSection) return doc;
  own.defaultSection.reset();
  return ini::Settings::FromText(doc.Text(), own);
}

// Whether `section` itself holds `value` for `key`. A value it only falls
// back to in the default section does not count: `set` then writes the key
// into the section, as crudini does, so that it keeps the value when the
// default changes.
bool Holds(const ini::Settings& doc, const SectionName& section,
           std::string_view key, const std::string& value) {
  return Own(doc).Find<std::string>(section, key) == value;
}

// The bytes of `file`, or nothing when it cannot be read.
std::optional<std::string> FileBytes(const std::string& file) {
  std::ifstream in(file, std::ios::binary);
  std::string bytes(std::istreambuf_iterator<char>(in), {});
  if (!in.good() && !in.eof()) return std::nullopt;
  return bytes;
}

}  // namespace

Store::Store(const std::string& file, const ini::Syntax& syntax)
    : file_(file),
      syntax_(syntax),
      doc_(ini::Settings::FromText(ini::Settings(file).Text(), syntax_)),
      raw_(ini::Settings::FromText(doc_.Text(), Raw(syntax_))),
      loaded_(doc_.Text()) {}

std::vector<std::pair<std::string, std::string>> Store::Pairs(
    const SectionName& section, bool raw) const {
  return Own(raw ? raw_ : doc_).Pairs(section);
}

bool Store::Set(const SectionName& section, const std::string& key,
                const std::string& value, bool raw) {
  if (!raw) {
    if (Holds(doc_, section, key, value)) return false;
    Naming(file_, [&] { doc_.Set(section, key, value); });
    edits_.push_back([=](ini::Settings& doc) { doc.Set(section, key, value); });
    return true;
  }
  if (Holds(raw_, section, key, value)) return false;
  Naming(file_, [&] { raw_.Set(section, key, value); });
  doc_ = ini::Settings::FromText(raw_.Text(), syntax_);
  edits_.push_back([=, rules = raw_.GetSyntax()](ini::Settings&) {
    ini::Settings(file_, rules).Set(section, key, value);
  });
  return true;
}

bool Store::Add(const SectionName& section, const std::string& key,
                const std::string& value) {
  Naming(file_, [&] { doc_.Add(section, key, value); });
  edits_.push_back([=](ini::Settings& doc) { doc.Add(section, key, value); });
  return true;
}

bool Store::SetList(const SectionName& section, const std::string& key,
                    const std::vector<std::string>& items) {
  if (GetList(section, key) == items) return false;
  Naming(file_, [&] { doc_.Set(section, key, items); });
  edits_.push_back([=](ini::Settings& doc) { doc.Set(section, key, items); });
  return true;
}

bool Store::Erase(const SectionName& section, const std::string& key) {
  if (!doc_.Erase(section, key)) return false;
  edits_.push_back([=](ini::Settings& doc) { doc.Erase(section, key); });
  return true;
}

bool Store::EraseSection(const SectionName& section) {
  if (!doc_.EraseSection(section)) return false;
  edits_.push_back([=](ini::Settings& doc) { doc.EraseSection(section); });
  return true;
}

bool Store::RenameSection(const std::string& from, const std::string& to) {
  bool renamed = false;
  Naming(file_, [&] { renamed = doc_.RenameSection(from, to); });
  if (!renamed) return false;
  edits_.push_back([=](ini::Settings& doc) { doc.RenameSection(from, to); });
  return true;
}

bool Store::SetComment(const SectionName& section, const std::string& key,
                       const std::string& text) {
  const std::string before = doc_.Text();
  Naming(file_, [&] { doc_.SetComment(section, key, text); });
  if (doc_.Text() == before) return false;
  edits_.push_back(
      [=](ini::Settings& doc) { doc.SetComment(section, key, text); });
  return true;
}

void Store::Save(bool inPlace) {
  if (!Changed()) return;
  // What the file holds, byte for byte, so that a failed save can say
  // whether it is as it was: a rewrite in place that failed half-way is
  // completed by the next load or save, and leaves the file changed meanwhile.
  const std::optional<std::string> before = FileBytes(file_);
  try {
    SaveEdits(inPlace);
  } catch (const std::exception& error) {
    throw std::runtime_error(std::string(error.what()) +
                             (FileBytes(file_) == before
                                  ? "; the file is as it was"
                                  : "; the file has changed"));
  }
}

void Store::SaveEdits(bool inPlace) {
  // Deferred, the edits stay in memory until the one Flush.
  struct Deferred {
    Deferred() { ini::InitialiseAsyncWriting(); }
    ~Deferred() { ini::ShutdownAsyncWriting(); }
  } deferred;
  ini::Settings doc(file_, syntax_);
  doc.SaveInPlace(inPlace);
  for (const auto& edit : edits_) edit(doc);
  doc.Flush();
}

}  // namespace vty::config::tool
