// The commands that only read: get, sections, section, comment, dump and
// check.

#include <iostream>
#include <optional>
#include <stdexcept>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "Commands.h"
#include "Formats.h"
#include "config/INI.h"
#include "config/Live.h"

namespace vty::config::tool {
namespace {

// get --format: the printed form of pairs of one section.
void PrintFormatted(
    const Args& args, const SectionName& section,
    const std::vector<std::pair<std::string, std::string>>& pairs) {
  if (args.format == "sh") {
    for (const auto& [key, value] : pairs) {  // all refused before any print
      const std::string name = args.prefix + key;
      const std::string subject = "key \"" + key + "\" in " +
                                  Describe(section) + " of " + args.operands[0];
      if (!IsShellName(name)) {
        throw std::invalid_argument(
            subject +
            " is not a shell name; --format=sh refuses it rather than "
            "change it");
      }
      if (IsSpecialShellName(name)) {
        throw std::invalid_argument(
            subject + " names " + name +
            ", which the shell or the loader reads; --format=sh refuses it "
            "(--prefix names every variable anew)");
      }
      if (value.find('\0') != std::string::npos) {
        throw std::invalid_argument(
            "value of " + subject +
            " holds a NUL byte, which no shell variable can hold");
      }
    }
    for (const auto& [key, value] : pairs) {
      std::cout << args.prefix << key << '=' << ShellQuote(value) << '\n';
    }
  } else if (args.format == "ini") {
    if (section) std::cout << '[' << *section << "]\n";
    for (const auto& [key, value] : pairs) {
      std::cout << key << " = " << value << '\n';
    }
  } else {  // lines
    for (const auto& [key, value] : pairs) {
      std::cout << "[ " << section.value_or("") << " ] " << key << " = "
                << value << '\n';
    }
  }
}

// Shows `name` in a message as the bytes it is.
std::string Shown(const std::string& name, char open, char close) {
  return open + ShowBytes(name) + close;
}

// dump --json: JSON strings hold Unicode text only, so names that differ
// only in ill-formed UTF-8 would print as one (both U+FFFD), and a reader
// keeps just one of them (jq the last): refused, rather than lose a setting
// or invent an escape no JSON reader undoes.
void RefuseMergedNames(const std::vector<std::string>& names, const char* kind,
                       char open, char close, const std::string& where) {
  std::unordered_map<std::string, const std::string*> printed;
  for (const std::string& name : names) {
    const auto [first, fresh] = printed.emplace(JsonText(name), &name);
    if (fresh) continue;
    throw std::invalid_argument(
        std::string("--json would print ") + kind + " " +
        Shown(*first->second, open, close) + " and " +
        Shown(name, open, close) + where + " as one name, " +
        JsonString(*first->second) +
        ": a JSON string holds Unicode text only (dump without --json "
        "prints every byte)");
  }
}

}  // namespace

int Get(const Args& args) {
  if (!args.layers.empty() || args.env || args.showOrigin) {
    return LayeredGet(args);
  }
  if (!args.fileExists && !args.defaultValue) return MissingFile(args);
  const Store store(args.operands[0], SyntaxOf(args));
  const SectionName section = AsSection(args.operands[1]);
  if (args.operands.size() == 2) {  // a whole section, --format required
    if (!store.HasSection(section)) return MissingSection(args, section);
    auto pairs = store.Pairs(section, args.raw);
    for (auto& [key, value] : pairs) {
      value = Typed(args, value, Describe(section) + " " + key);
    }
    PrintFormatted(args, section, pairs);
    return kOk;
  }
  const std::string& key = args.operands[2];
  if (args.all) {
    const auto values = store.GetAll(section, key, args.raw);
    if (values.empty()) return MissingKey(args, section, key);
    for (const auto& each : values) {  // all checked before any print
      Typed(args, each, Describe(section) + " " + key);
    }
    for (const auto& each : values) {
      std::cout << Typed(args, each, Describe(section) + " " + key) << '\n';
    }
    return kOk;
  }
  std::optional<std::string> value = store.Get(section, key, args.raw);
  if (!value && !args.defaultValue) return MissingKey(args, section, key);
  if (!value && args.type && !args.type->convert(*args.defaultValue)) {
    throw UsageError("--default is not of type " +
                     std::string(args.type->name));
  }
  const std::string shown = Typed(args, value.value_or(*args.defaultValue),
                                  Describe(section) + " " + key);
  if (args.format.empty()) {
    std::cout << shown << '\n';
  } else {
    PrintFormatted(args, section, {{key, shown}});
  }
  return kOk;
}

int Sections(const Args& args) {
  if (!args.fileExists) return MissingFile(args);
  for (const auto& section :
       Store(args.operands[0], SyntaxOf(args)).Sections()) {
    if (section) std::cout << *section << '\n';
  }
  return kOk;
}

int PrintSection(const Args& args) {
  if (!args.fileExists) return MissingFile(args);
  const Store store(args.operands[0], SyntaxOf(args));
  const SectionName section = AsSection(args.operands[1]);
  if (!store.HasSection(section)) return MissingSection(args, section);
  if (args.raw) {
    for (const auto& text : ini::ReadSection(section, args.operands[0])) {
      std::cout << text << '\n';
    }
  } else {
    for (const auto& [key, value] : store.Pairs(section, false)) {
      std::cout << key << '=' << value << '\n';
    }
  }
  return kOk;
}

int PrintComment(const Args& args) {
  if (!args.fileExists) return MissingFile(args);
  const Store store(args.operands[0], SyntaxOf(args));
  const SectionName section = AsSection(args.operands[1]);
  std::string comment;
  if (args.operands.size() == 2) {
    if (!section) {
      throw UsageError(
          "comment: the unnamed section has no header; name a KEY");
    }
    if (!store.HasSection(section)) return MissingSection(args, section);
    comment = store.Comment(section);
  } else {
    const std::string& key = args.operands[2];
    if (!store.Get(section, key, false)) return MissingKey(args, section, key);
    comment = store.Comment(section, key);
  }
  if (!comment.empty()) std::cout << comment << '\n';
  return kOk;
}

int Dump(const Args& args) {
  if (!args.layers.empty() || args.env || args.showOrigin) {
    return LayeredDump(args);
  }
  if (!args.fileExists) return MissingFile(args);
  const Store store(args.operands[0], SyntaxOf(args));
  if (!args.json) {
    for (const auto& section : store.Sections()) {
      const std::string name = EscapeField(section.value_or(""));
      for (const auto& [key, value] : store.Pairs(section, args.raw)) {
        std::cout << name << '\t' << EscapeField(key) << '\t'
                  << EscapeField(value) << '\n';
      }
    }
    return kOk;
  }
  // One section per line. Every named section appears, even without keys;
  // the unnamed one only when it has keys. All is checked before any print.
  std::vector<std::string> sections;
  std::vector<std::vector<std::pair<std::string, std::string>>> pairsOf;
  for (const auto& section : store.Sections()) {
    auto pairs = store.Pairs(section, args.raw);  // get reads the first
    if (!section && pairs.empty()) continue;
    std::vector<std::string> keys;
    keys.reserve(pairs.size());
    for (const auto& pair : pairs) keys.push_back(pair.first);
    sections.push_back(section.value_or(""));
    RefuseMergedNames(keys, "keys", '"', '"',
                      " of " + Shown(sections.back(), '[', ']'));
    pairsOf.push_back(std::move(pairs));
  }
  RefuseMergedNames(sections, "sections", '[', ']', "");
  std::cout << '{';
  for (std::size_t i = 0; i < sections.size(); ++i) {
    std::cout << (i == 0 ? "\n  " : ",\n  ") << JsonString(sections[i])
              << ": {";
    const char* keySeparator = "";
    for (const auto& [key, value] : pairsOf[i]) {
      std::cout << keySeparator << JsonString(key) << ": " << JsonString(value);
      keySeparator = ", ";
    }
    std::cout << '}';
  }
  std::cout << (sections.empty() ? "}\n" : "\n}\n");
  return kOk;
}

int Check(const Args& args) {
  const std::string& file = args.operands[0];
  if (!args.fileExists) return MissingFile(args);
  const auto findings = ini::Check(file);  // the library's reading of it
  for (const auto& finding : findings) {
    std::cout << file << ':' << finding.line << ": " << finding.message << '\n';
  }
  if (findings.empty()) return kOk;
  return Missing(args, std::to_string(findings.size()) +
                           (findings.size() == 1 ? " problem" : " problems"));
}

}  // namespace vty::config::tool
