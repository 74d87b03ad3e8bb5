#include "formats/id3/id3_tags.h"

#include <cstdlib>

namespace {

// The library's UCS-4 text as UTF-8; "" for none.
std::string utf8_of(const id3_ucs4_t *text) {
  if (text == nullptr)
    return "";
  id3_utf8_t *utf8 = id3_ucs4_utf8duplicate(text);
  if (utf8 == nullptr)
    return "";
  std::string out(reinterpret_cast<const char *>(utf8));
  free(utf8);
  return out;
}

// The number `digits` spells, or -1 when it is not one short decimal number.
int small_number(const std::string &digits) {
  if (digits.empty() || digits.size() > 3)
    return -1;
  int n = 0;
  for (char c : digits) {
    if (c < '0' || c > '9')
      return -1;
    n = n * 10 + (c - '0');
  }
  return n;
}

} // namespace

std::string id3_genre_name_of(unsigned number) { return utf8_of(id3_genre_index(number)); }

std::string id3_genre_text(const std::string &text) {
  int number = small_number(text);
  if (number < 0 && text.size() > 2 && text[0] == '(') {
    const size_t close = text.find(')');
    if (close != std::string::npos) {
      if (close + 1 < text.size())
        return text.substr(close + 1);
      number = small_number(text.substr(1, close - 1));
    }
  }
  if (number < 0)
    return text;
  const std::string name = id3_genre_name_of(static_cast<unsigned>(number));
  return name.empty() ? text : name;
}

std::string id3_first_comment(const id3_tag *tag) {
  // COMM: text encoding, language, short description, then the text.
  const id3_frame *frame = id3_tag_findframe(tag, "COMM", 0);
  if (frame == nullptr)
    return "";
  const id3_field *text = id3_frame_field(frame, 3);
  if (text == nullptr || text->type != ID3_FIELD_TYPE_STRINGFULL)
    return "";
  return utf8_of(id3_field_getfullstring(text));
}
