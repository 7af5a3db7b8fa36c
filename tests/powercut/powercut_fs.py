#!/usr/bin/python3
# SPDX-License-Identifier: GPL-3.0-or-later
# A file system for power-cut tests: it passes everything through to a
# backing folder, but keeps the writes to a file in memory until the file
# is synced, as a disk's cache does. Writing to the control file
# ".powercut" cuts the power: "drop" loses whatever was not synced, "torn"
# keeps every unsynced write but only the first half of the last one, and
# "pages SEED" keeps any subset of the unsynced pages (4096 bytes each, as
# a disk's cache writes them back, in no order), the others reading as they
# were before, or as NULs past the old end, and the file's new size reaching
# the disk or not.
#   powercut_fs.py BACKING MOUNTPOINT
import errno
import os
import random
import sys
import threading

from fusepy import FUSE, FuseOSError, Operations

CONTROL = "/.powercut"


class PowerCut(Operations):
    def __init__(self, root):
        self.root = root
        self.mutex = threading.Lock()
        self.pending = {}  # path -> list of ("w", offset, bytes) / ("t", length)

    def real(self, path):
        return os.path.join(self.root, path.lstrip("/"))

    def content(self, path):
        """The file as a program sees it: the backing file and its unsynced writes."""
        try:
            with open(self.real(path), "rb") as f:
                data = bytearray(f.read())
        except FileNotFoundError:
            data = bytearray()
        for op in self.pending.get(path, []):
            if op[0] == "w":
                _, off, buf = op
                if len(data) < off:
                    data.extend(b"\0" * (off - len(data)))
                data[off:off + len(buf)] = buf
            else:
                del data[op[1]:]
                if len(data) < op[1]:
                    data.extend(b"\0" * (op[1] - len(data)))
        return data

    def persist(self, path, ops):
        data = None
        self.pending[path] = ops
        data = self.content(path)
        with open(self.real(path), "r+b" if os.path.exists(self.real(path)) else "wb") as f:
            f.write(data)
            f.truncate(len(data))
            f.flush()
            os.fsync(f.fileno())
        self.pending.pop(path, None)

    # What is not cached.
    def getattr(self, path, fh=None):
        if path == CONTROL:
            return dict(st_mode=0o100600, st_nlink=1, st_size=0)
        st = os.lstat(self.real(path))
        attrs = {k: getattr(st, k) for k in ("st_atime", "st_ctime", "st_gid", "st_mode",
                                             "st_mtime", "st_nlink", "st_size", "st_uid",
                                             "st_ino", "st_dev")}
        with self.mutex:
            if path in self.pending:
                attrs["st_size"] = len(self.content(path))
        return attrs

    def readdir(self, path, fh):
        return [".", ".."] + os.listdir(self.real(path))

    def access(self, path, mode):
        if path != CONTROL and not os.access(self.real(path), mode):
            raise FuseOSError(errno.EACCES)

    def mkdir(self, path, mode):
        os.mkdir(self.real(path), mode)

    def rmdir(self, path):
        os.rmdir(self.real(path))

    def unlink(self, path):
        with self.mutex:
            self.pending.pop(path, None)
        os.unlink(self.real(path))

    def rename(self, old, new):
        with self.mutex:
            self.persist(old, self.pending.get(old, []))
        os.rename(self.real(old), self.real(new))

    def chmod(self, path, mode):
        os.chmod(self.real(path), mode)

    def utimens(self, path, times=None):
        os.utime(self.real(path), times)

    def statfs(self, path):
        st = os.statvfs(self.real(path))
        return {k: getattr(st, k) for k in ("f_bavail", "f_bfree", "f_blocks", "f_bsize",
                                            "f_favail", "f_ffree", "f_files", "f_flag",
                                            "f_frsize", "f_namemax")}

    # Files.
    def create(self, path, mode, fi=None):
        fd = os.open(self.real(path), os.O_WRONLY | os.O_CREAT, mode)
        os.fsync(fd)
        os.close(fd)
        return 0

    def open(self, path, flags):
        return 0

    def read(self, path, size, offset, fh):
        with self.mutex:
            return bytes(self.content(path)[offset:offset + size])

    def write(self, path, data, offset, fh):
        if path == CONTROL:
            with self.mutex:
                self.cut(data.decode().strip())
            return len(data)
        with self.mutex:
            self.pending.setdefault(path, []).append(("w", offset, bytes(data)))
        return len(data)

    def truncate(self, path, length, fh=None):
        if path == CONTROL:
            return
        with self.mutex:
            self.pending.setdefault(path, []).append(("t", length))

    def fsync(self, path, datasync, fh):
        with self.mutex:
            if path in self.pending:
                self.persist(path, self.pending[path])

    def flush(self, path, fh):
        return 0

    def release(self, path, fh):
        return 0

    def cut(self, how):
        if how.startswith("pages"):
            rng = random.Random(how)
            for path in list(self.pending):
                try:
                    with open(self.real(path), "rb") as f:
                        old = f.read()
                except FileNotFoundError:
                    old = b""
                new = bytes(self.content(path))
                size = rng.choice([len(old), len(new)])
                data = bytearray(new[:size].ljust(size, b"\0"))
                for page in range(0, size, 4096):
                    was = old[page:page + 4096]
                    if data[page:page + 4096] != was and rng.random() < 0.5:
                        end = min(page + 4096, size)
                        data[page:end] = was[:end - page].ljust(end - page, b"\0")
                self.pending[path] = [("t", 0), ("w", 0, bytes(data))]
                self.persist(path, self.pending[path])
        elif how.split()[0] == "torn":
            # Every unsynced write reached the disk, the last one only half.
            last = None
            for path, ops in self.pending.items():
                for i, op in enumerate(ops):
                    if op[0] == "w":
                        last = (path, i)
            for path, ops in list(self.pending.items()):
                kept = list(ops)
                if last and last[0] == path:
                    _, off, buf = kept[last[1]]
                    kept = kept[:last[1]] + [("w", off, buf[:len(buf) // 2])]
                self.persist(path, kept)
        self.pending.clear()


if __name__ == "__main__":
    FUSE(PowerCut(sys.argv[1]), sys.argv[2], foreground=True, nothreads=True,
         default_permissions=False)
