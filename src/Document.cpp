// The document: parsing a file into lines and sections, looking values up,
// and editing lines in place. Saving is in Merge.cpp and DurableWrite.cpp.

#include <array>
#include <cstring>
#include <mutex>
#include <stdexcept>
#include <typeinfo>

#include "Internal.h"
#include "LineArena.h"

namespace vty::config::ini {

namespace {

namespace fs = std::filesystem;

constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";

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

  // The bytes after the line Next gave last.
  std::size_t Left() const { return static_cast<std::size_t>(end_ - next_); }

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

// The bytes a name or value must not hold, by kind.
enum : unsigned char { kBreak = 1, kEquals = 2 };
constexpr std::array<unsigned char, 256> kForbidden = [] {
  std::array<unsigned char, 256> table{};
  table['\n'] = table['\r'] = kBreak;
  table['='] = kEquals;
  return table;
}();

// Whether `s` holds a line break, or '=' when `orEquals`: one table lookup
// per byte and a branch that is all but never taken.
bool Holds(std::string_view s, bool orEquals = false) {
  const unsigned kinds = orEquals ? kBreak | kEquals : kBreak;
  for (const char c : s) {
    if ((kForbidden[static_cast<unsigned char>(c)] & kinds) != 0) return true;
  }
  return false;
}

// Whether `name` begins or ends with a blank: loading strips those, so such a
// name could never be found again after a restart.
bool HasOuterBlank(std::string_view name) {
  return !name.empty() &&
         (detail::IsBlank(name.front()) || detail::IsBlank(name.back()));
}

}  // namespace

// Refuses what a save could not store faithfully: a line break would inject
// lines, a key with '=' or a comment start would load back as another key or
// as a comment, a name with outer blanks would load back stripped, a key that
// starts with a byte-order mark would lose it on the first line of a file,
// and a section name that is empty or holds '=' would load back as text or
// as a key of the section above.
void detail::CheckStorable(const std::optional<std::string>& section,
                           const std::string& key, const std::string& value) {
  if (section &&
      (section->empty() || HasOuterBlank(*section) || Holds(*section, true))) {
    throw std::invalid_argument(
        "vty::config::ini: a section name must not be empty, begin or end "
        "with a blank, nor hold '=' or a line break");
  }
  if (key.empty() || key.front() == ';' || key.front() == '#' ||
      HasOuterBlank(key) ||
      (key.front() == kByteOrderMark.front() &&
       key.compare(0, kByteOrderMark.size(), kByteOrderMark) == 0) ||
      Holds(key, true)) {
    throw std::invalid_argument(
        "vty::config::ini: a key must not be empty, begin or end with a "
        "blank, start with ';', '#' or a byte-order mark, nor hold '=' or a "
        "line break");
  }
  if (Holds(value)) {
    throw std::invalid_argument(
        "vty::config::ini: a value must not hold a line break");
  }
}

namespace {

// The key line `line` is, or null. Ignorable lines are never key lines, and
// the exact type is checked before the costlier dynamic_cast.
KeyValuePair* AsKeyValue(Line& line) {
  if (line.ignorable) return nullptr;
  const std::type_info& type = typeid(line);
  if (type == typeid(KeyValuePair)) return static_cast<KeyValuePair*>(&line);
  if (type == typeid(Line)) return nullptr;
  return dynamic_cast<KeyValuePair*>(&line);
}

using detail::DocumentState;

Section* FindSection(const File& file, const std::optional<std::string>& name) {
  if (name) return DocumentState::Of(file).sections.Find(*name);
  const auto found = file.sections.find(std::nullopt);
  return found == file.sections.end() ? nullptr : found->second.get();
}

// The section's key index. Built by the first lookup, under the document's
// lock held shared (so possibly by two readers at once) or exclusively; kept
// exact by every edit once built. Loading builds none, which keeps loading
// cheap.
detail::KeyTable& KeysOf(const Section& section) {
  detail::SectionIndex& index = DocumentState::IndexOf(section);
  if (!index.built.load(std::memory_order_acquire)) {
    std::lock_guard lock(index.mutex);
    if (!index.built.load(std::memory_order_relaxed)) {
      detail::KeyTable keys;
      for (const auto& ref : section.lineRefs) {
        if (KeyValuePair* pair = AsKeyValue(**ref)) keys.Insert(pair);
      }
      index.keys = std::move(keys);
      index.built.store(true, std::memory_order_release);
    }
  }
  return index.keys;
}

}  // namespace

// ---- Model ----

Section::Section(std::optional<std::string> name)
    : name(std::move(name)), index_(std::make_unique<detail::SectionIndex>()) {}

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
    : path(fs::absolute(path)),
      isAsyncWriting(std::move(isAsyncWriting)),
      changeTime(detail::kZeroFileTime),
      state_(std::make_unique<detail::DocumentState>()) {
  Read();
}

File::~File() = default;

void File::Read() {
  const detail::Descriptor fd = detail::OpenForReading(path);
  detail::Parse(*this, detail::ReadDisk(fd.Get(), path));
  state_->changes.Clear();
  changeTime = GetFileTime();
}

std::filesystem::file_time_type File::GetFileTime() const {
  if (!fs::exists(path)) return detail::kZeroFileTime;
  return fs::last_write_time(path);
}

namespace detail {

void Parse(File& file, const DiskContent& content) {
  // Built aside and swapped in, so that a failure leaves the document whole.
  std::list<std::shared_ptr<Line>> lines;
  decltype(file.sections) sections;
  SectionTable table;
  std::string_view text = content.Text();
  const bool mark = text.substr(0, kByteOrderMark.size()) == kByteOrderMark;
  if (mark) text.remove_prefix(kByteOrderMark.size());

  std::shared_ptr<Section> current;
  if (content.snapshot.exists) {
    current = std::make_shared<Section>(std::nullopt);
    sections.emplace(std::nullopt, current);
  }
  LineArena arena(text.size());
  LineReader reader(text);
  std::string_view line;
  std::string name;  // of the section a header names
  while (reader.Next(line)) {
    const std::size_t left = reader.Left();
    const LineShape shape = ShapeOf(line);
    std::shared_ptr<Line> made;
    if (shape.kind == LineShape::kIgnorable) {
      made = arena.Make<Line>(left, current, true, std::string(line));
    } else if (shape.kind == LineShape::kKey) {
      made = arena.Make<KeyValuePair>(
          left, current, std::string(line), std::string(shape.key),
          std::string(line.substr(shape.equals + 1)));
    } else if (IsSectionHeader(line, name)) {
      if (table.Find(name) != nullptr) {
        current = sections.find(name)->second;  // a section seen before
      } else {
        table.Reserve();
        auto section = std::make_shared<Section>(name);
        current = sections.emplace(name, std::move(section)).first->second;
        table.Insert(current.get());
      }
      made = arena.Make<Line>(left, current, true, std::string(line));
    } else {
      made = arena.Make<Line>(left, current, false, std::string(line));
    }
    lines.push_back(std::move(made));
    current->lineRefs.push_back(std::prev(lines.end()));
  }

  DocumentState& state = DocumentState::Of(file);
  file.lines.swap(lines);
  file.sections.swap(sections);
  std::swap(state.sections, table);
  state.byteOrderMark = mark;
  state.disk = content.snapshot;
  state.changes.Uncover();  // the old lines are gone
}

}  // namespace detail

// ---- Lookups ----

namespace detail {

KeyValuePair* FindPair(const File& file,
                       const std::optional<std::string>& section,
                       std::string_view key) {
  const Section* found = FindSection(file, section);
  return found == nullptr ? nullptr : KeysOf(*found).Find(key);
}

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

std::unordered_set<std::string> SectionNames(const File& file) {
  std::unordered_set<std::string> names;
  names.reserve(file.sections.size());
  for (const auto& entry : file.sections) {
    if (entry.first) names.insert(*entry.first);
  }
  return names;
}

}  // namespace detail

std::optional<std::string> File::ReadValue(
    const std::optional<std::string>& section,
    const std::string_view& key) const {
  std::shared_lock lock(mutex);
  const KeyValuePair* pair = detail::FindPair(*this, section, key);
  if (pair == nullptr) return std::nullopt;
  return pair->value;
}

std::vector<std::string> File::ReadSection(
    const std::optional<std::string>& section) const {
  std::shared_lock lock(mutex);
  return detail::SectionTexts(*this, section);
}

std::vector<std::pair<std::string, std::string>> File::ReadSectionKeyValuePairs(
    const std::optional<std::string>& section) const {
  std::shared_lock lock(mutex);
  return detail::SectionPairs(*this, section);
}

std::unordered_set<std::string> File::ReadSectionNames() const {
  std::shared_lock lock(mutex);
  return detail::SectionNames(*this);
}

// ---- Edits ----
//
// Each edit allocates everything it needs before it changes anything, so that
// a failed allocation leaves the document (and its indexes) as it was.

namespace detail {

void Rewrite(KeyValuePair& pair, const std::string& value) {
  // The stored spelling of the key stays; indentation, blanks around '=' and
  // anything after the old value go. The buffers are reused, and grown
  // before either is touched.
  pair.text.reserve(pair.key.size() + 1 + value.size());
  pair.value.reserve(value.size());
  pair.text.assign(pair.key).append(1, '=').append(value);
  pair.value.assign(value);
}

KeyValuePair* SetValue(File& file, const std::optional<std::string>& section,
                       const std::string& key, const std::string& value) {
  if (KeyValuePair* pair = FindPair(file, section, key)) {
    Rewrite(*pair, value);
    return pair;
  }

  // A missing section is made with its header, to go at the very end of the
  // file, spelled as given.
  auto found = file.sections.find(section);
  std::shared_ptr<Section> made;
  std::list<std::shared_ptr<Line>> header;
  std::list<std::list<std::shared_ptr<Line>>::iterator> headerRef;
  if (found == file.sections.end()) {
    made = std::make_shared<Section>(section);
    if (section) {
      header.push_back(
          std::make_shared<Line>(made, true, "[" + *section + "]"));
      headerRef.push_back(header.begin());
    }
  }
  const std::shared_ptr<Section>& target = made ? made : found->second;
  std::list<std::shared_ptr<Line>> line{
      std::make_shared<KeyValuePair>(target, key + "=" + value, key, value)};
  std::list<std::list<std::shared_ptr<Line>>::iterator> lineRef{line.begin()};
  KeyTable& keys = KeysOf(*target);
  keys.Reserve();
  DocumentState& state = DocumentState::Of(file);
  if (made) {
    if (section) state.sections.Reserve();
    file.sections.emplace(section, made);  // the last step that may throw
    if (section) state.sections.Insert(made.get());
    file.lines.splice(file.lines.end(), header);
    made->lineRefs.splice(made->lineRefs.end(), headerRef);
  }
  auto* pair = static_cast<KeyValuePair*>(line.front().get());
  keys.Insert(pair);

  // A new key goes after the section's last non-blank line, so that blank
  // lines closing the section stay between it and what follows.
  auto& refs = target->lineRefs;
  auto after = refs.end();
  while (after != refs.begin() && IsBlankLine((**std::prev(after))->text)) {
    --after;
  }
  if (after != refs.begin()) {
    file.lines.splice(std::next(*std::prev(after)), line);
    refs.splice(after, lineRef);
  } else if (!refs.empty()) {
    file.lines.splice(refs.front(), line);  // every line is blank: go first
    refs.splice(refs.begin(), lineRef);
  } else {
    file.lines.splice(file.lines.begin(), line);  // no lines: file start
    refs.splice(refs.begin(), lineRef);
  }
  return pair;
}

bool RemoveKey(File& file, const std::optional<std::string>& section,
               std::string_view key) {
  const auto found = file.sections.find(section);
  if (found == file.sections.end()) return false;
  Section& target = *found->second;
  // The index names the lines about to go: drop the entry while they live.
  SectionIndex& index = DocumentState::IndexOf(target);
  if (index.built) index.keys.Erase(key);
  auto& refs = target.lineRefs;
  for (auto ref = refs.begin(); ref != refs.end();) {
    const KeyValuePair* pair = AsKeyValue(***ref);
    if (pair != nullptr && IsEqual(pair->key, key)) {
      file.lines.erase(*ref);
      ref = refs.erase(ref);
    } else {
      ++ref;
    }
  }
  return true;
}

bool RemoveSection(File& file, const std::optional<std::string>& section) {
  const auto found = file.sections.find(section);
  if (found == file.sections.end()) return false;
  Section& target = *found->second;
  // The indexes name the section and its lines: drop them while they live.
  if (section) DocumentState::Of(file).sections.Erase(*section);
  SectionIndex& index = DocumentState::IndexOf(target);
  index.keys.Clear();
  index.built = false;
  for (const auto& ref : target.lineRefs) file.lines.erase(ref);
  target.lineRefs.clear();
  file.sections.erase(found);
  return true;
}

}  // namespace detail

using Kind = detail::ChangeLog::Kind;

namespace detail {

void LoggedWrite(File& file, const std::optional<std::string>& section,
                 const std::string& key, const std::string& value) {
  ChangeLog& changes = DocumentState::Of(file).changes;
  KeyValuePair* pair = FindPair(file, section, key);
  if (pair != nullptr && changes.Covers(pair)) {
    Rewrite(*pair, value);  // logged already: the common repeat
  } else {
    changes.Add(Kind::kWrite, section, key);
    changes.Cover(SetValue(file, section, key, value));
  }
}

void ApplyWriteRule(File& file, WriterHold* held, bool changedBefore) {
  if (file.isAsyncWriting()) {
    // Nobody can see a registered document's changeTime, and no save looks
    // at it (the change log says what to save), so it keeps the stamp of the
    // change that made the document changed, sparing later changes the clock.
    if (held == nullptr || !changedBefore) {
      file.changeTime = fs::file_time_type::clock::now();
    }
  } else {
    if (held != nullptr) held->ToSave();  // readers need not wait for the sync
    SaveChanges(file, held);
  }
}

bool LoggedEraseKey(File& file, const std::optional<std::string>& section,
                    std::string_view key) {
  if (file.sections.find(section) == file.sections.end()) return false;
  DocumentState::Of(file).changes.Add(Kind::kEraseKey, section, key);
  return RemoveKey(file, section, key);
}

bool LoggedEraseSection(File& file, const std::optional<std::string>& section) {
  if (file.sections.find(section) == file.sections.end()) return false;
  DocumentState::Of(file).changes.Add(Kind::kEraseSection, section, {});
  return RemoveSection(file, section);
}

}  // namespace detail

void File::WriteValue(const std::optional<std::string>& section,
                      const std::string& key, const std::string& value) {
  detail::CheckStorable(section, key, value);
  std::unique_lock lock(mutex);
  detail::LoggedWrite(*this, section, key, value);
  detail::ApplyWriteRule(*this, nullptr);
}

void File::EraseKey(const std::optional<std::string>& section,
                    const std::string_view& key) {
  std::unique_lock lock(mutex);
  if (detail::LoggedEraseKey(*this, section, key)) {
    detail::ApplyWriteRule(*this, nullptr);
  }
}

void File::EraseSection(const std::optional<std::string>& section) {
  std::unique_lock lock(mutex);
  if (detail::LoggedEraseSection(*this, section)) {
    detail::ApplyWriteRule(*this, nullptr);
  }
}

// ---- Saving ----

void File::Write() { detail::WriteDocument(*this, {}); }

namespace detail {

void WriteDocument(File& file, SaveOptions options) {
  DocumentState& state = DocumentState::Of(file);
  std::size_t size = kByteOrderMark.size();
  for (const auto& line : file.lines) size += line->text.size() + 1;
  std::string content;
  content.reserve(size);
  // A document without lines saves as an empty file, mark or not.
  if (state.byteOrderMark && !file.lines.empty()) content = kByteOrderMark;
  for (const auto& line : file.lines) {
    content += line->text;
    content += '\n';
  }
  DiskSnapshot torn;
  options.inPlace = options.inPlace || state.saveInPlace;
  options.torn = &torn;
  try {
    state.disk = ReplaceFileContent(file.path, content, options);
  } catch (...) {
    // The change is not on disk: keep counting the document as changed, so
    // the next flush tries again. What a failed rewrite in place left is no
    // one else's change: the retry writes this document over it, whole.
    if (torn.exists) state.disk = torn;
    file.changeTime = fs::file_time_type::clock::now();
    throw;
  }
  state.changes.Clear();
  std::error_code unknown;  // the file is saved: a failed query is no failure
  file.changeTime = fs::last_write_time(file.path, unknown);
  if (unknown) file.changeTime = kZeroFileTime;
}

void SetSaveInPlace(File& file, bool inPlace) {
  DocumentState::Of(file).saveInPlace = inPlace;
}

}  // namespace detail

void File::Flush() {
  std::unique_lock lock(mutex);
  detail::SaveChanges(*this, nullptr);
}

}  // namespace vty::config::ini
