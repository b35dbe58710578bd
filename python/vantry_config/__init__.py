"""Vantry.Config for Python: INI settings files edited without losing a byte.

    import vantry_config as ini
    s = ini.Settings("app.ini")
    port = s.get("Net", "Port", 80)        # an int, 80 when missing or invalid
    s.set("Net", "Port", 9090)             # only the value changes; saved now
    s["Net"]["Host"]                       # KeyError when missing

The library's rules hold: keys and section names match in any ASCII letter
case, None is the unnamed section (the lines before the first header), a
value is read without the blanks at its ends and an inline "; comment", and
an edit keeps every other byte of the file. Failures raise ValueError (a
name or value refused), OSError (a failed save or read, with errno and the
file) or RuntimeError. Every function may be called from any thread.
"""

import atexit
import ctypes
import dataclasses
import os
import sys
import threading
import weakref
from collections import namedtuple

from . import _cinterface, _native
from ._native import lib, encoded, decoded, taken, failure

__all__ = ["Settings", "Layers", "Syntax", "Lookup", "Change", "Subscription",
           "set_error_handler", "start_writer", "stop_writer"]

Change = namedtuple("Change", "section key before after")
Change.__doc__ = ("One key another writer changed: before None when it was "
                  "absent, after None when erased.")


@dataclasses.dataclass(frozen=True)
class Lookup:
    """What is known about one key: state "missing", "present" or "invalid"
    (present, but not of the type asked), its text and 1-based line (0 when
    missing) and the file it came from (None for a text)."""
    state: str
    text: str = ""
    line: int = 0
    file: str = None


@dataclasses.dataclass(frozen=True)
class Syntax:
    """How values are read and written (the library's Syntax). For files
    configparser wrote: Syntax(continuation_lines=True, duplicates="last",
    default_section="DEFAULT")."""
    trim_values: bool = True
    inline_comments: str = ";"
    list_separator: str = ","
    quotes: bool = True
    continuation_lines: bool = False
    duplicates: str = "first"  # or "last"
    default_section: str = None

    def _native(self):
        if self.duplicates not in ("first", "last"):
            raise ValueError("Syntax.duplicates must be 'first' or 'last', "
                             f"not {self.duplicates!r}")
        separator = encoded(self.list_separator, "Syntax.list_separator")
        if len(separator) != 1:
            raise ValueError("Syntax.list_separator must be one character")
        return _native.Syntax(
            bool(self.trim_values),
            encoded(self.inline_comments, "Syntax.inline_comments"),
            separator, bool(self.quotes), bool(self.continuation_lines),
            self.duplicates == "last",
            None if self.default_section is None else
            encoded(self.default_section, "Syntax.default_section"))


_STATES = {_native.OK: "present", _native.MISSING: "missing",
           _native.INVALID: "invalid"}
_TYPES = {str: _native.TEXT, int: _native.INT64, float: _native.DOUBLE,
          bool: _native.BOOL}


def _section(section):
    return None if section is None else encoded(section, "section name")




class Settings:
    """A handle on one settings file (or a text), shared with every other
    handle on the same path in this process."""

    def __init__(self, path, *, syntax=None):
        self._file = os.fsdecode(path)
        rules = None if syntax is None else ctypes.byref(syntax._native())
        handle = lib.vty_ini_open_with(encoded(os.fsencode(path), "path"),
                                       rules)
        if not handle:
            raise failure(_native.ERROR, self._file)
        self._handle = handle
        self._finalizer = weakref.finalize(self, lib.vty_ini_close, handle)

    @classmethod
    def from_text(cls, text, *, syntax=None):
        """A handle on a document in memory, parsed from `text` (str or
        bytes) as a file is; it is never saved."""
        if isinstance(text, str):
            data = text.encode("utf-8", "surrogateescape")
        elif isinstance(text, (bytes, bytearray, memoryview)):
            data = bytes(text)
        else:
            raise TypeError("from_text: the text must be str or bytes, not "
                            f"{type(text).__name__}")
        rules = None if syntax is None else ctypes.byref(syntax._native())
        handle = lib.vty_ini_from_text_with(data, len(data), rules)
        if not handle:
            raise failure(_native.ERROR)
        settings = cls.__new__(cls)
        settings._file = None
        settings._handle = handle
        settings._finalizer = weakref.finalize(settings, lib.vty_ini_close,
                                               handle)
        return settings

    def close(self):
        """Ends the use of the handle: any later call raises ValueError.
        Changes already made stay in the shared document (saved, or for the
        background writer). The library's handle is released with this
        object, so that a call still running on another thread is safe."""
        self._handle = None

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def _call(self, status):
        if status == _native.INVALID or status == _native.ERROR:
            raise failure(status, self._file)
        return status

    def _live(self):
        if self._handle is None:
            raise ValueError("the Settings is closed")
        return self._handle

    # ---- Reading ----

    def get(self, section, key, default=None, *, type=None):
        """The value as `type` (str, int, float or bool), by default the
        type of `default` (str when it is None); `default` when the key is
        missing or its value is not of that type. With type=list, the items
        of a list ("a, b, \"c, d\"" gives ["a", "b", "c, d"])."""
        # The hot path of every program: one call into the extension.
        handle = self._handle
        if handle is None:
            raise ValueError("the Settings is closed")
        return _cinterface.get(handle, section, key, default, type)

    def inspect(self, section, key, type=str):
        """Whether the key is missing, present as a `type` or present but
        invalid, with its text, line and file."""
        if type not in _TYPES:
            raise TypeError("inspect: the type must be str, int, float or "
                            f"bool, not {type.__name__}")
        text, file = ctypes.c_void_p(), ctypes.c_void_p()
        line = ctypes.c_size_t()
        status = lib.vty_ini_inspect(
            self._live(), _section(section), encoded(key, "key"),
            _TYPES[type], ctypes.byref(text), ctypes.byref(line),
            ctypes.byref(file))
        if status == _native.ERROR:
            raise failure(status, self._file)
        if status == _native.MISSING:
            return Lookup("missing")
        return Lookup(_STATES[status], taken(text.value), line.value,
                      taken(file.value) or None)

    def has_section(self, section):
        return _cinterface.has_section(self._live(), section, self._file)

    def has_key(self, section, key):
        return _cinterface.has_key(self._live(), section, key, self._file)

    def sections(self):
        """Every section in file order (None for the unnamed one, first)."""
        names = []
        each = _native.SECTION_CALLBACK(
            lambda user, name: names.append(decoded(name)))
        self._call(lib.vty_ini_sections(self._live(), each, None))
        return names

    def items(self, section):
        """The (key, value) pairs of a section in file order; [] when it is
        missing."""
        return _cinterface.items(self._live(), section, self._file)

    def keys(self, section):
        return [key for key, _ in self.items(section)]

    def text(self):
        """The file's text as a save would write it."""
        out, size = ctypes.c_void_p(), ctypes.c_size_t()
        self._call(lib.vty_ini_text(self._live(), ctypes.byref(out),
                                    ctypes.byref(size)))
        try:
            return ctypes.string_at(out.value, size.value).decode(
                "utf-8", "surrogateescape")
        finally:
            lib.vty_ini_free(out.value)

    def check(self):
        """Lines probably not meant: [(file, line, message)]."""
        findings = []
        each = _native.FINDING_CALLBACK(
            lambda user, file, line, message: findings.append(
                (decoded(file) or None, line, decoded(message))))
        self._call(lib.vty_ini_check(self._live(), each, None))
        return findings

    # ---- Changing ----

    def set(self, section, key, value):
        """Sets the key to a str, int, float or bool (a flag keeps the words
        of the one it replaces: yes becomes no), or to a list of str, each
        item quoted where it must be to read back the same; saved before it
        returns unless the background writer runs."""
        _cinterface.set(self._live(), section, key, value, self._file)

    def erase(self, section, key):
        """Removes every line of the key; True when there was one."""
        return _cinterface.erase(self._live(), section, key, self._file)

    def erase_section(self, section):
        return _cinterface.erase_section(self._live(), section, self._file)

    def flush(self):
        _cinterface.flush(self._live(), self._file)

    def reload(self):
        _cinterface.reload(self._live(), self._file)

    # ---- Mapping access ----

    def __getitem__(self, section):
        if not self.has_section(section):
            raise KeyError(section)
        return SectionProxy(self, section)

    def __contains__(self, section):
        return self.has_section(section)

    def __iter__(self):
        return iter(self.sections())

    def __len__(self):
        return len(self.sections())

    # ---- Live settings ----

    def on_change(self, callback):
        """Calls callback([Change, ...]) on a thread of the library whenever
        another process or editor changes the file. What it raises goes to
        the error handler. Subscribed until cancel()."""
        return Subscription(self, callback)

    def __repr__(self):
        return f"<vantry_config.Settings {self._file or '(text)'}>"


class Layers(Settings):
    """Settings read from several files, lowest precedence first: the
    highest layer that has a key gives its value (`inspect(...).file` says
    which); `set` and `erase` change the last path, the administrator's
    file. A directory among the paths is a drop-in directory (its files
    ending in .ini or .conf, in byte order of their names). `defaults` is the
    program's own text, the lowest layer; `environment` a prefix: the
    variables PREFIX__SECTION__KEY and PREFIX__KEY are the highest."""

    def __init__(self, paths, *, syntax=None, defaults=None,
                 environment=None):
        if isinstance(paths, (str, bytes, os.PathLike)):
            raise TypeError("Layers: paths must be a list of paths")
        names = [encoded(os.fsencode(path), "path") for path in paths]
        array = (ctypes.c_char_p * max(len(names), 1))(*names)
        rules = None if syntax is None else ctypes.byref(syntax._native())
        handle = lib.vty_ini_open_layers_with(
            array, len(names), rules,
            None if defaults is None else encoded(defaults, "defaults"),
            None if environment is None else encoded(environment,
                                                     "environment"))
        if not handle:
            raise failure(_native.ERROR)
        self._file = None
        self._handle = handle
        self._finalizer = weakref.finalize(self, lib.vty_ini_close, handle)

    @classmethod
    def from_text(cls, text, *, syntax=None):
        raise TypeError("Layers are read from files; use Settings.from_text")


class SectionProxy:
    """One section as a mutable mapping of keys to text values."""

    def __init__(self, settings, name):
        self._settings, self.name = settings, name

    def __getitem__(self, key):
        value = self._settings.get(self.name, key)
        if value is None:
            raise KeyError(key)
        return value

    def get(self, key, default=None, *, type=None):
        return self._settings.get(self.name, key, default, type=type)

    def __setitem__(self, key, value):
        self._settings.set(self.name, key, value)

    def __delitem__(self, key):
        if not self._settings.erase(self.name, key):
            raise KeyError(key)

    def __contains__(self, key):
        return self._settings.has_key(self.name, key)

    def __iter__(self):
        return iter(self._settings.keys(self.name))

    def __len__(self):
        return len(self._settings.keys(self.name))

    def keys(self):
        return self._settings.keys(self.name)

    def items(self):
        return self._settings.items(self.name)


# Subscriptions live until cancelled (not merely until dropped), and are
# cancelled before the interpreter ends, so that no callback runs after it.
_active = set()
_active_lock = threading.Lock()


class Subscription:
    """Keeps an on_change callback subscribed until cancel()."""

    def __init__(self, settings, callback):
        if not callable(callback):
            raise TypeError("on_change: the callback must be callable")
        self._callback = callback
        # Kept here while the library may read it: a callback's failure.
        self._failure = None
        self._trampoline = _native.CHANGE_CALLBACK(self._heard)
        handle = lib.vty_ini_on_change(settings._live(), self._trampoline,
                                       None)
        if not handle:
            raise failure(_native.ERROR, settings._file)
        self._handle = handle
        with _active_lock:
            _active.add(self)

    def _heard(self, user, changes, count):
        try:
            self._callback([Change(decoded(c.section), decoded(c.key),
                                   decoded(c.before), decoded(c.after))
                            for c in changes[:count]])
            return None
        except BaseException as error:  # noqa: B902 -- nothing may unwind
            message = f"on_change callback raised {type(error).__name__}: {error}"
            self._failure = ctypes.create_string_buffer(
                message.encode("utf-8", "backslashreplace").replace(b"\0", b"?"))
            return ctypes.addressof(self._failure)

    @property
    def active(self):
        return self._handle is not None

    def cancel(self):
        """Stops the calls: once it returns the callback is not running
        (unless cancel was called from the callback itself)."""
        with _active_lock:
            handle, self._handle = self._handle, None
            _active.discard(self)
        if handle is not None:
            lib.vty_ini_cancel(handle)


_error_handler = None
# Every trampoline ever set stays: an old one may still be running on
# another thread when the next is set.
_error_trampolines = []


def set_error_handler(handler):
    """handler(file, message) hears every failure no caller sees (a
    background save, an on_change callback that raised, a file that could
    not be watched), on the thread that met it. None drops them; the default
    prints them to standard error."""
    global _error_handler

    def heard(user, file, message):
        try:
            handler(decoded(file), decoded(message))
        except BaseException:  # noqa: B902 -- what a handler raises is dropped
            pass

    # A null function pointer drops the failures.
    trampoline = (_native.ERROR_HANDLER() if handler is None else
                  _native.ERROR_HANDLER(heard))
    _error_trampolines.append(trampoline)
    lib.vty_ini_set_error_handler(trampoline, None)
    _error_handler = handler


def _print_failure(file, message):
    print(f"vantry_config: {file}: {message}", file=sys.stderr)


def start_writer(interval=None):
    """Starts the background writer: changes are saved every `interval`
    seconds (60 when None) instead of before each call returns."""
    milliseconds = 0 if interval is None else round(interval * 1000)
    if interval is not None and milliseconds < 1:
        raise ValueError(f"start_writer: an interval of {interval} s")
    status = lib.vty_ini_start_writer(milliseconds)
    if status != _native.OK:
        raise failure(status)


def stop_writer():
    """Stops the background writer, saving every changed document."""
    lib.vty_ini_stop_writer()


def _shutdown():
    with _active_lock:
        active = list(_active)
    for subscription in active:
        subscription.cancel()
    lib.vty_ini_stop_writer()
    lib.vty_ini_set_error_handler(_native.ERROR_HANDLER(), None)


set_error_handler(_print_failure)
atexit.register(_shutdown)
