/* Stand-in for the DUMA memory checker on the virtual board: announces that it was preloaded. */
#include <stdio.h>

__attribute__((constructor)) static void duma_stub_loaded(void) {
  fprintf(stderr, "DUMA (virtual board stand-in) loaded\n");
}
