#include "base/channel.h"

#include "base/log.h"

GIOChannel *build_unencoded_channel(int fd) {
  GIOChannel *channel = g_io_channel_unix_new(fd);
  if (channel == nullptr) {
    log_error("Failed to allocate io channel!\n");
    return nullptr;
  }
  if (g_io_channel_set_encoding(channel, nullptr, nullptr) != G_IO_STATUS_NORMAL) {
    log_error("Failed to set channel encoding\n");
    g_io_channel_unref(channel);
    return nullptr;
  }
  return channel;
}
