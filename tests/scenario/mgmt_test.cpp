// kvzmgmt on the virtual board: the operator's answers, the exact console transcript and command
// lines, and the link check against the board's eth0, on host and PowerPC.
#include <gtest/gtest.h>

#include "sim.h"

using namespace kvzsim;

namespace {

const std::string kDhcp = "Confirm: Use DHCP for network configuration? y/N: ",
                  kIp = "IP addr    :", kMask = "Netmask    :", kGw = "Gateway    :",
                  kRetry = "Invalid IP address. Try again please\n",
                  kNoLink = "Mgmt link not available. Quitting.\n",
                  kDots = "Configuring management port..." + std::string(20, '.') + "\n";

std::string refused(const std::string& addr) {
  return "Invalid IP address " + addr + ". Try again please\n";
}

// One session: the exit status, the board's setting, the command log, the first prompt, then each
// answer typed (Enter after it) followed by all that is printed after it.
struct Session {
  int status;
  std::string config, commands, first;
  std::vector<std::string> answers;
};

class MgmtTest : public ::testing::TestWithParam<Target> {};

TEST_P(MgmtTest, Sessions) {
  const std::string dhcp = "dhclient -1 eth0\n";
  // clang-format off
  const Session sessions[] = {
      {0, "eth0=up",
       "ifconfig eth0 10.0.0.2\\n\nifconfig eth0 down\\n\nifconfig eth0 netmask 255.0.255.0\\n\n"
       "ifconfig eth0 up\\n\nroute add default gw 239.255.255.255\\n\n", kDhcp,
       {"n", "\n" + kIp, "", kRetry + kIp, "abc", kRetry + kIp, "0.1.2.3", refused("0.1.2.3") + kIp,
        "240.1.1.1", refused("240.1.1.1") + kIp, "10.0.0.2", kMask, "255.0.255.0", kGw, "240.1.1.1",
        refused("240.1.1.1") + kGw, "239.255.255.255",
        "\tNetmask    : 255.0.255.0\n\tGateway    : 239.255.255.255\n" + kDots}},
      // A netmask of 0 counts as none given.
      {0, "", "ifconfig eth0 10.0.0.2\\n\n", kDhcp,
       {"", "\n" + kIp, "10.0.0.2", kMask, "0", kGw, "", kDots}},
      {0, "", dhcp, kDhcp, {"yes", "\n"}},
      {1, "eth0=down", dhcp, kDhcp, {"Y", "\n" + kNoLink}},
      {1, "eth0=absent", dhcp, kDhcp, {"y", "\nOpen Interface eth0 error.\n" + kNoLink}},
      {1, "", "", kDhcp, {"n", "\n" + kIp, "quit", ""}},
      {1, "", "", kDhcp, {"n", "\n" + kIp, "10.0.0.2", kMask, "", kGw, "Q", ""}},
      // Without /bin/dhclient there is no DHCP question.
      {1, "no_dhclient=1", "", kIp, {"q", ""}},
  };
  // clang-format on
  for (const Session& s : sessions) {
    Board board({"--blank"});
    std::string keys, out = s.first;
    for (size_t i = 0; i < s.answers.size(); i += 2) {
      keys += s.answers[i] + "\n";
      out += s.answers[i] + "\n" + s.answers[i + 1];
    }
    const Boot b = run_script(board, GetParam(), "kvzmgmt", keys,
                              s.config.empty() ? Lines{} : Lines{"--fault", s.config});
    EXPECT_EQ(b.out, out) << keys;
    EXPECT_EQ(b.err, "");
    EXPECT_EQ(board.text("commands.log"), s.commands) << keys;
    EXPECT_EQ(board.exit_status(), s.status);
  }
  // A console that reaches its end at an address question quits the setup.
  Board board({"--blank"});
  board.write_text("keys", "n\n");
  const Boot b = Console(board, GetParam(), {"--launcher", bin_for(GetParam()) + "/kvzmgmt"}, 20,
                         board.path("keys")).finish();
  EXPECT_EQ(b.out, kDhcp + "n\n\n" + kIp + "\n");
  EXPECT_EQ(board.exit_status(), 1);
}

INSTANTIATE_TEST_SUITE_P(Targets, MgmtTest, ::testing::ValuesIn(targets()), TargetName());

}  // namespace
