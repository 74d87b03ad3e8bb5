#include "qs/bus_fixture.h"
#include "qs/quarnservice.h"

#include <gtest/gtest.h>

#include <signal.h>

#include <string>
#include <vector>

namespace {

using names = std::vector<std::string>;

const char *const test_name = "com.kivo.qstest";

std::vector<std::string> payloads_seen;
QSMessage *kept_message;
bool keep_message; // whether "later" keeps its message to answer it after

bool later(QSHandle *, QSMessage *message, void *) {
  payloads_seen.push_back(QSMessageGetPayload(message));
  if (keep_message) {
    QSMessageRef(message);
    kept_message = message;
  }
  return true;
}

bool now(QSHandle *handle, QSMessage *message, void *) {
  std::string answer = std::string("{\"echo\":") + QSMessageGetPayload(message) + "}";
  EXPECT_TRUE(QSMessageReply(handle, message, answer.c_str(), nullptr));
  return true;
}

const QSMethod methods[] = {{"later", later, 0}, {"now", now, 0}, {nullptr, nullptr, 0}};

struct response {
  std::string payload;
  void *context;
};
std::vector<response> responses;

bool record_response(QSHandle *, QSMessage *message, void *context) {
  responses.push_back({QSMessageGetPayload(message), context});
  return true;
}

class QuarnService : public own_bus_test {
protected:
  void SetUp() override {
    payloads_seen.clear();
    responses.clear();
    kept_message = nullptr;
    keep_message = false;
    own_bus_test::SetUp();
  }
  void TearDown() override {
    if (handle != nullptr) {
      EXPECT_TRUE(QSUnregister(handle, nullptr));
    }
    own_bus_test::TearDown();
  }
  void register_service() {
    QSError error;
    ASSERT_TRUE(QSErrorInit(&error));
    ASSERT_TRUE(QSRegister(test_name, &handle, &error)) << error.message;
    ASSERT_TRUE(QSGmainAttach(handle, loop, &error));
    ASSERT_TRUE(QSRegisterCategory(handle, "/", methods, nullptr, nullptr, &error)) << error.message;
    QSErrorFree(&error);
  }
  void unregister() {
    EXPECT_TRUE(QSUnregister(handle, nullptr));
    handle = nullptr;
  }
  bool owned(const char *name) { return bus_owner_pid(client.get(), name) != 0; }
  bool call(const char *method, const std::string &payload, unsigned long *token, void *context = nullptr) {
    return QSCall(handle, (std::string("kivo://com.kivo.taskherd/") + method).c_str(), payload.c_str(),
                  record_response, context, token, nullptr);
  }

  QSHandle *handle = nullptr;
};

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
  const QSMethod bad_name[] = {{"no-dash", now, 0}, {nullptr, nullptr, 0}};
  const QSMethod no_function[] = {{"x", nullptr, 0}, {nullptr, nullptr, 0}};
  const std::pair<const char *, const QSMethod *> categories[] = {
      {"relative", methods}, {"/a/", methods}, {"/e", empty}, {"/b", bad_name}, {"/f", no_function}};
  for (const auto &[category, table] : categories)
    EXPECT_FALSE(QSRegisterCategory(handle, category, table, nullptr, nullptr, &error)) << category;

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
  EXPECT_EQ(call_sync(client.get(), test_name, "now", "[1]").reply, "{\"echo\":[1]}");

  call_result intro;
  bus_call_async(client.get(), test_name, "org.freedesktop.DBus.Introspectable", "Introspect", nullptr, &intro, -1);
  ASSERT_TRUE(run_until([&] { return intro.done; }));
  EXPECT_NE(intro.reply.find("<interface name=\"com.kivo.qstest\">"), std::string::npos) << intro.reply;
  EXPECT_NE(intro.reply.find("<method name=\"later\">"), std::string::npos);
}

TEST_F(QuarnService, AKeptMessageIsAnsweredOnceLaterADroppedOneGetsAnError) {
  register_service();
  EXPECT_EQ(call_sync(client.get(), test_name, "later", "{}", 5000).error_name, "com.kivo.Error.NoReply");

  keep_message = true;
  call_result result;
  call_async(client.get(), test_name, "later", "{\"files\":[]}", &result);
  ASSERT_TRUE(run_until([&] { return kept_message != nullptr; }));
  run_until([] { return false; }, 100); // the call stays unanswered meanwhile
  EXPECT_FALSE(result.done);
  EXPECT_EQ(payloads_seen, (names{"{}", "{\"files\":[]}"}));
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

TEST_F(QuarnService, CallsReachTheCalleeOrFailAndCancelTellsIt) {
  register_service();
  activity_manager manager(bus.address);
  int context = 0;
  unsigned long first = 0, second = 0;
  ASSERT_TRUE(call("join", "{\"a\":1}", &first, &context));
  ASSERT_TRUE(call("mapProcess", "{\"b\":2}", &second, &context));
  EXPECT_NE(first, 0u);
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
  EXPECT_EQ(manager.methods(), (names{"join", "mapProcess", "cancel join", "cancel mapProcess"}));
  EXPECT_EQ(manager.calls[0].payload, "{\"a\":1}");
  EXPECT_EQ(manager.calls[1].payload, "{\"b\":2}");
  EXPECT_EQ(manager.calls[3].payload, "{\"serial\":" + std::to_string(manager.calls[1].serial) +
                                          ",\"method\":\"mapProcess\"}");

  // A call to a name nobody owns gets a failure response, and ends as usual.
  ASSERT_TRUE(QSCall(handle, "kivo://com.kivo.nobody/join", "{}", record_response, nullptr, &first, nullptr));
  ASSERT_TRUE(run_until([&] { return responses.size() == 3; }));
  json_ptr answer = parse_json(responses[2].payload);
  bool ok = true;
  EXPECT_TRUE(answer != nullptr && get_bool_field(answer.get(), "returnValue", &ok)) << responses[2].payload;
  EXPECT_FALSE(ok);
  EXPECT_TRUE(QSCallCancel(handle, first, nullptr));
}

TEST_F(QuarnService, CancelAndUnregisterEndCallsBeforeTheirCallback) {
  register_service();
  activity_manager manager(bus.address);
  unsigned long token = 0;
  ASSERT_TRUE(call("join", "{}", &token));
  EXPECT_TRUE(QSCallCancel(handle, token, nullptr));
  ASSERT_TRUE(call("mapProcess", "{}", &token));
  unregister();
  EXPECT_FALSE(owned(test_name)) << "the name is released at once";
  ASSERT_TRUE(run_until([&] { return manager.calls.size() == 4; }));
  run_until([] { return false; }, 100);
  EXPECT_TRUE(responses.empty());
  EXPECT_EQ(manager.methods(), (names{"join", "cancel join", "mapProcess", "cancel mapProcess"}));
}

TEST_F(QuarnService, PrefersTheBusThatStartedIt) {
  private_bus starter;
  ASSERT_TRUE(starter.start({}, false));
  g_setenv("DBUS_STARTER_ADDRESS", starter.address.c_str(), TRUE);
  register_service();
  g_unsetenv("DBUS_STARTER_ADDRESS");
  connection_ptr other(bus_connect(starter.address));
  ASSERT_NE(other, nullptr);
  EXPECT_NE(bus_owner_pid(other.get(), test_name), 0);
  EXPECT_FALSE(owned(test_name));
  unregister();
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
