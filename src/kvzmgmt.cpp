// kvzmgmt: configures the management port eth0 from the console, by DHCP or with an address,
// netmask and gateway typed in, and checks its link. Ctrl-C at the DHCP question abandons it.
// Exit status: 0 the port was configured (and has a link), 1 otherwise.
#include <cstdio>
#include <cstring>

#include "board.h"
#include "mgmt.h"

int main(int argc, char** argv) {
  if (argc == 2 && strcmp(argv[1], "--version") == 0) {
    printf("kvzmgmt %s\n", KVZ_VERSION);
    return 0;
  }
  if (argc > 1) {
    fprintf(argc == 2 && strcmp(argv[1], "--help") == 0 ? stdout : stderr,
            "usage: kvzmgmt   (asks on the console; exit status 0 configured with a link)\n");
    return argc == 2 && strcmp(argv[1], "--help") == 0 ? 0 : 2;
  }
  sig_init();
  return mgmt_port_setup(1) ? 0 : 1;
}
