#include "Help.h"

namespace vty::config::tool {

const std::string_view kHelp =
    R"help(Usage: vty-ini COMMAND FILE [SECTION [KEY [VALUE]]] [OPTION]...
       vty-ini --help | --version

Reads and edits an INI file with the rules of the Vantry.Config library. An
edit rewrites only the lines it must; every comment, blank line, unrecognised
line and the order of the lines stay as they were written. `man vty-ini`
says more.

Commands:
  get FILE SECTION KEY [--default TEXT] [--raw] [--type TYPE] [--format F]
  get FILE SECTION KEY --all [--raw] [--type TYPE]
  get FILE SECTION --format F [--raw] [--prefix P]
  get FILE SECTION KEY --layer PATH [--env PREFIX] [--show-origin]
      Print the value of KEY as a person means it: without the blanks at its
      ends and without a comment (a ';' after a blank, and the rest of the
      line), and a value in double quotes as the text inside them; with
      --raw, everything after the '=' as stored. A missing key
      prints TEXT, or without --default a message, and exits 1. --type
      prints the value as a TYPE (exit 3 when it is not one). --all prints
      every value of a repeated KEY, one a line. Without KEY, --format
      prints every key of SECTION.
  set FILE SECTION KEY VALUE [--existing] [--add] [--raw] [--type TYPE]
  set FILE SECTION KEY VALUE --comment TEXT
  set FILE SECTION KEY ITEM --list [--list-sep C] [--existing]
      Set KEY to VALUE. The key's line keeps its layout: its indentation,
      the blanks around '=' and around the value, and its comment. A new key
      goes after the last key line of its section, a new section at the end
      of the file. A missing FILE is created, with its directories. An equal
      value leaves the file untouched. VALUE "-" is one line of standard
      input (none at all: exit 3). --existing changes KEY only when it is
      there (exit 1 otherwise). A VALUE that would read back otherwise
      (blanks at its ends, a ';' after a blank, a leading '"') is written in
      double quotes, '"' and '\' escaped with '\' (refused with
      --no-quotes); with --raw, VALUE is the exact text after the '=', kept
      whatever it holds but a line break. --list adds ITEM to the list KEY
      holds unless it is there already, quoted when it holds the separator.
      --add writes one more line for KEY after its last (a repeated key: get
      --all lists it last). --comment also makes TEXT the comment block
      right above the key's line (see comment), in the same save: one
      comment line per line of TEXT, with FILE's first comment marker (';'
      when it has none); '' removes the block. TEXT holding a carriage
      return is refused.
  merge FILE [SECTION] [--existing]
      Set each key of the INI text on standard input in FILE, values as
      get gives them; keys before its first header go to SECTION (without
      SECTION: to FILE's unnamed section). A key given twice counts once,
      with its first value (its last with --last). A line that is no blank,
      comment, key or header refuses the whole merge (exit 3, naming its
      line). One save for the whole merge. --existing skips (and names on
      standard error) the keys FILE lacks.
  del FILE SECTION KEY [--existing]
  del FILE SECTION KEY ITEM --list [--list-sep C] [--existing]
      Erase every line of KEY in SECTION; with --list, remove ITEM from the
      list KEY holds. Nothing to erase is not an error, unless --existing
      (exit 1).
  del-section FILE SECTION [--existing]
      Erase every line of SECTION, its headers and comments included, in
      every block where its header occurs. Absent: exit 0, or 1 with
      --existing.
  rename-section FILE SECTION NEW
      Rename every header of SECTION to NEW; its lines stay where they are.
      Exit 1 when there is no SECTION, 3 when NEW names another section.
  sections FILE
      Print the name of each named section once, in file order.
  comment FILE SECTION [KEY]
      Print the comment block right above the first header of SECTION, or
      above the line of KEY that get reads: the comment lines with no blank
      line between, each without its ';' or '#' and the one blank after it.
      A block belongs to the line right under it: a key right under its
      header has none. No block prints nothing. Exit 1 when SECTION or KEY
      is missing; the unnamed section ("") has no header, only keys.
  section FILE SECTION [--raw]
      Print KEY=VALUE for each key line of SECTION (values as get prints
      them); with --raw, its key lines and unrecognised lines as written.
  dump FILE [--json] [--raw]
  dump FILE --layer PATH [--env PREFIX] [--show-origin]
      Print every pair, one SECTION<TAB>KEY<TAB>VALUE line each (a tab, line
      feed and backslash in them written \t, \n and \\); each key once,
      with the value get prints. --json: one object of sections, each an
      object of its keys and values; bytes that are not UTF-8 print as
      U+FFFD, and names that would print as one are refused (exit 3).
  cat FILE [--layer PATH]
      Print every file the layers read, lowest first, each after a line
      "# FILE" (a drop-in as its directory, '/' and its name).
  check FILE
      Print FILE:LINE: MESSAGE for each line no read reaches or that is
      probably a mistake: a line that is no blank, comment, key or header; a
      key its section already has; a section header given again; a name that
      begins or ends with a space that is not a blank (a no-break space) or
      holds a byte-order mark. Exit 1 when there is any.

Options for every edit (set, merge, del, del-section, rename-section):
  --verbose        name on standard error what changed ("changed: set
                   app.ini [Net] Port") or that nothing did ("unchanged: ...")
  --dry-run        print a unified diff of what would change; write nothing
  --output=-       print the edited file; write nothing
  --inplace        rewrite the file in place, keeping its inode (a single
                   file bind-mounted into a container, hard links); a full
                   disk fails before the file changes, and a crash in the
                   middle is completed by the next load or save, from a
                   copy kept beside the file

Options for reading values (get, set, merge, section, comment, dump), to read
FILE as its other readers do:
  --inline-comments CHARS          each of CHARS after a blank starts a
                                   comment (default ';'; '' for none):
                                   --inline-comments ';#'
  --last                           a repeated key reads, and is set, as its
                                   last line (crudini, git) not its first
  --continuation                   deeper-indented lines after a key line
                                   continue its value, read joined by line
                                   feeds (configparser); a VALUE with line
                                   feeds is written as such lines. Without
                                   it, indented text no rule reads still
                                   stays with the key above it in edits
  --no-quotes                      a value or list item in double quotes
                                   reads as written, quotes and all, and
                                   set refuses what would need them
  --default-section NAME           a key missing from a named section is
                                   read from section NAME (default
                                   DEFAULT, as crudini and configparser
                                   read it; '' for none); set writes
                                   the named section

Other options:
  --existing                       set, merge: change only keys already
                                   there; del, del-section: exit 1 when
                                   there is nothing to erase
  --default TEXT, --default=TEXT   get: what to print for a missing key
  --raw                            get, dump, section: the stored text;
                                   set: VALUE is the text after the '='
  --type TYPE, --type=TYPE         get, set: int, uint, bool or float
  --format F, --format=F           get: sh (NAME='VALUE', quoted for sh: keys
                                   become variables, so a name that is no
                                   shell name, one the shell or the loader
                                   reads (PATH, IFS, ENV, PS1, LD_*, BASH_*,
                                   ...) and a NUL byte are refused), ini
                                   ([SECTION] and KEY = VALUE) or lines
                                   ([ SECTION ] KEY = VALUE)
  --prefix P, --prefix=P           get --format=sh: P before every name
  --list, --list-sep C             set, del: a list item; items are
                                   separated by C (default ',') with blanks
                                   around them trimmed
  --all                            get: every value of a repeated KEY
  --add                            set: one more line for a repeated KEY
  --comment TEXT, --comment=TEXT   set: the comment block above KEY
  --json                           dump: print JSON
  --layer PATH, --layer=PATH       get, dump, cat: read PATH below FILE
                                   (repeatable, lowest first; a directory
                                   is a drop-in directory of *.conf and
                                   *.ini files); FILE is the top file layer
                                   (the editing commands refuse --layer
                                   and --env: they write FILE alone)
  --env PREFIX, --env=PREFIX       get, dump: PREFIX__SECTION__KEY (and
                                   PREFIX__KEY) in the environment win
  --show-origin                    get, dump: FILE:LINE<TAB> before each
                                   value (env:NAME for the environment)
  --help, --version

Sections and keys:
  An empty SECTION ("") names the unnamed section: the lines before the
  first header. Names match in any ASCII letter case. A missing FILE makes
  get (without --default), sections, section, dump and check exit 1; the
  other commands read it as empty. After "--" no argument is an option.

Types (--type), in every locale alike; blanks around the value ignored:
  int    an optional sign, then decimal digits or 0x and hex digits (no
         octal); 64 bits; printed in decimal
  uint   the same without '-'
  bool   true/false, yes/no, on/off or 1/0 in any letter case; printed as
         true or false
  float  a double as 1e3, -0.5, inf or nan; printed as the shortest text
         that reads back as the same number

Exit status (every status but 0 comes with a message on standard error):
  0  success, also for an edit that changed nothing
  1  the value, key, section or FILE is missing; check found something
  2  the command line is wrong (set --type: VALUE is not a TYPE)
  3  the library refused the request or failed; the message ends by saying
     whether the file is as it was or has changed

Examples:
  vty-ini set app.ini Net Port 9090
  vty-ini get app.ini Net Timeout --default 30
  eval "$(vty-ini get app.ini Net --format=sh)"; echo "$Port"
  vty-ini set app.ini Net Hosts example.org --list
  vty-ini set app.ini Net Port 9090 --comment 'the port clients use'
  vty-ini merge app.ini --existing < site-defaults.ini
  echo "$PASSWORD" | vty-ini set app.ini Db Password -
)help";

// A command line that cannot be run. main() prints the message on one line

}  // namespace vty::config::tool
