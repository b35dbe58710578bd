/* Vantry.Config: the C interface, for C programs and other languages' bindings.
 *
 * File: config/vty_ini.h
 * -----------------------------------------------------------------------------
 *
 * A `vty_ini_settings` is a handle on one settings file, as `ini::Settings`
 * of config/Settings.h is: the same shared document, read by the same rules
 * (blanks and inline comments left out), edited keeping every other byte,
 * saved atomically and merged with other writers. Compiles as C99 and as
 * C++; every name begins with `vty_ini_`.
 *
 * Example:
 *
 *   vty_ini_settings* s = vty_ini_open("conf/app.ini");
 *   int64_t port = 80;
 *   if (s == NULL) { fprintf(stderr, "%s\n", vty_ini_last_error()); ... }
 *   vty_ini_get_int64(s, "Net", "Port", &port);  // MISSING/INVALID: stays 80
 *   if (vty_ini_set(s, "Net", "Host", "example.org") != VTY_INI_OK)
 *     fprintf(stderr, "%s\n", vty_ini_last_error());
 *   vty_ini_close(s);
 *
 * Rules that hold for every function:
 *   * Strings are UTF-8 (or any bytes but NUL), NUL-terminated, borrowed
 *     for the call only. A NULL section is the unnamed one (the lines before
 *     the first header); "" is a different, named section.
 *   * A string the library returns was allocated for the caller, who frees
 *     it with `vty_ini_free`.
 *   * No exception leaves a function. A refused name or value gives
 *     VTY_INI_INVALID, any other failure VTY_INI_ERROR (a function returning
 *     a pointer gives NULL), and `vty_ini_last_error()` then holds the
 *     message naming the rule, the key and the file. After a failure of the
 *     disk, errno holds its error number; otherwise it is 0.
 *   * A NULL handle, key or out-pointer the function needs is
 *     VTY_INI_INVALID.
 *   * Every function may be called from any thread at any time, on one
 *     handle or on several; a callback must not unwind through the library
 *     (a C++ callback catches what it throws).
 */

#ifndef VTY_CONFIG_VTY_INI_H_
#define VTY_CONFIG_VTY_INI_H_

#include <stddef.h>
#include <stdint.h>

#if defined(__GNUC__)
#define VTY_INI_API __attribute__((visibility("default")))
#else
#define VTY_INI_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Handles and results ---- */

/* A handle on one document; made by vty_ini_open or vty_ini_from_text. */
typedef struct vty_ini_settings vty_ini_settings;
/* Keeps an on-change callback subscribed until vty_ini_cancel. */
typedef struct vty_ini_subscription vty_ini_subscription;

typedef enum {
  VTY_INI_OK,      /* done; for a read: the key is present and parses */
  VTY_INI_MISSING, /* no such section or key (never an error) */
  VTY_INI_INVALID, /* a read: present, not of the type asked; a change or
                      an argument: refused, nothing changed */
  VTY_INI_ERROR    /* failed; see vty_ini_last_error() and errno */
} vty_ini_status;

/* The types vty_ini_inspect parses a value as. */
typedef enum {
  VTY_INI_TEXT,
  VTY_INI_INT64,
  VTY_INI_DOUBLE,
  VTY_INI_BOOL
} vty_ini_type;

/* How a handle reads and writes values (ini::Syntax). */
typedef struct {
  int trim_values;             /* blanks at a value's ends are not its text */
  const char* inline_comments; /* each a marker after a blank; "" none */
  char list_separator;
  int quotes;                  /* "..." reads as the text inside */
  int continuation_lines;      /* deeper-indented lines continue a value */
  int duplicates_last;         /* a repeated key reads its last line */
  const char* default_section; /* keys every section falls back to; NULL */
} vty_ini_syntax;

/* The defaults of ini::Syntax: trimmed, ';' comments, ',' lists, quotes, no
 * continuation lines, the first of a repeated key, no default section. */
VTY_INI_API vty_ini_syntax vty_ini_default_syntax(void);

/* ---- Opening ---- */

/* A handle on the shared document of `file`, loaded now if nothing in this
 * process has loaded it yet; a missing file is an empty document. NULL on
 * error (a file that exists but cannot be read): see vty_ini_last_error(). */
VTY_INI_API vty_ini_settings* vty_ini_open(const char* file);
/* The same, reading and writing by `syntax` (NULL: the defaults). */
VTY_INI_API vty_ini_settings* vty_ini_open_with(const char* file,
                                                const vty_ini_syntax* syntax);
/* A handle on a document in memory parsed from `size` bytes of `text`
 * (which may hold NUL); never saved: vty_ini_flush and vty_ini_reload give
 * VTY_INI_ERROR. */
VTY_INI_API vty_ini_settings* vty_ini_from_text(const char* text, size_t size);
VTY_INI_API vty_ini_settings* vty_ini_from_text_with(
    const char* text, size_t size, const vty_ini_syntax* syntax);
/* A handle on `count` paths read as layers (ini::Layers, config/Layers.h):
 * lowest precedence first, a directory a drop-in directory, the last path
 * the file written. Every read, vty_ini_set*, vty_ini_erase, flush, reload,
 * check and on_change work through it; vty_ini_text and
 * vty_ini_erase_section are for one file and give VTY_INI_INVALID. NULL on
 * error: see vty_ini_last_error(). */
VTY_INI_API vty_ini_settings* vty_ini_open_layers(const char* const* paths,
                                                  size_t count);
/* The same, read by `syntax` (NULL: the defaults), with the program's own
 * `defaults` text as the lowest layer (NULL: none) and the variables
 * PREFIX__SECTION__KEY and PREFIX__KEY of the environment as the highest
 * (`environment` the prefix; NULL: none). */
VTY_INI_API vty_ini_settings* vty_ini_open_layers_with(
    const char* const* paths, size_t count, const vty_ini_syntax* syntax,
    const char* defaults, const char* environment);
/* Releases the handle (NULL is ignored). Unsaved deferred changes stay in the
 * shared document for the background writer or the next flush. */
VTY_INI_API void vty_ini_close(vty_ini_settings* settings);

/* ---- Reading ---- */
/* Out-values are written only on VTY_INI_OK, so a caller's default set
 * before the call stays when the key is missing or invalid. */

/* The value as text into `*value` (free it), and with `line` non-NULL the
 * 1-based line of the key; `value` may be NULL to ask only whether it is
 * there. */
VTY_INI_API vty_ini_status vty_ini_get(const vty_ini_settings* settings,
                                       const char* section, const char* key,
                                       char** value, size_t* line);
/* The value as text into the caller's `buffer` of `capacity` bytes, with
 * its length (without the NUL) in `*size`: when `*size` is not below
 * `capacity` it did not fit, and the call is made again with a larger one. A
 * value may hold NUL bytes: `*size` counts them. */
VTY_INI_API vty_ini_status vty_ini_get_buffer(const vty_ini_settings* settings,
                                              const char* section,
                                              const char* key, char* buffer,
                                              size_t capacity, size_t* size);
VTY_INI_API vty_ini_status vty_ini_get_int64(const vty_ini_settings* settings,
                                             const char* section,
                                             const char* key, int64_t* value);
VTY_INI_API vty_ini_status vty_ini_get_double(const vty_ini_settings* settings,
                                              const char* section,
                                              const char* key, double* value);
/* true/false, yes/no, on/off, 1/0 in any letter case; *value 1 or 0. */
VTY_INI_API vty_ini_status vty_ini_get_bool(const vty_ini_settings* settings,
                                            const char* section,
                                            const char* key, int* value);
/* The value read as a list by the handle's list rules (the separator of
 * the syntax, blanks around an item left out, a quoted item read as the text
 * inside): calls `each` for every item in order with its `size` in bytes
 * (an item may hold NUL), with no lock held. VTY_INI_INVALID (and no call)
 * for a value that is no list, such as one with an unclosed quote. */
VTY_INI_API vty_ini_status vty_ini_get_list(
    const vty_ini_settings* settings, const char* section, const char* key,
    void (*each)(void* user, const char* item, size_t size), void* user);
/* What is known about the key when read as `type`: VTY_INI_OK (present),
 * VTY_INI_MISSING or VTY_INI_INVALID (present, not a `type`), with its text
 * and 1-based line when present, and the file it came from (the path the
 * handle was opened with; "" for a text). Each of `text`, `line` and `file`
 * may be NULL; the strings are the caller's to free. */
VTY_INI_API vty_ini_status vty_ini_inspect(const vty_ini_settings* settings,
                                           const char* section, const char* key,
                                           vty_ini_type type, char** text,
                                           size_t* line, char** file);
/* VTY_INI_OK when the section (the key) exists, else VTY_INI_MISSING. */
VTY_INI_API vty_ini_status vty_ini_has_section(const vty_ini_settings* settings,
                                               const char* section);
VTY_INI_API vty_ini_status vty_ini_has_key(const vty_ini_settings* settings,
                                           const char* section,
                                           const char* key);
/* Calls `each` for every section in file order (NULL for the unnamed one,
 * first when it has a key line), with no lock held. */
VTY_INI_API vty_ini_status vty_ini_sections(const vty_ini_settings* settings,
                                            void (*each)(void* user,
                                                         const char* section),
                                            void* user);
/* Calls `each` for every key of the section with its value, in file order;
 * VTY_INI_MISSING (and no call) for a missing section. */
VTY_INI_API vty_ini_status vty_ini_keys(
    const vty_ini_settings* settings, const char* section,
    void (*each)(void* user, const char* key, const char* value), void* user);
/* The document's bytes as a save would write them, `*size` of them (NUL
 * terminated besides); `size` may be NULL. */
VTY_INI_API vty_ini_status vty_ini_text(const vty_ini_settings* settings,
                                        char** text, size_t* size);
/* Calls `each` for every line probably not meant (ini::Check), with the file
 * ("" for a text), its 1-based line and what it is. */
VTY_INI_API vty_ini_status vty_ini_check(const vty_ini_settings* settings,
                                         void (*each)(void* user,
                                                      const char* file,
                                                      size_t line,
                                                      const char* message),
                                         void* user);

/* ---- Changing ---- */
/* Saved before the call returns (or by the background writer while it
 * runs). VTY_INI_INVALID for a name or value that could not be stored, with
 * nothing changed; VTY_INI_ERROR for a failed save (errno set), the change
 * then staying in memory for the next flush. */

/* Sets the key, keeping the line's layout and inline comment. */
VTY_INI_API vty_ini_status vty_ini_set(vty_ini_settings* settings,
                                       const char* section, const char* key,
                                       const char* value);
VTY_INI_API vty_ini_status vty_ini_set_int64(vty_ini_settings* settings,
                                             const char* section,
                                             const char* key, int64_t value);
VTY_INI_API vty_ini_status vty_ini_set_double(vty_ini_settings* settings,
                                              const char* section,
                                              const char* key, double value);
/* A flag replacing one keeps its words: "yes" becomes "no". */
VTY_INI_API vty_ini_status vty_ini_set_bool(vty_ini_settings* settings,
                                            const char* section,
                                            const char* key, int value);
/* Sets the key to the `count` items joined by the syntax's separator, each
 * quoted where it must be to read back the same (one holding the separator,
 * a quote or blanks at its ends); `count` 0 sets an empty list. */
VTY_INI_API vty_ini_status vty_ini_set_list(vty_ini_settings* settings,
                                            const char* section,
                                            const char* key,
                                            const char* const* items,
                                            size_t count);
/* Removes every line of the key (the section); VTY_INI_MISSING when there
 * was none. */
VTY_INI_API vty_ini_status vty_ini_erase(vty_ini_settings* settings,
                                         const char* section, const char* key);
VTY_INI_API vty_ini_status vty_ini_erase_section(vty_ini_settings* settings,
                                                 const char* section);
/* Saves the document's unsaved changes now. */
VTY_INI_API vty_ini_status vty_ini_flush(vty_ini_settings* settings);
/* Reads the file again (unsaved changes stay on top). */
VTY_INI_API vty_ini_status vty_ini_reload(vty_ini_settings* settings);

/* ---- Live settings ---- */

/* One key another writer changed; NULL section: the unnamed one, NULL
 * before: absent before, NULL after: erased. */
typedef struct {
  const char* section;
  const char* key;
  const char* before;
  const char* after;
} vty_ini_change;

/* Calls `each` whenever another process or editor changes the file, with the
 * keys whose values changed (borrowed for the call), on one thread of the
 * library with no lock held. It returns NULL, or a message of its failure,
 * which the error handler hears with the file. NULL on error. */
VTY_INI_API vty_ini_subscription* vty_ini_on_change(
    const vty_ini_settings* settings,
    const char* (*each)(void* user, const vty_ini_change* changes,
                        size_t count),
    void* user);
/* Stops the calls and frees the subscription: once it returns, `each` is not
 * running (unless called from `each` itself) and will not run again. NULL is
 * ignored. */
VTY_INI_API void vty_ini_cancel(vty_ini_subscription* subscription);
/* From its return on, `handler` hears every failure no caller sees (a
 * background save, a callback's failure, a file that could not be watched),
 * with the file's absolute path and the message, on the thread that met it.
 * NULL drops them (the default). */
VTY_INI_API void vty_ini_set_error_handler(void (*handler)(void* user,
                                                           const char* file,
                                                           const char* message),
                                           void* user);
/* Starts the background writer, saving every changed document every
 * `interval_ms` milliseconds (0: every 60 s; under 10: VTY_INI_INVALID). */
VTY_INI_API vty_ini_status vty_ini_start_writer(unsigned interval_ms);
/* Stops it, saving every changed document; failures go to the handler. */
VTY_INI_API void vty_ini_stop_writer(void);

/* ---- Errors and memory ---- */

/* The message of this thread's last failed call ("" before any). */
VTY_INI_API const char* vty_ini_last_error(void);
/* Frees what the library returned (NULL is ignored). */
VTY_INI_API void vty_ini_free(void* memory);

#ifdef __cplusplus
}  // extern "C"
#endif

#endif /* VTY_CONFIG_VTY_INI_H_ */
