// Our bus library: a small message-bus API (the QS operations) carried over
// D-Bus through GLib's GDBus. It knows nothing of what its users send: every
// call takes one JSON text and answers with one JSON text.
//
// How the operations map onto D-Bus:
// - The bus. A process started by bus activation talks to the bus that
//   started it: the address in DBUS_STARTER_ADDRESS, connected to explicitly
//   (GLib's "starter" bus type does not read that variable). Otherwise the
//   session bus named by DBUS_SESSION_BUS_ADDRESS, otherwise the system bus.
//   Each handle has a private connection of its own.
// - QSRegister connects and claims the well-known name; it fails when another
//   connection owns the name (there is no queueing for it). The name is taken
//   on the bus when the first category is exported, so that a call which the
//   bus delivers the moment the name is owned (an activating call, above all)
//   always finds its object. A name that someone else took in between makes
//   that QSRegisterCategory fail.
// - A category is an object path ("/" is "/"). Its methods are exported on one
//   interface named after the service, each taking one string (the JSON
//   payload) and returning one string (the JSON reply); the object answers
//   org.freedesktop.DBus.Introspectable with that description.
// - Handlers run on the main loop given to QSGmainAttach with a context of
//   null. The message stays valid while the handler runs; a handler that takes
//   a reference (QSMessageRef) may reply after it returned. A message whose
//   last reference goes without a reply is answered with the D-Bus error
//   "com.kivo.Error.NoReply", so that no caller waits for a reply that never
//   comes.
// - QSCall with "kivo://NAME/METHOD" calls METHOD with the payload on object
//   "/", interface NAME, of the bus name NAME. The response reaches the
//   callback with the context; an error answer (including "no such name")
//   reaches it as a payload {"returnValue":false,"errorCode":-1,
//   "errorText":...}. The token is a non-zero number unique in the process.
// - QSCallCancel ends a call: its callback is never called afterwards. A
//   callee that may have received the call is told with a one-way call of the
//   method "cancel" on the same object and interface, payload
//   {"serial":S,"method":"METHOD"} where S is the D-Bus serial of the call it
//   received, so that a subscription it holds for that call can end.
// - When the bus connection closes under a registered handle, the attached
//   main loop is told to quit: a service whose bus went away has no callers.
// - QSUnregister cancels open calls, withdraws the objects, releases the name
//   and closes the connection.
//
// All operations are to be called from the thread that runs the attached
// main loop.
#pragma once

#include <glib.h>

#include <cstdio>

// Error record. Callers read only `code`; `message` is owned by the record.
struct QSError {
  int code;
  char *message;
};

// Error codes.
enum {
  QS_ERROR_NONE = 0,
  QS_ERROR_INVALID_ARGUMENT = 1,
  QS_ERROR_CONNECT = 2,
  QS_ERROR_NAME_TAKEN = 3,
  QS_ERROR_BUS = 4,
  QS_ERROR_ALREADY_REPLIED = 5,
  QS_ERROR_UNKNOWN_CALL = 6,
};

struct QSHandle;
struct QSMessage;

// Method handlers and call response callbacks: true when the message was dealt
// with. The message is valid until the function returns.
typedef bool (*QSMethodFunction)(QSHandle *handle, QSMessage *message, void *context);

// One method of a category; a table ends with an all-zero entry.
struct QSMethod {
  const char *name;
  QSMethodFunction function;
  unsigned flags;
};
// Signals and properties are not carried; pass null for both.
struct QSSignal;
struct QSProperty;

bool QSErrorInit(QSError *error);
void QSErrorPrint(QSError *error, FILE *stream);
void QSErrorFree(QSError *error);

bool QSRegister(const char *name, QSHandle **handle, QSError *error);
bool QSGmainAttach(QSHandle *handle, GMainLoop *loop, QSError *error);
bool QSRegisterCategory(QSHandle *handle, const char *category, const QSMethod *methods, const QSSignal *signals,
                        const QSProperty *properties, QSError *error);
bool QSUnregister(QSHandle *handle, QSError *error);

// The call's JSON text, owned by the message.
const char *QSMessageGetPayload(QSMessage *message);
void QSMessageRef(QSMessage *message);
void QSMessageUnref(QSMessage *message);
// Sends `payload` (valid UTF-8) as the answer to `message`; one reply each.
bool QSMessageReply(QSHandle *handle, QSMessage *message, const char *payload, QSError *error);

bool QSCall(QSHandle *handle, const char *uri, const char *payload, QSMethodFunction callback, void *context,
            unsigned long *token, QSError *error);
bool QSCallCancel(QSHandle *handle, unsigned long token, QSError *error);
