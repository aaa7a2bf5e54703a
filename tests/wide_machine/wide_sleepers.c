/* wide-sleepers [FIRST-LAST]
 *
 * A process of the wide-machine test's own: a main thread and three more, all asleep until the
 * machine powers off, so that a mask change can be checked on every thread. Given FIRST-LAST, it
 * first confines itself to those processors (its threads inherit the mask), which gives the test
 * a process wholly above processor 63 without any outside tool. */
#define _GNU_SOURCE
#include <pthread.h>
#include <sched.h>
#include <stdio.h>
#include <unistd.h>

enum { kExtraThreads = 3, kMaxProcessors = 1024 };

static void* sleepForever(void* unused) {
  (void)unused;
  for (;;) {
    pause();
  }
  return NULL;
}

static int confineTo(const char* range) {
  unsigned first = 0;
  unsigned last = 0;
  char rest = 0;
  if (sscanf(range, "%u-%u%c", &first, &last, &rest) != 2 || first > last ||
      last >= kMaxProcessors) {
    fprintf(stderr, "wide-sleepers: not a processor range FIRST-LAST: %s\n", range);
    return 0;
  }
  cpu_set_t* set = CPU_ALLOC(kMaxProcessors);
  if (set == NULL) {
    perror("wide-sleepers: CPU_ALLOC");
    return 0;
  }
  size_t size = CPU_ALLOC_SIZE(kMaxProcessors);
  CPU_ZERO_S(size, set);
  for (unsigned cpu = first; cpu <= last; ++cpu) {
    CPU_SET_S(cpu, size, set);
  }
  int confined = sched_setaffinity(0, size, set) == 0;
  if (!confined) {
    perror("wide-sleepers: sched_setaffinity");
  }
  CPU_FREE(set);
  return confined;
}

int main(int argc, char** argv) {
  if (argc > 2 || (argc == 2 && !confineTo(argv[1]))) {
    return 2;
  }
  for (int i = 0; i < kExtraThreads; ++i) {
    pthread_t thread;
    if (pthread_create(&thread, NULL, sleepForever, NULL) != 0) {
      fprintf(stderr, "wide-sleepers: cannot start a thread\n");
      return 1;
    }
  }
  sleepForever(NULL);
  return 0;
}
