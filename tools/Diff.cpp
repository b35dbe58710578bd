#include "Diff.h"

#include <algorithm>
#include <vector>

namespace vty::config::tool {
namespace {

constexpr std::size_t kContext = 3;
// Beyond this many cells the middle counts as replaced whole: still a
// correct diff, only a longer one.
constexpr std::size_t kMaxCells = std::size_t{1} << 22;

std::vector<std::string_view> Lines(std::string_view text) {
  std::vector<std::string_view> lines;
  for (std::size_t start = 0; start < text.size();) {
    std::size_t end = text.find('\n', start);
    if (end == std::string_view::npos) end = text.size();
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

enum class Op { kKeep, kRemove, kAdd };

struct Edit {
  Op op;
  std::string_view line;
};

// The edits of a longest common subsequence between a and b.
std::vector<Edit> Edits(const std::vector<std::string_view>& a,
                        const std::vector<std::string_view>& b) {
  std::size_t prefix = 0, suffix = 0;
  while (prefix < a.size() && prefix < b.size() && a[prefix] == b[prefix]) {
    ++prefix;
  }
  while (suffix < a.size() - prefix && suffix < b.size() - prefix &&
         a[a.size() - 1 - suffix] == b[b.size() - 1 - suffix]) {
    ++suffix;
  }
  const std::size_t n = a.size() - prefix - suffix,
                    m = b.size() - prefix - suffix;
  std::vector<Edit> edits;
  for (std::size_t i = 0; i < prefix; ++i) edits.push_back({Op::kKeep, a[i]});
  if ((n + 1) * (m + 1) <= kMaxCells) {
    // common[i][j]: the longest common run of a's middle from i, b's from j.
    std::vector<std::vector<std::size_t>> common(
        n + 1, std::vector<std::size_t>(m + 1, 0));
    for (std::size_t i = n; i-- > 0;) {
      for (std::size_t j = m; j-- > 0;) {
        common[i][j] = a[prefix + i] == b[prefix + j]
                           ? common[i + 1][j + 1] + 1
                           : std::max(common[i + 1][j], common[i][j + 1]);
      }
    }
    std::size_t i = 0, j = 0;
    while (i < n || j < m) {
      if (i < n && j < m && a[prefix + i] == b[prefix + j]) {
        edits.push_back({Op::kKeep, a[prefix + i++]}), ++j;
      } else if (j < m && (i == n || common[i][j + 1] > common[i + 1][j])) {
        edits.push_back({Op::kAdd, b[prefix + j++]});
      } else {
        edits.push_back({Op::kRemove, a[prefix + i++]});
      }
    }
  } else {
    for (std::size_t i = 0; i < n; ++i)
      edits.push_back({Op::kRemove, a[prefix + i]});
    for (std::size_t j = 0; j < m; ++j)
      edits.push_back({Op::kAdd, b[prefix + j]});
  }
  for (std::size_t i = a.size() - suffix; i < a.size(); ++i) {
    edits.push_back({Op::kKeep, a[i]});
  }
  return edits;
}

// "start,count" of a hunk's side; an empty side names the line before it.
std::string Range(std::size_t start, std::size_t count) {
  return std::to_string(count == 0 ? start : start + 1) + "," +
         std::to_string(count);
}

}  // namespace

std::string UnifiedDiff(std::string_view before, std::string_view after,
                        const std::string& label) {
  if (before == after) return {};
  const std::vector<Edit> edits = Edits(Lines(before), Lines(after));
  std::string out = "--- " + label + "\n+++ " + label + "\n";
  // Positions in `before` and `after` of each edit.
  std::vector<std::size_t> inA(edits.size() + 1), inB(edits.size() + 1);
  for (std::size_t k = 0; k < edits.size(); ++k) {
    inA[k + 1] = inA[k] + (edits[k].op != Op::kAdd);
    inB[k + 1] = inB[k] + (edits[k].op != Op::kRemove);
  }
  for (std::size_t k = 0; k < edits.size();) {
    if (edits[k].op == Op::kKeep) {
      ++k;
      continue;
    }
    // A hunk: from kContext before this change to kContext after the last
    // change that lies within 2 * kContext of the one before it.
    const std::size_t first = k > kContext ? k - kContext : 0;
    std::size_t last = k, kept = 0;
    for (std::size_t e = k; e < edits.size() && kept <= 2 * kContext; ++e) {
      if (edits[e].op == Op::kKeep) {
        ++kept;
      } else {
        last = e, kept = 0;
      }
    }
    const std::size_t end = std::min(edits.size(), last + 1 + kContext);
    out += "@@ -" + Range(inA[first], inA[end] - inA[first]) + " +" +
           Range(inB[first], inB[end] - inB[first]) + " @@\n";
    for (std::size_t e = first; e < end; ++e) {
      out += edits[e].op == Op::kKeep     ? ' '
             : edits[e].op == Op::kRemove ? '-'
                                          : '+';
      out.append(edits[e].line.data(), edits[e].line.size());
      out += '\n';
    }
    k = end;
  }
  return out;
}

}  // namespace vty::config::tool
