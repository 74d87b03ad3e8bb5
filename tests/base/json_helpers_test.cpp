#include "base/json_helpers.h"
#include "support/test_support.h"

#include <gtest/gtest.h>

TEST(BuildUtf8StringChild, EscapesEachInvalidByteAloneAndKeepsTheRest) {
  const struct {
    std::string in, out;
  } rows[] = {
      {"", ""},
      {"Caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x8e\xb5", "Caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x8e\xb5"},
      {"Caf\xe9", "Caf\\u00e9"},
      {"Caf\xe9 Noir.mp3", "Caf\\u00e9 Noir.mp3"}, // Latin-1: the bytes a lead announces are kept
      {"Caf\xe9.mp3", "Caf\\u00e9.mp3"},
      {"\xe9\xe9\xe9xyz", "\\u00e9\\u00e9\\u00e9xyz"},
      {"\xc0\xaf" "ok", "\\u00c0\\u00afok"},      // overlong form: both bytes invalid
      {"\xc3\xa9\xff", "\xc3\xa9\\u00ff"}, // valid text kept whole before the escape
      {"a\x80" "b\xfe" "c", "a\\u0080b\\u00fec"},
      {"\xe2\x82" "x\xe2\x82\xac", "\\u00e2\\u0082x\xe2\x82\xac"}, // truncated sequence, then a whole one
      {"x\xfc" "ab", "x\\u00fcab"},
      {"ab\xf0", "ab\\u00f0"},             // a lone lead byte last
  };
  for (const auto &row : rows) {
    // An exactly sized copy: a read past the terminating zero trips the sanitizer.
    g_autofree char *text = g_strndup(row.in.data(), row.in.size());
    json_ptr value(build_utf8_string_child(text));
    ASSERT_TRUE(json_is_created(value.get()));
    EXPECT_EQ(json_object_get_string(value.get()), row.out) << row.in;
  }
}

TEST(AddField, EachFormAddsItsTypeReplacesAndEscapes) {
  json_ptr obj(json_object_new_object());
  EXPECT_TRUE(add_field(obj.get(), "d", 1.0));
  EXPECT_TRUE(add_field(obj.get(), "i", 7));
  EXPECT_TRUE(add_field(obj.get(), "b", true));
  EXPECT_TRUE(add_field(obj.get(), "s", "/x/\xe9"));
  EXPECT_TRUE(add_field(obj.get(), "i", 8));
  // The escape is six plain characters: serialised, its backslash is escaped.
  EXPECT_EQ(json_text(obj.get()), R"({"d":1.0,"i":8,"b":true,"s":"\/x\/\\u00e9"})");
  EXPECT_FALSE(json_is_created(reinterpret_cast<json_object *>(static_cast<uintptr_t>(-1))));
  EXPECT_FALSE(json_is_created(reinterpret_cast<json_object *>(static_cast<uintptr_t>(-4000) + 1)));
}

TEST(Readers, ReadOnlyMembersOfTheirOwnType) {
  json_ptr obj = parse_json(R"({"s":"x","b":false,"i":5,"d":5.0,"a":["a",1,"b",null,{}],"e":[],"n":null})");
  EXPECT_STREQ(get_string_field(obj.get(), "s"), "x");
  EXPECT_EQ(get_string_field(obj.get(), "i"), nullptr);
  EXPECT_EQ(get_string_field(obj.get(), "missing"), nullptr);

  bool flag = true;
  EXPECT_FALSE(get_bool_field(obj.get(), "i", &flag));
  EXPECT_TRUE(get_bool_field(obj.get(), "b", &flag));
  EXPECT_FALSE(flag);

  int value = -1;
  EXPECT_FALSE(get_int_field(obj.get(), "d", &value));
  EXPECT_EQ(value, -1);
  EXPECT_TRUE(get_int_field(obj.get(), "i", &value));
  EXPECT_EQ(value, 5);

  const struct {
    const char *key;
    const char *texts; // each text followed by a comma; null: no array
  } arrays[] = {{"a", "a,b,"}, {"e", ""}, {"s", nullptr}, {"n", nullptr}, {"missing", nullptr}};
  for (const auto &row : arrays) {
    GArray *texts = get_string_array(obj.get(), row.key);
    ASSERT_EQ(texts != nullptr, row.texts != nullptr) << row.key;
    if (texts == nullptr)
      continue;
    std::string joined;
    for (guint i = 0; i < texts->len; ++i)
      joined += std::string(g_array_index(texts, char *, i)) + ",";
    EXPECT_EQ(joined, row.texts);
    string_array_free_all(&texts);
    EXPECT_EQ(texts, nullptr);
  }
}

TEST(BuildChildArrayOrReturn, CreatesOnceAndNeverReplaces) {
  json_ptr obj = parse_json(R"({"s":"text"})");
  EXPECT_EQ(build_child_array_or_return(obj.get(), "s"), json_object_object_get(obj.get(), "s"));
  json_object *made = build_child_array_or_return(obj.get(), "list");
  ASSERT_NE(made, nullptr);
  EXPECT_EQ(build_child_array_or_return(obj.get(), "list"), made);
  EXPECT_EQ(json_text(obj.get()), R"({"s":"text","list":[]})");
}
