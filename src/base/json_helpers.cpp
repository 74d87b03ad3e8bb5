#include "base/json_helpers.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>

bool json_is_created(const json_object *value) {
  // json-c's is_error(): pointers in the last 4000 bytes of the address range.
  return value != nullptr && reinterpret_cast<uintptr_t>(value) < static_cast<uintptr_t>(-4000);
}

namespace {

bool add_created(json_object *obj, const char *key, json_object *value) {
  if (!json_is_created(value))
    return false;
  json_object_object_add(obj, key, value);
  return true;
}

} // namespace

bool add_field(json_object *obj, const char *key, double value) {
  return add_created(obj, key, json_object_new_double(value));
}

bool add_short_double(json_object *obj, const char *key, double value) {
  char text[40];
  auto [end, failure] = std::to_chars(text, text + sizeof text - 3, value);
  if (failure != std::errc() || !std::isfinite(value))
    return false;
  if (std::find_if(text, end, [](char c) { return c == '.' || c == 'e'; }) == end) {
    *end++ = '.';
    *end++ = '0';
  }
  *end = '\0';
  return add_created(obj, key, json_object_new_double_s(value, text));
}

bool add_field(json_object *obj, const char *key, int value) {
  return add_created(obj, key, json_object_new_int(value));
}

bool add_field(json_object *obj, const char *key, bool value) {
  return add_created(obj, key, json_object_new_boolean(value));
}

bool add_field(json_object *obj, const char *key, const char *text) {
  return add_created(obj, key, build_utf8_string_child(text));
}

json_object *build_utf8_string_child(const char *text) {
  if (g_utf8_validate(text, -1, nullptr))
    return json_object_new_string(text);

  GString *built = g_string_new(nullptr);
  const char *cursor = text;
  for (;;) {
    const char *invalid = nullptr;
    if (g_utf8_validate(cursor, -1, &invalid)) {
      g_string_append(built, cursor);
      break;
    }
    g_string_append_len(built, cursor, invalid - cursor);
    unsigned char byte = static_cast<unsigned char>(*invalid);
    if (byte == 0) // validation stopped at the end of the text
      break;
    g_string_append_printf(built, "\\u00%hhx", byte);
    // Only the invalid byte itself is escaped: the bytes after it are text of
    // their own (a Latin-1 "Caf\xe9 Noir" keeps its " Noir"), so validation
    // goes on from the very next byte.
    cursor = invalid + 1;
  }
  char *out = g_string_free(built, FALSE);
  if (out == nullptr)
    return nullptr;
  json_object *value = json_object_new_string(out);
  g_free(out);
  return value;
}

json_object *build_child_array_or_return(json_object *obj, const char *key) {
  json_object *existing = nullptr;
  if (json_object_object_get_ex(obj, key, &existing))
    return existing;
  json_object *array = json_object_new_array();
  if (!json_is_created(array))
    return nullptr;
  json_object_object_add(obj, key, array);
  return array;
}

const char *get_string_field(json_object *obj, const char *key) {
  json_object *member = nullptr;
  if (!json_object_object_get_ex(obj, key, &member) || !json_object_is_type(member, json_type_string))
    return nullptr;
  return json_object_get_string(member);
}

bool get_bool_field(json_object *obj, const char *key, bool *out) {
  json_object *member = nullptr;
  if (!json_object_object_get_ex(obj, key, &member) || !json_object_is_type(member, json_type_boolean))
    return false;
  *out = json_object_get_boolean(member);
  return true;
}

bool get_int_field(json_object *obj, const char *key, int *out) {
  json_object *member = nullptr;
  if (!json_object_object_get_ex(obj, key, &member) || !json_object_is_type(member, json_type_int))
    return false;
  *out = json_object_get_int(member);
  return true;
}

GArray *get_string_array(json_object *obj, const char *key) {
  GArray *array = g_array_new(FALSE, FALSE, sizeof(char *));
  json_object *member = json_object_object_get(obj, key);
  if (!json_is_created(member) || !json_object_is_type(member, json_type_array)) {
    g_array_free(array, TRUE);
    return nullptr;
  }
  size_t n = json_object_array_length(member);
  for (size_t i = 0; i < n; ++i) {
    json_object *element = json_object_array_get_idx(member, i);
    if (!json_object_is_type(element, json_type_string))
      continue;
    char *copy = g_strdup(json_object_get_string(element));
    g_array_append_val(array, copy);
  }
  return array;
}

void string_array_free_all(GArray **array) {
  for (guint i = 0; i < (*array)->len; ++i)
    g_free(g_array_index(*array, char *, i));
  g_array_free(*array, TRUE);
  *array = nullptr;
}
