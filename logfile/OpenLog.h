// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "OsError.h"

#include <QString>

#include <sys/stat.h>

namespace tavrelo::logfile {

// Opens the log without ever blocking: a FIFO or a device put in its place
// gives an error at once instead of freezing the caller. Returns the
// descriptor, or -1 with error set (action names what was attempted).
// created tells whether O_CREAT made a new file; pass nullptr not to create.
// opened, when given, receives the file's status as it was checked.
int openLog(const QString& path, int access, const QString& action, OsError& error,
            bool* created = nullptr, struct stat* opened = nullptr);

} // namespace tavrelo::logfile

namespace tavrelo::logfile {

// The calls the log's writers share. write, fdatasync and fsync go through
// SystemCalls, so that tests can fail them at exact points.
long sysWrite(int fd, const void* data, size_t size);
int sysFdatasync(int fd);
int sysFsync(int fd);
// Writes every byte, retrying after EINTR; returns an errno (ENOSPC for a
// write that wrote nothing).
int writeAll(int fd, const char* data, qsizetype size);
// Reads up to size bytes at offset; returns how many, or -1.
qint64 readAt(int fd, char* data, qint64 size, qint64 offset);
// Cuts the file back to size and syncs it; returns an errno.
int truncateTo(int fd, qint64 size);
// open() again after EINTR.
int openRetrying(const QByteArray& path, int flags, mode_t mode = 0);
// Makes the folder entry of a new (or removed) file durable; returns an errno.
int syncDirectoryOf(const QString& path);
// Takes the exclusive lock, waiting up to three seconds for another Tavrelo
// program; returns an errno (EWOULDBLOCK once the wait is over).
int lockExclusive(int fd);
// A file-size limit must turn into an EFBIG error, not kill the program.
void ignoreFileSizeSignal();
// Has the disk start writing that stretch of the file now, not at the
// sync that follows: a hint, nothing when it cannot be given.
void startWriting(int fd, long long offset, long long length);

} // namespace tavrelo::logfile
