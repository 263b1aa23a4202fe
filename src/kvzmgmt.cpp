// kvzmgmt: configures the management port eth0 from the console, by DHCP or with an address,
// netmask and gateway typed in, and checks its link. Ctrl-C at the DHCP question abandons it.
// Exit status: 0 the port was configured (and has a link), 1 otherwise.
#include "launch.h"
#include "mgmt.h"

int main() {
  sig_init();
  return mgmt_port_setup(1) ? 0 : 1;
}
