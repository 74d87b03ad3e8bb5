#include "client/client.h"

#include "base/json_helpers.h"

#include <glib.h>
#include <glib/gstdio.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstring>

const char *const client_usage =
    "usage: mediasift [BUS] parse [--activity ID] [--] PATH...\n"
    "       mediasift [BUS] picture [--force] [--index N] [--type T] [--] PATH OUT\n"
    "       mediasift --help | --version\n"
    "\n"
    "parse    prints the service's records of the files, merged into one reply\n"
    "picture  writes a picture the file's record locates to OUT (\"-\": standard\n"
    "         output); by default the front cover, else the first located;\n"
    "         --index N the N-th located (from 0), --type T the first of ID3\n"
    "         picture type T (both: the N-th of that type). An existing OUT is\n"
    "         replaced only with --force, and never when it is PATH itself.\n"
    "BUS      --session, --system or --address ADDRESS; by default the session\n"
    "         bus when DBUS_SESSION_BUS_ADDRESS is set, else the system bus.\n"
    "\n"
    "Exit status: 0 every file parsed (or picture written), 1 some file not\n"
    "parsed (or no picture written), 2 usage error, 3 service not reachable.\n";

namespace {

bool read_int(const char *text, int low, int high, int *out) {
  char *end = nullptr;
  errno = 0;
  long value = strtol(text, &end, 10);
  if (errno != 0 || end == text || *end != '\0' || value < low || value > high)
    return false;
  *out = static_cast<int>(value);
  return true;
}

bool choose_bus(client_options *options, bus_choice bus, const char *option, std::string *error) {
  if (options->bus != bus_choice::automatic && options->bus != bus) {
    *error = std::string(option) + " conflicts with the bus already chosen";
    return false;
  }
  options->bus = bus;
  return true;
}

// A whole non-negative number, as an int or as a double without fraction.
bool whole_number(json_object *value, int64_t *out) {
  if (json_object_is_type(value, json_type_int)) {
    int64_t n = json_object_get_int64(value);
    if (n < 0)
      return false;
    *out = n;
    return true;
  }
  if (json_object_is_type(value, json_type_double)) {
    double d = json_object_get_double(value);
    if (!(d >= 0) || d > 9007199254740992.0 || std::floor(d) != d)
      return false;
    *out = static_cast<int64_t>(d);
    return true;
  }
  return false;
}

bool picture_here(json_object *object, picture_place *place) {
  json_object *at = nullptr;
  json_object *size = nullptr;
  if (!json_object_object_get_ex(object, "thumbOffset", &at))
    return false;
  if (!json_object_object_get_ex(object, "thumbSize", &size) && !json_object_object_get_ex(object, "thumbLength", &size))
    return false;
  if (!whole_number(at, &place->offset) || !whole_number(size, &place->length))
    return false;
  json_object *type = nullptr;
  place->type = json_object_object_get_ex(object, "type", &type) && json_object_is_type(type, json_type_int)
                    ? json_object_get_int(type)
                    : -1;
  return true;
}

void collect_pictures(json_object *data, std::vector<picture_place> *places) {
  if (json_object_is_type(data, json_type_object)) {
    picture_place place;
    if (picture_here(data, &place)) {
      places->push_back(place);
      return;
    }
    json_object_object_foreach(data, key, value) {
      (void)key;
      collect_pictures(value, places);
    }
  } else if (json_object_is_type(data, json_type_array)) {
    for (size_t i = 0; i < json_object_array_length(data); ++i)
      collect_pictures(json_object_array_get_idx(data, i), places);
  }
}

bool write_all(int fd, const char *bytes, size_t n) {
  while (n > 0) {
    ssize_t done = write(fd, bytes, n);
    if (done < 0 && errno == EINTR)
      continue;
    if (done <= 0)
      return false;
    bytes += done;
    n -= static_cast<size_t>(done);
  }
  return true;
}

bool copy_bytes(int in, const picture_place &place, int out, std::string *error) {
  char buffer[65536];
  int64_t done = 0;
  while (done < place.length) {
    size_t want = static_cast<size_t>(std::min<int64_t>(sizeof buffer, place.length - done));
    ssize_t got = pread(in, buffer, want, place.offset + done);
    if (got < 0 && errno == EINTR)
      continue;
    if (got <= 0) {
      *error = got == 0 ? "the file ended before the picture did" : strerror(errno);
      return false;
    }
    if (!write_all(out, buffer, static_cast<size_t>(got))) {
      *error = strerror(errno);
      return false;
    }
    done += got;
  }
  return true;
}

bool same_file(const struct stat &a, const struct stat &b) { return a.st_dev == b.st_dev && a.st_ino == b.st_ino; }

// Puts the whole temporary file in place of `to`. Without `force` the final
// step itself refuses to replace a file, so one created since the check is
// kept; where the file system can't rename so, a hard link does the same.
bool put_in_place(const std::string &temporary, const std::string &to, bool force, std::string *error) {
  if (force ? rename(temporary.c_str(), to.c_str()) == 0
            : renameat2(AT_FDCWD, temporary.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0)
    return true;
  if (!force && (errno == EINVAL || errno == ENOSYS) && link(temporary.c_str(), to.c_str()) == 0) {
    unlink(temporary.c_str());
    return true;
  }
  *error = errno == EEXIST ? to + " exists (use --force to replace it)" : "cannot write " + to + ": " + strerror(errno);
  return false;
}

} // namespace

bool parse_command_line(int argc, char **argv, client_options *options, std::string *error) {
  bool options_ended = false;
  std::vector<std::string> words;
  for (int i = 0; i < argc; ++i) {
    std::string arg = argv[i];
    const char *value = i + 1 < argc ? argv[i + 1] : nullptr;
    if (options_ended || arg == "-" || arg.empty() || arg[0] != '-') {
      words.push_back(arg);
    } else if (arg == "--") {
      options_ended = true;
    } else if (arg == "--help" || arg == "-h") {
      options->help = true;
    } else if (arg == "--version") {
      options->version = true;
    } else if (arg == "--session" || arg == "--system") {
      if (!choose_bus(options, arg == "--session" ? bus_choice::session : bus_choice::system, arg.c_str(), error))
        return false;
    } else if (arg == "--force") {
      options->force = true;
    } else if (arg == "--address" || arg == "--activity" || arg == "--index" || arg == "--type") {
      if (value == nullptr) {
        *error = arg + " needs a value";
        return false;
      }
      ++i;
      bool ok = true;
      if (arg == "--address") {
        ok = choose_bus(options, bus_choice::address, "--address", error);
        options->address = value;
      } else if (arg == "--activity") {
        options->has_activity = ok = read_int(value, INT_MIN, INT_MAX, &options->activity);
      } else if (arg == "--index") {
        ok = read_int(value, 0, INT_MAX, &options->index);
      } else {
        ok = read_int(value, 0, 255, &options->picture_type);
      }
      if (!ok) {
        if (error->empty())
          *error = arg + (arg == "--activity" ? " needs a whole number" : " needs a whole number from 0");
        return false;
      }
    } else {
      *error = "unknown option " + arg;
      return false;
    }
  }
  if (options->help || options->version)
    return true;
  if (words.empty()) {
    *error = "no command given";
    return false;
  }
  options->command = words[0];
  options->operands.assign(words.begin() + 1, words.end());
  bool picture = options->command == "picture";
  if (!picture && options->command != "parse") {
    *error = "unknown command " + options->command;
    return false;
  }
  if (picture && options->has_activity) {
    *error = "--activity applies to parse only";
    return false;
  }
  if (!picture && (options->force || options->index >= 0 || options->picture_type >= 0)) {
    *error = "--force, --index and --type apply to picture only";
    return false;
  }
  if (picture ? options->operands.size() != 2 : options->operands.empty()) {
    *error = picture ? "picture needs PATH and OUT" : "parse needs at least one PATH";
    return false;
  }
  return true;
}

std::string absolute_path(const std::string &path, const std::string &cwd) {
  if (g_path_is_absolute(path.c_str()))
    return path;
  g_autofree char *joined = g_build_filename(cwd.c_str(), path.c_str(), nullptr);
  return joined;
}

std::string parse_payload(const std::vector<std::string> &paths, size_t begin, size_t end, const int *activity) {
  json_ptr payload(json_object_new_object());
  json_object *files = json_object_new_array_ext(static_cast<int>(end - begin));
  for (size_t i = begin; i < end && i < paths.size(); ++i)
    json_object_array_add(files, json_object_new_string_len(paths[i].data(), static_cast<int>(paths[i].size())));
  json_object_object_add(payload.get(), "files", files);
  if (activity != nullptr)
    json_object_object_add(payload.get(), "activityId", json_object_new_int(*activity));
  return json_object_to_json_string_ext(payload.get(), JSON_C_TO_STRING_PLAIN);
}

json_object *reply_files(json_object *reply) {
  json_object *ok = nullptr;
  json_object *files = nullptr;
  if (!json_object_object_get_ex(reply, "returnValue", &ok) || !json_object_get_boolean(ok) ||
      !json_object_object_get_ex(reply, "files", &files) || !json_object_is_type(files, json_type_array))
    return nullptr;
  return files;
}

const char *reply_error(json_object *reply) {
  json_object *text = nullptr;
  return json_object_object_get_ex(reply, "errorText", &text) && json_object_is_type(text, json_type_string)
             ? json_object_get_string(text)
             : nullptr;
}

json_object *bad_encoding_entry(const char *raw_path) {
  json_object *entry = json_object_new_object();
  json_object_object_add(entry, "path", build_utf8_string_child(raw_path));
  json_object *data = json_object_new_object();
  add_field(data, "returnValue", false);
  add_field(data, "errorText", "badEncoding");
  json_object_object_add(entry, "data", data);
  return entry;
}

client_status files_status(json_object *files) {
  for (size_t i = 0; i < json_object_array_length(files); ++i) {
    json_object *data = nullptr;
    bool parsed = false;
    if (json_object_object_get_ex(json_object_array_get_idx(files, i), "data", &data) &&
        !get_bool_field(data, "returnValue", &parsed))
      parsed = false;
    if (!parsed)
      return status_failed;
  }
  return status_parsed;
}

// The ID3 picture type a "pictures" entry's kind stands for, -1 for others.
int kind_type(json_object *entry) {
  json_object *kind = nullptr;
  const char *text = json_object_object_get_ex(entry, "kind", &kind) ? json_object_get_string(kind) : nullptr;
  if (text == nullptr)
    return -1;
  return strcmp(text, "front") == 0 ? 3 : strcmp(text, "back") == 0 ? 4 : -1;
}

std::vector<picture_place> find_pictures(json_object *data) {
  std::vector<picture_place> located;
  collect_pictures(data, &located);
  // The record's own list, in file order, holds every picture it locates,
  // also those a format member names only once (the covers after an MP4
  // item list's first); each keeps the exact ID3 type its member gives.
  json_object *list = nullptr;
  if (!json_object_is_type(data, json_type_object) || !json_object_object_get_ex(data, "pictures", &list) ||
      !json_object_is_type(list, json_type_array))
    return located;
  std::vector<picture_place> places;
  for (size_t i = 0; i < json_object_array_length(list); ++i) {
    json_object *entry = json_object_array_get_idx(list, i);
    json_object *at = nullptr;
    json_object *size = nullptr;
    picture_place place;
    if (!json_object_object_get_ex(entry, "offset", &at) || !json_object_object_get_ex(entry, "size", &size) ||
        !whole_number(at, &place.offset) || !whole_number(size, &place.length))
      continue;
    auto same = std::find_if(located.begin(), located.end(),
                             [&](const picture_place &p) { return p.offset == place.offset; });
    place.type = same != located.end() ? same->type : kind_type(entry);
    places.push_back(place);
  }
  return places;
}

bool choose_picture(const std::vector<picture_place> &places, int index, int type, picture_place *chosen,
                    std::string *error) {
  std::vector<picture_place> fitting;
  for (const picture_place &place : places)
    if (type < 0 || place.type == type)
      fitting.push_back(place);
  if (index < 0 && type < 0) {
    auto front = std::find_if(places.begin(), places.end(), [](const picture_place &p) { return p.type == 3; });
    index = front != places.end() ? static_cast<int>(front - places.begin()) : 0;
  }
  if (index < 0)
    index = 0;
  if (static_cast<size_t>(index) >= fitting.size()) {
    std::string which = type >= 0 ? " of type " + std::to_string(type) : "";
    *error = fitting.empty() ? "no picture" + which + " located"
                             : "no picture " + std::to_string(index) + which + ": the record locates " +
                                   std::to_string(fitting.size());
    return false;
  }
  *chosen = fitting[static_cast<size_t>(index)];
  return true;
}

bool check_picture_target(const std::string &from, const std::string &to, bool force, bool stdout_is_terminal,
                          std::string *error) {
  if (to == "-") {
    if (stdout_is_terminal)
      *error = "refusing to write a picture to a terminal; name a file or redirect standard output";
    return !stdout_is_terminal;
  }
  struct stat target {};
  if (lstat(to.c_str(), &target) != 0)
    return true;
  struct stat source {};
  struct stat followed {};
  if (stat(from.c_str(), &source) == 0 && stat(to.c_str(), &followed) == 0 && same_file(source, followed)) {
    *error = to + " is the file " + from + " itself";
    return false;
  }
  if (!force) {
    *error = to + " exists (use --force to replace it)";
    return false;
  }
  return true;
}

bool write_picture(const std::string &from, const picture_place &place, const std::string &to, bool force,
                   std::string *error) {
  int in = open(from.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
  if (in < 0) {
    *error = "cannot open " + from + ": " + strerror(errno);
    return false;
  }
  struct stat source {};
  if (fstat(in, &source) != 0 || !S_ISREG(source.st_mode) || place.length <= 0 || place.offset > source.st_size ||
      place.length > source.st_size - place.offset) {
    *error = "the picture's place lies outside " + from + " (offset " + std::to_string(place.offset) + ", length " +
             std::to_string(place.length) + ")";
    close(in);
    return false;
  }
  if (to == "-") {
    bool ok = copy_bytes(in, place, STDOUT_FILENO, error);
    close(in);
    if (!ok)
      *error = "cannot write the picture to standard output: " + *error;
    return ok;
  }
  g_autofree char *folder = g_path_get_dirname(to.c_str());
  g_autofree char *pattern = g_build_filename(folder, ".mediasift-picture-XXXXXX", nullptr);
  int out = g_mkstemp_full(pattern, O_RDWR | O_CLOEXEC, 0666);
  if (out < 0) {
    *error = "cannot write in " + std::string(folder) + ": " + strerror(errno);
    close(in);
    return false;
  }
  std::string temporary = pattern;
  bool ok = copy_bytes(in, place, out, error);
  if (!ok)
    *error = "cannot copy the picture of " + from + ": " + *error;
  if (ok && fsync(out) != 0) {
    *error = "cannot write " + temporary + ": " + strerror(errno);
    ok = false;
  }
  if (close(out) != 0 && ok) {
    *error = "cannot write " + temporary + ": " + strerror(errno);
    ok = false;
  }
  // The target may have changed since it was checked: never put the picture
  // in place of the file it was read from.
  struct stat now {};
  if (ok && stat(to.c_str(), &now) == 0 && same_file(now, source)) {
    *error = to + " is the file " + from + " itself";
    ok = false;
  }
  ok = ok && put_in_place(temporary, to, force, error);
  if (!ok)
    unlink(temporary.c_str());
  close(in);
  return ok;
}

std::string reply_text(json_object *reply, bool terminal) {
  int flags = JSON_C_TO_STRING_NOSLASHESCAPE | (terminal ? JSON_C_TO_STRING_PRETTY : JSON_C_TO_STRING_PLAIN);
  return json_object_to_json_string_ext(reply, flags);
}
