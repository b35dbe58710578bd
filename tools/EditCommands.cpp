// The commands that edit: set, merge, del, del-section and rename-section.
// Each edits a Store and returns kOk, or kMissing under --existing; Edit
// then previews or saves what changed.

#include <algorithm>
#include <iostream>
#include <iterator>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "Commands.h"
#include "Diff.h"

namespace vty::config::tool {
namespace {

// Standard input as an INI text, read as the library reads a file, with the
// values as `syntax` reads them. A line the library would skip is refused,
// naming its line: skipped, a broken header would silently send the keys
// below it into the section above.
ini::Settings ReadStandardInput(ini::Syntax syntax) {
  const std::string text(std::istreambuf_iterator<char>(std::cin), {});
  if (std::cin.bad()) {
    throw std::system_error(std::make_error_code(std::errc::io_error),
                            "cannot read the standard input");
  }
  // The merge text's own [DEFAULT] is a section like any other: its keys
  // go to the file's, not into each of its sections.
  syntax.defaultSection.reset();
  ini::Settings input = ini::Settings::FromText(text, syntax);
  // Text() keeps each line's ending (LF, CR LF, a lone CR, or none on the
  // last line), as loading split them.
  const std::string lines = input.Text();
  constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";
  std::size_t start = lines.rfind(kByteOrderMark, 0) == 0 ? 3 : 0;
  for (std::size_t number = 1; start < lines.size(); ++number) {
    const std::size_t end =
        std::min(lines.find_first_of("\r\n", start), lines.size());
    const std::string_view line(lines.data() + start, end - start);
    start = end + (lines.compare(end, 2, "\r\n") == 0 ? 2 : 1);
    std::string name;
    if (!ini::IsBlankLine(line) && !ini::IsComment(line) &&
        !ini::IsKey(line, name) && !ini::IsSectionHeader(line, name)) {
      throw std::invalid_argument(
          "line " + std::to_string(number) +
          " of the standard input is neither blank, comment, key nor "
          "section header; nothing was merged");
    }
  }
  return input;
}

}  // namespace

int Set(const Args& args, Store& store) {
  const SectionName section = AsSection(args.operands[1]);
  const std::string& key = args.operands[2];
  std::string value =
      args.operands[3] == "-" ? ReadInputLine() : args.operands[3];
  if (args.type) {
    auto typed = args.type->convert(value);
    if (!typed) {
      throw UsageError("VALUE is not of type " + std::string(args.type->name));
    }
    value = *typed;
  }
  if (args.existing && !store.Get(section, key, false)) {
    return MissingKey(args, section, key);
  }
  bool changed;
  if (args.listSeparator) {  // ITEM, unless the list has it
    std::vector<std::string> items =
        store.GetList(section, key).value_or(std::vector<std::string>());
    const bool present =
        std::find(items.begin(), items.end(), value) != items.end();
    if (!present) items.push_back(value);
    changed = store.SetList(section, key, items);
  } else if (args.add) {
    changed = store.Add(section, key, value);
  } else {
    changed = store.Set(section, key, value, args.raw);
  }
  // After the value, so that a new key has its line for the comment.
  if (args.comment) changed |= store.SetComment(section, key, *args.comment);
  Tell(args, changed,
       "set " + args.operands[0] + " " + Describe(section) + " " + key);
  return kOk;
}

int Del(const Args& args, Store& store) {
  const SectionName section = AsSection(args.operands[1]);
  const std::string& key = args.operands[2];
  const std::string what =
      "del " + args.operands[0] + " " + Describe(section) + " " + key;
  if (!args.listSeparator) {
    if (args.operands.size() > 3) {
      throw UsageError("del: ITEM needs --list");
    }
    const bool changed = store.Erase(section, key);
    if (!changed && args.existing) return MissingKey(args, section, key);
    Tell(args, changed, what);
    return kOk;
  }
  if (args.operands.size() < 4) throw UsageError("del --list needs an ITEM");
  const std::string& item = args.operands[3];
  std::vector<std::string> items =
      store.GetList(section, key).value_or(std::vector<std::string>());
  const auto kept = std::remove(items.begin(), items.end(), item);
  const bool present = kept != items.end();
  if (!present && args.existing) {
    return Missing(
        args, "item not found: " + Describe(section) + " " + key + " " + item);
  }
  items.erase(kept, items.end());
  const bool changed = present && store.SetList(section, key, items);
  Tell(args, changed, what + " " + item);
  return kOk;
}

int DelSection(const Args& args, Store& store) {
  const SectionName section = AsSection(args.operands[1]);
  const bool changed = store.EraseSection(section);
  if (!changed && args.existing) return MissingSection(args, section);
  Tell(args, changed,
       "del-section " + args.operands[0] + " " + Describe(section));
  return kOk;
}

int RenameSection(const Args& args, Store& store) {
  const std::string& from = args.operands[1];
  const std::string& to = args.operands[2];
  if (from.empty() || to.empty()) {
    throw UsageError("rename-section: the unnamed section has no header");
  }
  if (!store.HasSection(from)) return MissingSection(args, from);
  const bool changed = store.RenameSection(from, to);
  Tell(args, changed,
       "rename-section " + args.operands[0] + " [" + from + "] [" + to + "]");
  return kOk;
}

int Merge(const Args& args, Store& store) {
  const ini::Settings input = ReadStandardInput(SyntaxOf(args));
  const SectionName into =
      args.operands.size() > 1 ? AsSection(args.operands[1]) : std::nullopt;
  bool changed = false;
  for (const auto& section : input.Sections()) {
    const SectionName target = section ? section : into;
    for (const auto& [key, value] : input.Pairs(section)) {
      const std::string what =
          args.operands[0] + " " + Describe(target) + " " + key;
      if (args.existing && !store.Get(target, key, false)) {
        std::cerr << "skipped: merge " << what << " (not in the file)\n";
        continue;
      }
      const bool set = store.Set(target, key, value);
      if (set) Tell(args, true, "set " + what);
      changed |= set;
    }
  }
  if (!changed) Tell(args, false, "merge " + args.operands[0]);
  return kOk;
}

int Edit(const Args& args, int (*edit)(const Args&, Store&)) {
  const std::string& file = args.operands[0];
  Store store(file, SyntaxOf(args));
  if (const int status = edit(args, store); status != kOk) return status;
  if (args.dryRun) {
    std::cout << UnifiedDiff(store.Loaded(), store.Text(), file);
  } else if (args.output) {
    std::cout << store.Text();
  } else {
    store.Save(args.inPlace);
  }
  return kOk;
}

}  // namespace vty::config::tool
