// Reading through layers: get and dump with --layer, --env or --show-origin,
// and cat. The layers are the library's (config/Layers.h), read with the
// command's syntax; FILE is the top file layer, the one an edit writes.

#include <iostream>

#include "Commands.h"
#include "Formats.h"
#include "config/Layers.h"

namespace vty::config::tool {

namespace {

ini::Layers LayersOf(const Args& args) {
  std::vector<std::string> paths = args.layers;
  paths.push_back(args.operands[0]);
  ini::Layers layers(std::move(paths), SyntaxOf(args));
  if (args.env) layers.Environment(*args.env);
  return layers;
}

// FILE:LINE as --show-origin prints it (the environment's without a line).
std::string Origin(const ini::Lookup& found) {
  return found.line == 0 ? found.file
                         : found.file + ':' + std::to_string(found.line);
}

}  // namespace

int LayeredGet(const Args& args) {
  const ini::Layers layers = LayersOf(args);
  const SectionName section = AsSection(args.operands[1]);
  const std::string& key = args.operands[2];
  const ini::Lookup found = layers.Inspect(section, key);
  if (found.state == ini::Lookup::State::Missing && !args.defaultValue) {
    return MissingKey(args, section, key);
  }
  const bool missing = found.state == ini::Lookup::State::Missing;
  if (missing && args.type && !args.type->convert(*args.defaultValue)) {
    throw UsageError("--default is not of type " +
                     std::string(args.type->name));
  }
  const std::string shown =
      Typed(args, missing ? *args.defaultValue : found.text,
            Describe(section) + " " + key);
  if (args.showOrigin) std::cout << (missing ? "" : Origin(found)) << '\t';
  std::cout << shown << '\n';
  return kOk;
}

int LayeredDump(const Args& args) {
  const ini::Layers layers = LayersOf(args);
  for (const auto& section : layers.Sections()) {
    const std::string name = EscapeField(section.value_or(""));
    for (const auto& key : layers.Keys(section)) {
      const ini::Lookup found = layers.Inspect(section, key);
      if (args.showOrigin) std::cout << Origin(found) << '\t';
      std::cout << name << '\t' << EscapeField(key) << '\t'
                << EscapeField(found.text) << '\n';
    }
  }
  return kOk;
}

int Cat(const Args& args) {
  const ini::Layers layers = LayersOf(args);
  bool first = true;
  for (const std::string& file : layers.Files()) {
    std::cout << (first ? "" : "\n") << "# " << file << '\n'
              << layers.Layer(file).Text();
    first = false;
  }
  return kOk;
}

}  // namespace vty::config::tool
