// Loading: a file's bytes split into lines, each line classified by the line
// rules and cut from shared blocks (LineArena.h), and sections built over
// them. The one place where a file becomes a document, whether at the first
// use of a path, on Reload, or when a save merges another writer's version.

#include "document/Load.h"

#include <sys/stat.h>

#include <cstring>
#include <string>

#include "disk/InPlace.h"
#include "document/LineArena.h"
#include "text/LineRules.h"

namespace vty::config::ini {

namespace {

namespace fs = std::filesystem;

// Splits text into lines: LF, CR LF and a lone CR each end a line; a
// terminator at the very end adds no empty line. Both terminators are found
// with memchr, and each search is reused until the reader passes it, so a
// file of lone CRs is split in linear time. Each line comes with how it
// ended, so that a save through a handle can end it the same way.
class LineReader {
 public:
  explicit LineReader(std::string_view text)
      : next_(text.data()), end_(text.data() + text.size()) {}

  bool Next(std::string_view& line, LineEnding& ending) {
    if (next_ == end_) return false;
    if (nextLf_ < next_) nextLf_ = Find('\n');
    if (nextCr_ < next_) nextCr_ = Find('\r');
    const char* stop = nextLf_ < nextCr_ ? nextLf_ : nextCr_;
    line = std::string_view(next_, static_cast<std::size_t>(stop - next_));
    next_ = stop;
    ending = LineEnding::None;
    if (next_ != end_) {
      ++next_;
      ending = *stop == '\n' ? LineEnding::Lf : LineEnding::Cr;
      if (*stop == '\r' && next_ != end_ && *next_ == '\n') {
        ++next_;
        ending = LineEnding::CrLf;
      }
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

}  // namespace

// The path is taken by value, as callers and the header have it.
File::File(
    std::filesystem::path path,  // NOLINT(performance-unnecessary-value-param)
    std::function<bool()> isAsyncWriting)
    : path(fs::absolute(path)),
      isAsyncWriting(std::move(isAsyncWriting)),
      changeTime(detail::kZeroFileTime),
      state_(std::make_unique<detail::DocumentState>()) {
  Read();
}

File::~File() = default;

void File::Read() {
  // A file that a crash left half rewritten in place is completed first.
  detail::CompleteInterruptedRewrite(path);
  const detail::Descriptor fd = detail::OpenForReading(path);
  detail::Parse(*this, detail::ReadDisk(fd.Get(), path));
  struct stat dir {};
  const fs::path parent = path.has_parent_path() ? path.parent_path() : ".";
  state_->directory = {0, 0};
  if (fd.Get() >= 0 && ::stat(parent.c_str(), &dir) == 0) {
    state_->directory = {dir.st_dev, dir.st_ino};
  }
  state_->changes.Clear();
  detail::SetDisk(*this, state_->disk);  // no change left: the file's time
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
  LineEnding ending = LineEnding::None;
  LineEnding firstEnding = LineEnding::None;  // none met yet
  std::string name;                           // of the section a header names
  while (reader.Next(line, ending)) {
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
    made->ending = ending;
    if (firstEnding == LineEnding::None) firstEnding = ending;
    lines.push_back(std::move(made));
    current->lineRefs.push_back(std::prev(lines.end()));
  }

  DocumentState& state = DocumentState::Of(file);
  file.lines.swap(lines);
  file.sections.swap(sections);
  std::swap(state.sections, table);
  state.byteOrderMark = mark;
  state.firstEnding =
      firstEnding == LineEnding::None ? LineEnding::Lf : firstEnding;
  state.changes.Uncache();  // the old lines are gone
  SetDisk(file, content.snapshot);
}

}  // namespace detail

}  // namespace vty::config::ini
