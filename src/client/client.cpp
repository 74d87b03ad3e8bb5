#include "client/client.h"

#include <glib.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstring>

namespace {

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

bool picture_here(json_object *object, int64_t *offset, int64_t *length) {
  json_object *at = nullptr;
  json_object *size = nullptr;
  if (!json_object_object_get_ex(object, "thumbOffset", &at))
    return false;
  if (!json_object_object_get_ex(object, "thumbSize", &size) && !json_object_object_get_ex(object, "thumbLength", &size))
    return false;
  return whole_number(at, offset) && whole_number(size, length);
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

} // namespace

std::string absolute_path(const std::string &path, const std::string &cwd) {
  if (g_path_is_absolute(path.c_str()))
    return path;
  g_autofree char *joined = g_build_filename(cwd.c_str(), path.c_str(), nullptr);
  return joined;
}

std::vector<std::string> parse_payloads(const std::vector<std::string> &paths, const int *activity, size_t limit) {
  std::vector<std::string> payloads;
  size_t start = 0;
  do {
    json_object *payload = json_object_new_object();
    json_object *files = json_object_new_array();
    for (size_t i = start; i < paths.size() && i < start + limit; ++i)
      json_object_array_add(files, json_object_new_string_len(paths[i].data(), static_cast<int>(paths[i].size())));
    json_object_object_add(payload, "files", files);
    if (activity != nullptr)
      json_object_object_add(payload, "activityId", json_object_new_int(*activity));
    payloads.push_back(json_object_to_json_string_ext(payload, JSON_C_TO_STRING_PLAIN));
    json_object_put(payload);
    start += limit;
  } while (start < paths.size());
  return payloads;
}

bool merge_reply(json_object *merged, json_object *reply) {
  json_object *ok = nullptr;
  json_object *files = nullptr;
  if (!json_object_object_get_ex(reply, "returnValue", &ok) || !json_object_get_boolean(ok) ||
      !json_object_object_get_ex(reply, "files", &files) || !json_object_is_type(files, json_type_array))
    return false;
  json_object *all = json_object_object_get(merged, "files");
  for (size_t i = 0; i < json_object_array_length(files); ++i)
    json_object_array_add(all, json_object_get(json_object_array_get_idx(files, i)));
  return true;
}

bool find_picture(json_object *data, int64_t *offset, int64_t *length) {
  if (json_object_is_type(data, json_type_object)) {
    if (picture_here(data, offset, length))
      return true;
    json_object_object_foreach(data, key, value) {
      (void)key;
      if (find_picture(value, offset, length))
        return true;
    }
  } else if (json_object_is_type(data, json_type_array)) {
    for (size_t i = 0; i < json_object_array_length(data); ++i)
      if (find_picture(json_object_array_get_idx(data, i), offset, length))
        return true;
  }
  return false;
}

bool copy_range(const std::string &from, int64_t offset, int64_t length, const std::string &to, std::string *error) {
  int in = open(from.c_str(), O_RDONLY | O_CLOEXEC);
  if (in < 0) {
    *error = "cannot open " + from + ": " + strerror(errno);
    return false;
  }
  struct stat info {};
  if (fstat(in, &info) != 0 || length <= 0 || offset > info.st_size || length > info.st_size - offset) {
    *error = "the picture's place lies outside " + from + " (offset " + std::to_string(offset) + ", length " +
             std::to_string(length) + ")";
    close(in);
    return false;
  }
  int out = open(to.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (out < 0) {
    *error = "cannot write " + to + ": " + strerror(errno);
    close(in);
    return false;
  }
  char buffer[65536];
  int64_t done = 0;
  bool ok = true;
  while (ok && done < length) {
    size_t want = static_cast<size_t>(std::min<int64_t>(sizeof buffer, length - done));
    ssize_t got = pread(in, buffer, want, offset + done);
    if (got < 0 && errno == EINTR)
      continue;
    if (got <= 0) {
      *error = "cannot read " + from;
      ok = false;
    } else if (!write_all(out, buffer, static_cast<size_t>(got))) {
      *error = "cannot write " + to + ": " + strerror(errno);
      ok = false;
    } else {
      done += got;
    }
  }
  close(in);
  if (close(out) != 0 && ok) {
    *error = "cannot write " + to + ": " + strerror(errno);
    ok = false;
  }
  if (!ok)
    unlink(to.c_str());
  return ok;
}

std::string reply_text(json_object *reply, bool terminal) {
  int flags = JSON_C_TO_STRING_NOSLASHESCAPE | (terminal ? JSON_C_TO_STRING_PRETTY : JSON_C_TO_STRING_PLAIN);
  return json_object_to_json_string_ext(reply, flags);
}
