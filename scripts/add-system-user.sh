#!/usr/bin/env bash
# Creates what the system-bus installation expects: the unprivileged system
# user "mediasiftd" that the bus runs the service as, and the group
# "mediasift" whose members may call it. Add callers with
#   usermod -aG mediasift CALLER
# Idempotent; run as root.
set -euo pipefail
getent group mediasift >/dev/null || groupadd --system mediasift
getent passwd mediasiftd >/dev/null ||
  useradd --system --no-create-home --home-dir /nonexistent --shell /usr/sbin/nologin \
    --user-group mediasiftd
