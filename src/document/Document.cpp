// The document: its model, looking values up, and editing lines in place.
// Loading is in Load.cpp, saving in Save.cpp, what may be stored in
// Storable.cpp, a whole section's lines and the names in Sections.cpp.

#include "document/Document.h"

#include <stdexcept>
#include <typeinfo>
#include <vector>

#include "text/LineRules.h"
#include "text/Refusal.h"

namespace vty::config::ini {

namespace detail {

// Ignorable lines are never key lines, and the exact type is checked before
// the costlier dynamic_cast.
KeyValuePair* AsKeyValue(Line& line) {
  if (line.ignorable) return nullptr;
  const std::type_info& type = typeid(line);
  if (type == typeid(KeyValuePair)) return static_cast<KeyValuePair*>(&line);
  if (type == typeid(Line)) return nullptr;
  return dynamic_cast<KeyValuePair*>(&line);
}

}  // namespace detail

namespace detail {

Section* FindSection(const File& file, const std::optional<std::string>& name) {
  if (name) return DocumentState::Of(file).sections.Find(*name);
  const auto found = file.sections.find(std::nullopt);
  return found == file.sections.end() ? nullptr : found->second.get();
}

bool HasKeyLine(const Section& section) {
  for (const auto& ref : section.lineRefs) {
    if (AsKeyValue(**ref) != nullptr) return true;
  }
  return false;
}

std::size_t LineNumberOf(const File& file, const Line* line) {
  std::size_t number = 1;
  for (const auto& each : file.lines) {
    if (each.get() == line) return number;
    ++number;
  }
  return 0;
}

}  // namespace detail

namespace {

using detail::AsKeyValue;

using detail::DocumentState;

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
      bool duplicates = false;
      std::unordered_map<const KeyValuePair*, std::vector<KeyValuePair*>>
          repeats;
      bool indented = false;
      bool indentedText = false;
      for (const auto& ref : section.lineRefs) {
        Line& line = **ref;
        KeyValuePair* pair = AsKeyValue(line);
        if (pair != nullptr && !keys.Insert(pair)) {
          duplicates = true;
          repeats[keys.Find(pair->key)].push_back(pair);
        }
        if (!line.text.empty() && detail::IsBlank(line.text.front()) &&
            !IsBlankLine(line.text)) {
          indented = true;
          indentedText |= !line.ignorable && pair == nullptr;
        }
      }
      index.keys = std::move(keys);
      index.duplicates = duplicates;
      index.repeats = std::move(repeats);
      index.indented = indented;
      index.indentedText = indentedText;
      index.built.store(true, std::memory_order_release);
    }
  }
  return index.keys;
}

// Where `pair`, a key line of `section`, stands among its lines.
detail::SectionIndex::Position PositionOf(Section& section,
                                          const KeyValuePair* pair) {
  detail::SectionIndex& index = DocumentState::IndexOf(section);
  if (!index.positioned) {
    index.positions.clear();
    for (auto ref = section.lineRefs.begin(); ref != section.lineRefs.end();
         ++ref) {
      if (const KeyValuePair* line = AsKeyValue(***ref)) {
        index.positions.emplace(line, ref);
      }
    }
    index.positioned = true;
  }
  return index.positions.at(pair);
}

// Drops the section's indexes, to be built again by the next lookup: for an
// edit that adds or removes key lines the indexes cannot follow cheaply.
// Under the document's lock held exclusively.
void ResetIndex(Section& section) {
  detail::SectionIndex& index = DocumentState::IndexOf(section);
  index.keys.Clear();
  index.duplicates = false;
  index.repeats.clear();
  index.positions.clear();
  index.positioned = false;
  index.built.store(false, std::memory_order_relaxed);
  detail::ForgetLastAdded(section);
}
}  // namespace

namespace detail {

// Ends the lines from `first` to `last`, just added in a row: a new
// section's as the file's first ending, a new key line as the line above it
// (the file's first ending at the start of the file). Only the file's last
// line may go without one: when they follow it, it takes the file's first
// ending and the last of them goes without, so that the file still ends as
// it did.
void EndAdded(File& file, std::list<std::shared_ptr<Line>>::iterator first,
              std::list<std::shared_ptr<Line>>::iterator last,
              bool newSection) {
  const LineEnding firstEnding = DocumentState::Of(file).firstEnding;
  Line* above = first == file.lines.begin() ? nullptr : std::prev(first)->get();
  const LineEnding ending =
      newSection || above == nullptr ? firstEnding : above->ending;
  for (auto line = first;; ++line) {
    (*line)->ending = ending;
    if (line == last) break;
  }
  if (above != nullptr && above->ending == LineEnding::None) {
    above->ending = firstEnding;
    (*last)->ending = LineEnding::None;
  }
}

}  // namespace detail

namespace detail {

bool HasIndentedLines(const Section& section) {
  KeysOf(section);
  return DocumentState::IndexOf(section).indented;
}

bool HasIndentedText(const Section& section) {
  KeysOf(section);
  return DocumentState::IndexOf(section).indentedText;
}

void ForgetLastAdded(Section& section) {
  for (auto& lastAdded : DocumentState::IndexOf(section).lastAdded) {
    lastAdded.reset();
  }
}

LineRefs::iterator RefOf(Section& section, const KeyValuePair* pair) {
  return PositionOf(section, pair);
}

}  // namespace detail

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

// ---- The document's state ----

namespace detail {

void SetDisk(File& file, const DiskSnapshot& snapshot) {
  DocumentState& state = DocumentState::Of(file);
  state.disk = snapshot;
  state.rewritten = false;
  if (state.changes.Empty()) {
    file.changeTime = snapshot.exists ? FileTimeOf(snapshot) : kZeroFileTime;
  }
}

}  // namespace detail

// ---- Lookups ----

namespace detail {

KeyValuePair* FindPairIn(const Section& section, std::string_view key,
                         bool last) {
  KeyValuePair* first = KeysOf(section).Find(key);
  // Only a section that was loaded with a repeated key can have one: an
  // edit adds a key only when it is missing.
  if (!last || first == nullptr ||
      !DocumentState::IndexOf(section).duplicates) {
    return first;
  }
  const auto& repeats = DocumentState::IndexOf(section).repeats;
  const auto later = repeats.find(first);
  return later == repeats.end() ? first : later->second.back();
}

KeyValuePair* FindPair(const File& file,
                       const std::optional<std::string>& section,
                       std::string_view key) {
  const Section* found = FindSection(file, section);
  return found == nullptr ? nullptr : FindPairIn(*found, key);
}

std::vector<KeyValuePair*> FindPairs(const File& file,
                                     const std::optional<std::string>& section,
                                     std::string_view key) {
  std::vector<KeyValuePair*> pairs;
  KeyValuePair* first = FindPair(file, section, key);
  if (first == nullptr) return pairs;
  pairs.push_back(first);
  const auto& repeats = DocumentState::IndexOf(*first->section).repeats;
  const auto later = repeats.find(first);
  if (later != repeats.end()) {
    pairs.insert(pairs.end(), later->second.begin(), later->second.end());
  }
  return pairs;
}

}  // namespace detail

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
                       const std::string& key, const std::string& value,
                       Placement placement) {
  if (KeyValuePair* pair = FindPair(file, section, key)) {
    Rewrite(*pair, value);
    return pair;
  }
  return AddKey(file, section, key, key + "=" + value, value, placement);
}

KeyValuePair* AddKey(File& file, const std::optional<std::string>& section,
                     const std::string& key, std::string text,
                     std::string value, Placement placement) {
  const bool afterKeys = placement == Placement::kAfterLastKey;

  // A missing section is made with its header, to go at the very end of the
  // file, spelled as given.
  auto found = file.sections.find(section);
  std::shared_ptr<Section> made;
  std::list<std::shared_ptr<Line>> header;
  std::list<std::list<std::shared_ptr<Line>>::iterator> headerRef;
  // With kAfterLastKey, a blank line (of the section above) sets it apart.
  std::list<std::shared_ptr<Line>> gap;
  std::list<std::list<std::shared_ptr<Line>>::iterator> gapRef;
  if (found == file.sections.end()) {
    made = std::make_shared<Section>(section);
    if (section) {
      if (afterKeys && !file.lines.empty() &&
          !IsBlankLine(file.lines.back()->text)) {
        gap.push_back(
            std::make_shared<Line>(file.lines.back()->section, true, ""));
        gapRef.push_back(gap.begin());
      }
      header.push_back(
          std::make_shared<Line>(made, true, "[" + *section + "]"));
      headerRef.push_back(header.begin());
    }
  }
  const std::shared_ptr<Section>& target = made ? made : found->second;
  std::list<std::shared_ptr<Line>> line{std::make_shared<KeyValuePair>(
      target, std::move(text), key, std::move(value))};
  std::list<std::list<std::shared_ptr<Line>>::iterator> lineRef{line.begin()};
  // The first of the lines added, which stay in a row in the file.
  const auto first = !gap.empty()      ? gap.begin()
                     : !header.empty() ? header.begin()
                                       : line.begin();
  const auto placed = line.begin();
  KeyTable& keys = KeysOf(*target);
  keys.Reserve();
  DocumentState& state = DocumentState::Of(file);
  if (made) {
    if (section) state.sections.Reserve();
    file.sections.emplace(section, made);  // the last step that may throw
    if (section) state.sections.Insert(made.get());
    if (!gap.empty()) {
      gap.front()->section->lineRefs.splice(
          gap.front()->section->lineRefs.end(), gapRef);
      file.lines.splice(file.lines.end(), gap);
    }
    file.lines.splice(file.lines.end(), header);
    made->lineRefs.splice(made->lineRefs.end(), headerRef);
  }
  auto* pair = static_cast<KeyValuePair*>(line.front().get());
  // A key the section has already keeps its first line indexed: this one
  // goes after every line of it.
  if (!keys.Insert(pair)) {
    SectionIndex& index = DocumentState::IndexOf(*target);
    index.duplicates = true;
    try {
      index.repeats[keys.Find(key)].push_back(pair);
    } catch (...) {
      ResetIndex(*target);  // built again, with this line, by the next lookup
    }
  }

  // A new key goes after the section's last non-blank line, so that blank
  // lines closing the section stay between it and what follows; with
  // kAfterLastKey, after its last key line and the indented text that may
  // continue it (or its header), so that a comment closing the section
  // stays with what follows too.
  auto& refs = target->lineRefs;
  auto after = refs.end();
  const auto keepsGoing = [&](Line& line) {
    if (!afterKeys) return IsBlankLine(line.text);
    if (AsKeyValue(line) != nullptr) return false;
    if (!line.ignorable && IsBlank(line.text.front())) return false;
    return !(target->name && &line == refs.front()->get());  // the header
  };
  SectionIndex& index = DocumentState::IndexOf(*target);
  std::optional<SectionIndex::Position>& lastAdded =
      index.lastAdded[static_cast<int>(placement)];
  if (lastAdded) {
    after = std::next(*lastAdded);  // where the walk below would stop
  } else {
    while (after != refs.begin() && keepsGoing(***std::prev(after))) {
      --after;
    }
  }
  const SectionIndex::Position position = lineRef.begin();
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
  EndAdded(file, first, placed, made != nullptr);
  // The new line stops the next walk back with this placement; a walk with
  // the other may now stop elsewhere.
  ForgetLastAdded(*target);
  lastAdded = position;
  if (index.positioned) {
    try {
      index.positions.emplace(pair, position);
    } catch (...) {
      index.positioned = false;  // built again by the next erase
    }
  }
  return pair;
}

void InsertLines(File& file, Section& section, LineRefs::const_iterator after,
                 const std::vector<std::string>& texts) {
  if (texts.empty()) return;
  const std::shared_ptr<Section> owner = (**after)->section;
  std::list<std::shared_ptr<Line>> lines;
  LineRefs refs;
  bool keyLines = false;
  bool indented = false;
  bool indentedText = false;
  for (const std::string& text : texts) {
    const LineShape shape = ShapeOf(text);
    if (shape.kind == LineShape::kKey) {
      lines.push_back(std::make_shared<KeyValuePair>(
          owner, text, std::string(shape.key), text.substr(shape.equals + 1)));
      keyLines = true;
    } else {
      lines.push_back(std::make_shared<Line>(
          owner, shape.kind == LineShape::kIgnorable, text));
    }
    refs.push_back(std::prev(lines.end()));
    if (!text.empty() && IsBlank(text.front()) && !IsBlankLine(text)) {
      indented = true;
      indentedText |= shape.kind == LineShape::kOther;
    }
  }
  KeysOf(section);  // built before the flags below are set
  // Nothing below throws.
  const auto first = lines.begin();
  const auto last = std::prev(lines.end());
  file.lines.splice(std::next(*after), lines);
  section.lineRefs.splice(std::next(after), refs);
  EndAdded(file, first, last, false);
  ForgetLastAdded(section);
  SectionIndex& index = DocumentState::IndexOf(section);
  index.indented |= indented;
  index.indentedText |= indentedText;
  // A key line could come before the line the index names for its key.
  if (keyLines) ResetIndex(section);
}

void RemoveLines(File& file, Section& section, LineRefs::const_iterator first,
                 LineRefs::const_iterator last) {
  bool keyLines = false;
  for (auto ref = first; ref != last;) {
    keyLines |= AsKeyValue(***ref) != nullptr;
    file.lines.erase(*ref);
    ref = section.lineRefs.erase(ref);
  }
  if (keyLines) {
    ResetIndex(section);
    DocumentState::Of(file).changes.Uncache();  // lines are gone
  }
}

bool RemoveKey(File& file, const std::optional<std::string>& section,
               std::string_view key) {
  const auto found = file.sections.find(section);
  if (found == file.sections.end()) return false;
  Section& target = *found->second;
  SectionIndex& index = DocumentState::IndexOf(target);
  KeyTable& keys = KeysOf(target);
  // Every line of the key: its first, and those `repeats` keeps for a key
  // the file repeats.
  KeyValuePair* first = keys.Find(key);
  if (first == nullptr) return true;
  std::vector<KeyValuePair*> lines{first};
  if (const auto later = index.repeats.find(first);
      later != index.repeats.end()) {
    lines.insert(lines.end(), later->second.begin(), later->second.end());
  }
  std::vector<SectionIndex::Position> places;
  places.reserve(lines.size());
  for (const KeyValuePair* pair : lines) {
    places.push_back(PositionOf(target, pair));
  }
  // Nothing below throws; the indexes name the lines about to go.
  keys.Erase(key);
  index.repeats.erase(first);
  for (std::size_t i = 0; i < lines.size(); ++i) {
    // A key line other than the one a walk back stops at lies before it,
    // so the walk stops there still.
    for (auto& lastAdded : index.lastAdded) {
      if (lastAdded == places[i]) lastAdded.reset();
    }
    index.positions.erase(lines[i]);
    file.lines.erase(*places[i]);
    target.lineRefs.erase(places[i]);
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
  index.repeats.clear();
  index.positions.clear();
  index.positioned = false;
  ForgetLastAdded(target);
  for (const auto& ref : target.lineRefs) file.lines.erase(ref);
  target.lineRefs.clear();
  file.sections.erase(found);
  return true;
}

bool RenameHeaders(File& file, const std::string& from, const std::string& to,
                   std::string_view name) {
  const auto found = file.sections.find(from);
  if (found == file.sections.end()) return false;
  if (!IsEqual(from, to) && file.sections.count(to) != 0) return false;
  // Every header is rewritten first, aside, and checked to load back as a
  // header of `to`: a refusal then leaves every line as it was.
  Section& target = *found->second;
  std::vector<std::pair<Line*, std::string>> headers;
  std::string read;
  for (const auto& ref : target.lineRefs) {
    Line& line = **ref;
    // Only a header is an ignorable line that is no blank or comment.
    if (!line.ignorable || ShapeOf(line.text).kind != LineShape::kOther ||
        !IsSectionHeader(line.text, read)) {
      continue;
    }
    // The name stands after the '[' and the blanks after it, as loading
    // strips them.
    const std::size_t open = line.text.find('[');
    const std::size_t at =
        open + 1 + FirstNonBlank(std::string_view(line.text).substr(open + 1));
    std::string text = line.text;
    text.replace(at, read.size(), to);
    if (ShapeOf(text).kind != LineShape::kOther ||
        !IsSectionHeader(text, read) || read != to) {
      Refuse("section name \"" + to + "\" of " + std::string(name),
             "would not load back from its header line");
    }
    headers.emplace_back(&line, std::move(text));
  }
  // Nothing below throws once the table has room.
  DocumentState& state = DocumentState::Of(file);
  state.sections.Reserve();
  auto node = file.sections.extract(found);
  state.sections.Erase(from);
  node.key() = to;
  node.mapped()->name = to;
  file.sections.insert(std::move(node));
  state.sections.Insert(&target);
  for (auto& [line, text] : headers) line->text = std::move(text);
  return true;
}

}  // namespace detail

}  // namespace vty::config::ini
