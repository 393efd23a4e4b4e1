// fsutil.h - file-system queries: the mount that holds a path (and whether it is a
// network mount), space figures, a stat that survives interrupts, time-zone names and
// hexadecimal digits.
//
// The mount table is read whole on each call (no cache). The only process-wide state is
// the zone directory, fixed on the first is_timezone call, and the mount-table seam.
// Every function may be called from any thread.
#pragma once

#include <sys/stat.h>
#include <sys/statvfs.h>

#include <cstdint>

enum { FSPATH_HOST_SIZE = 64, FSPATH_FS_SIZE = 4096 };

// What infopath tells about a path; allocated by infopath, freed by the caller (free()).
struct Pathinfo {
  uint32_t fsid;                // file-system id from statvfs
  char host[FSPATH_HOST_SIZE];  // server host of the mount, "" for a local mount
  char fs[FSPATH_FS_SIZE];      // remote path of the mount, or the device of a local one
  double avail_bytes;           // available blocks x fragment size
  double total_bytes;           // total blocks x fragment size
  double avail_files;           // available file nodes
  double total_files;           // total file nodes
};

// The mount that holds `path`: the longest mount point that is the path itself or one of
// its leading directories (the last such mount when several share the point). For a
// device "host:remote" host and fs receive host and remote; otherwise host is "" and fs
// the device. host needs FSPATH_HOST_SIZE bytes and fs FSPATH_FS_SIZE (longer texts are
// cut). The path is made absolute with symbolic links resolved. Returns 0, or -1 (after
// logging why) when the path can't be examined, the mount table can't be read or no
// mount matches.
int fspath(const char *path, char *host, char *fs);
// 1 when the mount holding path has a server host, 0 when it is local, -1 when fspath
// fails. The database decides from this whether it may lock its tables locally.
int is_nfs(const char *path);
// The mount and space figures of a path ("~" and "~user" expanded), or none after
// logging why.
Pathinfo *infopath(const char *path);
// statfs in statvfs form: block and fragment size from the block size; block counts;
// file-node counts (available = free), or 0x80000000 in all three when the file system
// reports none; the file-system id. Returns statfs's result.
int std_statvfs(const char *path, struct statvfs *buf);
// stat, repeated while it is interrupted.
int restat1(const char *path, struct stat *buf);
// 1 when the zone directory (ZONEINFO, else /usr/share/zoneinfo, fixed on the first call)
// holds a regular file named `name`, else 0. A name containing ".." is refused (0).
// errno is left as it was.
int is_timezone(const char *name);
// The value of one hexadecimal digit (either case), or -1.
int hexdigit_value(int c);

// Test seam: the mount table fspath reads (none restores /proc/self/mounts).
void fs_set_mount_table(const char *path);
