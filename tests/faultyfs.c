/*
 * faultyfs.c: a FUSE file system that serves one image file as a failing
 * USB stick or memory card would hold it, for tests/cli/readback.sh.
 *
 * Usage:
 *   faultyfs [options] IMAGE MOUNTPOINT
 *   faultyfs -f -o wrap_at=16M,spare=8M disk.img /mnt/stick
 *
 * The mount holds one file, MOUNTPOINT/image, of IMAGE's size; a loop
 * device or a FUSE driver such as fusefat takes it as its drive.  Every
 * read and write goes straight to IMAGE (direct_io): the kernel keeps no
 * page of it, so what is read is what the "drive" returns.
 *
 * Options (with -o, beside the usual FUSE options such as -f and -d; sizes
 * in bytes, or with a suffix K, M or G):
 *   wrap_at=SIZE    a counterfeit stick that holds only SIZE bytes: reads
 *                   and writes at or past SIZE land on the blocks from spare
 *                   on, modulo what lies between spare and SIZE, so later
 *                   writes overwrite earlier data
 *   spare=SIZE      the first bytes, where a file system keeps its tables,
 *                   which no wrapped write reaches (default 0)
 *   flip_after=SIZE a worn card: from SIZE on, one block (4096 bytes) in
 *                   every flip_every returns its last byte inverted, on
 *                   every read, whatever was written there
 *   flip_every=N    the blocks counted for flip_after (default 1: each one)
 * The damage is the same on every run with the same options.  The last
 * byte of a block is the one flipped as, in a directory of FAT or exFAT,
 * it belongs to the last of 128 entries, which a small directory leaves
 * unused: the test damages copies, not the file system's directories.
 */

#define FUSE_USE_VERSION 31
#define _GNU_SOURCE

#include <fuse.h>

#include <errno.h>
#include <fcntl.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

enum { BLOCK = 4096 };

static const char image_name[] = "image";

struct options {
  char *wrap_at;
  char *spare;
  char *flip_after;
  char *flip_every;
  int show_help;
};

static struct options options;
static char *image_path;    /* IMAGE from the command line */
static int image_fd = -1;   /* IMAGE, opened before mounting */
static off_t image_size;    /* its size, the size of MOUNTPOINT/image */
static off_t wrap_at;       /* 0: no wrap */
static off_t spare;
static off_t flip_after;    /* -1: no flips */
static off_t flip_every = 1;

enum { KEY_HELP };

static const struct fuse_opt option_spec[] = {
  { "wrap_at=%s", offsetof(struct options, wrap_at), 0 },
  { "spare=%s", offsetof(struct options, spare), 0 },
  { "flip_after=%s", offsetof(struct options, flip_after), 0 },
  { "flip_every=%s", offsetof(struct options, flip_every), 0 },
  FUSE_OPT_KEY("-h", KEY_HELP),
  FUSE_OPT_KEY("--help", KEY_HELP),
  FUSE_OPT_END
};

/* Takes the first argument that is not an option as IMAGE and leaves the
   rest (the mount point) to fuse_main. */
static int parse_option(void *data, const char *arg, int key,
                        struct fuse_args *args) {
  (void)data;
  (void)args;
  if (key == FUSE_OPT_KEY_NONOPT && image_path == NULL) {
    image_path = strdup(arg);
    return 0;
  }
  if (key == KEY_HELP) options.show_help = 1;
  return 1;
}

/* A size such as 4096, 64K or 16M; -1 if it is none. */
static off_t parse_size(const char *text) {
  char *end;
  errno = 0;
  unsigned long long n = strtoull(text, &end, 10);
  if (errno != 0 || end == text) return -1;
  switch (*end) {
    case 'k': case 'K': n <<= 10; end++; break;
    case 'm': case 'M': n <<= 20; end++; break;
    case 'g': case 'G': n <<= 30; end++; break;
    default: break;
  }
  return *end == '\0' ? (off_t)n : -1;
}

/* Reads the fault options into the globals; 0, or -1 after a message. */
static int take_faults(void) {
  struct { const char *name; const char *text; off_t *value; } sizes[] = {
    { "wrap_at", options.wrap_at, &wrap_at },
    { "spare", options.spare, &spare },
    { "flip_after", options.flip_after, &flip_after },
    { "flip_every", options.flip_every, &flip_every },
  };
  flip_after = -1;
  for (size_t i = 0; i < sizeof sizes / sizeof sizes[0]; i++) {
    if (sizes[i].text == NULL) continue;
    *sizes[i].value = parse_size(sizes[i].text);
    if (*sizes[i].value < 0) {
      fprintf(stderr, "faultyfs: %s=%s is no size\n", sizes[i].name,
              sizes[i].text);
      return -1;
    }
  }
  if (wrap_at != 0 && spare >= wrap_at) {
    fprintf(stderr, "faultyfs: spare must lie below wrap_at\n");
    return -1;
  }
  if (flip_every < 1) {
    fprintf(stderr, "faultyfs: flip_every must be 1 or more\n");
    return -1;
  }
  return 0;
}

static void usage(const char *program) {
  printf("usage: %s [options] IMAGE MOUNTPOINT\n\n"
         "Serves IMAGE as MOUNTPOINT/image, with the faults of a failing"
         " drive.\n\n"
         "faultyfs options:\n"
         "    -o wrap_at=SIZE      reads and writes past SIZE wrap onto"
         " earlier blocks\n"
         "    -o spare=SIZE        the first bytes, which wrapped writes"
         " spare (0)\n"
         "    -o flip_after=SIZE   blocks past SIZE return their last byte"
         " inverted\n"
         "    -o flip_every=N      only every Nth such block (1)\n\n",
         program);
}

/* ------------------------------------------------------------ faults */

/* Where the byte at `offset` of the drive lies in IMAGE, and in `run` how
   many bytes from there on lie next to each other. */
static off_t place_of(off_t offset, off_t *run) {
  if (wrap_at == 0 || offset < wrap_at) {
    *run = wrap_at == 0 ? image_size - offset : wrap_at - offset;
    return offset;
  }
  off_t ring = wrap_at - spare;
  off_t into = (offset - wrap_at) % ring;
  *run = ring - into;
  return spare + into;
}

/* Inverts the last byte of each damaged block that `buffer`, read from
   `offset` on with `size` bytes, holds. */
static void flip_damaged(char *buffer, size_t size, off_t offset) {
  if (flip_after < 0) return;
  off_t first = (flip_after + BLOCK - 1) / BLOCK;
  for (off_t block = offset / BLOCK; block * BLOCK < offset + (off_t)size;
       block++) {
    off_t last = block * BLOCK + BLOCK - 1;
    if (block < first || (block - first) % flip_every != 0) continue;
    if (last >= offset && last < offset + (off_t)size) {
      buffer[last - offset] = (char)~buffer[last - offset];
    }
  }
}

/* Reads or writes `size` bytes at `offset` of the drive, wrapped where the
   drive wraps; the bytes done, or -errno. */
static ssize_t transfer(char *buffer, size_t size, off_t offset, int write) {
  if (offset >= image_size) return write ? -ENOSPC : 0;
  if ((off_t)size > image_size - offset) size = (size_t)(image_size - offset);
  size_t done = 0;
  while (done < size) {
    off_t run;
    off_t place = place_of(offset + (off_t)done, &run);
    size_t want = size - done < (size_t)run ? size - done : (size_t)run;
    ssize_t n = write ? pwrite(image_fd, buffer + done, want, place)
                      : pread(image_fd, buffer + done, want, place);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return -errno;
    if (n == 0) {  /* IMAGE ends early: zeros, as in a hole */
      if (write) return -EIO;
      memset(buffer + done, 0, want);
      n = (ssize_t)want;
    }
    done += (size_t)n;
  }
  return (ssize_t)done;
}

/* -------------------------------------------------------- operations */

static int is_image(const char *path) {
  return path[0] == '/' && strcmp(path + 1, image_name) == 0;
}

static void *faultyfs_init(struct fuse_conn_info *conn,
                           struct fuse_config *cfg) {
  (void)conn;
  cfg->direct_io = 1;
  cfg->kernel_cache = 0;
  cfg->attr_timeout = 0;
  cfg->entry_timeout = 0;
  return NULL;
}

static int faultyfs_getattr(const char *path, struct stat *st,
                            struct fuse_file_info *fi) {
  (void)fi;
  memset(st, 0, sizeof *st);
  if (strcmp(path, "/") == 0) {
    st->st_mode = S_IFDIR | 0755;
    st->st_nlink = 2;
    return 0;
  }
  if (!is_image(path)) return -ENOENT;
  st->st_mode = S_IFREG | 0644;
  st->st_nlink = 1;
  st->st_size = image_size;
  st->st_blocks = image_size / 512;
  return 0;
}

static int faultyfs_readdir(const char *path, void *buffer,
                            fuse_fill_dir_t fill, off_t offset,
                            struct fuse_file_info *fi,
                            enum fuse_readdir_flags flags) {
  (void)offset;
  (void)fi;
  (void)flags;
  if (strcmp(path, "/") != 0) return -ENOTDIR;
  fill(buffer, ".", NULL, 0, 0);
  fill(buffer, "..", NULL, 0, 0);
  fill(buffer, image_name, NULL, 0, 0);
  return 0;
}

static int faultyfs_open(const char *path, struct fuse_file_info *fi) {
  if (!is_image(path)) return -ENOENT;
  fi->direct_io = 1;
  fi->keep_cache = 0;
  return 0;
}

static int faultyfs_read(const char *path, char *buffer, size_t size,
                         off_t offset, struct fuse_file_info *fi) {
  (void)path;
  (void)fi;
  ssize_t n = transfer(buffer, size, offset, 0);
  if (n > 0) flip_damaged(buffer, (size_t)n, offset);
  return (int)n;
}

static int faultyfs_write(const char *path, const char *buffer, size_t size,
                          off_t offset, struct fuse_file_info *fi) {
  (void)path;
  (void)fi;
  return (int)transfer((char *)buffer, size, offset, 1);
}

static int faultyfs_truncate(const char *path, off_t size,
                             struct fuse_file_info *fi) {
  (void)fi;
  if (!is_image(path)) return -ENOENT;
  return size == image_size ? 0 : -EPERM;
}

static int faultyfs_fsync(const char *path, int datasync,
                          struct fuse_file_info *fi) {
  (void)path;
  (void)fi;
  int res = datasync ? fdatasync(image_fd) : fsync(image_fd);
  return res == 0 ? 0 : -errno;
}

static const struct fuse_operations faultyfs_operations = {
  .init = faultyfs_init,
  .getattr = faultyfs_getattr,
  .readdir = faultyfs_readdir,
  .open = faultyfs_open,
  .read = faultyfs_read,
  .write = faultyfs_write,
  .truncate = faultyfs_truncate,
  .fsync = faultyfs_fsync,
};

/* --------------------------------------------------------------- main */

int main(int argc, char *argv[]) {
  struct fuse_args args = FUSE_ARGS_INIT(argc, argv);
  if (fuse_opt_parse(&args, &options, option_spec, parse_option) != 0) return 1;
  if (options.show_help) {
    usage(argv[0]);
    int res = fuse_main(args.argc, args.argv, &faultyfs_operations, NULL);
    fuse_opt_free_args(&args);
    return res;
  }
  if (image_path == NULL) {
    fprintf(stderr, "faultyfs: no image given (try --help)\n");
    return 1;
  }
  if (take_faults() != 0) return 1;
  image_fd = open(image_path, O_RDWR | O_CLOEXEC);
  struct stat st;
  if (image_fd < 0 || fstat(image_fd, &st) != 0) {
    fprintf(stderr, "faultyfs: cannot open %s: %s\n", image_path,
            strerror(errno));
    return 1;
  }
  image_size = st.st_size;
  /* Only keeps libfuse 3.14 from complaining about its own default. */
  fuse_opt_insert_arg(&args, 1, "-omax_idle_threads=10");
  int res = fuse_main(args.argc, args.argv, &faultyfs_operations, NULL);
  fuse_opt_free_args(&args);
  return res;
}
