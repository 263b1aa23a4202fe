"""The power-cut campaign (slow; `make campaign`): power lost after the Nth write to flash or to a
file under /user during four installs: a USB slot replacement, a USB boot-loader bundle with a
diagnostics record, a menu install of a kernel and an application, and the recovery install from
the rescue partition. Each install runs once uncut to count its writes (the board's own counters);
then for every cut point, on a fresh board: the install with the cut, one boot without the stick
(it must reach an application or the diagnostics or rescue image) and the install repeated (it
must complete: partitions and slot files hold the bundle's records, and a boot-loader bundle resets
the board once and installs nothing the next time). --stride N tries every Nth flash write and
always the first and last write of each erase block."""
import time

import pytest

from switch import *

APP = app_record("2.0.0.0", **{"home/pad": pattern(300000, 1)})
RECOVERY = app_record("3.0.0.0", **{"home/pad": pattern(400000, 2)})
DIAGS2 = diags_record("2.0.0.0", **{"home/pad": pattern(150000, 3)})
UBOOT = uboot_record(0x02000000, 130000, 4)
KERNEL = record("kernel", 0x02000000, pattern(180000, 5))


def prepare(board, kind):
    if kind in ("usb-replace", "usb-bootloader"):
        board.set_vpd(USBBOOT, 213)
        board.write("usb/QVM7314_replace2_OS.img" if kind == "usb-replace" else "usb/QVM7314_Boot.img",
                    APP if kind == "usb-replace" else UBOOT + DIAGS2)
    elif kind == "menu":
        board.env("diagnostics=rescue")
        board.write("usb/update.img", KERNEL + APP)
        board.write("keys", "U1\n1\nE")
    else:
        board.remove("user/images")
        board.write("flash/rescue", RECOVERY + b"\xff" * (len(board.read("flash/rescue")) - len(RECOVERY)))
        board.write("keys", "1\n")


def install(board, kind, *options):
    """The install, with the stick and the keys the kind needs; its whole console output."""
    stick = ("--usb",) if kind != "recovery" else ()
    got = board.boot(*stick, *options, console=board.path("keys") if board.exists("keys") else False)
    return got.status, got.out + got.err


def completed(board, kind, status, log):
    if kind == "usb-replace":  # slot 2 holds the record, is selected and boots
        return (board.read(IMAGE2) == APP and board.vpd(SELECTED) == 2 and "Booting image '2'" in log
                and "application 2.0.0.0 is running" in log)
    if kind == "usb-bootloader":  # a reset after what was installed, then nothing installed
        again = install(board, kind)[1] if status == REBOOTED else log
        return ("File processed" in log and again.count("Skipping update") == 2 and
                "application 1.1.0.0 is running" in again and board.read("flash/uboot").startswith(UBOOT[16:])
                and board.read("flash/rescue").startswith(DIAGS2))
    if kind == "menu":
        return ("Image1 updated succeeded" in log and board.read("flash/kernel").startswith(KERNEL) and
                board.read(IMAGE1) == APP and "application 2.0.0.0 is running" in log)
    # A recovery copy cut after its last write boots without asking again.
    return board.read(IMAGE1) == RECOVERY and board.vpd(SELECTED) == 1 and "application 3.0.0.0 is running" in log


def cut_points(count, stride):
    return [n for n in range(1, count + 1) if (n - 1) % stride == 0 or n % 64 <= 1 or n == count]


@pytest.mark.slow
@pytest.mark.parametrize("what", ["usb-replace", "usb-bootloader", "menu", "recovery"])
def test_power_cut(new_board, pytestconfig, kind, what):
    started = time.monotonic()
    board = new_board()
    prepare(board, what)
    status, log = install(board, what)
    stats = dict(line.split("=", 1) for line in board.text("stats/launcher").splitlines() if "=" in line)
    flash, user = int(stats["flash_writes"]), int(stats["user_writes"])
    assert completed(board, what, status, log), "the uncut install does not complete:\n" + log
    cuts = [("flash", n) for n in cut_points(flash, pytestconfig.getoption("stride"))]
    cuts += [("user", n) for n in range(1, user + 1)]
    booted = done = 0
    failed = []
    for where, n in cuts:
        board = new_board()
        prepare(board, what)
        reasons = []
        if install(board, what, "--fault", f"power_cut_{where}_write={n}")[0] != OTHER_END:
            reasons.append("not cut")
        after = board.boot(console=False)
        booted += "is running" in after.out
        reasons += [] if "is running" in after.out else ["boot"]
        status, log = install(board, what)
        ok = completed(board, what, status, log)
        done += ok
        reasons += [] if ok else ["install"]
        failed += [f"{where}={n}({','.join(reasons)})"] if reasons else []
        board.discard()
    CAMPAIGN.append(f"{kind:5} {what:16} {flash:6} {user:6} {len(cuts):7} {booted:10} {done:10} "
                    f"{time.monotonic() - started:6.0f}s  {' '.join(failed) or 'none'}")
    assert not failed
