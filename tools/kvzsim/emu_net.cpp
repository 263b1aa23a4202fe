// The management port eth0, as the launcher's own sockets see it.
#include "emu.h"

namespace emu {

// ---- Management port ------------------------------------------------------------------------

// Interface requests on the launcher's own sockets, answered from the board's eth0 setting; any
// other interface does not exist. false for requests that are not the board's to answer.
bool net_ioctl(unsigned long request, void* arg, int* result) {
  if (request != SIOCGIFINDEX && request != SIOCGIFFLAGS && request != SIOCETHTOOL) return false;
  auto* ifr = static_cast<ifreq*>(arg);
  *result = -1;
  if (strncmp(ifr->ifr_name, "eth0", IFNAMSIZ) != 0 || !strcmp(cfg.eth0, "absent")) {
    errno = ENODEV;
    return true;
  }
  const bool link = !strcmp(cfg.eth0, "up");
  if (request == SIOCGIFINDEX) {
    ifr->ifr_ifindex = 2;
  } else if (request == SIOCGIFFLAGS) {
    ifr->ifr_flags =
        static_cast<short>(IFF_UP | IFF_BROADCAST | IFF_MULTICAST | (link ? IFF_RUNNING : 0));
  } else {
    auto* value = reinterpret_cast<ethtool_value*>(ifr->ifr_data);
    if (value->cmd != ETHTOOL_GLINK) {
      errno = EOPNOTSUPP;
      return true;
    }
    value->data = link ? 1 : 0;
  }
  *result = 0;
  return true;
}

}  // namespace emu
