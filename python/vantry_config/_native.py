"""The C interface of libVantry.Config (config/vty_ini.h): the hot calls
through the extension module _cinterface, the rest through ctypes.

The ctypes calls are the cold ones (opening, inspecting, enumerating, saving
on request) and those whose callbacks come from the library's threads: ctypes
releases the GIL while the library runs (saves, lock waits) and takes it for
a callback. It loads the very library the extension is linked with, so that
a handle is one library's, whichever way it is called.
"""

import ctypes

from . import _cinterface

OK, MISSING, INVALID, ERROR = 0, 1, 2, 3
TEXT, INT64, DOUBLE, BOOL = 0, 1, 2, 3


class Syntax(ctypes.Structure):
    _fields_ = [
        ("trim_values", ctypes.c_int),
        ("inline_comments", ctypes.c_char_p),
        ("list_separator", ctypes.c_char),
        ("quotes", ctypes.c_int),
        ("continuation_lines", ctypes.c_int),
        ("duplicates_last", ctypes.c_int),
        ("default_section", ctypes.c_char_p),
    ]


class Change(ctypes.Structure):
    _fields_ = [
        ("section", ctypes.c_char_p),
        ("key", ctypes.c_char_p),
        ("before", ctypes.c_char_p),
        ("after", ctypes.c_char_p),
    ]


# The dynamic linker found the library for the extension (by its soname,
# LD_LIBRARY_PATH first; a build tree's by its run path): the same copy here.
lib = ctypes.CDLL(_cinterface.library, use_errno=True)

_void, _handle, _text = ctypes.c_void_p, ctypes.c_void_p, ctypes.c_char_p
_status, _size = ctypes.c_int, ctypes.c_size_t
_out = ctypes.POINTER(ctypes.c_void_p)
_line = ctypes.POINTER(ctypes.c_size_t)

SECTION_CALLBACK = ctypes.CFUNCTYPE(None, _void, _text)
KEY_CALLBACK = ctypes.CFUNCTYPE(None, _void, _text, _text)
FINDING_CALLBACK = ctypes.CFUNCTYPE(None, _void, _text, _size, _text)
# Returns NULL or the address of a message of the callback's failure.
CHANGE_CALLBACK = ctypes.CFUNCTYPE(_void, _void, ctypes.POINTER(Change),
                                   _size)
ERROR_HANDLER = ctypes.CFUNCTYPE(None, _void, _text, _text)

_signatures = {
    "vty_ini_open_with": (_handle, [_text, ctypes.POINTER(Syntax)]),
    "vty_ini_from_text_with": (_handle,
                               [_text, _size, ctypes.POINTER(Syntax)]),
    "vty_ini_open_layers": (_handle, [ctypes.POINTER(_text), _size]),
    "vty_ini_open_layers_with": (_handle, [ctypes.POINTER(_text), _size,
                                           ctypes.POINTER(Syntax), _text,
                                           _text]),
    "vty_ini_close": (None, [_handle]),
    "vty_ini_get": (_status, [_handle, _text, _text, _out, _line]),
    "vty_ini_get_buffer": (_status, [_handle, _text, _text, _void, _size,
                                     _line]),
    "vty_ini_get_int64": (_status, [_handle, _text, _text,
                                    ctypes.POINTER(ctypes.c_int64)]),
    "vty_ini_get_double": (_status, [_handle, _text, _text,
                                     ctypes.POINTER(ctypes.c_double)]),
    "vty_ini_get_bool": (_status, [_handle, _text, _text,
                                   ctypes.POINTER(ctypes.c_int)]),
    "vty_ini_inspect": (_status, [_handle, _text, _text, ctypes.c_int, _out,
                                  _line, _out]),
    "vty_ini_has_section": (_status, [_handle, _text]),
    "vty_ini_has_key": (_status, [_handle, _text, _text]),
    "vty_ini_sections": (_status, [_handle, SECTION_CALLBACK, _void]),
    "vty_ini_keys": (_status, [_handle, _text, KEY_CALLBACK, _void]),
    "vty_ini_text": (_status, [_handle, _out, _line]),
    "vty_ini_check": (_status, [_handle, FINDING_CALLBACK, _void]),
    "vty_ini_set": (_status, [_handle, _text, _text, _text]),
    "vty_ini_set_int64": (_status, [_handle, _text, _text, ctypes.c_int64]),
    "vty_ini_set_double": (_status, [_handle, _text, _text, ctypes.c_double]),
    "vty_ini_set_bool": (_status, [_handle, _text, _text, ctypes.c_int]),
    "vty_ini_erase": (_status, [_handle, _text, _text]),
    "vty_ini_erase_section": (_status, [_handle, _text]),
    "vty_ini_flush": (_status, [_handle]),
    "vty_ini_reload": (_status, [_handle]),
    "vty_ini_on_change": (_handle, [_handle, CHANGE_CALLBACK, _void]),
    "vty_ini_cancel": (None, [_handle]),
    "vty_ini_set_error_handler": (None, [ERROR_HANDLER, _void]),
    "vty_ini_start_writer": (_status, [ctypes.c_uint]),
    "vty_ini_stop_writer": (None, []),
    "vty_ini_last_error": (_text, []),
    "vty_ini_free": (None, [_void]),
}
for _name, (_result, _arguments) in _signatures.items():
    _function = getattr(lib, _name)
    _function.restype = _result
    _function.argtypes = _arguments


def failure(status, file=None):
    """The exception for a failed ctypes call, made right after it: errno is
    the library's only until the next call of this thread."""
    return _cinterface.failure(status, ctypes.get_errno(), file)


# The bytes the library takes for a name or value: UTF-8 for str (and the
# bytes a surrogateescape decode came from), bytes as they are; a NUL, which
# would cut the C string short, is refused.
encoded = _cinterface.encoded


def decoded(data):
    """The str of what the library gives; bytes that are no UTF-8 survive as
    surrogates, so that writing them back gives the same bytes."""
    return None if data is None else data.decode("utf-8", "surrogateescape")


def taken(address):
    """The text at an address the library returned, freed."""
    try:
        return decoded(ctypes.string_at(address))
    finally:
        lib.vty_ini_free(address)
