// What another writer's edit changed: the value of every key of a document,
// before and after, compared as a reader reads values.

#ifndef VTY_CONFIG_SRC_LIVE_VALUEDIFF_H_
#define VTY_CONFIG_SRC_LIVE_VALUEDIFF_H_

#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "config/INI.h"
#include "config/Live.h"

namespace vty::config::ini::detail {

// How a face reads a stored value: the free functions take it raw; a handle
// trims it and cuts an inline comment. Empty: raw.
using ValueReader = std::function<std::string(std::string_view stored)>;

// The value every key of a document holds, as stored, in file order: the
// first line of each key in each section, since only that one is read.
struct KeyValues {
  struct Entry {
    SectionName section;  // as spelled in the document
    std::string key;      // likewise
    std::string value;    // raw
  };
  std::vector<Entry> entries;
};

// The document's keys and values now. The caller holds the document's lock.
KeyValues ValuesOf(const File& file);

// The keys whose value, as `read` reads it, differs between `before` and
// `after`: in the file order of `after`, then those erased in the order of
// `before`. Keys and sections match without regard to ASCII case.
std::vector<Change> Diff(const KeyValues& before, const KeyValues& after,
                         const ValueReader& read);

}  // namespace vty::config::ini::detail

#endif  // VTY_CONFIG_SRC_LIVE_VALUEDIFF_H_
