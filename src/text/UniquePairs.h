// Keys with their values, each key once as names match (in any ASCII letter
// case), in the order of its first addition: how a handle's and the layers'
// Pairs list a key that several lines or layers give.

#ifndef VTY_CONFIG_SRC_TEXT_UNIQUEPAIRS_H_
#define VTY_CONFIG_SRC_TEXT_UNIQUEPAIRS_H_

#include <cstddef>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "text/Names.h"

namespace vty::config::ini::detail {

class UniquePairs {
 public:
  using Pairs = std::vector<std::pair<std::string, std::string>>;

  // Adds `key` with `value`; a key there already keeps its place, and takes
  // `value` when `overrides`.
  void Add(std::string& key, std::string& value, bool overrides) {
    const auto [place, added] = seen_.emplace(Folded(key), pairs_.size());
    if (added) {
      pairs_.emplace_back(std::move(key), std::move(value));
    } else if (overrides) {
      pairs_[place->second].second = std::move(value);
    }
  }

  Pairs Take() { return std::move(pairs_); }

 private:
  Pairs pairs_;
  std::unordered_map<std::string, std::size_t> seen_;  // folded key: its place
};

}  // namespace vty::config::ini::detail

#endif  // VTY_CONFIG_SRC_TEXT_UNIQUEPAIRS_H_
