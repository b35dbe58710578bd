/* vantry_config._cinterface: the Python package's hot calls (reads, edits,
 * lists) and every call that may save, made straight into the C interface
 * (config/vty_ini.h) without ctypes' conversions on each call. Every rule
 * stays in the library: this module only turns Python objects into the
 * interface's arguments, and its statuses into values and exceptions.
 *
 * The calls that are rarely hot (opening, inspecting, walks) and those whose
 * callbacks come from the library's own threads (on_change, the error
 * handler) stay on ctypes in _native.py, which releases the GIL for every
 * call, takes it for such a callback and keeps its trampolines alive. That
 * ctypes library is the very one this module is linked with (`library`,
 * found by dladdr), so that a handle made through one is the other's too.
 *
 * Here the GIL is released around every call that may save or wait for a
 * lock (an edit, a flush, a reload). A read keeps it: it takes no lock that
 * a save holds across its I/O, and releasing and taking the GIL again would
 * cost a hot get more than the read itself.
 */

#define PY_SSIZE_T_CLEAN
#ifndef _GNU_SOURCE
#define _GNU_SOURCE /* dladdr */
#endif
#include <Python.h>
#include <dlfcn.h>
#include <errno.h>
#include <string.h>

#include "config/vty_ini.h"

/* ---- Names and values ---- */

/* Bytes the library takes: `data` is `size` bytes kept alive by `owner`
 * (the str, whose UTF-8 Python caches, the bytes, or a copy), NULL for the
 * unnamed section. */
typedef struct {
  const char* data;
  Py_ssize_t size;
  PyObject* owner;
} Text;

static void Release(Text* text) { Py_CLEAR(text->owner); }

/* UTF-8 for str (and the bytes a surrogateescape decode came from), bytes
 * as they are; a NUL, which would cut the C string short, is refused. 0, or
 * -1 with the exception set. */
static int Encode(PyObject* object, const char* what, Text* text) {
  text->owner = NULL;
  if (PyUnicode_Check(object)) {
    text->data = PyUnicode_AsUTF8AndSize(object, &text->size);
    if (text->data != NULL) {
      text->owner = Py_NewRef(object);
    } else {
      /* A lone surrogate: the bytes it escapes, or a UnicodeEncodeError
       * (a ValueError) for one no decode made. */
      if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) return -1;
      PyErr_Clear();
      text->owner =
          PyUnicode_AsEncodedString(object, "utf-8", "surrogateescape");
      if (text->owner == NULL) return -1;
    }
  } else if (PyBytes_Check(object)) {
    text->owner = Py_NewRef(object);
  } else if (PyByteArray_Check(object) || PyMemoryView_Check(object)) {
    text->owner = PyBytes_FromObject(object); /* a copy no one can change */
    if (text->owner == NULL) return -1;
  } else {
    PyErr_Format(PyExc_TypeError, "%s must be str or bytes, not %.200s", what,
                 Py_TYPE(object)->tp_name);
    return -1;
  }
  if (PyBytes_Check(text->owner)) {
    text->data = PyBytes_AS_STRING(text->owner);
    text->size = PyBytes_GET_SIZE(text->owner);
  }
  if (memchr(text->data, '\0', (size_t)text->size) != NULL) {
    PyErr_Format(PyExc_ValueError,
                 "%s %R holds a NUL character, which no INI file can", what,
                 object);
    Release(text);
    return -1;
  }
  return 0;
}

/* A section name: None is the unnamed section. */
static int EncodeSection(PyObject* object, Text* text) {
  if (object == Py_None) {
    text->data = NULL;
    text->size = 0;
    text->owner = NULL;
    return 0;
  }
  return Encode(object, "section name", text);
}

/* A section name and a key: both, or neither with the exception set. */
static int EncodeSectionKey(PyObject* section, PyObject* key, Text* sectionText,
                            Text* keyText) {
  if (EncodeSection(section, sectionText) != 0) return -1;
  if (Encode(key, "key", keyText) != 0) {
    Release(sectionText);
    return -1;
  }
  return 0;
}

/* The str of what the library gives; bytes that are no UTF-8 survive as
 * surrogates, so that writing them back gives the same bytes. */
static PyObject* Decode(const char* data, size_t size) {
  return PyUnicode_DecodeUTF8(data, (Py_ssize_t)size, "surrogateescape");
}

static PyObject* DecodeOrNone(const char* data) {
  if (data == NULL) Py_RETURN_NONE;
  return Decode(data, strlen(data));
}

/* ---- Failures ---- */

/* The exception for a failed call, made right after it (the message is this
 * thread's until its next call): ValueError for a refused name or value,
 * OSError with the errno and `file` after a failure of the disk, else
 * RuntimeError. */
static PyObject* Failure(vty_ini_status status, int number, PyObject* file) {
  PyObject* message = DecodeOrNone(vty_ini_last_error());
  if (message == NULL) return NULL;
  PyObject* error;
  if (status == VTY_INI_INVALID) {
    error = PyObject_CallOneArg(PyExc_ValueError, message);
  } else if (number != 0) {
    error = PyObject_CallFunction(PyExc_OSError, "iOO", number, message,
                                  file == NULL ? Py_None : file);
  } else {
    error = PyObject_CallOneArg(PyExc_RuntimeError, message);
  }
  Py_DECREF(message);
  return error;
}

static PyObject* Raise(vty_ini_status status, int number, PyObject* file) {
  PyObject* error = Failure(status, number, file);
  if (error != NULL) {
    PyErr_SetObject((PyObject*)Py_TYPE(error), error);
    Py_DECREF(error);
  }
  return NULL;
}

/* ---- Arguments ---- */

static int Arguments(const char* function, Py_ssize_t given,
                     Py_ssize_t wanted) {
  if (given == wanted) return 0;
  PyErr_Format(PyExc_TypeError, "%s takes %zd arguments (%zd given)", function,
               wanted, given);
  return -1;
}

/* The library's handle, which Python holds as its address. */
static vty_ini_settings* HandleOf(PyObject* address) {
  vty_ini_settings* handle = (vty_ini_settings*)PyLong_AsVoidPtr(address);
  if (handle == NULL && !PyErr_Occurred()) {
    PyErr_SetString(PyExc_ValueError, "the Settings is closed");
  }
  return handle;
}

/* ---- Reading ---- */

typedef enum { kText, kInt, kDouble, kBool, kList } Kind;

/* What `get` reads a value as: `type`, or the type of `fallback` (text when
 * it is None); a subclass reads as its base (an IntEnum as int). A list only
 * when asked for by `type`. */
static int KindOf(PyObject* type, PyObject* fallback, Kind* kind) {
  PyTypeObject* asked;
  if (type != Py_None) {
    if (!PyType_Check(type)) {
      PyErr_Format(PyExc_TypeError,
                   "get: the type must be str, int, float, bool or list, "
                   "not %R",
                   type);
      return -1;
    }
    asked = (PyTypeObject*)type;
  } else {
    asked = Py_TYPE(fallback);
  }
  if (asked == &PyUnicode_Type || asked == Py_TYPE(Py_None)) {
    *kind = kText;
  } else if (asked == &PyLong_Type) {
    *kind = kInt;
  } else if (PyType_IsSubtype(asked, &PyBool_Type)) {
    *kind = kBool;
  } else if (PyType_IsSubtype(asked, &PyLong_Type)) {
    *kind = kInt;
  } else if (PyType_IsSubtype(asked, &PyFloat_Type)) {
    *kind = kDouble;
  } else if (PyType_IsSubtype(asked, &PyUnicode_Type)) {
    *kind = kText;
  } else if (type != Py_None && PyType_IsSubtype(asked, &PyList_Type)) {
    *kind = kList;
  } else {
    PyErr_Format(PyExc_TypeError,
                 "get: the type must be str, int, float, bool or list, not "
                 "%.200s",
                 asked->tp_name);
    return -1;
  }
  return 0;
}

/* The value as text: into a buffer on the stack, or one as large as the
 * value when it does not fit (asked again, as another thread may have made
 * it longer meanwhile). */
static vty_ini_status GetText(const vty_ini_settings* handle,
                              const char* section, const char* key,
                              PyObject** value) {
  char small[512];
  char* buffer = small;
  size_t capacity = sizeof small;
  size_t size = 0;
  vty_ini_status status;
  for (;;) {
    status = vty_ini_get_buffer(handle, section, key, buffer, capacity, &size);
    if (status != VTY_INI_OK || size < capacity) break;
    if (buffer != small) PyMem_Free(buffer);
    capacity = size + 1;
    buffer = PyMem_Malloc(capacity);
    if (buffer == NULL) {
      PyErr_NoMemory();
      return VTY_INI_OK; /* with *value NULL: the exception is set */
    }
  }
  if (status == VTY_INI_OK) *value = Decode(buffer, size);
  if (buffer != small) PyMem_Free(buffer);
  return status;
}

/* What a list's items are gathered in; `failed` once Python refused one. */
typedef struct {
  PyObject* items;
  int failed;
} Items;

static void GatherItem(void* user, const char* item, size_t size) {
  Items* items = user;
  if (items->failed) return;
  PyObject* text = Decode(item, size);
  if (text == NULL || PyList_Append(items->items, text) != 0) {
    items->failed = 1;
  }
  Py_XDECREF(text);
}

static vty_ini_status GetList(const vty_ini_settings* handle,
                              const char* section, const char* key,
                              PyObject** value) {
  Items items = {PyList_New(0), 0};
  if (items.items == NULL) return VTY_INI_OK; /* the exception is set */
  const vty_ini_status status =
      vty_ini_get_list(handle, section, key, GatherItem, &items);
  if (status == VTY_INI_OK && !items.failed) {
    *value = items.items;
  } else {
    Py_DECREF(items.items);
  }
  return status;
}

/* get(handle, section, key, fallback, type): the value read as `type` (see
 * KindOf), or `fallback` when missing or not of that type. */
static PyObject* Get(PyObject* module, PyObject* const* args, Py_ssize_t n) {
  (void)module;
  if (Arguments("get", n, 5) != 0) return NULL;
  Kind kind;
  if (KindOf(args[4], args[3], &kind) != 0) return NULL;
  const vty_ini_settings* handle = HandleOf(args[0]);
  if (handle == NULL) return NULL;
  Text section, key;
  if (EncodeSectionKey(args[1], args[2], &section, &key) != 0) return NULL;
  PyObject* value = NULL;
  vty_ini_status status = VTY_INI_OK;
  switch (kind) {
    case kText:
      status = GetText(handle, section.data, key.data, &value);
      break;
    case kInt: {
      int64_t number = 0;
      status = vty_ini_get_int64(handle, section.data, key.data, &number);
      if (status == VTY_INI_OK) value = PyLong_FromLongLong(number);
      break;
    }
    case kDouble: {
      double number = 0;
      status = vty_ini_get_double(handle, section.data, key.data, &number);
      if (status == VTY_INI_OK) value = PyFloat_FromDouble(number);
      break;
    }
    case kBool: {
      int flag = 0;
      status = vty_ini_get_bool(handle, section.data, key.data, &flag);
      if (status == VTY_INI_OK) value = PyBool_FromLong(flag);
      break;
    }
    case kList:
      status = GetList(handle, section.data, key.data, &value);
      break;
  }
  const int number = errno;
  Release(&section);
  Release(&key);
  if (status == VTY_INI_ERROR) return Raise(status, number, NULL);
  if (status != VTY_INI_OK) return Py_NewRef(args[3]);
  return value; /* NULL with the exception set when Python refused */
}

/* has_key(handle, section, key, file) and has_section(handle, section,
 * file): True or False. */
static PyObject* Has(vty_ini_status status, int number, PyObject* file) {
  if (status == VTY_INI_OK) Py_RETURN_TRUE;
  if (status == VTY_INI_MISSING) Py_RETURN_FALSE;
  return Raise(status, number, file);
}

static PyObject* HasKey(PyObject* module, PyObject* const* args, Py_ssize_t n) {
  (void)module;
  if (Arguments("has_key", n, 4) != 0) return NULL;
  const vty_ini_settings* handle = HandleOf(args[0]);
  if (handle == NULL) return NULL;
  Text section, key;
  if (EncodeSectionKey(args[1], args[2], &section, &key) != 0) return NULL;
  const vty_ini_status status = vty_ini_has_key(handle, section.data, key.data);
  const int number = errno;
  Release(&section);
  Release(&key);
  return Has(status, number, args[3]);
}

static PyObject* HasSection(PyObject* module, PyObject* const* args,
                            Py_ssize_t n) {
  (void)module;
  if (Arguments("has_section", n, 3) != 0) return NULL;
  const vty_ini_settings* handle = HandleOf(args[0]);
  if (handle == NULL) return NULL;
  Text section;
  if (EncodeSection(args[1], &section) != 0) return NULL;
  const vty_ini_status status = vty_ini_has_section(handle, section.data);
  const int number = errno;
  Release(&section);
  return Has(status, number, args[2]);
}

/* What a section's pairs are gathered in; `failed` once Python refused. */
typedef struct {
  PyObject* pairs;
  int failed;
} Pairs;

static void GatherPair(void* user, const char* key, const char* value) {
  Pairs* pairs = user;
  if (pairs->failed) return;
  PyObject* pair =
      Py_BuildValue("(NN)", DecodeOrNone(key), DecodeOrNone(value));
  if (pair == NULL || PyList_Append(pairs->pairs, pair) != 0) {
    pairs->failed = 1;
  }
  Py_XDECREF(pair);
}

/* items(handle, section, file): the (key, value) pairs in file order; []
 * for a missing section. */
static PyObject* ItemsOf(PyObject* module, PyObject* const* args,
                         Py_ssize_t n) {
  (void)module;
  if (Arguments("items", n, 3) != 0) return NULL;
  const vty_ini_settings* handle = HandleOf(args[0]);
  if (handle == NULL) return NULL;
  Text section;
  if (EncodeSection(args[1], &section) != 0) return NULL;
  Pairs pairs = {PyList_New(0), 0};
  if (pairs.pairs == NULL) {
    Release(&section);
    return NULL;
  }
  const vty_ini_status status =
      vty_ini_keys(handle, section.data, GatherPair, &pairs);
  const int number = errno;
  Release(&section);
  if (pairs.failed || status == VTY_INI_OK || status == VTY_INI_MISSING) {
    if (!pairs.failed) return pairs.pairs;
    Py_DECREF(pairs.pairs);
    return NULL;
  }
  Py_DECREF(pairs.pairs);
  return Raise(status, number, args[2]);
}

/* ---- Changing ---- */

/* A list's items as the library takes them, each kept alive by its Text. */
typedef struct {
  Text* texts;
  const char** items;
  Py_ssize_t count;
} List;

static void ReleaseList(List* list) {
  for (Py_ssize_t i = 0; i < list->count; ++i) Release(&list->texts[i]);
  PyMem_Free(list->texts);
  PyMem_Free((void*)list->items);
}

/* The items of a list or tuple, each a str or bytes; the sequence is copied
 * first, so that another thread changing it cannot free an item in use. */
static int EncodeList(PyObject* value, List* list) {
  list->texts = NULL;
  list->items = NULL;
  list->count = 0;
  PyObject* items = PySequence_Tuple(value);
  if (items == NULL) return -1;
  const Py_ssize_t count = PyTuple_GET_SIZE(items);
  list->texts = PyMem_Calloc((size_t)count + 1, sizeof *list->texts);
  list->items = PyMem_Calloc((size_t)count + 1, sizeof *list->items);
  if (list->texts == NULL || list->items == NULL) {
    Py_DECREF(items);
    ReleaseList(list);
    PyErr_NoMemory();
    return -1;
  }
  for (; list->count < count; ++list->count) {
    Text* text = &list->texts[list->count];
    if (Encode(PyTuple_GET_ITEM(items, list->count), "list item", text) != 0) {
      Py_DECREF(items);
      ReleaseList(list);
      return -1;
    }
    list->items[list->count] = text->data;
  }
  Py_DECREF(items);
  return 0;
}

/* set(handle, section, key, value, file): a str or bytes, an int, float or
 * bool, or a list or tuple of str, saved before it returns unless the
 * background writer runs. The GIL is released meanwhile. */
static PyObject* Set(PyObject* module, PyObject* const* args, Py_ssize_t n) {
  (void)module;
  if (Arguments("set", n, 5) != 0) return NULL;
  vty_ini_settings* handle = HandleOf(args[0]);
  if (handle == NULL) return NULL;
  PyObject* value = args[3];
  long long whole = 0;
  if (PyLong_Check(value) && !PyBool_Check(value)) {
    int overflow = 0;
    whole = PyLong_AsLongLongAndOverflow(value, &overflow);
    if (overflow != 0) {
      PyErr_Format(PyExc_ValueError, "set: %S is beyond a 64-bit integer",
                   value);
      return NULL;
    }
    if (whole == -1 && PyErr_Occurred()) return NULL;
  }
  const double real = PyFloat_Check(value) ? PyFloat_AS_DOUBLE(value) : 0;
  const int isList = PyList_Check(value) || PyTuple_Check(value);
  Text section, key, text = {NULL, 0, NULL};
  List list = {NULL, NULL, 0};
  if (EncodeSectionKey(args[1], args[2], &section, &key) != 0) return NULL;
  const int isText = !PyLong_Check(value) && !PyFloat_Check(value) && !isList;
  if ((isText && Encode(value, "value", &text) != 0) ||
      (isList && EncodeList(value, &list) != 0)) {
    Release(&section);
    Release(&key);
    return NULL;
  }
  vty_ini_status status;
  int number;
  Py_BEGIN_ALLOW_THREADS;
  if (PyBool_Check(value)) {
    status = vty_ini_set_bool(handle, section.data, key.data, value == Py_True);
  } else if (PyLong_Check(value)) {
    status = vty_ini_set_int64(handle, section.data, key.data, whole);
  } else if (PyFloat_Check(value)) {
    status = vty_ini_set_double(handle, section.data, key.data, real);
  } else if (isList) {
    status = vty_ini_set_list(handle, section.data, key.data, list.items,
                              (size_t)list.count);
  } else {
    status = vty_ini_set(handle, section.data, key.data, text.data);
  }
  number = errno;
  Py_END_ALLOW_THREADS;
  Release(&section);
  Release(&key);
  Release(&text);
  if (isList) ReleaseList(&list);
  if (status != VTY_INI_OK) return Raise(status, number, args[4]);
  Py_RETURN_NONE;
}

/* erase(handle, section, key, file) and erase_section(handle, section,
 * file): True when there was one. The GIL is released meanwhile. */
static PyObject* Erase(PyObject* module, PyObject* const* args, Py_ssize_t n) {
  (void)module;
  if (Arguments("erase", n, 4) != 0) return NULL;
  vty_ini_settings* handle = HandleOf(args[0]);
  if (handle == NULL) return NULL;
  Text section, key;
  if (EncodeSectionKey(args[1], args[2], &section, &key) != 0) return NULL;
  vty_ini_status status;
  int number;
  Py_BEGIN_ALLOW_THREADS;
  status = vty_ini_erase(handle, section.data, key.data);
  number = errno;
  Py_END_ALLOW_THREADS;
  Release(&section);
  Release(&key);
  return Has(status, number, args[3]);
}

static PyObject* EraseSection(PyObject* module, PyObject* const* args,
                              Py_ssize_t n) {
  (void)module;
  if (Arguments("erase_section", n, 3) != 0) return NULL;
  vty_ini_settings* handle = HandleOf(args[0]);
  if (handle == NULL) return NULL;
  Text section;
  if (EncodeSection(args[1], &section) != 0) return NULL;
  vty_ini_status status;
  int number;
  Py_BEGIN_ALLOW_THREADS;
  status = vty_ini_erase_section(handle, section.data);
  number = errno;
  Py_END_ALLOW_THREADS;
  Release(&section);
  return Has(status, number, args[2]);
}

/* flush(handle, file) and reload(handle, file), the GIL released. */
static PyObject* Whole(const char* function,
                       vty_ini_status (*call)(vty_ini_settings*),
                       PyObject* const* args, Py_ssize_t n) {
  if (Arguments(function, n, 2) != 0) return NULL;
  vty_ini_settings* handle = HandleOf(args[0]);
  if (handle == NULL) return NULL;
  vty_ini_status status;
  int number;
  Py_BEGIN_ALLOW_THREADS;
  status = call(handle);
  number = errno;
  Py_END_ALLOW_THREADS;
  if (status != VTY_INI_OK) return Raise(status, number, args[1]);
  Py_RETURN_NONE;
}

static PyObject* Flush(PyObject* module, PyObject* const* args, Py_ssize_t n) {
  (void)module;
  return Whole("flush", vty_ini_flush, args, n);
}

static PyObject* Reload(PyObject* module, PyObject* const* args, Py_ssize_t n) {
  (void)module;
  return Whole("reload", vty_ini_reload, args, n);
}

/* ---- For _native.py ---- */

/* encoded(text, what): the bytes the library takes for a name or value. */
static PyObject* Encoded(PyObject* module, PyObject* const* args,
                         Py_ssize_t n) {
  (void)module;
  if (Arguments("encoded", n, 2) != 0) return NULL;
  const char* what = PyUnicode_AsUTF8(args[1]);
  if (what == NULL) return NULL;
  Text text;
  if (Encode(args[0], what, &text) != 0) return NULL;
  PyObject* bytes = PyBytes_FromStringAndSize(text.data, text.size);
  Release(&text);
  return bytes;
}

/* failure(status, errno, file): the exception for a call ctypes made, with
 * the errno ctypes kept for it. */
static PyObject* FailureOf(PyObject* module, PyObject* const* args,
                           Py_ssize_t n) {
  (void)module;
  if (Arguments("failure", n, 3) != 0) return NULL;
  const long status = PyLong_AsLong(args[0]);
  const long number = PyLong_AsLong(args[1]);
  if (PyErr_Occurred()) return NULL;
  return Failure((vty_ini_status)status, (int)number, args[2]);
}

static PyMethodDef kMethods[] = {
    {"get", (PyCFunction)(void (*)(void))Get, METH_FASTCALL, NULL},
    {"has_key", (PyCFunction)(void (*)(void))HasKey, METH_FASTCALL, NULL},
    {"has_section", (PyCFunction)(void (*)(void))HasSection, METH_FASTCALL,
     NULL},
    {"items", (PyCFunction)(void (*)(void))ItemsOf, METH_FASTCALL, NULL},
    {"set", (PyCFunction)(void (*)(void))Set, METH_FASTCALL, NULL},
    {"erase", (PyCFunction)(void (*)(void))Erase, METH_FASTCALL, NULL},
    {"erase_section", (PyCFunction)(void (*)(void))EraseSection, METH_FASTCALL,
     NULL},
    {"flush", (PyCFunction)(void (*)(void))Flush, METH_FASTCALL, NULL},
    {"reload", (PyCFunction)(void (*)(void))Reload, METH_FASTCALL, NULL},
    {"encoded", (PyCFunction)(void (*)(void))Encoded, METH_FASTCALL, NULL},
    {"failure", (PyCFunction)(void (*)(void))FailureOf, METH_FASTCALL, NULL},
    {NULL, NULL, 0, NULL},
};

static struct PyModuleDef kModule = {
    PyModuleDef_HEAD_INIT,
    "vantry_config._cinterface",
    "The hot calls of vantry_config, straight into the C interface.",
    -1,
    kMethods,
    NULL,
    NULL,
    NULL,
    NULL,
};

PyMODINIT_FUNC PyInit__cinterface(void) {
  PyObject* module = PyModule_Create(&kModule);
  if (module == NULL) return NULL;
  /* The file of the library this module is linked with, for ctypes. */
  union {
    vty_ini_settings* (*function)(const char*);
    void* address;
  } open = {vty_ini_open};
  Dl_info info;
  if (dladdr(open.address, &info) == 0 || info.dli_fname == NULL ||
      PyModule_AddObject(module, "library",
                         PyUnicode_DecodeFSDefault(info.dli_fname)) != 0) {
    if (!PyErr_Occurred()) {
      PyErr_SetString(PyExc_ImportError,
                      "vantry_config: the library's file is not known");
    }
    Py_DECREF(module);
    return NULL;
  }
  return module;
}
