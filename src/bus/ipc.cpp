#include "bus/ipc.h"

#include "base/json_helpers.h"
#include "base/log.h"

#include <cstdio>

namespace {

const char *const service_name = "com.kivo.mediasiftd";

const QSMethod root_methods[] = {
    {"parse", parse_callback, 0},
    {nullptr, nullptr, 0},
};

QSHandle *quarn_service;
quarn_ipc_queue_fn main_queue_callback;

// The error reply of a refused call; the handler's message is still valid.
void refuse(QSHandle *handle, QSMessage *message, const char *word) {
  json_object *reply = build_reply(false, word);
  if (reply == nullptr)
    return;
  if (!send_reply(handle, message, reply))
    log_error("Failed to send reply!\n");
  json_object_put(reply);
}

// The activity id of a payload: "customActivityId", then "activityId", then
// "$activity"."activityId"; only JSON integers count.
bool find_activity_id(json_object *params, int *id) {
  if (get_int_field(params, "customActivityId", id) || get_int_field(params, "activityId", id))
    return true;
  json_object *activity = nullptr;
  if (!json_object_object_get_ex(params, "$activity", &activity) || !json_is_created(activity))
    return false;
  return get_int_field(activity, "activityId", id);
}

} // namespace

QSHandle *quarn_ipc_handle() { return quarn_service; }

bool quarn_ipc_new(GMainLoop *loop) {
  QSError error;
  if (!QSErrorInit(&error)) {
    log_error("Failed to init quarn service errors!\n");
    return false;
  }
  if (!QSRegister(service_name, &quarn_service, &error)) {
    log_error("Failed to register %s on the bus! (%d)\n", service_name, error.code);
  } else if (!QSGmainAttach(quarn_service, loop, &error)) {
    log_error("Failed to attach quarn-service to main loop! (%d)\n", error.code);
  } else if (!QSRegisterCategory(quarn_service, "/", root_methods, nullptr, nullptr, &error)) {
    log_error("Failed to register quarn-service methods! (%d)\n", error.code);
  } else {
    QSErrorFree(&error);
    return true;
  }
  QSErrorPrint(&error, stderr);
  QSErrorFree(&error);
  quarn_ipc_free();
  return false;
}

void quarn_ipc_free() {
  activity_reset_pid();
  if (quarn_service == nullptr)
    return;
  if (!QSUnregister(quarn_service, nullptr))
    log_error("Unregistering quarn-service failed!\n");
  quarn_service = nullptr;
}

void quarn_ipc_register_queue(quarn_ipc_queue_fn handler) { main_queue_callback = handler; }

json_object *parse_message_params(QSMessage *message) {
  const char *payload = QSMessageGetPayload(message);
  char *copy = payload != nullptr ? g_strdup(payload) : nullptr;
  if (copy == nullptr) {
    log_error("Failed to allocate memory for message response!\n");
    return nullptr;
  }
  json_object *params = json_tokener_parse(copy);
  g_free(copy);
  if (params != nullptr && !json_is_created(params)) {
    log_error("Failed to parse incoming params!\n");
    return nullptr;
  }
  return params;
}

bool parse_callback(QSHandle *handle, QSMessage *message, void *) {
  json_object *params = parse_message_params(message);
  if (params == nullptr) {
    log_error("Failed to parse incoming params!\n");
    refuse(handle, message, "failedParse");
    return true;
  }
  auto *request = g_try_new0(parse_request, 1);
  if (request == nullptr) {
    log_error("Failed to allocate request\n");
    refuse(handle, message, "noMemory");
    json_object_put(params);
    return true;
  }
  json_object *files = nullptr;
  if (!json_object_object_get_ex(params, "files", &files) || !json_is_created(files) ||
      !json_object_is_type(files, json_type_array)) {
    log_error("Invalid params to parse callback.\n");
    parse_request_free(request);
    refuse(handle, message, "invalidParams");
    json_object_put(params);
    return true;
  }
  size_t paths = 0;
  for (size_t i = 0; i < json_object_array_length(files); ++i)
    paths += json_object_is_type(json_object_array_get_idx(files, i), json_type_string) ? 1 : 0;
  if (paths > max_files_per_call) {
    log_error("Too many files in one call (%zu), refused.\n", paths);
    parse_request_free(request);
    refuse(handle, message, "tooManyFiles");
    json_object_put(params);
    return true;
  }
  // Joined by the handler, once it knows the worker that takes the request.
  request->has_activity = find_activity_id(params, &request->activity_id);

  QSMessageRef(message);
  request->message = message;
  request->files = get_string_array(params, "files");

  if (main_queue_callback != nullptr && main_queue_callback(request->files, request)) {
    json_object_put(params);
    return true;
  }
  log_error("Parse already in progress\n");
  parse_request_free(request);
  refuse(handle, message, "failedMetadata");
  json_object_put(params);
  return true;
}

json_object *build_reply(bool success, char const *error_text) {
  json_object *reply = json_object_new_object();
  if (!json_is_created(reply)) {
    log_error("Failed to allocate IPC reply!\n");
    return nullptr;
  }
  json_object_object_add(reply, "returnValue", json_object_new_boolean(success));
  if (!success && error_text != nullptr)
    json_object_object_add(reply, "errorText", json_object_new_string(error_text));
  return reply;
}

bool send_reply(QSHandle *handle, QSMessage *message, json_object *reply) {
  if (handle == nullptr) {
    log_error("Service must be valid before sending!\n");
    return false;
  }
  if (message == nullptr) {
    log_error("Message must be valid before sending!\n");
    return false;
  }
  if (reply == nullptr) {
    log_error("Reply must be valid before sending!\n");
    return false;
  }
  const char *text = json_object_to_json_string(reply);
  if (text == nullptr) {
    log_error("Failed to build reply string!\n");
    return false;
  }
  return send_reply_text(handle, message, text);
}

bool send_reply_text(QSHandle *handle, QSMessage *message, const char *text) {
  if (handle == nullptr || message == nullptr || text == nullptr) {
    log_error("Service, message and reply must be valid before sending!\n");
    return false;
  }
  QSError error;
  if (!QSErrorInit(&error)) {
    log_error("Failed to init error response!\n");
    return false;
  }
  if (QSMessageReply(handle, message, text, &error)) {
    QSErrorFree(&error);
    return true;
  }
  log_error("Failed to send reply!\n");
  QSErrorPrint(&error, stderr);
  QSErrorFree(&error);
  return false;
}

void build_and_send_error(QSHandle *handle, QSMessage *message, char const *error_text) {
  json_object *reply = build_reply(false, error_text);
  if (reply == nullptr) {
    log_error("Failed to build reply json!\n");
    return;
  }
  if (!send_reply(handle, message, reply))
    log_error("Failed to send reply!\n");
  json_object_put(reply);
}

void clear_and_cancel(QSHandle *handle, unsigned long *token) {
  if (*token == 0)
    return;
  QSCallCancel(handle, *token, nullptr);
  *token = 0;
}

void parse_request_free(parse_request *request) {
  if (request == nullptr)
    return;
  if (request->message != nullptr)
    QSMessageUnref(request->message);
  if (request->files != nullptr)
    string_array_free_all(&request->files);
  clear_and_cancel(quarn_service, &request->join_token);
  clear_and_cancel(quarn_service, &request->map_token);
  g_free(request);
}

void quarn_ipc_release_request(void *context) { parse_request_free(static_cast<parse_request *>(context)); }
