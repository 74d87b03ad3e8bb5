// A file that hangs the worker, in a batch of ordinary files, at the
// service's real time-outs: the batch is answered after the worker was
// killed twice, with the file reported toxic in its place.
#include "qs/bus_fixture.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>

namespace {

std::string entry_of(const std::string &path) {
  json_ptr entry(json_object_new_object());
  add_field(entry.get(), "path", path.c_str());
  struct stat info {};
  bool exists = stat(path.c_str(), &info) == 0;
  add_field(entry.get(), "size", exists ? static_cast<double>(info.st_size) : 0.0);
  add_field(entry.get(), "modified", exists ? static_cast<double>(info.st_mtime) : 0.0);
  json_ptr record = record_of(path);
  json_object_object_add(entry.get(), "data",
                         record != nullptr ? record.release()
                                           : json_tokener_parse("{\"returnValue\":false,\"toxic\":true}"));
  return json_object_to_json_string_ext(entry.get(), JSON_C_TO_STRING_PLAIN);
}

TEST(ToxicFile, IsReportedInItsPlaceAfterTwoTimeOuts) {
  private_bus bus;
  ASSERT_TRUE(bus.start());
  GDBusConnection *client = bus_connect(bus.address);
  ASSERT_NE(client, nullptr);
  temp_dir files;
  std::string before = files.write("before.m3u", "#EXTM3U\n/music/a.mp3\n");
  std::string after = files.write("after.pls", "[playlist]\nFile1=/music/b.mp3\nNumberOfEntries=1\nVersion=2\n");
  const std::string toxic = "::test::toxic::neverreturn::";

  call_result result = call_parse(
      client, "{\"files\":[\"" + before + "\",\"" + toxic + "\",\"" + after + "\"]}", 300000);
  ASSERT_TRUE(result.done);
  json_ptr reply = parse_json(result.reply);
  ASSERT_NE(reply, nullptr) << result.error_name << " " << result.error_text;
  EXPECT_STREQ(json_object_to_json_string_ext(reply.get(), JSON_C_TO_STRING_PLAIN),
               ("{\"returnValue\":true,\"files\":[" + entry_of(before) + "," + entry_of(toxic) + "," +
                entry_of(after) + "]}")
                   .c_str());

  // The service goes on with a fresh worker.
  call_result next = call_parse(client, "{\"files\":[\"" + before + "\"]}");
  json_ptr next_reply = parse_json(next.reply);
  bool ok = false;
  EXPECT_TRUE(next_reply != nullptr && get_bool_field(next_reply.get(), "returnValue", &ok) && ok) << next.reply;

  g_dbus_connection_close_sync(client, nullptr, nullptr);
  g_object_unref(client);
  bus.stop();
  std::string errors = bus.errors();
  EXPECT_NE(errors.find("First time parser died on us"), std::string::npos) << errors;
  EXPECT_NE(errors.find("Toxic file"), std::string::npos) << errors;
  EXPECT_EQ(sanitizer_reports(errors), std::vector<std::string>{}) << errors;
}

} // namespace
