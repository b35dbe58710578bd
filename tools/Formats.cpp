#include "Formats.h"

namespace vty::config::tool {
namespace {

// The length of the well-formed UTF-8 sequence at text[at] (no overlong
// forms, surrogates or code points above U+10FFFF), or 0.
std::size_t Utf8Length(std::string_view text, std::size_t at) {
  const auto lead = static_cast<unsigned char>(text[at]);
  std::size_t length = 0;
  char32_t code = 0, least = 0;
  if (lead < 0x80) return 1;
  if ((lead & 0xE0) == 0xC0) length = 2, code = lead & 0x1F, least = 0x80;
  if ((lead & 0xF0) == 0xE0) length = 3, code = lead & 0x0F, least = 0x800;
  if ((lead & 0xF8) == 0xF0) length = 4, code = lead & 0x07, least = 0x10000;
  if (length == 0 || at + length > text.size()) return 0;
  for (std::size_t i = 1; i < length; ++i) {
    const auto next = static_cast<unsigned char>(text[at + i]);
    if ((next & 0xC0) != 0x80) return 0;
    code = (code << 6) | (next & 0x3F);
  }
  if (code < least || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) {
    return 0;
  }
  return length;
}

// Calls `valid` with each well-formed UTF-8 sequence of `text` and
// `illFormed` with each byte that begins none, in order.
template <typename Valid, typename IllFormed>
void WalkUtf8(std::string_view text, Valid valid, IllFormed illFormed) {
  for (std::size_t at = 0; at < text.size();) {
    if (const std::size_t length = Utf8Length(text, at)) {
      valid(text.substr(at, length));
      at += length;
    } else {
      illFormed(static_cast<unsigned char>(text[at++]));
    }
  }
}

constexpr char kHex[] = "0123456789abcdef";
constexpr char kUpperHex[] = "0123456789ABCDEF";

bool IsLetter(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_';
}

}  // namespace

std::string EscapeField(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (const char c : text) {
    switch (c) {
      case '\t':
        out += "\\t";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\\':
        out += "\\\\";
        break;
      default:
        out += c;
    }
  }
  return out;
}

std::string JsonString(std::string_view text) {
  std::string out = "\"";
  WalkUtf8(
      text,
      [&](std::string_view sequence) {
        const auto c = static_cast<unsigned char>(sequence[0]);
        if (c == '"' || c == '\\') {
          out += '\\';
          out += sequence;
        } else if (c < 0x20) {
          out += "\\u00";
          out += kHex[c >> 4];
          out += kHex[c & 0xF];
        } else {
          out += sequence;
        }
      },
      [&](unsigned char) { out += "\\ufffd"; });
  return out + '"';
}

std::string JsonText(std::string_view text) {
  std::string out;
  WalkUtf8(
      text, [&](std::string_view sequence) { out += sequence; },
      [&](unsigned char) { out += "\xEF\xBF\xBD"; });  // U+FFFD
  return out;
}

std::string ShowBytes(std::string_view text) {
  std::string out;
  WalkUtf8(
      text, [&](std::string_view sequence) { out += sequence; },
      [&](unsigned char byte) {
        out += "\\x";
        out += kUpperHex[byte >> 4];
        out += kUpperHex[byte & 0xF];
      });
  return out;
}

bool IsShellName(std::string_view name) {
  if (name.empty() || !IsLetter(name[0])) return false;
  for (const char c : name) {
    if (!IsLetter(c) && !(c >= '0' && c <= '9')) return false;
  }
  return true;
}

bool IsSpecialShellName(std::string_view name) {
  static constexpr std::string_view kNames[] = {
      "_",         "BASHOPTS",   "CDPATH",    "ENV",      "EUID",
      "FCEDIT",    "GLOBIGNORE", "HISTFILE",  "HOME",     "IFS",
      "IGNOREEOF", "MAIL",       "MAILCHECK", "MAILPATH", "OLDPWD",
      "OPTARG",    "OPTIND",     "PATH",      "PPID",     "PROMPT_COMMAND",
      "PS0",       "PS1",        "PS2",       "PS3",      "PS4",
      "PWD",       "SHELL",      "SHELLOPTS", "TMOUT",    "UID"};
  for (const std::string_view prefix : {"BASH_", "LD_"}) {
    if (name.substr(0, prefix.size()) == prefix) return true;
  }
  for (const std::string_view special : kNames) {
    if (name == special) return true;
  }
  return false;
}

std::string ShellQuote(std::string_view text) {
  std::string quoted = "'";
  for (const char c : text) {
    if (c == '\'') {
      quoted += "'\\''";
    } else {
      quoted += c;
    }
  }
  return quoted + '\'';
}

}  // namespace vty::config::tool
