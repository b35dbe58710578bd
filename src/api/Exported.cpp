// The exported free functions: each finds the registered document of its
// path (Registry.cpp) and reads it under its hold, or hands it to the shared
// body of a change or a save (Save.cpp).

#include <cstring>

#include "live/Registry.h"
#include "save/Save.h"

namespace vty::config::ini {

// ---- Reading ----

std::string ReadString(const std::optional<std::string>& section,
                       const std::string_view& key,
                       const std::string_view& defaultValue,
                       const std::string& file) {
  return detail::Reading(file, [&](const File& document) {
    const KeyValuePair* pair = detail::FindPair(document, section, key);
    return pair ? pair->value : std::string(defaultValue);
  });
}

bool ReadString(const std::optional<std::string>& section,
                const std::string_view& key,
                const std::string_view& defaultValue, std::string& value,
                const std::string& file) {
  return detail::Reading(file, [&](const File& document) {
    const KeyValuePair* pair = detail::FindPair(document, section, key);
    value.assign(pair ? std::string_view(pair->value) : defaultValue);
    return pair != nullptr;
  });
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

// ---- Sections ----

std::unordered_set<std::string> ReadSectionNames(const std::string& file) {
  return detail::Reading(file, detail::SectionNames);
}

std::vector<std::string> ReadSection(const std::optional<std::string>& section,
                                     const std::string& file) {
  return detail::Reading(file, [&](const File& document) {
    return detail::SectionTexts(document, section);
  });
}

bool IterateAllSections(
    const std::string& file,
    const std::function<void(
        const std::string&, const std::vector<SectionKeyValuePair>&)>& callback,
    const std::function<void(const std::exception&)>& errorCallback) {
  // A snapshot in file order: sections created during the walk are not
  // visited, and no lock is held while a callback runs.
  for (const std::string& name :
       detail::Reading(file, detail::NamesInFileOrder)) {
    const auto pairs = detail::Reading(file, [&](const File& document) {
      return detail::SectionPairs(document, name);
    });
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
  detail::WriteValue(detail::RegisteredDocument(file), section, key, value,
                     file);
}

void EraseKey(const std::optional<std::string>& section,
              const std::string_view& key, const std::string& file) {
  detail::EraseKey(detail::RegisteredDocument(file), section, key);
}

void EraseSection(const std::optional<std::string>& section,
                  const std::string& file) {
  detail::EraseSection(detail::RegisteredDocument(file), section);
}

void Flush(const std::string& file) {
  detail::Flush(detail::RegisteredDocument(file));
}

void Reload(const std::string& file) {
  detail::Reload(detail::RegisteredDocument(file));
}

}  // namespace vty::config::ini
