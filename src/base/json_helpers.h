// Typed helpers over json-c used by every builder of a record or reply and by
// the readers of bus payloads. None of them logs; failure is the result.
#pragma once

#include <glib.h>
#include <json-c/json.h>

#include <memory>
#include <type_traits>

// Scoped ownership of json-c values: `json_ptr p(json_object_new_object());`
// and hand the reference over with `p.release()` when adding to a parent.
template <auto Fn> using fn_deleter = std::integral_constant<decltype(Fn), Fn>;
using json_ptr = std::unique_ptr<json_object, fn_deleter<&json_object_put>>;

// A json-c constructor result counts as created when it is neither null nor an
// error-encoded pointer (the last 4000 addresses, as older json-c returned).
bool json_is_created(const json_object *value);

// Add a member made from `value` under `key`; false (and `obj` unchanged) when
// the value could not be created. An existing member under `key` is replaced.
bool add_field(json_object *obj, const char *key, double value);
bool add_field(json_object *obj, const char *key, int value);
bool add_field(json_object *obj, const char *key, bool value);
bool add_field(json_object *obj, const char *key, const char *text);
// A double written with the fewest digits that read back as the same value
// (0.1, not 0.10000000000000001), and always as a number with a fraction or
// an exponent (2.0, not 2), so that a reader sees a double.
bool add_short_double(json_object *obj, const char *key, double value);

// A JSON string of `text` (not null), with every byte that is not part of
// valid UTF-8 written as the six characters \u00XX. Null when not created.
json_object *build_utf8_string_child(const char *text);

// The member under `key` whatever its type (no new reference), or a new empty
// array added under `key`; null if that array could not be created.
json_object *build_child_array_or_return(json_object *obj, const char *key);

const char *get_string_field(json_object *obj, const char *key);
bool get_bool_field(json_object *obj, const char *key, bool *out);
bool get_int_field(json_object *obj, const char *key, int *out);
// New array of g_strdup copies of the string elements of the array member
// under `key`; null when the member is missing or not an array.
GArray *get_string_array(json_object *obj, const char *key);
// Frees every text of an array of owned texts, the array, and nulls *array.
void string_array_free_all(GArray **array);
