#include "qs/bus_fixture.h"
#include "qs/quarnservice.h"

#include <gtest/gtest.h>

#include <signal.h>

#include <string>
#include <vector>

namespace {

const char *const test_name = "com.kivo.qstest";

// What the test handlers saw and what they should do.
std::vector<std::string> payloads_seen;
QSMessage *kept_message;
bool keep_message;

bool echo_later(QSHandle *, QSMessage *message, void *) {
  payloads_seen.push_back(QSMessageGetPayload(message));
  if (keep_message) {
    QSMessageRef(message);
    kept_message = message;
  }
  return true;
}

bool echo_now(QSHandle *handle, QSMessage *message, void *) {
  std::string answer = std::string("{\"echo\":") + QSMessageGetPayload(message) + "}";
  EXPECT_TRUE(QSMessageReply(handle, message, answer.c_str(), nullptr));
  return true;
}

const QSMethod methods[] = {{"later", echo_later, 0}, {"now", echo_now, 0}, {nullptr, nullptr, 0}};

struct response {
  std::string payload;
  void *context;
};
std::vector<response> responses;

bool record_response(QSHandle *, QSMessage *message, void *context) {
  responses.push_back({QSMessageGetPayload(message), context});
  return true;
}

class QuarnService : public ::testing::Test {
protected:
  void SetUp() override {
    payloads_seen.clear();
    responses.clear();
    kept_message = nullptr;
    keep_message = false;
    ASSERT_TRUE(bus.start({}, false));
    g_setenv("DBUS_SESSION_BUS_ADDRESS", bus.address.c_str(), TRUE);
    g_unsetenv("DBUS_STARTER_ADDRESS");
    loop = g_main_loop_new(nullptr, FALSE);
    client = bus_connect(bus.address);
    ASSERT_NE(client, nullptr);
  }
  void TearDown() override {
    if (handle != nullptr) {
      EXPECT_TRUE(QSUnregister(handle, nullptr));
    }
    g_dbus_connection_close_sync(client, nullptr, nullptr);
    g_object_unref(client);
    g_main_loop_unref(loop);
    bus.stop();
  }
  void register_service() {
    QSError error;
    ASSERT_TRUE(QSErrorInit(&error));
    ASSERT_TRUE(QSRegister(test_name, &handle, &error)) << error.message;
    ASSERT_TRUE(QSGmainAttach(handle, loop, &error));
    ASSERT_TRUE(QSRegisterCategory(handle, "/", methods, nullptr, nullptr, &error)) << error.message;
    QSErrorFree(&error);
  }
  bool name_has_owner(const char *name) { return name_owner_pid(client, name) != 0; }

  private_bus bus;
  GMainLoop *loop = nullptr;
  GDBusConnection *client = nullptr;
  QSHandle *handle = nullptr;
};

TEST_F(QuarnService, OwnsItsNameAloneAndReleasesIt) {
  register_service();
  EXPECT_TRUE(name_has_owner(test_name));

  QSHandle *second = nullptr;
  QSError error;
  QSErrorInit(&error);
  EXPECT_FALSE(QSRegister(test_name, &second, &error));
  EXPECT_EQ(error.code, QS_ERROR_NAME_TAKEN);
  EXPECT_EQ(second, nullptr);
  QSErrorFree(&error);

  EXPECT_TRUE(QSUnregister(handle, nullptr));
  handle = nullptr;
  EXPECT_FALSE(name_has_owner(test_name));
  register_service();
  EXPECT_TRUE(name_has_owner(test_name));
}

TEST_F(QuarnService, RefusesMalformedArguments) {
  QSError error;
  QSErrorInit(&error);
  for (const char *name : {"", "nodots", ":1.5", "com.kivo.bad-name", "com..kivo"}) {
    QSHandle *h = nullptr;
    EXPECT_FALSE(QSRegister(name, &h, &error)) << name;
    EXPECT_EQ(error.code, QS_ERROR_INVALID_ARGUMENT) << name;
  }
  register_service();
  const QSMethod empty[] = {{nullptr, nullptr, 0}};
  const QSMethod bad_name[] = {{"no-dash", echo_now, 0}, {nullptr, nullptr, 0}};
  const QSMethod no_function[] = {{"x", nullptr, 0}, {nullptr, nullptr, 0}};
  EXPECT_FALSE(QSRegisterCategory(handle, "relative", methods, nullptr, nullptr, &error));
  EXPECT_FALSE(QSRegisterCategory(handle, "/a/", methods, nullptr, nullptr, &error));
  EXPECT_FALSE(QSRegisterCategory(handle, "/e", empty, nullptr, nullptr, &error));
  EXPECT_FALSE(QSRegisterCategory(handle, "/b", bad_name, nullptr, nullptr, &error));
  EXPECT_FALSE(QSRegisterCategory(handle, "/f", no_function, nullptr, nullptr, &error));

  unsigned long token = 0;
  for (const char *uri : {"", "kivo://", "kivo://com.kivo.x", "kivo://com.kivo.x/", "http://com.kivo.x/m",
                          "kivo://nodots/m", "kivo://com.kivo.x/a/b", "kivo:///m"}) {
    EXPECT_FALSE(QSCall(handle, uri, "{}", record_response, nullptr, &token, &error)) << uri;
    EXPECT_EQ(error.code, QS_ERROR_INVALID_ARGUMENT) << uri;
    EXPECT_EQ(token, 0u) << uri;
  }
  EXPECT_FALSE(QSCall(handle, "kivo://com.kivo.x/m", "\xe9", record_response, nullptr, &token, &error));
  EXPECT_FALSE(QSCallCancel(handle, 0, &error));
  EXPECT_FALSE(QSCallCancel(handle, 12345, &error));
  EXPECT_EQ(error.code, QS_ERROR_UNKNOWN_CALL);
  QSErrorFree(&error);
}

TEST_F(QuarnService, AnswersAtOnceAndDescribesItsMethods) {
  register_service();
  call_result result = call_sync(client, test_name, "now", "[1]");
  ASSERT_TRUE(result.done);
  EXPECT_EQ(result.reply, "{\"echo\":[1]}");

  call_result intro;
  g_dbus_connection_call(
      client, test_name, "/", "org.freedesktop.DBus.Introspectable", "Introspect", nullptr, G_VARIANT_TYPE("(s)"),
      G_DBUS_CALL_FLAGS_NONE, -1, nullptr,
      [](GObject *source, GAsyncResult *res, gpointer data) {
        GVariant *value = g_dbus_connection_call_finish(G_DBUS_CONNECTION(source), res, nullptr);
        auto *out = static_cast<call_result *>(data);
        if (value != nullptr) {
          const char *xml = nullptr;
          g_variant_get(value, "(&s)", &xml);
          out->reply = xml;
          g_variant_unref(value);
        }
        out->done = true;
      },
      &intro);
  ASSERT_TRUE(run_until([&] { return intro.done; }));
  EXPECT_NE(intro.reply.find("<interface name=\"com.kivo.qstest\">"), std::string::npos) << intro.reply;
  EXPECT_NE(intro.reply.find("<method name=\"later\">"), std::string::npos);
}

TEST_F(QuarnService, RepliesAfterTheHandlerReturnedOnceOnly) {
  register_service();
  keep_message = true;
  call_result result;
  call_async(client, test_name, "later", "{\"files\":[]}", &result);
  ASSERT_TRUE(run_until([&] { return kept_message != nullptr; }));
  // Let the loop turn a few times: the call must stay unanswered meanwhile.
  run_until([] { return false; }, 100);
  EXPECT_FALSE(result.done);
  EXPECT_EQ(payloads_seen, std::vector<std::string>{"{\"files\":[]}"});

  QSError error;
  QSErrorInit(&error);
  EXPECT_FALSE(QSMessageReply(handle, kept_message, "\xff", &error)) << "invalid UTF-8 must not be sent";
  EXPECT_TRUE(QSMessageReply(handle, kept_message, "{\"returnValue\":true}", &error));
  EXPECT_FALSE(QSMessageReply(handle, kept_message, "{}", &error));
  EXPECT_EQ(error.code, QS_ERROR_ALREADY_REPLIED);
  QSErrorFree(&error);
  QSMessageUnref(kept_message);
  ASSERT_TRUE(run_until([&] { return result.done; }));
  EXPECT_EQ(result.reply, "{\"returnValue\":true}");
}

TEST_F(QuarnService, ACallDroppedWithoutReplyGetsAnError) {
  register_service();
  call_result result = call_sync(client, test_name, "later", "{}", 5000);
  ASSERT_TRUE(result.done);
  EXPECT_EQ(result.error_name, "com.kivo.Error.NoReply");
}

TEST_F(QuarnService, CallsReachTheCalleeAndCancelTellsIt) {
  register_service();
  activity_manager manager(bus.address);
  int context = 0;
  unsigned long first = 0;
  unsigned long second = 0;
  ASSERT_TRUE(QSCall(handle, "kivo://com.kivo.taskherd/join", "{\"a\":1}", record_response, &context, &first, nullptr));
  ASSERT_TRUE(QSCall(handle, "kivo://com.kivo.taskherd/mapProcess", "{\"b\":2}", record_response, &context, &second,
                     nullptr));
  EXPECT_NE(first, 0u);
  EXPECT_NE(second, 0u);
  EXPECT_NE(first, second);
  ASSERT_TRUE(run_until([&] { return responses.size() == 2; }));
  for (const response &r : responses) {
    EXPECT_EQ(r.payload, "{\"returnValue\":true}");
    EXPECT_EQ(r.context, &context);
  }
  EXPECT_TRUE(QSCallCancel(handle, first, nullptr));
  EXPECT_TRUE(QSCallCancel(handle, second, nullptr));
  EXPECT_FALSE(QSCallCancel(handle, first, nullptr)) << "a call ends once";
  ASSERT_TRUE(run_until([&] { return manager.calls.size() == 4; }));
  EXPECT_EQ(manager.methods(), (std::vector<std::string>{"join", "mapProcess", "cancel join", "cancel mapProcess"}));
  EXPECT_EQ(manager.calls[0].payload, "{\"a\":1}");
  EXPECT_EQ(manager.calls[1].payload, "{\"b\":2}");
}

TEST_F(QuarnService, ACancelledCallNeverReachesItsCallback) {
  register_service();
  activity_manager manager(bus.address);
  unsigned long token = 0;
  ASSERT_TRUE(QSCall(handle, "kivo://com.kivo.taskherd/join", "{}", record_response, nullptr, &token, nullptr));
  EXPECT_TRUE(QSCallCancel(handle, token, nullptr));
  ASSERT_TRUE(run_until([&] { return manager.calls.size() == 2; }));
  run_until([] { return false; }, 100);
  EXPECT_TRUE(responses.empty());
  EXPECT_EQ(manager.methods(), (std::vector<std::string>{"join", "cancel join"}));
}

TEST_F(QuarnService, ACallToNobodyFailsWithoutHarm) {
  register_service();
  unsigned long token = 0;
  ASSERT_TRUE(QSCall(handle, "kivo://com.kivo.nobody/join", "{}", record_response, nullptr, &token, nullptr));
  ASSERT_TRUE(run_until([&] { return responses.size() == 1; }));
  json_ptr answer = parse_json(responses[0].payload);
  ASSERT_NE(answer, nullptr) << responses[0].payload;
  bool ok = true;
  EXPECT_TRUE(get_bool_field(answer.get(), "returnValue", &ok));
  EXPECT_FALSE(ok);
  EXPECT_TRUE(QSCallCancel(handle, token, nullptr));
}

TEST_F(QuarnService, UnregisterEndsOpenCalls) {
  register_service();
  activity_manager manager(bus.address);
  unsigned long token = 0;
  ASSERT_TRUE(QSCall(handle, "kivo://com.kivo.taskherd/join", "{}", record_response, nullptr, &token, nullptr));
  EXPECT_TRUE(QSUnregister(handle, nullptr));
  handle = nullptr;
  ASSERT_TRUE(run_until([&] { return manager.calls.size() == 2; }));
  EXPECT_EQ(manager.methods(), (std::vector<std::string>{"join", "cancel join"}));
  EXPECT_TRUE(responses.empty());
}

TEST_F(QuarnService, PrefersTheBusThatStartedIt) {
  private_bus starter;
  ASSERT_TRUE(starter.start({}, false));
  g_setenv("DBUS_STARTER_ADDRESS", starter.address.c_str(), TRUE);
  register_service();
  g_unsetenv("DBUS_STARTER_ADDRESS");
  GDBusConnection *other = bus_connect(starter.address);
  ASSERT_NE(other, nullptr);
  EXPECT_NE(name_owner_pid(other, test_name), 0);
  EXPECT_FALSE(name_has_owner(test_name));
  g_dbus_connection_close_sync(other, nullptr, nullptr);
  g_object_unref(other);
  EXPECT_TRUE(QSUnregister(handle, nullptr));
  handle = nullptr;
}

TEST_F(QuarnService, ALostBusEndsTheAttachedLoop) {
  register_service();
  g_timeout_add(50, [](gpointer data) {
    kill(static_cast<private_bus *>(data)->pid, SIGTERM);
    return G_SOURCE_REMOVE;
  }, &bus);
  guint guard = g_timeout_add_seconds(10, [](gpointer data) {
    g_main_loop_quit(static_cast<GMainLoop *>(data));
    ADD_FAILURE() << "the loop did not end when the bus went away";
    return G_SOURCE_REMOVE;
  }, loop);
  g_main_loop_run(loop);
  g_source_remove(guard);
  QSUnregister(handle, nullptr);
  handle = nullptr;
}

} // namespace
