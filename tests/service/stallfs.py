# A file system that stalls: its answers about "stall.mp3" wait until the
# release file (STALL_RELEASE) appears, as a dead network share or a failing
# drive would, and so do its answers about "late.m3u" to anyone but a parser
# worker. "ready" answers at once, to tell that the mount is up.
import errno
import os
import stat
import time

import fuse

fuse.fuse_python_api = (0, 2)

RELEASE = os.environ["STALL_RELEASE"]
LATE = b"#EXTM3U\n/music/a.mp3\n"
STALL = b"ID3" + bytes(64)
MODIFIED = 1234567890


def is_worker(pid):
    try:
        with open("/proc/%d/cmdline" % pid, "rb") as f:
            return b"\0-demon\0" in f.read()
    except OSError:
        return False


class StallFS(fuse.Fuse):
    def wait(self):
        while not os.path.exists(RELEASE):
            time.sleep(0.05)

    def stalls(self, path):
        return path == "/stall.mp3" or (path == "/late.m3u" and not is_worker(self.GetContext()["pid"]))

    def getattr(self, path):
        st = fuse.Stat()
        st.st_nlink = 1
        st.st_mtime = st.st_atime = st.st_ctime = MODIFIED
        if path == "/":
            st.st_mode = stat.S_IFDIR | 0o755
            st.st_nlink = 2
            return st
        contents = {"/ready": b"", "/late.m3u": LATE, "/stall.mp3": STALL}
        if path not in contents:
            return -errno.ENOENT
        if self.stalls(path):
            self.wait()
        st.st_mode = stat.S_IFREG | 0o444
        st.st_size = len(contents[path])
        return st

    def open(self, path, flags):
        return 0

    def read(self, path, size, offset):
        if path == "/stall.mp3":
            self.wait()
            return STALL[offset:offset + size]
        return LATE[offset:offset + size] if path == "/late.m3u" else b""

    def statfs(self):
        st = fuse.StatVfs()
        st.f_bsize = 4096
        st.f_namemax = 255
        return st


if __name__ == "__main__":
    server = StallFS()
    server.parse(errex=1)
    server.main()
