// The document: loading a file into lines and sections, looking values up,
// editing lines in place, and deciding when to save.

#include <algorithm>
#include <cstring>
#include <fstream>
#include <mutex>
#include <stdexcept>
#include <typeinfo>

#include "FoldedTable.h"
#include "Internal.h"

namespace vty::config::ini {

namespace {

namespace fs = std::filesystem;

constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";

// Reads everything the stream buffer yields. An exception of the buffer
// (libstdc++ reports a read error so) passes on: a document of half a file
// would overwrite the rest of it on its next save.
std::string ReadAll(std::streambuf& buffer, std::size_t expected) {
  std::string text;
  // One byte more than expected, so that a file read whole needs no second
  // call; sgetn returns short only at the end (or at a read error).
  std::size_t chunk = std::max<std::size_t>(expected + 1, 1 << 16);
  std::size_t size = 0;
  for (;;) {
    text.resize(size + chunk);
    const std::streamsize got =
        buffer.sgetn(text.data() + size, static_cast<std::streamsize>(chunk));
    size += static_cast<std::size_t>(std::max<std::streamsize>(got, 0));
    if (got < static_cast<std::streamsize>(chunk)) break;
    chunk = 1 << 16;  // the file grew while being read
  }
  text.resize(size);
  return text;
}

// Splits text into lines: LF, CR LF and a lone CR each end a line; a
// terminator at the very end adds no empty line. Both terminators are found
// with memchr, and each search is reused until the reader passes it, so a
// file of lone CRs is split in linear time.
class LineReader {
 public:
  explicit LineReader(std::string_view text)
      : next_(text.data()), end_(text.data() + text.size()) {}

  bool Next(std::string_view& line) {
    if (next_ == end_) return false;
    if (nextLf_ < next_) nextLf_ = Find('\n');
    if (nextCr_ < next_) nextCr_ = Find('\r');
    const char* stop = nextLf_ < nextCr_ ? nextLf_ : nextCr_;
    line = std::string_view(next_, static_cast<std::size_t>(stop - next_));
    next_ = stop;
    if (next_ != end_) {
      ++next_;
      if (*stop == '\r' && next_ != end_ && *next_ == '\n') ++next_;
    }
    return true;
  }

 private:
  const char* Find(char c) const {
    const void* found =
        std::memchr(next_, c, static_cast<std::size_t>(end_ - next_));
    return found ? static_cast<const char*>(found) : end_;
  }

  const char* next_;
  const char* end_;
  const char* nextLf_ = nullptr;
  const char* nextCr_ = nullptr;
};

// Whether `s` holds a line break, or `also` when given. One pass: the
// strings are short, and a change checks three of them.
bool Holds(std::string_view s, char also = '\n') {
  for (const char c : s) {
    if (c == '\n' || c == '\r' || c == also) return true;
  }
  return false;
}

// Refuses what a save could not store faithfully: a line break would inject
// lines, a key with '=' or a comment start would load back as another key or
// as a comment, and a section name that is empty or holds '=' would load back
// as text or as a key of the section above.
void CheckStorable(const std::optional<std::string>& section,
                   const std::string& key, const std::string& value) {
  if (section && (IsBlankLine(*section) || Holds(*section, '='))) {
    throw std::invalid_argument(
        "vty::config::ini: a section name must not be empty or blank, nor "
        "hold '=' or a line break");
  }
  const std::size_t first = key.find_first_not_of(" \t");
  if (first == std::string::npos || key[first] == ';' || key[first] == '#' ||
      Holds(key, '=')) {
    throw std::invalid_argument(
        "vty::config::ini: a key must not be empty or blank, start with ';' "
        "or '#', nor hold '=' or a line break");
  }
  if (Holds(value)) {
    throw std::invalid_argument(
        "vty::config::ini: a value must not hold a line break");
  }
}

// The key line `line` is, or null. Ignorable lines are never key lines, and
// the exact type is checked before the costlier dynamic_cast.
KeyValuePair* AsKeyValue(Line& line) {
  if (line.ignorable) return nullptr;
  const std::type_info& type = typeid(line);
  if (type == typeid(KeyValuePair)) return static_cast<KeyValuePair*>(&line);
  if (type == typeid(Line)) return nullptr;
  return dynamic_cast<KeyValuePair*>(&line);
}

}  // namespace

// ---- Model ----

Section::Section(std::optional<std::string> name) : name(std::move(name)) {}

Section::~Section() = default;

Line::Line(std::shared_ptr<Section> section, bool ignorable, std::string text)
    : section(std::move(section)),
      ignorable(ignorable),
      text(std::move(text)) {}

Line::~Line() = default;

KeyValuePair::KeyValuePair(std::shared_ptr<Section> section, std::string text,
                           std::string key, std::string value)
    : Line(std::move(section), false, std::move(text)),
      key(std::move(key)),
      value(std::move(value)) {}

KeyValuePair::~KeyValuePair() = default;

std::ostream& operator<<(std::ostream& os, const Line& line) {
  return os << line.text << '\n';
}

SectionKeyValuePair::SectionKeyValuePair(std::string key, std::string value)
    : key(std::move(key)), value(std::move(value)) {}

const std::string& SectionKeyValuePair::Key() const { return key; }

std::string SectionKeyValuePair::ValueAs(const std::string& /*ignored*/) const {
  return value;
}

bool SectionKeyValuePair::operator==(const SectionKeyValuePair& other) const {
  return key == other.key && value == other.value;
}

// ---- Loading ----

File::File(std::filesystem::path path, std::function<bool()> isAsyncWriting)
    : path(std::move(path)),
      isAsyncWriting(std::move(isAsyncWriting)),
      changeTime(detail::kZeroFileTime),
      sectionTable_(std::make_unique<detail::SectionTable>()),
      savedFileTime_(detail::kZeroFileTime) {
  Read();
}

File::~File() = default;

void File::Read() {
  std::ifstream in(path.native(), std::ios::in | std::ios::binary);
  if (!in) return;
  std::error_code unknownSize;
  const auto expected = fs::file_size(path, unknownSize);
  const std::string text = ReadAll(
      *in.rdbuf(), unknownSize ? 0 : static_cast<std::size_t>(expected));

  std::string_view rest = text;
  if (rest.substr(0, kByteOrderMark.size()) == kByteOrderMark) {
    byteOrderMark_ = true;
    rest.remove_prefix(kByteOrderMark.size());
  }

  std::shared_ptr<Section> current =
      sections
          .try_emplace(std::nullopt, std::make_shared<Section>(std::nullopt))
          .first->second;
  LineReader reader(rest);
  std::string_view line;
  std::string word;  // the key or section name the rules found
  while (reader.Next(line)) {
    std::shared_ptr<Line> made;
    if (IsBlankLine(line) || IsComment(line)) {
      made = std::make_shared<Line>(current, true, std::string(line));
    } else if (IsKey(line, word)) {
      made = std::make_shared<KeyValuePair>(
          current, std::string(line), std::move(word),
          std::string(line.substr(line.find('=') + 1)));
    } else if (IsSectionHeader(line, word)) {
      auto found = sections.find(word);
      if (found == sections.end()) {
        found = sections.emplace(word, std::make_shared<Section>(word)).first;
        sectionTable_->Insert(found->second.get());
      }
      current = found->second;
      made = std::make_shared<Line>(current, true, std::string(line));
    } else {
      made = std::make_shared<Line>(current, false, std::string(line));
    }
    lines.push_back(std::move(made));
    current->lineRefs.push_back(std::prev(lines.end()));
  }
  changeTime = GetFileTime();
  savedFileTime_ = changeTime;
}

std::filesystem::file_time_type File::GetFileTime() const {
  if (!fs::exists(path)) return detail::kZeroFileTime;
  return fs::last_write_time(path);
}

// ---- Lookups ----

detail::KeyTable& File::KeysOf(const Section& section) const {
  // Built by the first lookup, under the document's lock held shared (so
  // possibly by two readers at once) or exclusively; kept exact by every edit
  // once built. Loading builds none, which keeps loading cheap.
  if (!section.indexed_.load(std::memory_order_acquire)) {
    std::lock_guard lock(section.indexMutex_);
    if (!section.indexed_.load(std::memory_order_relaxed)) {
      auto keys = std::make_unique<detail::KeyTable>();
      for (const auto& ref : section.lineRefs) {
        if (KeyValuePair* pair = AsKeyValue(**ref)) keys->Insert(pair);
      }
      section.keys_ = std::move(keys);
      section.indexed_.store(true, std::memory_order_release);
    }
  }
  return *section.keys_;
}

const Section* File::FindSection(const std::optional<std::string>& name) const {
  if (name) return sectionTable_->Find(*name);
  const auto found = sections.find(std::nullopt);
  return found == sections.end() ? nullptr : found->second.get();
}

std::optional<std::string> File::ReadValue(
    const std::optional<std::string>& section,
    const std::string_view& key) const {
  std::shared_lock lock(mutex);
  const Section* found = FindSection(section);
  if (found == nullptr) return std::nullopt;
  const KeyValuePair* pair = KeysOf(*found).Find(key);
  if (pair == nullptr) return std::nullopt;
  return pair->value;
}

std::vector<std::string> File::ReadSection(
    const std::optional<std::string>& section) const {
  std::shared_lock lock(mutex);
  std::vector<std::string> texts;
  const Section* found = FindSection(section);
  if (found == nullptr) return texts;
  texts.reserve(found->lineRefs.size());
  for (const auto& ref : found->lineRefs) {
    if (!(*ref)->ignorable) texts.push_back((*ref)->text);
  }
  return texts;
}

std::vector<std::pair<std::string, std::string>> File::ReadSectionKeyValuePairs(
    const std::optional<std::string>& section) const {
  std::shared_lock lock(mutex);
  std::vector<std::pair<std::string, std::string>> pairs;
  const Section* found = FindSection(section);
  if (found == nullptr) return pairs;
  pairs.reserve(found->lineRefs.size());
  for (const auto& ref : found->lineRefs) {
    if (const KeyValuePair* pair = AsKeyValue(**ref)) {
      pairs.emplace_back(pair->key, pair->value);
    }
  }
  return pairs;
}

std::unordered_set<std::string> File::ReadSectionNames() const {
  std::shared_lock lock(mutex);
  std::unordered_set<std::string> names;
  names.reserve(sections.size());
  for (const auto& entry : sections) {
    if (entry.first) names.insert(*entry.first);
  }
  return names;
}

// ---- Edits ----

void File::WriteValue(const std::optional<std::string>& section,
                      const std::string& key, const std::string& value) {
  CheckStorable(section, key, value);
  std::unique_lock lock(mutex);

  if (const Section* found = FindSection(section)) {
    if (KeyValuePair* pair = KeysOf(*found).Find(key)) {
      // The stored spelling of the key stays; indentation, blanks around
      // '=' and anything after the old value go.
      pair->text.assign(pair->key).append(1, '=').append(value);
      pair->value = value;
      ApplyWriteRule();
      return;
    }
  }

  auto found = sections.find(section);
  if (found == sections.end()) {
    found = sections.emplace(section, std::make_shared<Section>(section)).first;
    if (section) {
      sectionTable_->Insert(found->second.get());
      // A new section goes at the very end, its header spelled as given.
      lines.push_back(
          std::make_shared<Line>(found->second, true, "[" + *section + "]"));
      found->second->lineRefs.push_back(std::prev(lines.end()));
    }
  }
  const std::shared_ptr<Section>& target = found->second;
  auto& refs = target->lineRefs;

  // Both list nodes are made first and spliced in, which cannot fail, so the
  // line and its reference enter together or not at all.
  auto pair =
      std::make_shared<KeyValuePair>(target, key + "=" + value, key, value);
  KeysOf(*target).Insert(pair.get());
  std::list<std::shared_ptr<Line>> line{std::move(pair)};
  std::list<std::list<std::shared_ptr<Line>>::iterator> lineRef{line.begin()};

  // A new key goes after the section's last non-blank line, so that blank
  // lines closing the section stay between it and what follows.
  auto after = refs.end();
  while (after != refs.begin() && IsBlankLine((**std::prev(after))->text)) {
    --after;
  }
  if (after != refs.begin()) {
    lines.splice(std::next(*std::prev(after)), line);
    refs.splice(after, lineRef);
  } else if (!refs.empty()) {
    lines.splice(refs.front(), line);  // every line is blank: go first
    refs.splice(refs.begin(), lineRef);
  } else {
    lines.splice(lines.begin(), line);  // a section without lines: file start
    refs.splice(refs.begin(), lineRef);
  }
  ApplyWriteRule();
}

void File::EraseKey(const std::optional<std::string>& section,
                    const std::string_view& key) {
  std::unique_lock lock(mutex);
  const auto found = sections.find(section);
  if (found == sections.end()) return;
  Section& target = *found->second;
  // The index names the lines about to go: drop the entry while they live.
  if (target.indexed_) target.keys_->Erase(key);
  auto& refs = target.lineRefs;
  for (auto ref = refs.begin(); ref != refs.end();) {
    const KeyValuePair* pair = AsKeyValue(***ref);
    if (pair != nullptr && IsEqual(pair->key, key)) {
      lines.erase(*ref);
      ref = refs.erase(ref);
    } else {
      ++ref;
    }
  }
  ApplyWriteRule();
}

void File::EraseSection(const std::optional<std::string>& section) {
  std::unique_lock lock(mutex);
  const auto found = sections.find(section);
  if (found == sections.end()) return;
  Section& target = *found->second;
  // The indexes name the section and its lines: drop them while they live.
  if (section) sectionTable_->Erase(*section);
  target.keys_.reset();
  target.indexed_ = false;
  for (const auto& ref : target.lineRefs) lines.erase(ref);
  target.lineRefs.clear();
  sections.erase(found);
  ApplyWriteRule();
}

// ---- Saving ----

void File::ApplyWriteRule() {
  if (isAsyncWriting()) {
    changeTime = fs::file_time_type::clock::now();
  } else {
    Write();
  }
}

void File::Write() {
  std::size_t size = kByteOrderMark.size();
  for (const auto& line : lines) size += line->text.size() + 1;
  std::string content;
  content.reserve(size);
  // A document without lines saves as an empty file, mark or not.
  if (byteOrderMark_ && !lines.empty()) content = kByteOrderMark;
  for (const auto& line : lines) {
    content += line->text;
    content += '\n';
  }
  try {
    detail::ReplaceFileContent(path, content);
    changeTime = GetFileTime();
    savedFileTime_ = changeTime;
  } catch (...) {
    // The change is not on disk: keep counting the document as changed, so
    // the next flush tries again.
    changeTime = fs::file_time_type::clock::now();
    throw;
  }
}

void File::Flush() {
  std::unique_lock lock(mutex);
  if (!fs::exists(path)) {
    if (!lines.empty()) Write();
    return;
  }
  const fs::file_time_type fileTime = GetFileTime();
  // A file whose time lies in the future is never older than a change; it is
  // still saved when a change was made and nobody has written it since.
  const bool changedSinceSave = changeTime != savedFileTime_;
  if (fileTime < changeTime ||
      (changedSinceSave && fileTime == savedFileTime_)) {
    Write();
  }
}

}  // namespace vty::config::ini
