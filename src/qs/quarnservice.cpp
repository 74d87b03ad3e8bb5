#include "qs/quarnservice.h"

#include <gio/gio.h>

#include <cstdarg>
#include <cstring>

struct QSMessage {
  int refs;
  // The incoming call this message answers; null once replied to, and always
  // null for the response to one of our own calls.
  GDBusMethodInvocation *invocation;
  char *payload;
};

namespace {

const char *const uri_scheme = "kivo://";
const char *const dropped_error_name = "com.kivo.Error.NoReply";

// org.freedesktop.DBus.RequestName flags and answers.
const guint32 name_flag_do_not_queue = 4;
const guint32 name_reply_primary_owner = 1;
const guint32 name_reply_already_owner = 4;

enum class call_state { pending, answered, failed };

struct category_record;

// One outgoing call, from QSCall until QSCallCancel (or QSUnregister).
struct call_record {
  QSHandle *handle; // null once the call is cancelled
  unsigned long token;
  char *name;
  char *method;
  guint32 serial;
  call_state state;
  GCancellable *cancellable;
  QSMethodFunction callback;
  void *context;
};

unsigned long last_token;

void set_error(QSError *error, int code, const char *format, ...) G_GNUC_PRINTF(3, 4);

void set_error(QSError *error, int code, const char *format, ...) {
  if (error == nullptr)
    return;
  va_list args;
  va_start(args, format);
  g_free(error->message);
  error->code = code;
  error->message = g_strdup_vprintf(format, args);
  va_end(args);
}

// A JSON string literal of UTF-8 `text`: quotes, backslashes and control
// characters escaped.
void append_json_string(GString *out, const char *text) {
  g_string_append_c(out, '"');
  for (const char *p = text; *p != '\0'; ++p) {
    unsigned char c = static_cast<unsigned char>(*p);
    if (c == '"' || c == '\\') {
      g_string_append_c(out, '\\');
      g_string_append_c(out, static_cast<char>(c));
    } else if (c < 0x20) {
      g_string_append_printf(out, "\\u%04x", c);
    } else {
      g_string_append_c(out, static_cast<char>(c));
    }
  }
  g_string_append_c(out, '"');
}

char *error_payload(const GError *failure) {
  GString *out = g_string_new("{\"returnValue\":false,\"errorCode\":-1,\"errorText\":");
  const char *text = failure->message;
  g_autofree char *valid = nullptr;
  if (!g_utf8_validate(text, -1, nullptr)) {
    valid = g_utf8_make_valid(text, -1);
    text = valid;
  }
  append_json_string(out, text);
  g_string_append_c(out, '}');
  return g_string_free(out, FALSE);
}

QSMessage *message_new(GDBusMethodInvocation *invocation, char *payload) {
  QSMessage *message = g_new0(QSMessage, 1);
  message->refs = 1;
  message->invocation = invocation;
  message->payload = payload;
  return message;
}

} // namespace

struct QSHandle {
  GDBusConnection *connection;
  char *name;
  bool name_owned;
  GMainLoop *loop;
  GMainContext *context;
  gulong closed_handler;
  GPtrArray *categories; // of category_record*
  GHashTable *calls;     // token -> call_record*
};

namespace {

struct category_record {
  QSHandle *handle;
  const QSMethod *methods;
  GDBusNodeInfo *info;
  guint registration;
};

GMainContext *handle_context(QSHandle *handle) {
  return handle->context != nullptr ? handle->context : g_main_context_default();
}

void category_free(gpointer data) {
  auto *category = static_cast<category_record *>(data);
  if (category->registration != 0)
    g_dbus_connection_unregister_object(category->handle->connection, category->registration);
  g_dbus_node_info_unref(category->info);
  g_free(category);
}

void call_free(call_record *call) {
  g_object_unref(call->cancellable);
  g_free(call->name);
  g_free(call->method);
  g_free(call);
}

// Tells the callee that the call it received is over, so that a subscription
// it holds for it can end. One-way, and never starts a service.
void send_cancel_notice(QSHandle *handle, const call_record *call) {
  g_autoptr(GDBusMessage) notice = g_dbus_message_new_method_call(call->name, "/", call->name, "cancel");
  g_autofree char *payload = g_strdup_printf("{\"serial\":%u,\"method\":\"%s\"}", call->serial, call->method);
  g_dbus_message_set_body(notice, g_variant_new("(s)", payload));
  g_dbus_message_set_flags(notice, static_cast<GDBusMessageFlags>(G_DBUS_MESSAGE_FLAGS_NO_REPLY_EXPECTED |
                                                                  G_DBUS_MESSAGE_FLAGS_NO_AUTO_START));
  g_dbus_connection_send_message(handle->connection, notice, G_DBUS_SEND_MESSAGE_FLAGS_NONE, nullptr, nullptr);
}

// Ends one call that has been taken out of the handle's table. A pending call
// is freed by its completion callback, which will see it cancelled.
void end_call(QSHandle *handle, call_record *call) {
  if (call->state != call_state::failed)
    send_cancel_notice(handle, call);
  if (call->state == call_state::pending) {
    call->handle = nullptr;
    g_cancellable_cancel(call->cancellable);
  } else {
    call_free(call);
  }
}

void call_done(GObject *source, GAsyncResult *result, gpointer data) {
  auto *call = static_cast<call_record *>(data);
  g_autoptr(GError) failure = nullptr;
  g_autoptr(GDBusMessage) reply = g_dbus_connection_send_message_with_reply_finish(
      G_DBUS_CONNECTION(source), result, &failure);
  if (call->handle == nullptr) {
    // Cancelled: the caller has been promised no callback.
    call_free(call);
    return;
  }
  char *payload = nullptr;
  if (reply != nullptr && !g_dbus_message_to_gerror(reply, &failure)) {
    GVariant *body = g_dbus_message_get_body(reply);
    if (body != nullptr && g_variant_is_of_type(body, G_VARIANT_TYPE("(s)"))) {
      g_variant_get(body, "(s)", &payload);
    } else {
      g_set_error(&failure, G_DBUS_ERROR, G_DBUS_ERROR_INVALID_SIGNATURE, "response is not one string");
    }
  }
  if (payload == nullptr)
    payload = error_payload(failure);
  call->state = failure == nullptr ? call_state::answered : call_state::failed;
  QSMessage *response = message_new(nullptr, payload);
  call->callback(call->handle, response, call->context);
  QSMessageUnref(response);
}

void method_call(GDBusConnection *, const char *, const char *, const char *, const char *method_name,
                 GVariant *parameters, GDBusMethodInvocation *invocation, gpointer data) {
  auto *category = static_cast<category_record *>(data);
  const QSMethod *method = category->methods;
  while (method->name != nullptr && strcmp(method->name, method_name) != 0)
    ++method;
  if (method->name == nullptr || method->function == nullptr) {
    g_dbus_method_invocation_return_error(invocation, G_DBUS_ERROR, G_DBUS_ERROR_UNKNOWN_METHOD,
                                          "No method %s", method_name);
    return;
  }
  char *payload = nullptr;
  g_variant_get(parameters, "(s)", &payload);
  QSMessage *message = message_new(invocation, payload);
  method->function(category->handle, message, nullptr);
  QSMessageUnref(message);
}

const GDBusInterfaceVTable method_vtable = {method_call, nullptr, nullptr, {nullptr}};

// The introspection description of one category: every method (s) -> (s).
char *category_xml(const char *interface, const QSMethod *methods) {
  GString *xml = g_string_new("<node>");
  g_string_append_printf(xml, "<interface name=\"%s\">", interface);
  for (const QSMethod *m = methods; m->name != nullptr; ++m)
    g_string_append_printf(xml,
                           "<method name=\"%s\"><arg type=\"s\" name=\"payload\" direction=\"in\"/>"
                           "<arg type=\"s\" name=\"reply\" direction=\"out\"/></method>",
                           m->name);
  g_string_append(xml, "</interface></node>");
  return g_string_free(xml, FALSE);
}

GVariant *bus_call(GDBusConnection *connection, const char *method, GVariant *args, const GVariantType *reply_type,
                   GError **failure) {
  return g_dbus_connection_call_sync(connection, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                                     "org.freedesktop.DBus", method, args, reply_type, G_DBUS_CALL_FLAGS_NONE, -1,
                                     nullptr, failure);
}

bool request_name(QSHandle *handle, QSError *error) {
  g_autoptr(GError) failure = nullptr;
  g_autoptr(GVariant) answer = bus_call(handle->connection, "RequestName",
                                        g_variant_new("(su)", handle->name, name_flag_do_not_queue),
                                        G_VARIANT_TYPE("(u)"), &failure);
  if (answer == nullptr) {
    set_error(error, QS_ERROR_BUS, "Could not request %s: %s", handle->name, failure->message);
    return false;
  }
  guint32 result = 0;
  g_variant_get(answer, "(u)", &result);
  if (result != name_reply_primary_owner && result != name_reply_already_owner) {
    set_error(error, QS_ERROR_NAME_TAKEN, "%s is owned by another connection", handle->name);
    return false;
  }
  handle->name_owned = true;
  return true;
}

void connection_closed(GDBusConnection *, gboolean, GError *, gpointer data) {
  auto *handle = static_cast<QSHandle *>(data);
  if (handle->loop != nullptr)
    g_main_loop_quit(handle->loop);
}

char *bus_address(GError **failure) {
  const char *starter = g_getenv("DBUS_STARTER_ADDRESS");
  if (starter != nullptr && *starter != '\0')
    return g_strdup(starter);
  const char *session = g_getenv("DBUS_SESSION_BUS_ADDRESS");
  GBusType type = session != nullptr && *session != '\0' ? G_BUS_TYPE_SESSION : G_BUS_TYPE_SYSTEM;
  return g_dbus_address_get_for_bus_sync(type, nullptr, failure);
}

void handle_free(QSHandle *handle) {
  if (handle->calls != nullptr)
    g_hash_table_unref(handle->calls);
  if (handle->categories != nullptr)
    g_ptr_array_unref(handle->categories);
  if (handle->connection != nullptr) {
    if (handle->closed_handler != 0)
      g_signal_handler_disconnect(handle->connection, handle->closed_handler);
    g_dbus_connection_close_sync(handle->connection, nullptr, nullptr);
    g_object_unref(handle->connection);
  }
  if (handle->loop != nullptr)
    g_main_loop_unref(handle->loop);
  if (handle->context != nullptr)
    g_main_context_unref(handle->context);
  g_free(handle->name);
  g_free(handle);
}

} // namespace

bool QSErrorInit(QSError *error) {
  if (error == nullptr)
    return false;
  error->code = QS_ERROR_NONE;
  error->message = nullptr;
  return true;
}

void QSErrorPrint(QSError *error, FILE *stream) {
  if (error == nullptr || stream == nullptr)
    return;
  fprintf(stream, "QS error %d: %s\n", error->code, error->message != nullptr ? error->message : "(no message)");
}

void QSErrorFree(QSError *error) {
  if (error == nullptr)
    return;
  g_free(error->message);
  error->message = nullptr;
  error->code = QS_ERROR_NONE;
}

bool QSRegister(const char *name, QSHandle **handle, QSError *error) {
  if (name == nullptr || handle == nullptr || !g_dbus_is_name(name) || g_dbus_is_unique_name(name) ||
      !g_dbus_is_interface_name(name)) {
    set_error(error, QS_ERROR_INVALID_ARGUMENT, "Invalid service name %s", name != nullptr ? name : "(null)");
    return false;
  }
  g_autoptr(GError) failure = nullptr;
  g_autofree char *address = bus_address(&failure);
  if (address == nullptr) {
    set_error(error, QS_ERROR_CONNECT, "No bus to connect to: %s", failure->message);
    return false;
  }
  GDBusConnection *connection = g_dbus_connection_new_for_address_sync(
      address,
      static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                        G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
      nullptr, nullptr, &failure);
  if (connection == nullptr) {
    set_error(error, QS_ERROR_CONNECT, "Could not connect to %s: %s", address, failure->message);
    return false;
  }
  g_dbus_connection_set_exit_on_close(connection, FALSE);

  QSHandle *created = g_new0(QSHandle, 1);
  created->connection = connection;
  created->name = g_strdup(name);
  created->categories = g_ptr_array_new_with_free_func(category_free);
  created->calls = g_hash_table_new(g_direct_hash, g_direct_equal);

  g_autoptr(GVariant) owned = bus_call(connection, "NameHasOwner", g_variant_new("(s)", name),
                                       G_VARIANT_TYPE("(b)"), &failure);
  if (owned == nullptr) {
    set_error(error, QS_ERROR_BUS, "Could not look up %s: %s", name, failure->message);
    handle_free(created);
    return false;
  }
  gboolean has_owner = FALSE;
  g_variant_get(owned, "(b)", &has_owner);
  if (has_owner) {
    set_error(error, QS_ERROR_NAME_TAKEN, "%s is owned by another connection", name);
    handle_free(created);
    return false;
  }
  created->closed_handler = g_signal_connect(connection, "closed", G_CALLBACK(connection_closed), created);
  *handle = created;
  return true;
}

bool QSGmainAttach(QSHandle *handle, GMainLoop *loop, QSError *error) {
  if (handle == nullptr || loop == nullptr) {
    set_error(error, QS_ERROR_INVALID_ARGUMENT, "No handle or no loop to attach");
    return false;
  }
  GMainLoop *previous_loop = handle->loop;
  GMainContext *previous_context = handle->context;
  handle->loop = g_main_loop_ref(loop);
  handle->context = g_main_context_ref(g_main_loop_get_context(loop));
  if (previous_loop != nullptr)
    g_main_loop_unref(previous_loop);
  if (previous_context != nullptr)
    g_main_context_unref(previous_context);
  return true;
}

bool QSRegisterCategory(QSHandle *handle, const char *category, const QSMethod *methods, const QSSignal *,
                        const QSProperty *, QSError *error) {
  if (handle == nullptr || category == nullptr || methods == nullptr || !g_variant_is_object_path(category)) {
    set_error(error, QS_ERROR_INVALID_ARGUMENT, "Invalid category %s", category != nullptr ? category : "(null)");
    return false;
  }
  if (methods->name == nullptr) {
    set_error(error, QS_ERROR_INVALID_ARGUMENT, "Category %s has no methods", category);
    return false;
  }
  for (const QSMethod *m = methods; m->name != nullptr; ++m) {
    if (!g_dbus_is_member_name(m->name) || m->function == nullptr) {
      set_error(error, QS_ERROR_INVALID_ARGUMENT, "Invalid method %s", m->name);
      return false;
    }
  }
  g_autofree char *xml = category_xml(handle->name, methods);
  g_autoptr(GError) failure = nullptr;
  GDBusNodeInfo *info = g_dbus_node_info_new_for_xml(xml, &failure);
  if (info == nullptr) {
    set_error(error, QS_ERROR_INVALID_ARGUMENT, "Invalid methods for %s: %s", category, failure->message);
    return false;
  }
  auto *record = g_new0(category_record, 1);
  record->handle = handle;
  record->methods = methods;
  record->info = info;
  // Method calls are dispatched to the context that is the thread's default
  // when the object is registered: make that the attached loop's.
  g_main_context_push_thread_default(handle_context(handle));
  record->registration = g_dbus_connection_register_object(handle->connection, category, info->interfaces[0],
                                                           &method_vtable, record, nullptr, &failure);
  g_main_context_pop_thread_default(handle_context(handle));
  if (record->registration == 0) {
    set_error(error, QS_ERROR_BUS, "Could not export %s: %s", category, failure->message);
    category_free(record);
    return false;
  }
  if (!handle->name_owned && !request_name(handle, error)) {
    category_free(record);
    return false;
  }
  g_ptr_array_add(handle->categories, record);
  return true;
}

bool QSUnregister(QSHandle *handle, QSError *error) {
  if (handle == nullptr) {
    set_error(error, QS_ERROR_INVALID_ARGUMENT, "No handle to unregister");
    return false;
  }
  GHashTableIter iter;
  gpointer value = nullptr;
  g_hash_table_iter_init(&iter, handle->calls);
  while (g_hash_table_iter_next(&iter, nullptr, &value)) {
    g_hash_table_iter_steal(&iter);
    end_call(handle, static_cast<call_record *>(value));
  }
  g_ptr_array_set_size(handle->categories, 0);
  bool released = true;
  if (handle->name_owned) {
    g_autoptr(GError) failure = nullptr;
    g_autoptr(GVariant) answer = bus_call(handle->connection, "ReleaseName", g_variant_new("(s)", handle->name),
                                          G_VARIANT_TYPE("(u)"), &failure);
    if (answer == nullptr) {
      set_error(error, QS_ERROR_BUS, "Could not release %s: %s", handle->name, failure->message);
      released = false;
    }
  }
  // Replies and notices queued so far must reach the bus before it closes.
  g_dbus_connection_flush_sync(handle->connection, nullptr, nullptr);
  handle_free(handle);
  return released;
}

const char *QSMessageGetPayload(QSMessage *message) { return message != nullptr ? message->payload : nullptr; }

void QSMessageRef(QSMessage *message) {
  if (message != nullptr)
    ++message->refs;
}

void QSMessageUnref(QSMessage *message) {
  if (message == nullptr || --message->refs > 0)
    return;
  if (message->invocation != nullptr)
    g_dbus_method_invocation_return_dbus_error(message->invocation, dropped_error_name,
                                               "The call was dropped without a reply");
  g_free(message->payload);
  g_free(message);
}

bool QSMessageReply(QSHandle *handle, QSMessage *message, const char *payload, QSError *error) {
  if (handle == nullptr || message == nullptr || payload == nullptr) {
    set_error(error, QS_ERROR_INVALID_ARGUMENT, "No handle, message or payload to reply with");
    return false;
  }
  if (message->invocation == nullptr) {
    set_error(error, QS_ERROR_ALREADY_REPLIED, "The message has been answered or is not a call");
    return false;
  }
  if (!g_utf8_validate(payload, -1, nullptr)) {
    set_error(error, QS_ERROR_INVALID_ARGUMENT, "The reply is not valid UTF-8");
    return false;
  }
  if (g_dbus_connection_is_closed(g_dbus_method_invocation_get_connection(message->invocation))) {
    set_error(error, QS_ERROR_BUS, "The bus connection is closed");
    return false;
  }
  g_dbus_method_invocation_return_value(message->invocation, g_variant_new("(s)", payload));
  message->invocation = nullptr;
  return true;
}

bool QSCall(QSHandle *handle, const char *uri, const char *payload, QSMethodFunction callback, void *context,
            unsigned long *token, QSError *error) {
  if (handle == nullptr || uri == nullptr || payload == nullptr || callback == nullptr || token == nullptr) {
    set_error(error, QS_ERROR_INVALID_ARGUMENT, "Missing argument to call");
    return false;
  }
  size_t scheme_length = strlen(uri_scheme);
  const char *slash = strncmp(uri, uri_scheme, scheme_length) == 0 ? strchr(uri + scheme_length, '/') : nullptr;
  if (slash == nullptr) {
    set_error(error, QS_ERROR_INVALID_ARGUMENT, "Invalid service URI %s", uri);
    return false;
  }
  g_autofree char *name = g_strndup(uri + scheme_length, slash - (uri + scheme_length));
  const char *method = slash + 1;
  if (!g_dbus_is_name(name) || g_dbus_is_unique_name(name) || !g_dbus_is_interface_name(name) ||
      !g_dbus_is_member_name(method)) {
    set_error(error, QS_ERROR_INVALID_ARGUMENT, "Invalid service URI %s", uri);
    return false;
  }
  if (!g_utf8_validate(payload, -1, nullptr)) {
    set_error(error, QS_ERROR_INVALID_ARGUMENT, "The payload is not valid UTF-8");
    return false;
  }
  g_autoptr(GDBusMessage) request = g_dbus_message_new_method_call(name, "/", name, method);
  g_dbus_message_set_body(request, g_variant_new("(s)", payload));

  auto *call = g_new0(call_record, 1);
  call->handle = handle;
  call->name = g_steal_pointer(&name);
  call->method = g_strdup(method);
  call->state = call_state::pending;
  call->cancellable = g_cancellable_new();
  call->callback = callback;
  call->context = context;
  // The completion runs in the attached loop's context.
  g_main_context_push_thread_default(handle_context(handle));
  g_dbus_connection_send_message_with_reply(handle->connection, request, G_DBUS_SEND_MESSAGE_FLAGS_NONE, -1,
                                            &call->serial, call->cancellable, call_done, call);
  g_main_context_pop_thread_default(handle_context(handle));
  call->token = ++last_token;
  g_hash_table_insert(handle->calls, GSIZE_TO_POINTER(call->token), call);
  *token = call->token;
  return true;
}

bool QSCallCancel(QSHandle *handle, unsigned long token, QSError *error) {
  if (handle == nullptr) {
    set_error(error, QS_ERROR_INVALID_ARGUMENT, "No handle");
    return false;
  }
  auto *call = static_cast<call_record *>(g_hash_table_lookup(handle->calls, GSIZE_TO_POINTER(token)));
  if (token == 0 || call == nullptr) {
    set_error(error, QS_ERROR_UNKNOWN_CALL, "No open call %lu", token);
    return false;
  }
  g_hash_table_steal(handle->calls, GSIZE_TO_POINTER(token));
  end_call(handle, call);
  return true;
}
