#include "Store.h"

#include <stdexcept>
#include <string>

namespace vty::config::tool {
namespace {

// Whether `line` loads as the header of a section, and which.
bool IsHeaderLine(std::string_view line, std::string& name) {
  std::string key;
  return !ini::IsBlankLine(line) && !ini::IsComment(line) &&
         !ini::IsKey(line, key) && ini::IsSectionHeader(line, name);
}

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

ini::Syntax WithSeparator(char listSeparator) {
  ini::Syntax syntax;
  syntax.listSeparator = listSeparator;
  return syntax;
}

}  // namespace

Store::Store(const std::string& file, char listSeparator)
    : file_(file),
      syntax_(WithSeparator(listSeparator)),
      doc_(ini::Settings::FromText(ini::Settings(file).Text(), syntax_)),
      raw_(ini::Settings::FromText(doc_.Text(), ini::Syntax{false, "", ','})),
      loaded_(doc_.Text()) {}

bool Store::Set(const SectionName& section, const std::string& key,
                const std::string& value) {
  if (doc_.Find<std::string>(section, key) == value) return false;
  Naming(file_, [&] { doc_.Set(section, key, value); });
  edits_.push_back([=](ini::Settings& doc) { doc.Set(section, key, value); });
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
  if (!ini::IsEqual(from, to) && HasSection(to)) {
    throw std::invalid_argument("section [" + to + "] already exists in " +
                                file_ + ": cannot rename [" + from + "] to it");
  }
  const std::string before = Text();
  std::string after;
  std::size_t start = before.rfind("\xEF\xBB\xBF", 0) == 0 ? 3 : 0;
  after.append(before, 0, start);
  while (start < before.size()) {
    const std::size_t end = before.find('\n', start);
    std::string line = before.substr(start, end - start);
    std::string name;
    if (IsHeaderLine(line, name) && ini::IsEqual(name, from)) {
      line.replace(line.find(name, line.find('[') + 1), name.size(), to);
      std::string renamed;
      if (!IsHeaderLine(line, renamed) || renamed != to) {
        throw std::invalid_argument("section name \"" + to +
                                    "\" would not read back as a header in " +
                                    file_);
      }
    }
    after += line + '\n';
    start = end + 1;
  }
  if (after == before) return false;
  doc_ = ini::Settings::FromText(after, syntax_);
  renamed_ = true;
  return true;
}

void Store::Save(const FileLock* inPlace) {
  if (!Changed()) return;
  if (inPlace && inPlace->Held()) {
    inPlace->Rewrite(Text());
    return;
  }
  if (renamed_) {
    throw std::logic_error("a rename of " + file_ + " needs the file's lock");
  }
  // Deferred, the edits stay in memory until the one Flush.
  struct Deferred {
    Deferred() { ini::InitialiseAsyncWriting(); }
    ~Deferred() { ini::ShutdownAsyncWriting(); }
  } deferred;
  ini::Settings doc(file_, syntax_);
  for (const auto& edit : edits_) edit(doc);
  doc.Flush();
}

}  // namespace vty::config::tool
