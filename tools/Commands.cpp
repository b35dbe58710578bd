// What the commands share: the names they give sections, their messages,
// and values read from standard input or as a --type.

#include "Commands.h"

#include <filesystem>
#include <iostream>
#include <iterator>
#include <stdexcept>
#include <system_error>

namespace vty::config::tool {

namespace fs = std::filesystem;

SectionName AsSection(const std::string& operand) {
  if (operand.empty()) return std::nullopt;
  return operand;
}

std::string Describe(const SectionName& section) {
  return "[" + section.value_or("") + "]";
}

ini::Syntax SyntaxOf(const Args& args) {
  ini::Syntax syntax;
  syntax.inlineComments = args.inlineComments;
  syntax.listSeparator = args.listSeparator ? args.listSeparator : ',';
  syntax.duplicates = args.last ? ini::Syntax::Duplicates::Last
                                : ini::Syntax::Duplicates::First;
  syntax.defaultSection = args.defaultSection;
  syntax.continuationLines = args.continuation;
  syntax.quotes = args.quotes;
  return syntax;
}

bool Exists(const std::string& file) {
  std::error_code error;
  const fs::file_status status = fs::status(file, error);
  if (status.type() == fs::file_type::not_found) return false;
  if (error) throw fs::filesystem_error("cannot reach the file", file, error);
  return true;
}

int Missing(const Args& args, const std::string& what) {
  std::cout.flush();
  std::cerr << "vty-ini: " << args.operands[0] << ": " << what << '\n';
  return kMissing;
}

int MissingFile(const Args& args) { return Missing(args, "no such file"); }

int MissingSection(const Args& args, const SectionName& section) {
  return Missing(args, "section not found: " + Describe(section));
}

int MissingKey(const Args& args, const SectionName& section,
               const std::string& key) {
  return Missing(args, "key not found: " + Describe(section) + " " + key);
}

void Tell(const Args& args, bool changed, const std::string& what) {
  if (!args.verbose) return;
  std::cerr << (changed ? "changed: " : "unchanged: ") << what << '\n';
}

std::string ReadInputLine() {
  std::string text{std::istreambuf_iterator<char>(std::cin),
                   std::istreambuf_iterator<char>()};
  if (std::cin.bad()) {
    throw std::system_error(std::make_error_code(std::errc::io_error),
                            "cannot read the standard input");
  }
  if (text.empty()) {
    throw std::invalid_argument(
        "VALUE \"-\" found no line on the standard input; nothing was set");
  }
  if (!text.empty() && text.back() == '\n') text.pop_back();
  if (!text.empty() && text.back() == '\r') text.pop_back();
  return text;
}

std::string Typed(const Args& args, const std::string& value,
                  const std::string& what) {
  if (!args.type) return value;
  if (auto typed = args.type->convert(value)) return *typed;
  throw std::invalid_argument("the value '" + value + "' of " + what +
                              " is not of type " +
                              std::string(args.type->name));
}

}  // namespace vty::config::tool
