// File's members: the public face of a document a caller builds itself. Each
// runs the body the exported function of the same job runs: a read under the
// document's hold, a change or a save by Save.cpp.

#include "config/INI.h"
#include "save/Hold.h"
#include "save/Save.h"

namespace vty::config::ini {

// ---- Reading ----

std::optional<std::string> File::ReadValue(
    const std::optional<std::string>& section,
    const std::string_view& key) const {
  const detail::Hold hold(*this, detail::Hold::Mode::kRead);
  const KeyValuePair* pair = detail::FindPair(*this, section, key);
  if (pair == nullptr) return std::nullopt;
  return pair->value;
}

std::vector<std::string> File::ReadSection(
    const std::optional<std::string>& section) const {
  const detail::Hold hold(*this, detail::Hold::Mode::kRead);
  return detail::SectionTexts(*this, section);
}

std::vector<std::pair<std::string, std::string>> File::ReadSectionKeyValuePairs(
    const std::optional<std::string>& section) const {
  const detail::Hold hold(*this, detail::Hold::Mode::kRead);
  return detail::SectionPairs(*this, section);
}

std::unordered_set<std::string> File::ReadSectionNames() const {
  const detail::Hold hold(*this, detail::Hold::Mode::kRead);
  return detail::SectionNames(*this);
}

// ---- Edits ----
//
// Each edit allocates everything it needs before it changes anything, so that
// a failed allocation leaves the document (and its indexes) as it was.

// ---- Changing and saving ----

void File::WriteValue(const std::optional<std::string>& section,
                      const std::string& key, const std::string& value) {
  detail::WriteValue(*this, section, key, value, path.native());
}

void File::EraseKey(const std::optional<std::string>& section,
                    const std::string_view& key) {
  detail::EraseKey(*this, section, key);
}

void File::EraseSection(const std::optional<std::string>& section) {
  detail::EraseSection(*this, section);
}

void File::Write() { detail::WriteAsItStands(*this); }

void File::Flush() { detail::Flush(*this); }

void File::Reload() { detail::Reload(*this); }

}  // namespace vty::config::ini
