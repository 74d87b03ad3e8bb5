// The service's side of the bus: the name "com.kivo.mediasiftd", its one
// method "parse", the replies, and the association of requests and the
// worker process with the activity manager's activities.
#pragma once

#include "qs/quarnservice.h"

#include <glib.h>
#include <json-c/json.h>

// A reply's text is at most this many bytes. A default dbus-daemon refuses a
// message over 32 MiB and disconnects its sender, which would end the service
// and every other caller's batch with it; half of that leaves room for the
// message's framing and for buses configured a little tighter. A reply that
// would pass it is answered {"returnValue":false,"errorText":"replyTooLarge"}.
constexpr size_t reply_limit_bytes = 16 * 1024 * 1024;
// The fewest bytes an entry takes in a reply: { "path": "", "size": 0.0,
// "modified": 0.0 }.
constexpr size_t min_entry_bytes = 44;
// A call naming more paths than this can't be answered within the bound,
// whatever its files hold: it is refused at once with "tooManyFiles".
constexpr size_t max_files_per_call = reply_limit_bytes / min_entry_bytes;

// Bytes of record text one call may collect: what the reply's bound leaves
// once every entry's path, size and time are written, 0 when those alone
// don't fit (the call is then refused with "tooManyFiles"). Records past it
// are replaced with {"returnValue":false,"errorText":"replyTooLarge"}, so a
// call's reply fits the bus and the service holds at most this much of a
// call's records.
size_t quarn_ipc_record_budget(GArray const *paths);

// One accepted "parse" call, from its acceptance to its reply.
struct parse_request {
  QSMessage *message;       // referenced while the request is open
  GArray *files;            // owned texts: the paths, in payload order
  unsigned long join_token; // the activity "join" call, 0 for none
  unsigned long map_token;  // the activity "mapProcess" call, 0 for none
  bool has_activity;        // the payload named an activity
  int activity_id;          // which one
};

// The parse-request handler: gets the paths and the request; true when it
// took the request over (its reply then comes from quarn_ipc_reap). It calls
// quarn_ipc_join_activity once it knows which worker takes the request, and
// before the reply can go.
typedef bool (*quarn_ipc_queue_fn)(GArray const *paths, void *context);

// Registers the service on the bus and attaches it to `loop`.
bool quarn_ipc_new(GMainLoop *loop);
// Forgets the worker's pid and unregisters from the bus.
void quarn_ipc_free();
void quarn_ipc_register_queue(quarn_ipc_queue_fn handler);
// The worker's process id that the next join maps into its activity.
void quarn_ipc_associate(int pid);
// Joins the activity the request named, if any, and maps the worker set with
// quarn_ipc_associate into it: "join", then "mapProcess".
void quarn_ipc_join_activity(void *context);
// Answers an accepted call: entry i pairs results[i], sizes[i], modified[i]
// with the request's i-th path. Takes over and releases `context`.
void quarn_ipc_reap(GArray const *results, GArray const *sizes, GArray const *modified, void *context);
// Releases an accepted request that will never be answered (the service is
// stopping); the bus library tells its caller the call was dropped.
void quarn_ipc_release_request(void *context);

// The pieces, for the service's own use and for tests.
QSHandle *quarn_ipc_handle();
int quarn_ipc_last_known_pid();
json_object *parse_message_params(QSMessage *message);
bool parse_callback(QSHandle *handle, QSMessage *message, void *context);
json_object *build_reply(bool success, char const *error_text);
bool send_reply(QSHandle *handle, QSMessage *message, json_object *reply);
bool send_reply_text(QSHandle *handle, QSMessage *message, const char *text);
void build_and_send_error(QSHandle *handle, QSMessage *message, char const *error_text);
void clear_and_cancel(QSHandle *handle, unsigned long *token);
// Drops the message reference, frees the paths, cancels "join" then
// "mapProcess", frees the record.
void parse_request_free(parse_request *request);

// Forgets the worker's process id (0: none known).
void activity_reset_pid();
// The payload of both association calls for `activity_id` and `pid`.
char *activity_payload(int activity_id, int pid);
void activity_associate(int activity_id, parse_request *request);
bool activity_associate_ignore_callback(QSHandle *handle, QSMessage *message, void *context);

// Where the one JSON value of a worker's record text stands: the text less
// the white space around it, and whether the white space inside is the one
// json-c's default writer puts there. {nullptr, 0} unless the text is
// exactly one value (RFC 8259 grammar, strings standing for valid Unicode)
// nested no deeper than json-c's tokener takes, and not null, which json-c
// reads as no record at all. The text must be valid UTF-8.
struct record_span {
  const char *text = nullptr;
  size_t length = 0;
  bool json_c_spacing = false;
};
record_span record_value(const char *text);

// The success reply of a parse call, {"returnValue":true,"files":[...]} with
// one entry per element of `results`, as the text json-c writes for it
// (g_free it); null once the text passes reply_limit_bytes.
char *build_parse_reply(GArray const *results, GArray const *sizes, GArray const *modified, GArray const *files);
