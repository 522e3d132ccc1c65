/* Linked into the module only with VEDRA_STATIC_CXX_RUNTIME, where the
 * module carries its own copy of libstdc++ (built against this machine's
 * newer glibc) and is linked against an older glibc.  Two glibc symbols that
 * copy refers to are newer than the glibc the wheel promises; both are
 * defined here, hidden in the module (src/lib/module.map exports nothing else):
 *
 * - __libc_single_threaded (glibc 2.32): libstdc++ skips atomic reference
 *   counting while it reads non-zero.  Zero ("threads may exist") is always
 *   correct, only slower for the few counts it guards.
 * - arc4random (glibc 2.36): what std::random_device("default") draws from
 *   first.  Here it reads getrandom(2) (glibc 2.25), retrying on EINTR, and
 *   aborts when the kernel has no entropy source at all, as glibc's does.
 */
#include <errno.h>
#include <stdint.h>
#include <stdlib.h>
#include <sys/random.h>

char __libc_single_threaded = 0;

uint32_t arc4random(void) {
  uint32_t value;
  size_t got = 0;
  while (got < sizeof value) {
    ssize_t n = getrandom((char *)&value + got, sizeof value - got, 0);
    if (n > 0) {
      got += (size_t)n;
    } else if (n < 0 && errno != EINTR) {
      abort();
    }
  }
  return value;
}
