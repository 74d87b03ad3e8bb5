// The command-line client of the service: the pieces that do not need a bus.
#pragma once

#include <json-c/json.h>

#include <cstdint>
#include <string>
#include <vector>

// At most this many paths go in one call. The service refuses a reply past
// its size bound with "replyTooLarge"; the client then halves that call.
const size_t max_paths_per_call = 1000;
// Calls in flight at once: one per online CPU, so that one long list keeps
// every worker of the service busy, but never more than this.
const unsigned max_calls_in_flight = 4;

// Exit statuses of the client.
enum client_status {
  status_parsed = 0,      // every file was parsed (or the picture written)
  status_failed = 1,      // some file's record says "returnValue" false, or nothing was written
  status_usage = 2,       // wrong arguments
  status_unreachable = 3, // the bus or the service could not be reached
};

enum class bus_choice { automatic, session, system, address };

struct client_options {
  std::string command; // "parse" or "picture"; empty with help or version
  bool help = false;
  bool version = false;
  bus_choice bus = bus_choice::automatic;
  std::string address; // with bus_choice::address
  bool has_activity = false;
  int activity = 0;
  bool force = false;     // picture: replace an existing OUT
  int index = -1;         // picture: the N-th located picture, -1 for none asked
  int picture_type = -1;  // picture: an ID3 picture type, -1 for none asked
  std::vector<std::string> operands;
};

// Reads the command line (argv[0] excluded). Options may stand before or
// after the command; "--" ends them, and "-" alone is an operand. False with
// `*error` set on a usage error; help and version need no command.
bool parse_command_line(int argc, char **argv, client_options *options, std::string *error);
extern const char *const client_usage;

// `path` made absolute against `cwd`; an absolute path is kept as it is.
std::string absolute_path(const std::string &path, const std::string &cwd);

// The "parse" payload for paths[begin, end): {"files":[...]} plus
// "activityId" when `activity` is set.
std::string parse_payload(const std::vector<std::string> &paths, size_t begin, size_t end, const int *activity);

// The entries of a success reply's "files", or null when `reply` is not a
// success reply (a refused call).
json_object *reply_files(json_object *reply);
// The reply's "errorText", or null.
const char *reply_error(json_object *reply);

// The entry of a path that can't be sent because it is not valid UTF-8: its
// name with each invalid byte escaped, and the failure as the service words
// its own: {"path":…,"data":{"returnValue":false,"errorText":"badEncoding"}}.
json_object *bad_encoding_entry(const char *raw_path);

// status_failed when any entry lacks "data" or has "data"."returnValue"
// false, else status_parsed.
client_status files_status(json_object *files);

// A picture the record locates: where its bytes lie, and its ID3 picture
// type (-1 when the record gives none).
struct picture_place {
  int64_t offset = 0;
  int64_t length = 0;
  int type = -1;
};

// Every picture location in `data`: the entries of its "pictures" list where
// it has one (each with the ID3 type of the member entry at the same offset,
// else 3 for "front", 4 for "back"), otherwise depth first in member and
// element order, an object with "thumbOffset" and either "thumbSize" or
// "thumbLength", all whole non-negative numbers.
std::vector<picture_place> find_pictures(json_object *data);

// The picture to write: of those of `type` (every one when -1), the one at
// `index`; with neither asked for, the front cover (ID3 type 3) where there
// is one, else the first located. False with `*error` set when none fits.
bool choose_picture(const std::vector<picture_place> &places, int index, int type, picture_place *chosen,
                    std::string *error);

// Refuses an OUT that must not be written before anything is asked of the
// service: an existing file without `force`, and always the file PATH is
// (same device and inode, however it is spelt). "-" is standard output,
// refused when that is a terminal. False with `*error` set.
bool check_picture_target(const std::string &from, const std::string &to, bool force, bool stdout_is_terminal,
                          std::string *error);

// Writes `length` bytes at `offset` of file `from` to `to`, or to standard
// output when `to` is "-". The place is checked against the file's size
// before anything is written. A file is written under a temporary name in
// OUT's folder and renamed into place only when whole, so a failure leaves
// no OUT and never removes a file the client did not create; without
// `force` an OUT that appeared meanwhile is still not replaced. False with
// `*error` set.
bool write_picture(const std::string &from, const picture_place &place, const std::string &to, bool force,
                   std::string *error);

// The JSON text to print: indented for a terminal, one line otherwise.
std::string reply_text(json_object *reply, bool terminal);
