/* What GCC 12's static C++ runtime and unwinder, and Debian 12's static archives (expat), built
   against glibc 2.36, take from the C library beyond glibc 2.28, for programs linked against an older one
   (packaging/manylinux-toolchain.cmake). Each definition here only serves the program or loadable
   module it is linked into: all of them are hidden, and programs export no symbols anyway. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <link.h>
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <sys/random.h>
#include <unistd.h>

#pragma GCC visibility push(hidden)

/* glibc 2.32. libstdc++ skips atomic reference counting while this is nonzero; zero, "maybe
   threads", is always correct and only forgoes that shortcut. */
char __libc_single_threaded = 0;

/* glibc 2.36, for std::random_device("arc4random"): kernel randomness, or abort as glibc does. */
static void _fill_random(void *buffer, size_t size) {
  unsigned char *out = buffer;
  while (size > 0) {
    ssize_t got = getrandom(out, size, 0);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0 && errno == ENOSYS) {
      int fd = open("/dev/urandom", O_RDONLY | O_CLOEXEC);
      if (fd < 0) abort();
      got = read(fd, out, size);
      close(fd);
    }
    if (got <= 0) abort();
    out += got;
    size -= (size_t)got;
  }
}

uint32_t arc4random(void) {
  uint32_t value;
  _fill_random(&value, sizeof value);
  return value;
}

/* glibc 2.36, for expat's hash salt. */
void arc4random_buf(void *buffer, size_t size) { _fill_random(buffer, size); }

/* glibc 2.35. GCC's unwinder asks it for the exception frame header of the object holding a code
   address and has no fallback when it fails, so a wrong answer here breaks every throw. */
struct _find_request {
  uintptr_t pc;
  struct dl_find_object *result;
};

static int _find_in_object(struct dl_phdr_info *info, size_t size, void *data) {
  struct _find_request *request = data;
  uintptr_t low = UINTPTR_MAX, high = 0;
  const void *eh_frame = NULL;
  int holds_pc = 0;
  (void)size;
  for (ElfW(Half) i = 0; i < info->dlpi_phnum; ++i) {
    const ElfW(Phdr) *segment = &info->dlpi_phdr[i];
    uintptr_t start = info->dlpi_addr + segment->p_vaddr;
    if (segment->p_type == PT_LOAD) {
      uintptr_t end = start + segment->p_memsz;
      if (start < low) low = start;
      if (end > high) high = end;
      if (request->pc >= start && request->pc < end) holds_pc = 1;
    } else if (segment->p_type == PT_GNU_EH_FRAME) {
      eh_frame = (const void *)start;
    }
  }
  if (!holds_pc) return 0;
  request->result->dlfo_flags = 0;
  request->result->dlfo_map_start = (void *)low;
  request->result->dlfo_map_end = (void *)high;
  request->result->dlfo_link_map = NULL;             /* the unwinder reads only the frame header */
  request->result->dlfo_eh_frame = (void *)eh_frame; /* NULL where the object has none */
  return 1;
}

int _dl_find_object(void *pc, struct dl_find_object *result) {
  struct _find_request request = {(uintptr_t)pc, result};
  return dl_iterate_phdr(_find_in_object, &request) == 1 ? 0 : -1;
}

/* glibc 2.29 gave exp, log and pow new versions without the old error-handling wrapper; both
   versions return the same values, so references from static archives (SQLite) are routed to
   the first ones. Declared without <math.h>, whose declarations these definitions replace. */
#if defined(__x86_64__)
#define _FIRST_VERSION "GLIBC_2.2.5"
#elif defined(__aarch64__)
#define _FIRST_VERSION "GLIBC_2.17"
#else
#error "glibc_compat.c: the first glibc symbol version of this processor is not known"
#endif
#define _IN_LIBM __attribute__((visibility("default")))
_IN_LIBM double _first_exp(double);
_IN_LIBM double _first_log(double);
_IN_LIBM double _first_pow(double, double);
__asm__(".symver _first_exp, exp@" _FIRST_VERSION);
__asm__(".symver _first_log, log@" _FIRST_VERSION);
__asm__(".symver _first_pow, pow@" _FIRST_VERSION);

double exp(double x) { return _first_exp(x); }
double log(double x) { return _first_log(x); }
double pow(double x, double y) { return _first_pow(x, y); }

#pragma GCC visibility pop
