#include "board.h"

#include <signal.h>

#include <cstdio>
#include <cstdlib>

volatile uint8_t sig_quit_raised = 0;

void sig_handler(int) {
  sig_quit_raised = 1;
}

int sig_init() {
  struct sigaction sa = {};
  sa.sa_handler = sig_handler;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = 0;  // no SA_RESTART: an interrupted console read returns early
  return sigaction(SIGINT, &sa, nullptr);
}

int run_shell(const char* line) {
  // What was printed so far must reach the console before the command's own output.
  fflush(stdout);
  fflush(stderr);
  return system(line);
}

void board_reset() {
  sleep(1);
  if (run_shell("reboot") < 0) fprintf(stderr, "System reboot failed, please power-cycle.\n");
  fflush(stdout);
  exit(0);
}
