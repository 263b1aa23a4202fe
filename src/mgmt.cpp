// The management port: its questions, the configuration commands and the link check.
#include "mgmt.h"

#include <arpa/inet.h>
#include <linux/ethtool.h>
#include <linux/sockios.h>
#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstring>

#include "console.h"
#include "board.h"

namespace {

constexpr size_t kLineSize = 128;
constexpr int kConfigureSteps = 20;  // one-second steps, a dot each, after a fixed address

in_addr as_in_addr(uint32_t addr) {
  in_addr a{};
  a.s_addr = addr;
  return a;
}

// Runs one configuration command, formed from the port digit and an optional text; its exit
// status does not matter.
void run_command(const char* format, char port, const char* arg = nullptr) {
  char line[128];
  snprintf(line, sizeof line, format, port, arg);
  run_shell(line);
}

void configure_fixed(char port, uint32_t addr, uint32_t netmask, uint32_t gateway) {
  run_command("ifconfig eth%c %s\n", port, inet_ntoa(as_in_addr(addr)));
  if (netmask != 0) {
    const char* mask = inet_ntoa(as_in_addr(netmask));
    printf("\tNetmask    : %s\n", mask);
    run_command("ifconfig eth%c down\n", port);
    run_command("ifconfig eth%c netmask %s\n", port, mask);
    run_command("ifconfig eth%c up\n", port);
  }
  sleep(5);
  if (gateway != 0) {
    const char* gw = inet_ntoa(as_in_addr(gateway));
    printf("\tGateway    : %s\n", gw);
    char line[128];
    snprintf(line, sizeof line, "route add default gw %s\n", gw);
    run_shell(line);
  }
  printf("Configuring management port...");
  for (int i = 0; i < kConfigureSteps; i++) {
    sleep(1);
    putchar('.');
    fflush(stdout);
  }
  printf("\n");
  sleep(1);
}

// The answer to the DHCP question; false when the operator interrupted it.
bool ask_use_dhcp(uint8_t* use_dhcp) {
  printf("Confirm: Use DHCP for network configuration? y/N: ");
  fflush(stdout);
  char line[kLineSize];
  // The line reader gives up on the interrupt key; another signal only asks for the line again.
  while (get_user_input(line, sizeof line) == nullptr && !sig_quit_raised) {
  }
  if (sig_quit_raised) return false;
  if (toupper(static_cast<unsigned char>(line[0])) == 'Y') *use_dhcp = 1;
  printf("\n");
  return true;
}

// Reads an address typed as exactly four decimal numbers of 0 to 255 (one to three digits each)
// joined by dots, and nothing else: no octal or hexadecimal parts, no short forms such as "10.1",
// no blanks or text around it. Stores it in network byte order; false for anything else.
bool parse_address(const char* text, uint32_t* addr) {
  uint32_t value = 0;
  for (int part = 0; part < 4; part++) {
    if (part > 0 && *text++ != '.') return false;
    unsigned number = 0, digits = 0;
    for (; isdigit(static_cast<unsigned char>(*text)) && digits < 4; text++, digits++)
      number = number * 10 + static_cast<unsigned>(*text - '0');
    if (digits == 0 || digits > 3 || number > 255) return false;
    value = value << 8 | number;
  }
  if (*text != '\0') return false;
  *addr = htonl(value);
  return true;
}

}  // namespace

int verify_ip_address(uint32_t addr) {
  const uint32_t first = ntohl(addr) >> 24;
  return addr != 0 && first != 0 && first <= 239 ? 1 : 0;
}

int get_ip_addr(const char* prompt, uint32_t* addr, uint8_t required, uint8_t verify) {
  for (;;) {
    printf("%s", prompt);
    fflush(stdout);
    char line[kLineSize];
    // The interrupt key leaves the setup like q.
    if (get_user_input(line, sizeof line) == nullptr) {
      if (sig_quit_raised) return 0;
      continue;
    }
    if (line[0] == 'q' || line[0] == 'Q') return 0;
    // A console at its end cannot answer again: leave as if the operator quit.
    if (line[0] == '\0' && console_closed) return 0;
    if (line[0] == '\0' && !required) return 1;
    uint32_t typed = 0;
    if (!parse_address(line, &typed)) {
      puts("Invalid IP address. Try again please");
    } else if (verify && !verify_ip_address(typed)) {
      printf("Invalid IP address %s. Try again please\n", line);
    } else {
      *addr = typed;
      return 1;
    }
  }
}

int mgmt_port_params(uint8_t* use_dhcp, uint32_t* addr, uint32_t* netmask, uint32_t* gateway,
                     uint8_t ask_dhcp) {
  *use_dhcp = 0;
  struct stat st;
  if (ask_dhcp && stat("/bin/dhclient", &st) == 0 && !ask_use_dhcp(use_dhcp)) return 0;
  if (*use_dhcp) return 1;
  if (!get_ip_addr("IP addr    :", addr, 1, 1)) return 0;
  if (!get_ip_addr("Netmask    :", netmask, 0, 0)) return 0;
  if (!get_ip_addr("Gateway    :", gateway, 0, 1)) return 0;
  return 1;
}

int mgmt_link_status(char) {
  const int sock = socket(AF_INET, SOCK_DGRAM, 0);
  if (sock < 0) {
    puts("Raw Socket open error");
    return 0;
  }
  ifreq ifr{};
  snprintf(ifr.ifr_name, sizeof ifr.ifr_name, "%s", "eth0");
  int up = 0;
  if (ioctl(sock, SIOCGIFINDEX, &ifr) < 0) {
    printf("Open Interface %s error.\n", "eth0");
  } else if (ioctl(sock, SIOCGIFFLAGS, &ifr) < 0) {
    puts("Open flags error.");
  } else {
    const int flags = ifr.ifr_flags;
    ethtool_value link{};
    link.cmd = ETHTOOL_GLINK;
    ifr.ifr_data = reinterpret_cast<char*>(&link);
    if (ioctl(sock, SIOCETHTOOL, &ifr) < 0)
      puts("EthTool GLINK error.");
    else
      up = link.data != 0 && (flags & IFF_UP) && (flags & IFF_RUNNING) ? 1 : 0;
  }
  close(sock);
  return up;
}

int mgmt_port_configure(uint8_t use_dhcp, char port, const uint32_t& addr, const uint32_t& netmask,
                        const uint32_t& gateway) {
  if (use_dhcp) {
    run_command("dhclient -1 eth%c", port);
    sleep(3);
  } else {
    configure_fixed(port, addr, netmask, gateway);
  }
  if (port == '0' && !mgmt_link_status(port)) {
    puts("Mgmt link not available. Quitting.");
    return 0;
  }
  return 1;
}

int mgmt_port_setup(uint8_t ask_dhcp) {
  uint8_t use_dhcp = 0;
  uint32_t addr = 0, netmask = 0, gateway = 0;
  if (!mgmt_port_params(&use_dhcp, &addr, &netmask, &gateway, ask_dhcp)) return 0;
  return mgmt_port_configure(use_dhcp, '0', addr, netmask, gateway);
}
