#include "Arguments.h"

#include "Formats.h"

namespace vty::config::tool {
namespace {

bool StartsWith(std::string_view text, std::string_view prefix) {
  return text.substr(0, prefix.size()) == prefix;
}

const Type* FindType(std::string_view name) {
  for (const Type& type : kTypes) {
    if (type.name == name) return &type;
  }
  throw UsageError("--type must be int, uint, bool or float");
}

// The value of an option given as "--name VALUE" or "--name=VALUE", or
// std::nullopt when `words[i]` is not that option.
std::optional<std::string> OptionValue(const std::vector<std::string>& words,
                                       std::size_t& i, std::string_view name) {
  const std::string& word = words[i];
  if (word == name) {
    if (++i == words.size()) {
      throw UsageError(std::string(name) + " needs a value");
    }
    return words[i];
  }
  if (StartsWith(word, name) && word[name.size()] == '=') {
    return word.substr(name.size() + 1);
  }
  return std::nullopt;
}

}  // namespace

Args ParseArgs(const Command& command, const std::vector<std::string>& words) {
  Args args;
  bool options = true;
  const auto has = [&](unsigned option) { return command.options & option; };
  for (std::size_t i = 0; i < words.size(); ++i) {
    const std::string& word = words[i];
    std::optional<std::string> value;
    if (!options || !StartsWith(word, "--")) {
      args.operands.push_back(word);
    } else if (word == "--") {
      options = false;
    } else if (word == "--help") {
      args.help = true;
    } else if (has(kJson) && word == "--json") {
      args.json = true;
    } else if (has(kRaw) && word == "--raw") {
      args.raw = true;
    } else if (has(kExisting) && word == "--existing") {
      args.existing = true;
    } else if (has(kEditing) && word == "--verbose") {
      args.verbose = true;
    } else if (has(kEditing) && word == "--dry-run") {
      args.dryRun = true;
    } else if (has(kEditing) && word == "--inplace") {
      args.inPlace = true;
    } else if (has(kEditing) && (value = OptionValue(words, i, "--output"))) {
      if (*value != "-") throw UsageError("--output takes only '-'");
      args.output = true;
    } else if (has(kList) && word == "--list") {
      if (!args.listSeparator) args.listSeparator = ',';
    } else if (has(kList) && (value = OptionValue(words, i, "--list-sep"))) {
      if (value->size() != 1 || *value == " " || *value == "\t") {
        throw UsageError("--list-sep must be one character, not a blank");
      }
      args.listSeparator = (*value)[0];
    } else if (has(kReading) &&
               (value = OptionValue(words, i, "--inline-comments"))) {
      args.inlineComments = *value;
    } else if (has(kReading) && word == "--last") {
      args.last = true;
    } else if (has(kReading) && word == "--continuation") {
      args.continuation = true;
    } else if (has(kReading) && word == "--no-quotes") {
      args.quotes = false;
    } else if (has(kReading) &&
               (value = OptionValue(words, i, "--default-section"))) {
      args.defaultSection = value;
      if (value->empty()) args.defaultSection.reset();
    } else if (has(kComment) && (value = OptionValue(words, i, "--comment"))) {
      args.comment = value;
    } else if (has(kLayers) && (value = OptionValue(words, i, "--layer"))) {
      args.layers.push_back(*value);
    } else if (has(kLayers) && (value = OptionValue(words, i, "--env"))) {
      if (!IsShellName(*value)) throw UsageError("--env must be a shell name");
      args.env = value;
    } else if (has(kOrigin) && word == "--show-origin") {
      args.showOrigin = true;
    } else if (has(kAll) && word == "--all") {
      args.all = true;
    } else if (has(kAdd) && word == "--add") {
      args.add = true;
    } else if (has(kDefault) && (value = OptionValue(words, i, "--default"))) {
      args.defaultValue = value;
    } else if (has(kType) && (value = OptionValue(words, i, "--type"))) {
      args.type = FindType(*value);
    } else if (has(kFormat) && (value = OptionValue(words, i, "--format"))) {
      if (*value != "sh" && *value != "ini" && *value != "lines") {
        throw UsageError("--format must be sh, ini or lines");
      }
      args.format = *value;
    } else if (has(kFormat) && (value = OptionValue(words, i, "--prefix"))) {
      if (!value->empty() && !IsShellName(*value)) {
        throw UsageError("--prefix must begin a shell name");
      }
      args.prefix = *value;
    } else if (has(kEditing) &&
               (word.rfind("--layer", 0) == 0 || word.rfind("--env", 0) == 0)) {
      // An edit writes FILE alone: through layers, a value set could read
      // back as another layer's, and --existing would be ambiguous.
      throw UsageError(std::string(command.name) +
                       " writes FILE alone and takes no --layer or --env; "
                       "get, dump and cat read through layers");
    } else {
      throw UsageError(std::string(command.name) + " has no option " + word);
    }
  }
  if (args.help) return args;
  if (args.operands.size() < command.fewest ||
      args.operands.size() > command.most) {
    throw UsageError("usage: vty-ini " + std::string(command.name) + " " +
                     std::string(command.operands));
  }
  if (command.name == "get" && args.operands.size() == 2 &&
      args.format.empty()) {
    throw UsageError("get without KEY needs --format");
  }
  if (command.name == "get" && args.operands.size() == 2 && args.defaultValue) {
    throw UsageError("get without KEY takes no --default");
  }
  if (args.all && (args.operands.size() == 2 || !args.format.empty() ||
                   args.defaultValue)) {
    throw UsageError("get --all needs KEY and takes no --format or --default");
  }
  if ((!args.layers.empty() || args.env || args.showOrigin) &&
      (args.raw || args.all || args.json || !args.format.empty() ||
       args.operands.size() == 2)) {
    throw UsageError(
        "--layer, --env and --show-origin take no --raw, --all, --json, "
        "--format or KEY-less get");
  }
  if (args.dryRun && args.output) {
    throw UsageError("--dry-run and --output=- exclude each other");
  }
  if (args.listSeparator && args.type) {
    throw UsageError("--list takes no --type");
  }
  if (args.add && (args.listSeparator || args.existing)) {
    throw UsageError("set --add takes no --list or --existing");
  }
  if (command.edit && args.raw && (args.listSeparator || args.type)) {
    throw UsageError("set --raw takes no --list or --type");
  }
  return args;
}

}  // namespace vty::config::tool
