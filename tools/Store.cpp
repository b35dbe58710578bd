#include "Store.h"

#include <fstream>
#include <mutex>
#include <shared_mutex>
#include <stdexcept>
#include <unordered_set>

namespace vty::config::tool {
namespace {

namespace ini = vty::config::ini;

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

std::string Describe(const SectionName& section) {
  return "[" + section.value_or("") + "]";
}

// Whether `line` loads as the header of a section, and which.
bool IsHeaderLine(std::string_view line, std::string& name) {
  std::string key;
  return !ini::IsBlankLine(line) && !ini::IsComment(line) &&
         !ini::IsKey(line, key) && ini::IsSectionHeader(line, name);
}

}  // namespace

std::string_view Meant(std::string_view stored) {
  std::size_t end = stored.size();
  for (std::size_t i = 1; i < stored.size(); ++i) {
    if (stored[i] == ';' && IsBlank(stored[i - 1])) {
      end = i;
      break;
    }
  }
  std::size_t begin = 0;
  while (begin < end && IsBlank(stored[begin])) ++begin;
  while (end > begin && IsBlank(stored[end - 1])) --end;
  if (begin == end) return stored.substr(0, 0);  // the comment keeps its blank
  return stored.substr(begin, end - begin);
}

Store::Store(const std::string& file)
    : file_(file),
      // Deferred: changes stay in memory until Save's one Flush.
      doc_(std::make_unique<ini::File>(file, [] { return true; })) {
  char head[3] = {};
  std::ifstream(file, std::ios::binary).read(head, sizeof head);
  byteOrderMark_ = std::string_view(head, 3) == "\xEF\xBB\xBF";
  loaded_ = Text();
}

std::vector<SectionName> Store::Sections() const {
  std::shared_lock lock(doc_->mutex);
  std::vector<SectionName> order;
  std::unordered_set<const ini::Section*> seen;
  for (const auto& line : doc_->lines) {
    if (seen.insert(line->section.get()).second) {
      order.push_back(line->section->name);
    }
  }
  return order;
}

bool Store::HasSection(const SectionName& section) const {
  for (const auto& name : Sections()) {
    if (ini::File::SectionNameEq()(name, section)) return true;
  }
  return false;
}

std::vector<std::pair<std::string, std::string>> Store::AllPairs(
    const SectionName& section, bool raw) const {
  auto pairs = doc_->ReadSectionKeyValuePairs(section);
  if (!raw) {
    for (auto& pair : pairs) pair.second = std::string(Meant(pair.second));
  }
  return pairs;
}

std::vector<std::pair<std::string, std::string>> Store::Pairs(
    const SectionName& section, bool raw) const {
  std::vector<std::pair<std::string, std::string>> first;
  std::unordered_set<std::string, ini::Section::KeyHasher, ini::Section::KeyEq>
      keys;
  for (auto& pair : AllPairs(section, raw)) {
    if (keys.insert(pair.first).second) first.push_back(std::move(pair));
  }
  return first;
}

std::vector<std::string> Store::SectionLines(const SectionName& section) const {
  return doc_->ReadSection(section);
}

std::optional<std::string> Store::Get(const SectionName& section,
                                      std::string_view key, bool raw) const {
  auto stored = doc_->ReadValue(section, key);
  if (stored && !raw) *stored = std::string(Meant(*stored));
  return stored;
}

bool Store::Set(const SectionName& section, const std::string& key,
                const std::string& value, bool raw) {
  const auto stored = doc_->ReadValue(section, key);
  std::string text = value;
  if (!raw && stored) {  // the new value between the old one's blanks
    const std::string_view meant = Meant(*stored);
    const std::size_t at =
        static_cast<std::size_t>(meant.data() - stored->data());
    text = stored->substr(0, at) + value + stored->substr(at + meant.size());
  }
  if (!raw && Meant(text) != value) {
    throw std::invalid_argument(
        "the value '" + value + "' of key \"" + key + "\" in " +
        Describe(section) + " of " + file_ +
        " would not read back as given (blanks at its ends, or a ';' after a "
        "blank); use --raw to store it as written");
  }
  if (stored == text) return false;
  doc_->WriteValue(section, key, text);
  return true;
}

bool Store::Erase(const SectionName& section, const std::string& key) {
  if (!doc_->ReadValue(section, key)) return false;
  doc_->EraseKey(section, key);
  return true;
}

bool Store::EraseSection(const SectionName& section) {
  if (!HasSection(section)) return false;
  doc_->EraseSection(section);
  return true;
}

bool Store::RenameSection(const std::string& from, const std::string& to) {
  if (!ini::IsEqual(from, to) && HasSection(to)) {
    throw std::invalid_argument("section [" + to + "] already exists in " +
                                file_ + ": cannot rename [" + from + "] to it");
  }
  const std::string before = Text();
  std::string after;
  std::size_t start = byteOrderMark_ ? 3 : 0;
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
  text_ = std::move(after);
  return true;
}

std::string Store::Text() const {
  if (text_) return *text_;
  std::shared_lock lock(doc_->mutex);
  std::string text = byteOrderMark_ ? "\xEF\xBB\xBF" : "";
  for (const auto& line : doc_->lines) text += line->text + '\n';
  return text;
}

void Store::Save(const FileLock* inPlace) {
  if (!Changed()) return;
  if (inPlace && inPlace->Held()) {
    inPlace->Rewrite(Text());
  } else if (text_) {
    throw std::logic_error("a rename of " + file_ + " needs the file's lock");
  } else {
    doc_->Flush();
  }
}

}  // namespace vty::config::tool
