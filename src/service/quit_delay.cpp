#include "service/lifetime.h"

#include <cstdlib>
#include <cstring>

namespace {

const guint default_quit_delay = 15;

} // namespace

bool quit_delay_seconds(const char *value, guint *seconds) {
  if (value == nullptr) {
    *seconds = default_quit_delay;
    return true;
  }
  if (strcmp(value, "0") == 0)
    return false;
  long count = strtol(value, nullptr, 10);
  *seconds = count < 0 || static_cast<unsigned long>(count) > G_MAXUINT32 ? G_MAXUINT32 : static_cast<guint>(count);
  return true;
}
