/*
 * netfs.c: a pass-through FUSE file system that behaves like a network file
 * system, for bench/net.sh.
 *
 * Usage:
 *   netfs [options] SOURCE MOUNTPOINT
 *   netfs -f -o delay_us=1000,count_file=/tmp/counts /srv/tree /mnt/tree
 *
 * Build:
 *   cc -O2 -Wall bench/netfs.c $(pkg-config --cflags --libs fuse3) -o netfs
 *
 * It mirrors the directory SOURCE at MOUNTPOINT and sleeps delay_us
 * microseconds in every request that costs a round trip to the server on
 * NFS or SMB: getattr (also behind every lookup that the kernel does not
 * answer from its cache), opendir, readdir, open, create, read and write
 * (once per request), rename, link, symlink, readlink, unlink, rmdir,
 * mkdir, fsync, fsyncdir, utimens, chmod, chown, truncate, statfs, access,
 * lseek, flush and release. Requests are served by many threads at once
 * (max_threads, default 64 here), so a program that keeps many requests in
 * flight pays the delay once per batch rather than once per request.
 *
 * As NFS and SMB do by default, the kernel may keep names, attributes and
 * missing names for one second (entry_timeout, attr_timeout and
 * negative_timeout default to 1.0), and every directory listing carries
 * the attributes of its entries (readdirplus, always on). A listing takes
 * one readdir round trip per buffer the kernel asks to fill (one for a
 * directory of a few dozen entries).
 *
 * Options (with -o, beside the usual FUSE options such as -f, -d,
 * max_threads=N, entry_timeout=T, attr_timeout=T, negative_timeout=T):
 *   delay_us=N       delay of every round trip in microseconds (default 0)
 *   count_file=PATH  at unmount, write the number of delayed requests to
 *                    PATH: a line "total N", then one "operation N" line per
 *                    kind of request that occurred
 *
 * copy_file_range and fallocate are left out: the kernel answers them with
 * EOPNOTSUPP or falls back to reads and writes. RENAME_NOREPLACE and
 * RENAME_EXCHANGE are passed to the source's file system. Writes go through
 * at once (no write-back cache), and syncfs never reaches netfs (libfuse
 * 3.14 has no such operation), so syncfs costs no round trip here, unlike
 * the commits it makes on NFS.
 */

#define FUSE_USE_VERSION 31
#define _GNU_SOURCE

#include <fuse.h>
#include <linux/fuse.h>

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdatomic.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <time.h>
#include <unistd.h>

/* ------------------------------------------------------------ options */

struct options {
  unsigned delay_us;
  char *count_file;
  int show_help;
};

static struct options options;
static char *source_path;  /* the directory mirrored, from the command line */
static int source_fd = -1; /* that directory, opened before mounting */
static int count_fd = -1;  /* count_file, opened before mounting */

enum { KEY_HELP };

static const struct fuse_opt option_spec[] = {
  { "delay_us=%u", offsetof(struct options, delay_us), 0 },
  { "count_file=%s", offsetof(struct options, count_file), 0 },
  FUSE_OPT_KEY("-h", KEY_HELP),
  FUSE_OPT_KEY("--help", KEY_HELP),
  FUSE_OPT_END
};

/* Takes the first argument that is not an option as SOURCE and leaves the
   rest (the mount point) to fuse_main. */
static int parse_option(void *data, const char *arg, int key,
                        struct fuse_args *args) {
  (void)data;
  (void)args;
  if (key == FUSE_OPT_KEY_NONOPT && source_path == NULL) {
    source_path = strdup(arg);
    return 0;
  }
  if (key == KEY_HELP) options.show_help = 1;
  return 1;
}

static void usage(const char *program) {
  printf("usage: %s [options] SOURCE MOUNTPOINT\n\n"
         "Mirrors SOURCE at MOUNTPOINT and delays every round trip.\n\n"
         "netfs options:\n"
         "    -o delay_us=N          delay of every round trip in microseconds"
         " (0)\n"
         "    -o count_file=PATH     write the number of delayed requests to"
         " PATH at unmount\n"
         "Defaults changed from libfuse's: max_threads=64, entry_timeout=1,"
         " attr_timeout=1,\nnegative_timeout=1.\n\n",
         program);
}

/* ---------------------------------------------- delays and the counts */

/* The kinds of delayed requests, for the counts. */
enum op {
  OP_GETATTR, OP_ACCESS, OP_READLINK, OP_OPENDIR, OP_READDIR, OP_RELEASEDIR,
  OP_FSYNCDIR, OP_MKDIR, OP_UNLINK, OP_RMDIR, OP_SYMLINK, OP_RENAME, OP_LINK,
  OP_CHMOD, OP_CHOWN, OP_TRUNCATE, OP_UTIMENS, OP_CREATE, OP_OPEN, OP_READ,
  OP_WRITE, OP_STATFS, OP_FLUSH, OP_RELEASE, OP_FSYNC, OP_LSEEK, OP_COUNT
};

static const char *const op_names[OP_COUNT] = {
  "getattr", "access", "readlink", "opendir", "readdir", "releasedir",
  "fsyncdir", "mkdir", "unlink", "rmdir", "symlink", "rename", "link",
  "chmod", "chown", "truncate", "utimens", "create", "open", "read",
  "write", "statfs", "flush", "release", "fsync", "lseek"
};

static atomic_ulong op_counts[OP_COUNT];

/* One round trip: counts the request and waits delay_us. */
static void round_trip(enum op op) {
  atomic_fetch_add_explicit(&op_counts[op], 1, memory_order_relaxed);
  if (options.delay_us == 0) return;
  struct timespec until;
  clock_gettime(CLOCK_MONOTONIC, &until);
  until.tv_nsec += (long)(options.delay_us % 1000000) * 1000;
  until.tv_sec += options.delay_us / 1000000 + until.tv_nsec / 1000000000;
  until.tv_nsec %= 1000000000;
  while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, NULL) == EINTR) {
  }
}

static void write_counts(void) {
  if (count_fd < 0) return;
  unsigned long total = 0;
  for (int op = 0; op < OP_COUNT; op++) total += atomic_load(&op_counts[op]);
  if (ftruncate(count_fd, 0) != 0 || lseek(count_fd, 0, SEEK_SET) != 0) return;
  dprintf(count_fd, "total %lu\n", total);
  for (int op = 0; op < OP_COUNT; op++) {
    unsigned long n = atomic_load(&op_counts[op]);
    if (n != 0) dprintf(count_fd, "%s %lu\n", op_names[op], n);
  }
  close(count_fd);
  count_fd = -1;
}

/* ------------------------------------------------------------ helpers */

/* libfuse hands absolute paths ("/", "/a/b"); the calls below take them
   relative to source_fd. */
static const char *relative(const char *path) {
  while (*path == '/') path++;
  return *path != '\0' ? path : ".";
}

static int fail(void) {
  return -errno;
}

/* libfuse 3.14 takes FUSE_CAP_PARALLEL_DIROPS into conn->want but leaves
   it out of its answer to the kernel's INIT, and without it the kernel
   serves lookups and listings within one directory one at a time, as no
   network file system does. libfuse sends its replies with writev, which
   netfs defines: the INIT reply that follows netfs_init on the same thread
   gets the flag added. Newer versions of libfuse set it themselves. */
static _Thread_local int init_reply_pending;

ssize_t writev(int fd, const struct iovec *iov, int count) {
  if (init_reply_pending && count >= 2 &&
      iov[0].iov_len == sizeof(struct fuse_out_header) &&
      iov[1].iov_len >= offsetof(struct fuse_init_out, flags) + sizeof(uint32_t)) {
    init_reply_pending = 0;
    const struct fuse_out_header *header = iov[0].iov_base;
    if (header->error == 0)
      ((struct fuse_init_out *)iov[1].iov_base)->flags |= FUSE_PARALLEL_DIROPS;
  }
  return syscall(SYS_writev, fd, iov, count);
}

/* -------------------------------------------------------- operations */

static void *netfs_init(struct fuse_conn_info *conn, struct fuse_config *cfg) {
  /* Attributes with every listing, never only with some of them. */
  if (conn->capable & FUSE_CAP_READDIRPLUS) conn->want |= FUSE_CAP_READDIRPLUS;
  conn->want &= ~FUSE_CAP_READDIRPLUS_AUTO;
  /* Lookups and listings in one directory may run at the same time. */
  if (conn->capable & FUSE_CAP_PARALLEL_DIROPS) {
    conn->want |= FUSE_CAP_PARALLEL_DIROPS;
    init_reply_pending = 1;
  }
  /* Room for many asynchronous requests (read-ahead, release) at once. */
  conn->max_background = 64;
  conn->congestion_threshold = 48;

  cfg->use_ino = 1;     /* the source's inode numbers */
  cfg->nullpath_ok = 1; /* calls on open files use their descriptor */
  /* An unlinked file that is still open goes at once, as every call on an
     open file goes through its descriptor; no .fuse_hidden files. */
  cfg->hard_remove = 1;
  return NULL;
}

static void netfs_destroy(void *private_data) {
  (void)private_data;
  write_counts();
}

static int netfs_getattr(const char *path, struct stat *st,
                         struct fuse_file_info *fi) {
  round_trip(OP_GETATTR);
  int res = fi != NULL ? fstat((int)fi->fh, st)
                       : fstatat(source_fd, relative(path), st, AT_SYMLINK_NOFOLLOW);
  return res == 0 ? 0 : fail();
}

static int netfs_access(const char *path, int mask) {
  round_trip(OP_ACCESS);
  return faccessat(source_fd, relative(path), mask, 0) == 0
             ? 0 : fail();
}

static int netfs_readlink(const char *path, char *buf, size_t size) {
  round_trip(OP_READLINK);
  if (size == 0) return -EINVAL;
  ssize_t n = readlinkat(source_fd, relative(path), buf, size - 1);
  if (n < 0) return fail();
  buf[n] = '\0';
  return 0;
}

/* An open directory: the listing and where the last readdir stopped. */
struct open_dir {
  DIR *dir;
  off_t next;   /* offset of the entry the next readdir returns */
  int at_end;   /* the last readdir reached the end of the listing */
};

static struct open_dir *open_dir_of(struct fuse_file_info *fi) {
  return (struct open_dir *)(uintptr_t)fi->fh;
}

static int netfs_opendir(const char *path, struct fuse_file_info *fi) {
  round_trip(OP_OPENDIR);
  struct open_dir *od = calloc(1, sizeof *od);
  if (od == NULL) return -ENOMEM;
  int fd = openat(source_fd, relative(path), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0 || (od->dir = fdopendir(fd)) == NULL) {
    int error = errno;
    if (fd >= 0) close(fd);
    free(od);
    return -error;
  }
  fi->fh = (uint64_t)(uintptr_t)od;
  return 0;
}

/* Fills the kernel's buffer from offset on, each entry with its attributes
   when the kernel asks for them. Entries carry the offset of their
   successor, so each call of the kernel is one call here and one round
   trip. As a network file system's reply says that it reached the end, the
   kernel's call after the last entry is answered without a round trip. */
static int netfs_readdir(const char *path, void *buf, fuse_fill_dir_t filler,
                         off_t offset, struct fuse_file_info *fi,
                         enum fuse_readdir_flags flags) {
  (void)path;
  struct open_dir *od = open_dir_of(fi);
  if (od->at_end && offset == od->next) return 0;
  round_trip(OP_READDIR);
  if (offset != od->next) {
    if (offset == 0) rewinddir(od->dir);
    else seekdir(od->dir, offset);
    od->next = offset;
  }
  od->at_end = 0;
  for (;;) {
    errno = 0;
    struct dirent *entry = readdir(od->dir);
    if (entry == NULL) {
      if (errno != 0) return fail();
      od->at_end = 1;
      return 0;
    }
    const char *name = entry->d_name;
    int dot = name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'));
    struct stat st;
    enum fuse_fill_dir_flags fill = 0;
    if ((flags & FUSE_READDIR_PLUS) && !dot &&
        fstatat(dirfd(od->dir), name, &st, AT_SYMLINK_NOFOLLOW) == 0) {
      fill = FUSE_FILL_DIR_PLUS;
    } else {
      /* Gone since the listing, or no attributes wanted: the type only. */
      memset(&st, 0, sizeof st);
      st.st_ino = entry->d_ino;
      st.st_mode = (mode_t)DTTOIF(entry->d_type);
    }
    if (filler(buf, name, &st, entry->d_off, fill) != 0) {
      /* The buffer is full: this entry comes first next time. */
      seekdir(od->dir, od->next);
      return 0;
    }
    od->next = entry->d_off;
  }
}

static int netfs_releasedir(const char *path, struct fuse_file_info *fi) {
  (void)path;
  round_trip(OP_RELEASEDIR);
  struct open_dir *od = open_dir_of(fi);
  closedir(od->dir);
  free(od);
  return 0;
}

static int netfs_fsyncdir(const char *path, int datasync, struct fuse_file_info *fi) {
  (void)path;
  round_trip(OP_FSYNCDIR);
  int fd = dirfd(open_dir_of(fi)->dir);
  return (datasync ? fdatasync(fd) : fsync(fd)) == 0 ? 0 : fail();
}

static int netfs_mkdir(const char *path, mode_t mode) {
  round_trip(OP_MKDIR);
  return mkdirat(source_fd, relative(path), mode) == 0 ? 0 : fail();
}

static int netfs_unlink(const char *path) {
  round_trip(OP_UNLINK);
  return unlinkat(source_fd, relative(path), 0) == 0 ? 0 : fail();
}

static int netfs_rmdir(const char *path) {
  round_trip(OP_RMDIR);
  return unlinkat(source_fd, relative(path), AT_REMOVEDIR) == 0 ? 0 : fail();
}

static int netfs_symlink(const char *target, const char *path) {
  round_trip(OP_SYMLINK);
  return symlinkat(target, source_fd, relative(path)) == 0 ? 0 : fail();
}

static int netfs_rename(const char *from, const char *to, unsigned int flags) {
  round_trip(OP_RENAME);
  return renameat2(source_fd, relative(from), source_fd, relative(to), flags) == 0
             ? 0 : fail();
}

static int netfs_link(const char *from, const char *to) {
  round_trip(OP_LINK);
  return linkat(source_fd, relative(from), source_fd, relative(to), 0) == 0
             ? 0 : fail();
}

static int netfs_chmod(const char *path, mode_t mode, struct fuse_file_info *fi) {
  round_trip(OP_CHMOD);
  int res = fi != NULL ? fchmod((int)fi->fh, mode)
                       : fchmodat(source_fd, relative(path), mode, 0);
  return res == 0 ? 0 : fail();
}

static int netfs_chown(const char *path, uid_t uid, gid_t gid,
                       struct fuse_file_info *fi) {
  round_trip(OP_CHOWN);
  int res = fi != NULL ? fchown((int)fi->fh, uid, gid)
                       : fchownat(source_fd, relative(path), uid, gid,
                                  AT_SYMLINK_NOFOLLOW);
  return res == 0 ? 0 : fail();
}

static int netfs_truncate(const char *path, off_t size, struct fuse_file_info *fi) {
  round_trip(OP_TRUNCATE);
  if (fi != NULL) return ftruncate((int)fi->fh, size) == 0 ? 0 : fail();
  int fd = openat(source_fd, relative(path), O_WRONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) return fail();
  int res = ftruncate(fd, size) == 0 ? 0 : fail();
  close(fd);
  return res;
}

static int netfs_utimens(const char *path, const struct timespec times[2],
                         struct fuse_file_info *fi) {
  round_trip(OP_UTIMENS);
  int res = fi != NULL ? futimens((int)fi->fh, times)
                       : utimensat(source_fd, relative(path), times,
                                   AT_SYMLINK_NOFOLLOW);
  return res == 0 ? 0 : fail();
}

static int netfs_create(const char *path, mode_t mode, struct fuse_file_info *fi) {
  round_trip(OP_CREATE);
  int fd = openat(source_fd, relative(path), fi->flags | O_CREAT | O_CLOEXEC, mode);
  if (fd < 0) return fail();
  fi->fh = (uint64_t)fd;
  return 0;
}

static int netfs_open(const char *path, struct fuse_file_info *fi) {
  round_trip(OP_OPEN);
  int fd = openat(source_fd, relative(path), fi->flags | O_CLOEXEC);
  if (fd < 0) return fail();
  fi->fh = (uint64_t)fd;
  return 0;
}

static int netfs_read(const char *path, char *buf, size_t size, off_t offset,
                      struct fuse_file_info *fi) {
  (void)path;
  round_trip(OP_READ);
  ssize_t n = pread((int)fi->fh, buf, size, offset);
  return n >= 0 ? (int)n : fail();
}

static int netfs_write(const char *path, const char *buf, size_t size,
                       off_t offset, struct fuse_file_info *fi) {
  (void)path;
  round_trip(OP_WRITE);
  ssize_t n = pwrite((int)fi->fh, buf, size, offset);
  return n >= 0 ? (int)n : fail();
}

static int netfs_statfs(const char *path, struct statvfs *st) {
  (void)path;
  round_trip(OP_STATFS);
  return fstatvfs(source_fd, st) == 0 ? 0 : fail();
}

/* Called at every close of a descriptor; closing a duplicate makes the
   source's file system report write errors, as close does. */
static int netfs_flush(const char *path, struct fuse_file_info *fi) {
  (void)path;
  round_trip(OP_FLUSH);
  int fd = dup((int)fi->fh);
  if (fd < 0) return fail();
  return close(fd) == 0 ? 0 : fail();
}

static int netfs_release(const char *path, struct fuse_file_info *fi) {
  (void)path;
  round_trip(OP_RELEASE);
  close((int)fi->fh);
  return 0;
}

static int netfs_fsync(const char *path, int datasync, struct fuse_file_info *fi) {
  (void)path;
  round_trip(OP_FSYNC);
  int fd = (int)fi->fh;
  return (datasync ? fdatasync(fd) : fsync(fd)) == 0 ? 0 : fail();
}

static off_t netfs_lseek(const char *path, off_t offset, int whence,
                         struct fuse_file_info *fi) {
  (void)path;
  round_trip(OP_LSEEK);
  off_t res = lseek((int)fi->fh, offset, whence);
  return res >= 0 ? res : fail();
}

static const struct fuse_operations netfs_operations = {
  .init = netfs_init,
  .destroy = netfs_destroy,
  .getattr = netfs_getattr,
  .access = netfs_access,
  .readlink = netfs_readlink,
  .opendir = netfs_opendir,
  .readdir = netfs_readdir,
  .releasedir = netfs_releasedir,
  .fsyncdir = netfs_fsyncdir,
  .mkdir = netfs_mkdir,
  .unlink = netfs_unlink,
  .rmdir = netfs_rmdir,
  .symlink = netfs_symlink,
  .rename = netfs_rename,
  .link = netfs_link,
  .chmod = netfs_chmod,
  .chown = netfs_chown,
  .truncate = netfs_truncate,
  .utimens = netfs_utimens,
  .create = netfs_create,
  .open = netfs_open,
  .read = netfs_read,
  .write = netfs_write,
  .statfs = netfs_statfs,
  .flush = netfs_flush,
  .release = netfs_release,
  .fsync = netfs_fsync,
  .lseek = netfs_lseek,
};

/* --------------------------------------------------------------- main */

int main(int argc, char *argv[]) {
  struct fuse_args args = FUSE_ARGS_INIT(argc, argv);
  if (fuse_opt_parse(&args, &options, option_spec, parse_option) != 0) return 1;

  if (options.show_help) {
    usage(argv[0]);
    int res = fuse_main(args.argc, args.argv, &netfs_operations, NULL);
    fuse_opt_free_args(&args);
    return res;
  }
  if (source_path == NULL) {
    fprintf(stderr, "netfs: no source directory given (try --help)\n");
    return 1;
  }
  source_fd = open(source_path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (source_fd < 0) {
    fprintf(stderr, "netfs: cannot open %s: %s\n", source_path, strerror(errno));
    return 1;
  }
  if (options.count_file != NULL) {
    /* Opened now, as a daemon no longer has the working directory. */
    count_fd = open(options.count_file, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (count_fd < 0) {
      fprintf(stderr, "netfs: cannot open %s: %s\n", options.count_file,
              strerror(errno));
      return 1;
    }
  }

  /* The defaults of a network file system; options given later win.
     max_idle_threads only keeps libfuse 3.14 from complaining about its
     own default. */
  fuse_opt_insert_arg(&args, 1, "-omax_threads=64,max_idle_threads=64,"
                                "entry_timeout=1,attr_timeout=1,"
                                "negative_timeout=1");

  /* Sleeps end on time: the worker threads inherit a timer slack of 1 ns
     instead of 50 us, which would lengthen every short delay. */
  prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);

  int res = fuse_main(args.argc, args.argv, &netfs_operations, NULL);
  write_counts(); /* when the file system never started */
  fuse_opt_free_args(&args);
  return res;
}
