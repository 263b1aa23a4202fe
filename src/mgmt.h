// The management Ethernet port: asks the operator for DHCP or an address, configures eth0 with
// the standard network tools and checks its link.
#pragma once

#include <cstdint>

// Asks for the port's settings (offering DHCP when ask_dhcp is non-zero), configures eth0 and
// checks its link. 1 when the port was configured and has a link, 0 when the operator abandoned
// the questions or the link check failed.
int mgmt_port_setup(uint8_t ask_dhcp);
// Asks whether to use DHCP (when ask_dhcp is set and /bin/dhclient exists), else for the address
// (required), netmask and gateway. 1 when the answers are complete, 0 when abandoned.
int mgmt_port_params(uint8_t* use_dhcp, uint32_t* addr, uint32_t* netmask, uint32_t* gateway,
                     uint8_t ask_dhcp);
// Prompts for one dotted address (network byte order) until one converts (and, with verify,
// passes verify_ip_address). 1 with *addr set, or 1 with *addr untouched after an empty answer
// that is not required; 0 when the operator quits with q or Q.
int get_ip_addr(const char* prompt, uint32_t* addr, uint8_t required, uint8_t verify);
// 1 when addr (network byte order) may be a host address: not 0, first number 1 to 239.
int verify_ip_address(uint32_t addr);
// Runs dhclient, or ifconfig and route with the addresses given (0: not given), on eth<port>,
// waits for the settings to take and, for port '0', checks the link. 1 on success, 0 when the
// link check fails.
int mgmt_port_configure(uint8_t use_dhcp, char port, const uint32_t& addr, const uint32_t& netmask,
                        const uint32_t& gateway);
// 1 when eth0 is up, running and has a link (the port digit is not used), else 0.
int mgmt_link_status(char port);
