/* The C interface as a C program uses it: every function, its statuses and
 * messages, and what it returns to free. Compiled as C99 with warnings as
 * errors; run under the sanitizers in their builds. */

#define _POSIX_C_SOURCE 200809L

#include <errno.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include "config/vty_ini.h"

static int failures = 0;

#define CHECK(condition)                                                \
  do {                                                                  \
    if (!(condition)) {                                                 \
      fprintf(stderr, "%s:%d: failed: %s (last error: %s)\n", __FILE__, \
              __LINE__, #condition, vty_ini_last_error());              \
      ++failures;                                                       \
    }                                                                   \
  } while (0)

static char directory[] = "/tmp/vty-ini-c-XXXXXX";

static void WriteFile(const char* path, const char* text) {
  char temporary[256];
  FILE* out;
  snprintf(temporary, sizeof temporary, "%s.new", path);
  out = fopen(temporary, "w");
  fputs(text, out);
  fclose(out);
  rename(temporary, path); /* as an editor saves: the watcher sees it whole */
}

/* Whether the file on disk holds `text`. */
static int Holds(const char* path, const char* text) {
  char bytes[1024] = "";
  FILE* in = fopen(path, "r");
  if (in == NULL) return 0;
  bytes[fread(bytes, 1, sizeof bytes - 1, in)] = '\0';
  fclose(in);
  return strstr(bytes, text) != NULL;
}

/* Collects what the enumerations give, one "name=value;" after another. */
static void Section(void* user, const char* section) {
  strcat((char*)user, section == NULL ? "(unnamed)" : section);
  strcat((char*)user, ";");
}
static void Key(void* user, const char* key, const char* value) {
  strcat((char*)user, key);
  strcat((char*)user, "=");
  strcat((char*)user, value);
  strcat((char*)user, ";");
}
/* One "[item]" after another, an item's NUL bytes as '0'. */
static void Item(void* user, const char* item, size_t size) {
  char* out = (char*)user + strlen((char*)user);
  *out++ = '[';
  for (size_t i = 0; i < size; ++i) *out++ = item[i] == '\0' ? '0' : item[i];
  *out++ = ']';
  *out = '\0';
}
static void Finding(void* user, const char* file, size_t line,
                    const char* message) {
  (void)file;
  (void)message;
  *(size_t*)user = line;
}

/* What the on-change callback and the error handler heard. */
static pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;
static pthread_cond_t heard = PTHREAD_COND_INITIALIZER;
static char change[256];
static char failure[512];

static const char* OnChange(void* user, const vty_ini_change* changes,
                            size_t count) {
  (void)user;
  pthread_mutex_lock(&mutex);
  if (count == 1 && changes[0].after != NULL) {
    snprintf(change, sizeof change, "%s.%s: %s -> %s", changes[0].section,
             changes[0].key, changes[0].before, changes[0].after);
  }
  pthread_cond_broadcast(&heard);
  pthread_mutex_unlock(&mutex);
  return "the callback refused it";
}
static void OnError(void* user, const char* file, const char* message) {
  (void)user;
  pthread_mutex_lock(&mutex);
  snprintf(failure, sizeof failure, "%s: %s", file, message);
  pthread_cond_broadcast(&heard);
  pthread_mutex_unlock(&mutex);
}

/* Waits up to 10 s for both the change and the failure it returned. */
static int WaitHeard(void) {
  struct timespec until;
  int done;
  clock_gettime(CLOCK_REALTIME, &until);
  until.tv_sec += 10;
  pthread_mutex_lock(&mutex);
  while ((change[0] == '\0' || failure[0] == '\0') &&
         pthread_cond_timedwait(&heard, &mutex, &until) == 0) {
  }
  done = change[0] != '\0' && failure[0] != '\0';
  pthread_mutex_unlock(&mutex);
  return done;
}

int main(void) {
  char path[128], blocked[128], list[256] = "";
  char *value = NULL, *file = NULL;
  size_t line = 0, size = 0, finding = 0;
  int64_t number = 7;
  double real = 0;
  int flag = 0;
  vty_ini_settings *settings, *text, *broken;
  vty_ini_subscription* subscription;
  char vendor[128], admin[128];
  const char* layers[2];
  vty_ini_syntax syntax = vty_ini_default_syntax();

  if (mkdtemp(directory) == NULL) return 2;
  snprintf(path, sizeof path, "%s/app.ini", directory);
  WriteFile(path,
            "; top\n[Net]\nPort = 8080 ; the port\nRatio=0.5\n"
            "On = yes\nBad = x1\n");

  settings = vty_ini_open(path);
  CHECK(settings != NULL);
  CHECK(vty_ini_get(settings, "Net", "Port", &value, &line) == VTY_INI_OK);
  CHECK(value != NULL && strcmp(value, "8080") == 0 && line == 3);
  vty_ini_free(value);
  CHECK(vty_ini_get(settings, "net", "PORT", NULL, NULL) == VTY_INI_OK);
  CHECK(vty_ini_get_buffer(settings, "Net", "Port", list, 4, &size) ==
            VTY_INI_OK &&
        size == 4); /* no room for the NUL: call again */
  CHECK(vty_ini_get_buffer(settings, "Net", "Port", list, 5, &size) ==
            VTY_INI_OK &&
        strcmp(list, "8080") == 0);
  list[0] = '\0';
  CHECK(vty_ini_get(settings, NULL, "Port", &value, NULL) == VTY_INI_MISSING);
  CHECK(vty_ini_get_int64(settings, "Net", "Port", &number) == VTY_INI_OK &&
        number == 8080);
  number = 7; /* a caller's default stays when the value is not a number */
  CHECK(vty_ini_get_int64(settings, "Net", "Bad", &number) == VTY_INI_INVALID &&
        number == 7);
  CHECK(vty_ini_get_int64(settings, "Net", "None", &number) == VTY_INI_MISSING);
  CHECK(vty_ini_get_double(settings, "Net", "Ratio", &real) == VTY_INI_OK &&
        real == 0.5);
  CHECK(vty_ini_get_bool(settings, "Net", "On", &flag) == VTY_INI_OK &&
        flag == 1);
  CHECK(vty_ini_inspect(settings, "Net", "Bad", VTY_INI_INT64, &value, &line,
                        &file) == VTY_INI_INVALID);
  CHECK(strcmp(value, "x1") == 0 && line == 6 && strcmp(file, path) == 0);
  vty_ini_free(value);
  vty_ini_free(file);
  CHECK(vty_ini_has_section(settings, "Net") == VTY_INI_OK);
  CHECK(vty_ini_has_section(settings, NULL) == VTY_INI_MISSING);
  CHECK(vty_ini_has_key(settings, "Net", "Ratio") == VTY_INI_OK);

  /* Edits keep the layout and are saved before the call returns. */
  CHECK(vty_ini_set_int64(settings, "Net", "Port", 9090) == VTY_INI_OK);
  CHECK(vty_ini_set_bool(settings, "Net", "On", 0) == VTY_INI_OK);
  CHECK(vty_ini_set_double(settings, "Net", "Ratio", 0.25) == VTY_INI_OK);
  CHECK(vty_ini_set(settings, NULL, "top", "1") == VTY_INI_OK);
  CHECK(vty_ini_erase(settings, "Net", "Bad") == VTY_INI_OK);
  CHECK(vty_ini_erase(settings, "Net", "Bad") == VTY_INI_MISSING);
  CHECK(vty_ini_text(settings, &value, &size) == VTY_INI_OK);
  CHECK(strcmp(value,
               "top = 1\n; top\n[Net]\nPort = 9090 ; the port\n"
               "Ratio=0.25\nOn = no\n") == 0 &&
        size == strlen(value));
  vty_ini_free(value);
  CHECK(vty_ini_sections(settings, Section, list) == VTY_INI_OK);
  CHECK(strcmp(list, "(unnamed);Net;") == 0);
  list[0] = '\0';
  CHECK(vty_ini_keys(settings, "Net", Key, list) == VTY_INI_OK);
  CHECK(strcmp(list, "Port=9090;Ratio=0.25;On=no;") == 0);
  CHECK(vty_ini_keys(settings, "Gone", Key, list) == VTY_INI_MISSING);
  CHECK(vty_ini_flush(settings) == VTY_INI_OK);
  CHECK(vty_ini_reload(settings) == VTY_INI_OK);

  /* A list is quoted by the library where an item needs it, and reads back
     the same items; an empty list is an empty value. */
  {
    const char* items[] = {"a", "b,c", " d "};
    CHECK(vty_ini_set_list(settings, "Net", "Peers", items, 3) == VTY_INI_OK);
    CHECK(Holds(path, "Peers = a, \"b,c\", \" d \"\n"));
    list[0] = '\0';
    CHECK(vty_ini_get_list(settings, "net", "peers", Item, list) == VTY_INI_OK);
    CHECK(strcmp(list, "[a][b,c][ d ]") == 0);
    CHECK(vty_ini_set_list(settings, "Net", "Peers", NULL, 0) == VTY_INI_OK);
    list[0] = '\0';
    CHECK(vty_ini_get_list(settings, "Net", "Peers", Item, list) == VTY_INI_OK);
    CHECK(strcmp(list, "") == 0);
    CHECK(vty_ini_get_list(settings, "Net", "Gone", Item, list) ==
          VTY_INI_MISSING);
    CHECK(vty_ini_erase(settings, "Net", "Peers") == VTY_INI_OK);
  }

  /* Refusals name the rule and the key, and change nothing. */
  CHECK(vty_ini_set(settings, "Net", "Port", "1\n[Evil]") == VTY_INI_INVALID);
  CHECK(strstr(vty_ini_last_error(), "Port") != NULL);
  CHECK(vty_ini_get_int64(settings, "Net", "Port", &number) == VTY_INI_OK &&
        number == 9090);
  CHECK(vty_ini_set(settings, "Net", NULL, "1") == VTY_INI_INVALID);
  CHECK(vty_ini_get(NULL, "Net", "Port", &value, NULL) == VTY_INI_INVALID);

  /* A failed save: VTY_INI_ERROR with errno and the file's name. */
  snprintf(blocked, sizeof blocked, "%s/app.ini/under.ini", directory);
  broken = vty_ini_open(blocked);
  CHECK(broken != NULL);
  CHECK(vty_ini_set(broken, "S", "k", "v") == VTY_INI_ERROR &&
        errno == ENOTDIR);
  CHECK(strstr(vty_ini_last_error(), "under.ini") != NULL);
  vty_ini_close(broken);

  /* A text: read and checked, never saved. */
  value = "a = 1 # x\n[S]\nk=1\nk=2\n";
  text = vty_ini_from_text_with(value, strlen(value), &syntax);
  CHECK(text != NULL);
  CHECK(vty_ini_get(text, NULL, "a", &value, NULL) == VTY_INI_OK &&
        strcmp(value, "1 # x") == 0);
  vty_ini_free(value);
  CHECK(vty_ini_check(text, Finding, &finding) == VTY_INI_OK && finding == 4);
  CHECK(vty_ini_flush(text) == VTY_INI_ERROR);
  CHECK(vty_ini_erase_section(text, "S") == VTY_INI_OK);
  CHECK(vty_ini_on_change(text, OnChange, NULL) == NULL);
  vty_ini_close(text);

  /* Reads in turn from sections of one key name each give their own. */
  value = "[A section of a long name]\nk=1\n[B]\nk=2\n";
  text = vty_ini_from_text(value, strlen(value));
  {
    const char* sections[] = {"A section of a long name", "B", NULL, "B",
                              "A section of a long name"};
    const char* expected[] = {"1", "2", NULL, "2", "1"};
    for (size_t i = 0; i < 5; ++i) {
      value = NULL;
      CHECK(vty_ini_get(text, sections[i], "k", &value, NULL) ==
            (expected[i] ? VTY_INI_OK : VTY_INI_MISSING));
      CHECK(expected[i] ? value && strcmp(value, expected[i]) == 0
                        : value == NULL);
      vty_ini_free(value);
    }
  }
  vty_ini_close(text);

  /* Another writer's edit is heard; the callback's failure reaches the
   * error handler. */
  vty_ini_set_error_handler(OnError, NULL);
  subscription = vty_ini_on_change(settings, OnChange, NULL);
  CHECK(subscription != NULL);
  WriteFile(path,
            "top=1\n; top\n[Net]\nPort = 1 ; the port\nRatio=0.25\n"
            "On = no\n");
  CHECK(WaitHeard());
  CHECK(strcmp(change, "Net.Port: 9090 -> 1") == 0);
  CHECK(strstr(failure, "the callback refused it") != NULL);
  vty_ini_cancel(subscription);
  vty_ini_set_error_handler(NULL, NULL);

  /* The background writer defers the save until it stops. */
  CHECK(vty_ini_start_writer(5) == VTY_INI_INVALID);
  CHECK(vty_ini_start_writer(0) == VTY_INI_OK);
  CHECK(vty_ini_set(settings, "Net", "Host", "h") == VTY_INI_OK);
  CHECK(!Holds(path, "Host = h"));
  vty_ini_stop_writer();
  CHECK(Holds(path, "Host = h"));
  vty_ini_close(settings);
  settings = vty_ini_from_text("", 0);
  vty_ini_close(settings);

  /* Layers: the highest that has a key gives it, with its file; writes go
   * to the last file, and an erase there lets the lower value through. */
  snprintf(vendor, sizeof vendor, "%s/vendor.ini", directory);
  snprintf(admin, sizeof admin, "%s/admin.ini", directory);
  WriteFile(vendor, "[Net]\nPort = 1\nHost = v\n");
  WriteFile(admin, "[Net]\nPort = 2\n");
  layers[0] = vendor;
  layers[1] = admin;
  settings = vty_ini_open_layers(layers, 2);
  CHECK(settings != NULL);
  CHECK(vty_ini_get_int64(settings, "Net", "Port", &number) == VTY_INI_OK &&
        number == 2);
  CHECK(vty_ini_inspect(settings, "Net", "Host", VTY_INI_TEXT, &value, &line,
                        &file) == VTY_INI_OK);
  CHECK(strcmp(value, "v") == 0 && line == 3 && strcmp(file, vendor) == 0);
  vty_ini_free(value);
  vty_ini_free(file);
  CHECK(vty_ini_set(settings, "Net", "Host", "a") == VTY_INI_OK);
  CHECK(Holds(admin, "Host = a") && !Holds(vendor, "Host = a"));
  CHECK(vty_ini_erase(settings, "Net", "Port") == VTY_INI_OK);
  CHECK(vty_ini_get_int64(settings, "Net", "Port", &number) == VTY_INI_OK &&
        number == 1);
  CHECK(vty_ini_text(settings, &value, &size) == VTY_INI_INVALID);
  vty_ini_close(settings);
  CHECK(vty_ini_open_layers(NULL, 1) == NULL);
  unlink(vendor);
  unlink(admin);

  unlink(path);
  rmdir(directory);
  if (failures == 0) puts("all passed");
  return failures == 0 ? 0 : 1;
}
