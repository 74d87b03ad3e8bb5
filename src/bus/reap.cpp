#include "bus/ipc.h"

#include "base/json_helpers.h"
#include "base/log.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

bool is_json_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

const char *skip_space(const char *at) {
  while (is_json_space(*at))
    ++at;
  return at;
}

// Past the white space at `at`; `*spaced` turns false unless that space is
// what json-c writes there: `blanks` (0 or 1) blanks.
const char *skip_space(const char *at, int blanks, bool *spaced) {
  const char *end = skip_space(at);
  if (end - at != blanks || (blanks == 1 && *at != ' '))
    *spaced = false;
  return end;
}

const char *skip_digits(const char *at) {
  while (g_ascii_isdigit(*at))
    ++at;
  return at;
}

// The four hex digits at `at` as a UTF-16 unit; false at anything else
// (never reading past the text's end).
bool hex_unit(const char *at, unsigned *unit) {
  unsigned value = 0;
  for (int i = 0; i < 4; ++i) {
    int digit = g_ascii_xdigit_value(at[i]);
    if (digit < 0)
      return false;
    value = value * 16 + static_cast<unsigned>(digit);
  }
  *unit = value;
  return true;
}

bool is_low_surrogate(unsigned unit) { return unit >= 0xdc00 && unit < 0xe000; }

// Past the closing quote of the string whose contents start at `at`, or null.
// Control bytes must be escaped, escapes are JSON's own, and a \u escape of a
// surrogate must be the high half of a pair, so the string always stands for
// valid Unicode.
const char *skip_string(const char *at) {
  for (;;) {
    auto c = static_cast<unsigned char>(*at++);
    if (c == '"')
      return at;
    if (c < 0x20) // a raw control byte, or the text's end
      return nullptr;
    if (c != '\\')
      continue;
    c = static_cast<unsigned char>(*at++);
    if (c == 'u') {
      unsigned unit = 0;
      if (!hex_unit(at, &unit) || is_low_surrogate(unit))
        return nullptr;
      at += 4;
      if (unit >= 0xd800 && unit < 0xdc00) {
        if (at[0] != '\\' || at[1] != 'u' || !hex_unit(at + 2, &unit) || !is_low_surrogate(unit))
          return nullptr;
        at += 6;
      }
    } else if (c == '\0' || strchr("\"\\/bfnrt", c) == nullptr) {
      return nullptr;
    }
  }
}

// Past the number at `at` (-? int frac? exp?), or null.
const char *skip_number(const char *at) {
  if (*at == '-')
    ++at;
  if (*at == '0')
    ++at;
  else if (g_ascii_isdigit(*at))
    at = skip_digits(at);
  else
    return nullptr;
  if (*at == '.') {
    if (!g_ascii_isdigit(at[1]))
      return nullptr;
    at = skip_digits(at + 1);
  }
  if (*at == 'e' || *at == 'E') {
    ++at;
    if (*at == '+' || *at == '-')
      ++at;
    if (!g_ascii_isdigit(*at))
      return nullptr;
    at = skip_digits(at);
  }
  return at;
}

const char *skip_word(const char *at, const char *word) {
  size_t length = strlen(word);
  return strncmp(at, word, length) == 0 ? at + length : nullptr;
}

// Past `"key":` and the space after it, or null.
const char *skip_key(const char *at, bool *spaced) {
  if (*at != '"' || (at = skip_string(at + 1)) == nullptr)
    return nullptr;
  at = skip_space(at, 0, spaced);
  return *at == ':' ? skip_space(at + 1, 1, spaced) : nullptr;
}

} // namespace

record_span record_value(const char *text) {
  // What closes each open container; json-c's tokener refuses a value inside
  // more containers than its default depth, so this does too.
  char closers[JSON_TOKENER_DEFAULT_DEPTH];
  int depth = 0;
  const char *start = skip_space(text);
  const char *at = start;
  bool spaced = true;
  for (;;) {
    // At a value.
    if (depth == JSON_TOKENER_DEFAULT_DEPTH)
      return {};
    switch (*at) {
    case '{':
    case '[':
      closers[depth++] = *at == '{' ? '}' : ']';
      at = skip_space(at + 1, 1, &spaced);
      if (*at == closers[depth - 1]) {
        --depth;
        ++at;
        break;
      }
      if (closers[depth - 1] == '}' && (at = skip_key(at, &spaced)) == nullptr)
        return {};
      continue;
    case '"':
      at = skip_string(at + 1);
      break;
    case 't':
      at = skip_word(at, "true");
      break;
    case 'f':
      at = skip_word(at, "false");
      break;
    case 'n':
      at = skip_word(at, "null");
      break;
    default:
      at = skip_number(at);
    }
    // Past a value: close containers until the next member or the end.
    const char *end = nullptr;
    for (;;) {
      if (at == nullptr)
        return {};
      end = at;
      at = skip_space(at);
      if (depth == 0) {
        // json-c reads a record of null as no record at all.
        if (*at != '\0' || *start == 'n')
          return {};
        return {start, static_cast<size_t>(end - start), spaced};
      }
      if (*at != closers[depth - 1])
        break;
      skip_space(end, 1, &spaced);
      --depth;
      ++at;
    }
    if (*at != ',')
      return {};
    skip_space(end, 0, &spaced);
    at = skip_space(at + 1, 1, &spaced);
    if (closers[depth - 1] == '}' && (at = skip_key(at, &spaced)) == nullptr)
      return {};
  }
}

namespace {

// Appends `text` as a JSON string the way json-c writes one: quote,
// backslash, "/" and the usual control characters as two-character escapes,
// other control bytes as \u00XX, everything else as it stands. A byte that is
// not part of valid UTF-8 is first made the six characters \u00XX (whose
// backslash is then escaped), as build_utf8_string_child does.
void append_string(GString *out, const char *text) {
  g_string_append_c(out, '"');
  const char *cursor = text;
  for (;;) {
    const char *invalid = nullptr;
    bool valid = g_utf8_validate(cursor, -1, &invalid);
    const char *plain = cursor;
    for (const char *c = cursor; c < invalid; ++c) {
      auto byte = static_cast<unsigned char>(*c);
      const char *escape = nullptr;
      switch (byte) {
      case '"': escape = "\\\""; break;
      case '\\': escape = "\\\\"; break;
      case '/': escape = "\\/"; break;
      case '\b': escape = "\\b"; break;
      case '\f': escape = "\\f"; break;
      case '\n': escape = "\\n"; break;
      case '\r': escape = "\\r"; break;
      case '\t': escape = "\\t"; break;
      default:
        if (byte >= 0x20)
          continue;
      }
      g_string_append_len(out, plain, c - plain);
      if (escape != nullptr)
        g_string_append(out, escape);
      else
        g_string_append_printf(out, "\\u00%02x", byte);
      plain = c + 1;
    }
    g_string_append_len(out, plain, invalid - plain);
    if (valid || *invalid == '\0')
      break;
    g_string_append_printf(out, "\\\\u00%02x", static_cast<unsigned char>(*invalid));
    cursor = invalid + 1;
  }
  g_string_append_c(out, '"');
}

// Appends `value` as json-c writes a double: "%.17g", with ".0" added when
// that shows neither a fraction nor an exponent. Whole numbers, what size and
// time always are, skip printf. json-c would write a value that is not finite
// as NaN or Infinity, which is no JSON: only a lying worker's digits can make
// one, and it is written as 0.0, the size and time of a file not opened.
void append_double(GString *out, double value) {
  char digits[40];
  if (!std::isfinite(value))
    value = 0;
  if (value >= 0 && value < 1e15 && value == std::floor(value) && !std::signbit(value)) {
    auto result = std::to_chars(digits, digits + sizeof digits, static_cast<long long>(value));
    g_string_append_len(out, digits, result.ptr - digits);
    g_string_append(out, ".0");
    return;
  }
  int length = snprintf(digits, sizeof digits, "%.17g", value);
  for (char *c = digits; *c != '\0'; ++c)
    if (*c == ',') // a locale's decimal comma, which json-c makes a point
      *c = '.';
  g_string_append_len(out, digits, length);
  if (strpbrk(digits, ".e") == nullptr)
    g_string_append(out, ".0");
}

// Appends the JSON value `text` with json-c's spacing: "{ " and " }", "[ "
// and " ]", "{ }" and "[ ]" when empty, ", " between members and elements,
// ": " after a key, no other white space. Strings and numbers stay as they
// stand.
void append_spaced(GString *out, const char *text, size_t length) {
  const char *end = text + length;
  for (const char *at = text; at < end;) {
    char c = *at++;
    switch (c) {
    case '"': {
      const char *past = skip_string(at);
      g_string_append_len(out, at - 1, past - at + 1);
      at = past;
      break;
    }
    case '{':
    case '[':
      g_string_append_c(out, c);
      g_string_append_c(out, ' ');
      at = skip_space(at);
      if (*at == '}' || *at == ']')
        g_string_append_c(out, *at++);
      break;
    case '}':
    case ']':
      g_string_append_c(out, ' ');
      g_string_append_c(out, c);
      break;
    case ',':
    case ':':
      g_string_append_c(out, c);
      g_string_append_c(out, ' ');
      break;
    default:
      if (!is_json_space(c))
        g_string_append_c(out, c);
    }
  }
}

// Appends `, "data": RECORD` when the worker's record text is one JSON value,
// and logs the record otherwise. A reply must be valid UTF-8 to travel on the
// bus, so a record holding invalid bytes has them replaced with U+FFFD rather
// than making the whole reply unsendable.
void append_data(GString *out, const char *path, const char *record) {
  g_autofree char *valid = nullptr;
  if (!g_utf8_validate(record, -1, nullptr)) {
    log_error("Metadata returned is not valid UTF-8! %s\n", path);
    valid = g_utf8_make_valid(record, -1);
    record = valid;
  }
  record_span value = record_value(record);
  if (value.text == nullptr) {
    log_error("Failed to parse metadata returned! %s\n%s\n", path, record);
    return;
  }
  g_string_append(out, ", \"data\": ");
  // The worker writes its records with json-c's writer, so they are spaced
  // as json-c spaces them and go in whole; its refusals, the service's own
  // records and anything else are spaced so first.
  if (value.json_c_spacing)
    g_string_append_len(out, value.text, static_cast<gssize>(value.length));
  else
    append_spaced(out, value.text, value.length);
}

// The bytes an entry takes in the reply besides its record: the path as
// json-c escapes it ("/", quote and backslash take two characters, other
// control bytes six), the member names, and size and time as doubles of at
// most 24 characters each.
size_t entry_frame_bytes(const char *path) {
  constexpr size_t frame = 112;
  size_t bytes = frame;
  for (const char *c = path; *c != '\0'; ++c) {
    auto byte = static_cast<unsigned char>(*c);
    if (byte == '/' || byte == '"' || byte == '\\' || byte == '\b' || byte == '\f' || byte == '\n' ||
        byte == '\r' || byte == '\t')
      bytes += 2;
    else
      bytes += byte < 0x20 ? 6 : 1;
  }
  return bytes;
}

} // namespace

size_t quarn_ipc_record_budget(GArray const *paths) {
  // The reply's own opening and closing.
  size_t frames = 64;
  for (guint i = 0; i < paths->len && frames <= reply_limit_bytes; ++i)
    frames += entry_frame_bytes(g_array_index(paths, char *, i));
  return frames < reply_limit_bytes ? reply_limit_bytes - frames : 0;
}

// The reply is written as text, entry by entry, in the bytes json-c writes
// for the whole reply object in its default, spaced form: objects as
// { "key": value, ... } and arrays as [ value, ... ]. Each record is spliced
// in as the worker wrote it (with json-c's writer too) once checked to be one
// JSON value, never parsed into a tree and written out again.
char *build_parse_reply(GArray const *results, GArray const *sizes, GArray const *modified, GArray const *files) {
  // Every entry needs its path, size and time: never read past the shortest.
  guint count = MIN(MIN(results->len, sizes->len), MIN(modified->len, files != nullptr ? files->len : 0));
  if (count != results->len)
    log_error("Reply has %u results for %u paths!\n", results->len, files != nullptr ? files->len : 0);
  GString *text = g_string_new("{ \"returnValue\": true, \"files\": [");
  for (guint i = 0; i < count; ++i) {
    const char *path = g_array_index(files, char *, i);
    g_string_append(text, i > 0 ? ", { \"path\": " : " { \"path\": ");
    append_string(text, path);
    g_string_append(text, ", \"size\": ");
    append_double(text, g_array_index(sizes, double, i));
    g_string_append(text, ", \"modified\": ");
    append_double(text, g_array_index(modified, double, i));
    const char *record = g_array_index(results, char *, i);
    if (record != nullptr)
      append_data(text, path, record);
    g_string_append(text, " }");
    if (text->len > reply_limit_bytes)
      break;
  }
  g_string_append(text, " ] }");
  if (text->len > reply_limit_bytes) {
    g_string_free(text, TRUE);
    return nullptr;
  }
  return g_string_free(text, FALSE);
}

void quarn_ipc_reap(GArray const *results, GArray const *sizes, GArray const *modified, void *context) {
  auto *request = static_cast<parse_request *>(context);
  if (request == nullptr)
    return;
  g_autofree char *reply = build_parse_reply(results, sizes, modified, request->files);
  if (reply == nullptr) {
    // Only this call is lost; sent, the bus would cut the service off.
    log_error("Reply of %u files too large to send, refused.\n", results->len);
    build_and_send_error(quarn_ipc_handle(), request->message, "replyTooLarge");
  } else if (!send_reply_text(quarn_ipc_handle(), request->message, reply)) {
    log_error("Failed to send reply from reap! Terminating.\n");
    log_error("Reply was: %s\n", reply);
    exit(1);
  }
  parse_request_free(request);
}
