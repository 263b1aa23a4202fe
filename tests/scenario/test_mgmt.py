"""kvzmgmt, the management-port setup: the operator's answers, the exact console transcript and
command lines, and the link check against the board's eth0."""
import pytest

from switch import *

DHCP = "Confirm: Use DHCP for network configuration? y/N: "
IP, MASK, GW = "IP addr    :", "Netmask    :", "Gateway    :"
RETRY = "Invalid IP address. Try again please\n"
NO_LINK = "Mgmt link not available. Quitting.\n"
DOTS = "Configuring management port..." + "." * 20 + "\n"
DHCLIENT = "dhclient -1 eth0\n"


def refused(addr):
    return f"Invalid IP address {addr}. Try again please\n"


# The exit status, the board's setting, the command log, the first prompt, then each answer typed
# (Enter after it) followed by all that is printed after it. An address is four decimal numbers of
# 0-255 and nothing else (leading zeros are no octal).
SESSIONS = [
    ("addresses checked", 0, "eth0=up",
     "ifconfig eth0 10.0.0.2\\n\nifconfig eth0 down\\n\nifconfig eth0 netmask 255.0.255.0\\n\n"
     "ifconfig eth0 up\\n\nroute add default gw 239.255.255.255\\n\n", DHCP,
     ["n", "\n" + IP, "", RETRY + IP, "abc", RETRY + IP, "10.0", RETRY + IP, "1", RETRY + IP, "10.1.2.3 ; x",
      RETRY + IP, " 10.0.0.2", RETRY + IP, "1.2.3.4.5", RETRY + IP, "10.0.0.256", RETRY + IP, "0x0a.0.0.2",
      RETRY + IP, "0.1.2.3", refused("0.1.2.3") + IP, "240.1.1.1", refused("240.1.1.1") + IP,
      "010.000.000.002", MASK, "255.0.255.0", GW, "240.1.1.1", refused("240.1.1.1") + GW,
      "239.255.255.255", "\tNetmask    : 255.0.255.0\n\tGateway    : 239.255.255.255\n" + DOTS]),
    # A netmask of 0.0.0.0 counts as none given.
    ("netmask 0", 0, None, "ifconfig eth0 10.0.0.2\\n\n", DHCP,
     ["", "\n" + IP, "10.0.0.2", MASK, "0", RETRY + MASK, "0.0.0.0", GW, "", DOTS]),
    ("DHCP", 0, None, DHCLIENT, DHCP, ["yes", "\n"]),
    ("DHCP, no link", 1, "eth0=down", DHCLIENT, DHCP, ["Y", "\n" + NO_LINK]),
    ("DHCP, no port", 1, "eth0=absent", DHCLIENT, DHCP, ["y", "\nOpen Interface eth0 error.\n" + NO_LINK]),
    ("quit at the address", 1, None, "", DHCP, ["n", "\n" + IP, "quit", ""]),
    ("quit at the gateway", 1, None, "", DHCP, ["n", "\n" + IP, "10.0.0.2", MASK, "", GW, "Q", ""]),
    # Without /bin/dhclient there is no DHCP question.
    ("no dhclient", 1, "no_dhclient=1", "", IP, ["q", ""]),
]


@pytest.mark.parametrize("what,status,setting,commands,first,answers", SESSIONS, ids=[s[0] for s in SESSIONS])
def test_session(new_board, what, status, setting, commands, first, answers):
    board = new_board("--blank")
    keys = "".join(a + "\n" for a in answers[::2])
    out = first + "".join(a + "\n" + b for a, b in zip(answers[::2], answers[1::2]))
    got = board.script("kvzmgmt", keys, *(("--fault", setting) if setting else ()))
    same((got.out, got.err), (out, ""))
    same(board.text("commands.log"), commands, "command log")
    assert board.exit_status() == status


def test_break_key_and_console_end_at_an_address_question(new_board):
    """The break key ends the line with what was typed (no address here); a console at its end
    quits the setup."""
    board = new_board("--blank")
    board.write("keys", "n\n10.1\x03")
    got = board.start("--launcher", board.launcher("kvzmgmt"), console=board.path("keys")).finish()
    same(got.out, DHCP + "n\n\n" + IP + "10.1 <break>\n" + RETRY + IP + "\n")
    assert board.exit_status() == 1
