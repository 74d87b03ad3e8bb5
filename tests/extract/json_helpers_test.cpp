#include "extract/json_helpers.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

std::string escaped(const std::string &bytes) {
  json_ptr value(build_utf8_string_child(bytes.c_str()));
  EXPECT_TRUE(json_is_created(value.get()));
  return json_object_get_string(value.get());
}

std::string plain(json_object *obj) { return json_object_to_json_string_ext(obj, JSON_C_TO_STRING_PLAIN); }

} // namespace

TEST(BuildUtf8StringChild, EscapesInvalidBytesAndDropsAnnouncedOnes) {
  struct row {
    const char *name;
    std::string in;
    std::string out;
  };
  const row rows[] = {
      {"ascii unchanged", "Hello, world", "Hello, world"},
      {"utf-8 unchanged", "Caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x8e\xb5", "Caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x8e\xb5"},
      {"empty", "", ""},
      {"latin-1 byte at the end", "Caf\xe9", "Caf\\u00e9"},
      {"three-byte lead drops two bytes", "Caf\xe9 Noir", "Caf\\u00e9oir"},
      {"valid then ff", "\xc3\xa9\xff", "\xc3\xa9\\u00ff"},
      {"lone f0 last", "ab\xf0", "ab\\u00f0"},
      {"continuation byte steps one", "a\x80" "b", "a\\u0080b"},
      {"fe steps one", "\xfe" "ab", "\\u00feab"},
      {"six-byte lead near the end", "x\xfc" "ab", "x\\u00fc"},
      {"invalid lead swallows the next two", "\xe9\xe9\xe9xyz", "\\u00e9xyz"},
      {"overlong c0 pair", "\xc0\xaf" "ok", "\\u00c0ok"},
  };
  for (const row &r : rows)
    EXPECT_EQ(escaped(r.in), r.out) << r.name;
}

TEST(BuildUtf8StringChild, EscapeSurvivesSerialisationAsSixCharacters) {
  json_ptr obj(json_object_new_object());
  ASSERT_TRUE(add_field(obj.get(), "path", "/x/\xe9"));
  EXPECT_EQ(plain(obj.get()), "{\"path\":\"\\/x\\/\\\\u00e9\"}");
  json_ptr back(json_tokener_parse(plain(obj.get()).c_str()));
  EXPECT_STREQ(get_string_field(back.get(), "path"), "/x/\\u00e9");
}

TEST(AddField, EachFormAddsItsTypeAndReplacesAnEarlierMember) {
  json_ptr obj(json_object_new_object());
  EXPECT_TRUE(add_field(obj.get(), "d", 1.0));
  EXPECT_TRUE(add_field(obj.get(), "i", 7));
  EXPECT_TRUE(add_field(obj.get(), "b", true));
  EXPECT_TRUE(add_field(obj.get(), "s", "text"));
  EXPECT_EQ(plain(obj.get()), "{\"d\":1.0,\"i\":7,\"b\":true,\"s\":\"text\"}");
  EXPECT_TRUE(add_field(obj.get(), "i", 8));
  EXPECT_EQ(json_object_object_length(obj.get()), 4);
  int value = 0;
  EXPECT_TRUE(get_int_field(obj.get(), "i", &value));
  EXPECT_EQ(value, 8);
}

TEST(Readers, ReadOnlyMembersOfTheirOwnType) {
  json_ptr obj(json_tokener_parse(
      R"({"s":"x","b":false,"i":5,"d":5.0,"a":["a",1,"b",null,{}],"e":[],"n":null})"));
  ASSERT_TRUE(obj);
  EXPECT_STREQ(get_string_field(obj.get(), "s"), "x");
  EXPECT_EQ(get_string_field(obj.get(), "i"), nullptr);
  EXPECT_EQ(get_string_field(obj.get(), "missing"), nullptr);

  bool flag = true;
  EXPECT_TRUE(get_bool_field(obj.get(), "b", &flag));
  EXPECT_FALSE(flag);
  EXPECT_FALSE(get_bool_field(obj.get(), "i", &flag));

  int value = -1;
  EXPECT_FALSE(get_int_field(obj.get(), "d", &value));
  EXPECT_EQ(value, -1);
  EXPECT_TRUE(get_int_field(obj.get(), "i", &value));
  EXPECT_EQ(value, 5);

  GArray *paths = get_string_array(obj.get(), "a");
  ASSERT_NE(paths, nullptr);
  ASSERT_EQ(paths->len, 2u);
  EXPECT_STREQ(g_array_index(paths, char *, 0), "a");
  EXPECT_STREQ(g_array_index(paths, char *, 1), "b");
  string_array_free_all(&paths);
  EXPECT_EQ(paths, nullptr);

  GArray *empty = get_string_array(obj.get(), "e");
  ASSERT_NE(empty, nullptr);
  EXPECT_EQ(empty->len, 0u);
  string_array_free_all(&empty);

  for (const char *key : {"s", "n", "missing"})
    EXPECT_EQ(get_string_array(obj.get(), key), nullptr) << key;
}

TEST(BuildChildArrayOrReturn, CreatesOnceAndNeverReplaces) {
  json_ptr obj(json_tokener_parse(R"({"s":"text"})"));
  EXPECT_EQ(build_child_array_or_return(obj.get(), "s"), json_object_object_get(obj.get(), "s"));
  EXPECT_TRUE(json_object_is_type(json_object_object_get(obj.get(), "s"), json_type_string));

  json_object *made = build_child_array_or_return(obj.get(), "list");
  ASSERT_NE(made, nullptr);
  EXPECT_TRUE(json_object_is_type(made, json_type_array));
  EXPECT_EQ(build_child_array_or_return(obj.get(), "list"), made);
  EXPECT_EQ(plain(obj.get()), "{\"s\":\"text\",\"list\":[]}");
}

TEST(JsonIsCreated, RejectsNullAndErrorPointers) {
  EXPECT_FALSE(json_is_created(nullptr));
  EXPECT_FALSE(json_is_created(reinterpret_cast<json_object *>(static_cast<uintptr_t>(-1))));
  EXPECT_FALSE(json_is_created(reinterpret_cast<json_object *>(static_cast<uintptr_t>(-4000) + 1)));
}
