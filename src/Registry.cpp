// The registry of documents (one per path, shared by every thread) and the
// exported functions through which callers read and change files.

#include <array>
#include <cstring>
#include <mutex>

#include "Internal.h"

namespace vty::config::ini {

namespace detail {
std::atomic<bool> g_async{false};
}  // namespace detail

namespace {

namespace fs = std::filesystem;

struct PathHasher {
  std::size_t operator()(const fs::path& path) const noexcept {
    return fs::hash_value(path);
  }
};

// Lock order: the registry's mutex before any document's mutex.
struct State {
  std::shared_mutex mutex;
  // One document per path; paths compare element by element, so "dir//a.ini"
  // and "dir/a.ini" share one. Guarded by mutex.
  std::unordered_map<fs::path, std::shared_ptr<File>, PathHasher> files;
  // The same documents by the caller's spelling of the path, so that a
  // repeated call needs neither a path object nor the exclusive lock.
  // Guarded by mutex.
  std::unordered_map<std::string, std::shared_ptr<File>> spellings;
};

// Created on first use and destroyed at exit without saving anything.
State& GetState() {
  static State state;
  return state;
}

bool IsAsyncWriting() { return detail::g_async.load(); }

// The names of the named sections in the order of their first header. Each
// section's first line is its header, so the first line met of a section is
// that header; the set is consulted only where one block gives way to the
// next.
std::vector<std::string> NamesInFileOrder(const File& document) {
  std::shared_lock lock(document.mutex);
  std::vector<std::string> names;
  std::unordered_set<const Section*> seen;
  seen.reserve(document.sections.size());
  const Section* previous = nullptr;
  for (const auto& line : document.lines) {
    const Section* section = line->section.get();
    if (section == previous) continue;
    previous = section;
    if (section->name && seen.insert(section).second) {
      names.push_back(*section->name);
    }
  }
  return names;
}

}  // namespace

namespace detail {

void CreateRegistry() { GetState(); }

std::shared_ptr<File> GetFile(const std::string& file) {
  State& state = GetState();
  {
    std::shared_lock lock(state.mutex);
    const auto known = state.spellings.find(file);
    if (known != state.spellings.end()) return known->second;
  }
  fs::path path(file);
  std::unique_lock lock(state.mutex);
  auto found = state.files.find(path);
  if (found == state.files.end()) {
    // The new document loads while the lock is held, so a path is never
    // loaded twice.
    auto document =
        std::make_shared<File>(path, std::function<bool()>(&IsAsyncWriting));
    found = state.files.emplace(std::move(path), std::move(document)).first;
  }
  state.spellings.emplace(file, found->second);
  return found->second;
}

File& Document(const std::string& file) {
  // The last few paths this thread named. Documents stay registered until
  // exit, so a hit needs no lock and touches no cache line that other
  // threads write.
  struct Recent {
    std::string name;
    File* document = nullptr;
  };
  constexpr std::size_t kRecent = 4;
  thread_local std::array<Recent, kRecent> recent;
  thread_local std::size_t victim = 0;
  for (const Recent& entry : recent) {
    if (entry.document != nullptr && entry.name == file) return *entry.document;
  }
  File& document = *GetFile(file);
  recent[victim] = Recent{file, &document};
  victim = (victim + 1) % kRecent;
  return document;
}

std::vector<std::shared_ptr<File>> RegisteredFiles() {
  State& state = GetState();
  std::shared_lock lock(state.mutex);
  std::vector<std::shared_ptr<File>> documents;
  documents.reserve(state.files.size());
  for (const auto& entry : state.files) documents.push_back(entry.second);
  return documents;
}

void FlushAllFiles() noexcept {
  try {
    for (const auto& document : RegisteredFiles()) {
      try {
        document->Flush();
      } catch (...) {
        // This document stays changed and is tried again next time.
      }
    }
  } catch (...) {
    // Out of memory for the list: nothing was flushed, nothing was lost.
  }
}

}  // namespace detail

// ---- Reading ----

std::string ReadString(const std::optional<std::string>& section,
                       const std::string_view& key,
                       const std::string_view& defaultValue,
                       const std::string& file) {
  std::optional<std::string> value =
      detail::Document(file).ReadValue(section, key);
  return value ? std::move(*value) : std::string(defaultValue);
}

bool ReadString(const std::optional<std::string>& section,
                const std::string_view& key,
                const std::string_view& defaultValue, std::string& value,
                const std::string& file) {
  std::optional<std::string> found =
      detail::Document(file).ReadValue(section, key);
  if (found) {
    value = std::move(*found);
  } else {
    value.assign(defaultValue);
  }
  return found.has_value();
}

unsigned long ReadString(const std::optional<std::string>& section,
                         const std::string_view& key,
                         const std::string_view& defaultValue, char* buffer,
                         unsigned long size, const std::string& file) {
  const std::string value = ReadString(section, key, defaultValue, file);
  if (size == 0) return 0;  // no room even for the terminator
  std::strncpy(buffer, value.c_str(), size - 1);
  buffer[size - 1] = '\0';
  return std::strlen(buffer);
}

template <>
std::string ReadValue<std::string>(const std::optional<std::string>& section,
                                   const std::string_view& key,
                                   const std::string& defaultValue,
                                   const std::string& file) {
  return ReadString(section, key, std::string_view(defaultValue), file);
}

template <>
bool ReadValue<std::string>(const std::optional<std::string>& section,
                            const std::string_view& key,
                            const std::string& defaultValue, std::string& value,
                            const std::string& file) {
  return ReadString(section, key, std::string_view(defaultValue), value, file);
}

// ---- Sections ----

std::unordered_set<std::string> ReadSectionNames(const std::string& file) {
  return detail::Document(file).ReadSectionNames();
}

std::vector<std::string> ReadSection(const std::optional<std::string>& section,
                                     const std::string& file) {
  return detail::Document(file).ReadSection(section);
}

bool IterateAllSections(
    const std::string& file,
    const std::function<void(
        const std::string&, const std::vector<SectionKeyValuePair>&)>& callback,
    const std::function<void(const std::exception&)>& errorCallback) {
  File& document = detail::Document(file);
  // A snapshot in file order: sections created during the walk are not
  // visited, and no lock is held while a callback runs.
  for (const std::string& name : NamesInFileOrder(document)) {
    const auto pairs = document.ReadSectionKeyValuePairs(name);
    std::vector<SectionKeyValuePair> visited;
    visited.reserve(pairs.size());
    for (const auto& [key, value] : pairs) visited.emplace_back(key, value);
    try {
      callback(name, visited);
    } catch (const std::exception& error) {
      errorCallback(error);
    }
  }
  return true;
}

// ---- Changing ----

void WriteString(const std::optional<std::string>& section,
                 const std::string& key, const std::string& value,
                 const std::string& file) {
  detail::Document(file).WriteValue(section, key, value);
}

template <>
void WriteValue<std::string>(const std::optional<std::string>& section,
                             const std::string& key, const std::string& value,
                             const std::string& file) {
  WriteString(section, key, value, file);
}

void EraseKey(const std::optional<std::string>& section,
              const std::string_view& key, const std::string& file) {
  detail::Document(file).EraseKey(section, key);
}

void EraseSection(const std::optional<std::string>& section,
                  const std::string& file) {
  detail::Document(file).EraseSection(section);
}

void Flush(const std::string& file) { detail::Document(file).Flush(); }

}  // namespace vty::config::ini
