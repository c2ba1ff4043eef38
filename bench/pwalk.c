/*
 * pwalk.c: walks directory trees with many threads and prints the number of
 * entries found, for bench/net.sh.
 *
 * Usage:
 *   pwalk [-t THREADS] DIR...
 *
 * Build:
 *   cc -O2 -Wall -pthread bench/pwalk.c -o pwalk
 *
 * Every directory is listed (opendir, readdir) and every entry in it
 * lstat'ed (fstatat with AT_SYMLINK_NOFOLLOW), as a comparison of two trees
 * by modification times needs. THREADS workers (default 64) take directories
 * from one shared queue, so on a file system with a long round trip many
 * listings and lstats are in flight at once: the floor for a scan on such a
 * file system. Subdirectories are queued as soon as they are found; symbolic
 * links are not followed. Prints the number of entries below the given
 * directories (without "." and ".."); an error is reported on standard error
 * and makes the exit status 1.
 */

#define _GNU_SOURCE

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

/* A directory waiting to be listed. */
struct job {
  struct job *next;
  char path[]; /* NUL-terminated */
};

/* The queue of directories, first in first out, so the walk spreads over
   the tree at once. */
static pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
static pthread_cond_t work_ready = PTHREAD_COND_INITIALIZER;
static struct job *head, *tail;
static unsigned busy;              /* workers listing a directory */
static unsigned long long entries; /* entries found so far */
static int failed;

static struct job *new_job(const char *dir, const char *name) {
  size_t dir_len = strlen(dir), name_len = name != NULL ? strlen(name) : 0;
  struct job *job = malloc(sizeof *job + dir_len + 1 + name_len + 1);
  if (job == NULL) {
    perror("pwalk");
    exit(1);
  }
  job->next = NULL;
  memcpy(job->path, dir, dir_len);
  if (name != NULL) {
    job->path[dir_len] = '/';
    memcpy(job->path + dir_len + 1, name, name_len + 1);
  } else {
    job->path[dir_len] = '\0';
  }
  return job;
}

/* Called with the lock held. */
static void push(struct job *job) {
  if (tail != NULL) tail->next = job;
  else head = job;
  tail = job;
  pthread_cond_signal(&work_ready);
}

static void report(const char *what, const char *path) {
  int error = errno;
  pthread_mutex_lock(&lock);
  fprintf(stderr, "pwalk: %s %s: %s\n", what, path, strerror(error));
  failed = 1;
  pthread_mutex_unlock(&lock);
}

/* Lists one directory, lstat's its entries and queues its subdirectories. */
static void walk_one(const char *path) {
  int fd = open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOFOLLOW);
  DIR *dir = fd >= 0 ? fdopendir(fd) : NULL;
  if (dir == NULL) {
    report("cannot open", path);
    if (fd >= 0) close(fd);
    return;
  }
  unsigned long long found = 0;
  for (;;) {
    errno = 0;
    struct dirent *entry = readdir(dir);
    if (entry == NULL) {
      if (errno != 0) report("cannot read", path);
      break;
    }
    const char *name = entry->d_name;
    if (name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0')))
      continue;
    struct stat st;
    if (fstatat(dirfd(dir), name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
      report("cannot lstat an entry of", path);
      continue;
    }
    found++;
    if (S_ISDIR(st.st_mode)) {
      struct job *job = new_job(path, name);
      pthread_mutex_lock(&lock);
      push(job);
      pthread_mutex_unlock(&lock);
    }
  }
  closedir(dir);
  pthread_mutex_lock(&lock);
  entries += found;
  pthread_mutex_unlock(&lock);
}

static void *worker(void *arg) {
  (void)arg;
  pthread_mutex_lock(&lock);
  for (;;) {
    while (head == NULL && busy > 0) pthread_cond_wait(&work_ready, &lock);
    if (head == NULL) break; /* nothing queued and nobody can queue more */
    struct job *job = head;
    head = job->next;
    if (head == NULL) tail = NULL;
    busy++;
    pthread_mutex_unlock(&lock);

    walk_one(job->path);
    free(job);

    pthread_mutex_lock(&lock);
    busy--;
    if (head == NULL && busy == 0) pthread_cond_broadcast(&work_ready);
  }
  pthread_mutex_unlock(&lock);
  return NULL;
}

static void usage(FILE *out) {
  fputs("usage: pwalk [-t THREADS] DIR...\n", out);
}

int main(int argc, char *argv[]) {
  long threads = 64;
  int opt;
  while ((opt = getopt(argc, argv, "t:h")) != -1) {
    switch (opt) {
      case 't': {
        char *end;
        threads = strtol(optarg, &end, 10);
        if (*end != '\0' || threads < 1 || threads > 4096) {
          fprintf(stderr, "pwalk: -t expects 1 to 4096, got '%s'\n", optarg);
          return 1;
        }
        break;
      }
      case 'h':
        usage(stdout);
        return 0;
      default:
        usage(stderr);
        return 1;
    }
  }
  if (optind == argc) {
    usage(stderr);
    return 1;
  }
  for (int i = optind; i < argc; i++) push(new_job(argv[i], NULL));

  pthread_t *ids = calloc((size_t)threads, sizeof *ids);
  if (ids == NULL) {
    perror("pwalk");
    return 1;
  }
  /* Workers need little stack; 64 KiB keeps many of them cheap. */
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setstacksize(&attr, 64 * 1024);
  long started = 0;
  for (; started < threads; started++) {
    int error = pthread_create(&ids[started], &attr, worker, NULL);
    if (error != 0) {
      if (started == 0) {
        fprintf(stderr, "pwalk: cannot start a thread: %s\n", strerror(error));
        return 1;
      }
      break; /* walk with the threads there are */
    }
  }
  for (long i = 0; i < started; i++) pthread_join(ids[i], NULL);
  free(ids);

  printf("%llu\n", entries);
  return failed;
}
