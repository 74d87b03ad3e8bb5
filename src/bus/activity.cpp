#include "bus/ipc.h"

#include "base/log.h"

namespace {

// The current worker's process id; 0 while none is known.
int last_known_pid;

} // namespace

void quarn_ipc_associate(int pid) { last_known_pid = pid; }

int quarn_ipc_last_known_pid() { return last_known_pid; }

void activity_reset_pid() { last_known_pid = 0; }

char *activity_payload(int activity_id, int pid) {
  return g_strdup_printf("{\"activityId\":%d,\"name\":\"com.kivo.dirwatchd\",\"ids\":[\"serviceId:com.kivo.dirwatchd\","
                         "\"serviceId:com.kivo.dirwatchd.js\",\"serviceId:com.kivo.mediasiftd\"],"
                         "\"subscribe\":true,\"pid\":%d}",
                         activity_id, pid);
}

// Joins the activity and maps the current worker into it. Both calls stay
// open until the request is released, which cancels them.
void activity_associate(int activity_id, parse_request *request) {
  char *payload = activity_payload(activity_id, last_known_pid);
  if (payload == nullptr) {
    log_error("Failed to allocate associate params!\n");
    return;
  }
  QSHandle *handle = quarn_ipc_handle();
  if (!QSCall(handle, "kivo://com.kivo.taskherd/join", payload, activity_associate_ignore_callback, request,
              &request->join_token, nullptr))
    log_error("Failed to associate service with activity: %d\n", activity_id);
  if (last_known_pid != 0 && !QSCall(handle, "kivo://com.kivo.taskherd/mapProcess", payload,
                                     activity_associate_ignore_callback, request, &request->map_token, nullptr))
    log_error("Failed to associate process: %d (%d)\n", activity_id, last_known_pid);
  g_free(payload);
}

void quarn_ipc_join_activity(void *context) {
  auto *request = static_cast<parse_request *>(context);
  if (request != nullptr && request->has_activity)
    activity_associate(request->activity_id, request);
}

bool activity_associate_ignore_callback(QSHandle *, QSMessage *, void *) { return true; }
