"""Board storage driven through the modules by the stand-in kvzsim_storage: flash rewrites and
erases, the VPD EEPROM, the boot options and the serial line. Each session is one power-up: a
script of driver commands and the whole transcript it must produce."""
import os
import subprocess
import termios
import time

import pytest

from switch import *

BLOCK, KERNEL_SIZE = 65536, 3 << 20


def drive(board, script, *faults):
    return board.script("kvzsim_storage", script, *[x for f in faults for x in ("--fault", f)])


def filled(data, *fills):
    """The bytes with the fills (offset, count, value) applied in order."""
    out = bytearray(data)
    for at, n, value in fills:
        out[at:at + n] = bytes([value]) * n
    return bytes(out)


def expect_kernel(board, want, erased, block=BLOCK):
    """The kernel partition's bytes and its blocks' erase counts ({block: count})."""
    same(board.read("flash/kernel"), want, "kernel partition")
    if board.emulated:  # the system board's flash counts no erases
        same(board.erase_counts("kernel"), [erased.get(i, 0) for i in range(KERNEL_SIZE // block)], "erase counts")


def mkenvimage(board, size, *variables):
    """An environment made by u-boot-tools' mkenvimage, written at the start of its partition."""
    env = board.path("tmp/env.bin")
    subprocess.run(["mkenvimage", "-b", "-s", str(size), "-o", env, "-"], input="\n".join(variables).encode(),
                   check=True)
    board.patch("flash/ubootenv", 0, board.read(env))


def test_read_erase_rewrite_and_options(new_board):
    """Plain reads fail silently; an erase takes every block its range touches and stops at the
    first failing one; a rewrite across three blocks keeps the bytes around the range. The boot
    options come from an environment made by mkenvimage: keys found inside other values, a signed
    port after a blank, a value that merely begins with "on"."""
    board = new_board("--blank")
    old, src = pattern(KERNEL_SIZE, 7), pattern(0x10020, 99)
    board.write("flash/kernel", old)
    board.write("user/src.bin", src)
    mkenvimage(board, 8192, "baudrate=115200", "bootargs=console=ttyS0,115200 gdb=on", "gdbport= -42",
               "memchk=one", "shell=off")
    got = drive(board, "flash_init\nenv\nread kernel 0 2\nread rfs 0 2\nread kernel 0 2\nerase kernel 0x50000 1\n"
                "erase kernel 0x60000 0x30000\n"  # blocks 6-8; the one of block 7 fails
                "write kernel 0xfff0 0x10020 file=/user/src.bin 0\n",
                "fail_mtd_read=kernel:1", "short_mtd_read=rfs:1", "fail_mtd_erase=kernel:3")
    same(got.out, "flash_init=0\ngdb_enable=1 gdbserver_enable=0 gdbport=-42 shell_enable=0 memchk_enable=1 "
         f"rescue_enable=0 standalone_diags=0\nread=-1\nread=-1\nread=0 {old[:2].hex()}\nerase=0\n"
         "Flash Erase mtd erase failed.\nerase=-1\nwrite=0\n")
    want = bytearray(filled(old, (5 * BLOCK, 2 * BLOCK, 0xFF)))
    want[0xFFF0:0xFFF0 + len(src)] = src
    expect_kernel(board, bytes(want), {0: 1, 1: 1, 2: 1, 5: 1, 6: 1})
    # Rewriting a kernel record (progress on) erases only blocks whose bytes change: none, then 5.
    rec = record("kernel", 0x03000102, pattern((5 << 19) + 1000, 3))
    changed = flipped(rec, 5 * BLOCK + 0x1234)
    board.write("flash/kernel", rec + b"\xff" * (KERNEL_SIZE - len(rec)))
    board.write("user/record", rec)
    board.write("user/changed", changed)
    board.clear_logs()
    same(drive(board, "flash_init\nwrite kernel 0 2622456 file=/user/record 1\n"
               "write kernel 0 2622456 file=/user/changed 1\n").out,
         "flash_init=0\n" + flash_progress(41) + "write=0\n" + flash_progress(41) + "write=0\n")
    expect_kernel(board, changed + b"\xff" * (KERNEL_SIZE - len(rec)), {5: 1})


FIRST = (0, BLOCK, 0x5A)
# A rewrite of blocks 0-2 with 0x5a that fails part way: the failing step, what the partition holds
# afterwards over the old bytes, erase counts. A block that is rewritten costs one read of the
# block and 64 reads of 1024 bytes to check what was written; its 64 pieces are 64 writes.
FAILING_STEPS = [
    ("fail_mtd_read=kernel:2", "write", [FIRST], {0: 1}),  # reading back the first piece
    ("fail_mtd_read=kernel:66", "read", [FIRST], {0: 1}),
    ("short_mtd_read=kernel:66", "read", [FIRST], {0: 1}),
    ("fail_mtd_erase=kernel:2", "erase", [FIRST], {0: 1}),
    ("fail_mtd_write=kernel:65", "write", [FIRST, (BLOCK, BLOCK, 0xFF)], {0: 1, 1: 1}),
    # Half of the third piece reaches the flash; the rest of the block stays erased.
    ("short_mtd_write=kernel:3", "write", [(0, 0xA00, 0x5A), (0xA00, BLOCK - 0xA00, 0xFF)], {0: 1}),
    # The second piece of block 1 reports success but changes nothing: the read-back sees it.
    ("stuck_mtd_write=kernel:66", "write", [(0, 2 * BLOCK, 0x5A), (BLOCK + 0x400, 0x400, 0xFF)], {0: 1, 1: 1}),
]


@pytest.mark.parametrize("fault,step,changes,erased", FAILING_STEPS, ids=[f[0] for f in FAILING_STEPS])
def test_rewrite_stops_at_the_failing_step(new_board, fault, step, changes, erased):
    board = new_board("--blank")
    old = pattern(KERNEL_SIZE, 11)
    board.write("flash/kernel", old)
    same(drive(board, "flash_init\nwrite kernel 0 0x30000 pat=5a 0\n", fault).out,
         f"flash_init=0\nFlash Write mtd {step} failed.\n\nwrite=-1\n")
    expect_kernel(board, filled(old, *changes), erased)


NO_INFO = "Could not get MTD device info \n"
REFUSED = "flash_init=-1\nread=-1\nwrite=-1\nwrite=-1\nerase=-1\n"
DEFAULTS = ("gdb_enable=0 gdbserver_enable=0 gdbport=1234 shell_enable=0 memchk_enable=0 rescue_enable=0 "
            "standalone_diags=0\n")
NOT_INSTALLED = EXTRACT + "Installing Kernel: kernel image update failed\ninstall=0\n"
UNUSABLE = [("fail_memgetinfo=1", NO_INFO), ("fail_open=/dev/mtd-kernel", NO_INFO),
            ("erase_size=0x18000", "Unsupported MTD erase size 0x18000\n"),
            ("erase_size=512", "Unsupported MTD erase size 0x200\n"),
            ("erase_size=0", "Unsupported MTD erase size 0x0\n"),
            (None, "NO FLASH !\n")]  # a kernel partition of size zero


def test_other_flashes(new_board):
    """Erase blocks larger than 64 KiB are taken whole; without usable flash (no geometry, a kernel
    partition that cannot be opened or has size zero, erase blocks that are no power of two of at
    least 1 KiB) nothing the driver asks reaches a partition, a flash record is not installed, and
    the boot options keep their defaults, as they do when the environment cannot be read."""
    big = new_board("--blank", "--erase-size", "0x20000")
    same(drive(big, "flash_init\nwrite kernel 0x1fff0 0x20 pat=77 0\ndebug 0 0 1\nerase kernel 0x20000 1\n").out,
         "flash_init=0\nwrite=0\nFlash Erase 0x00020000 to 0x00020000 (0x00020000 to 0x0003ffff) 1\n"
         "mtd erase 0x00020000 to 0x0003ffff\nerase=0\n")
    expect_kernel(big, filled(b"\xff" * KERNEL_SIZE, (0x1FFF0, 0x10, 0x77)), {0: 1, 1: 2}, 0x20000)
    board = new_board("--blank")
    board.write("user/k.img", record("kernel", 1, pattern(100)))
    board.env("shell=on", "diagnostics=rescue")
    same(drive(board, "flash_init\nenv\n", "fail_mtd_read=ubootenv:1").out, "flash_init=0\n" + DEFAULTS)
    script = ("debug 1 1 1\nflash_init\nread kernel 0 4\nwrite kernel 0 16 pat=00 1\nwrite rfs 0 16 pat=00 0\n"
              "erase kernel 0 0x10000\nenv\ninstall /user/k.img 0 1\n")
    for fault, says in UNUSABLE:
        if fault is None:
            board.write("flash/kernel", b"")
        same(drive(board, script, *[fault] * (fault is not None)).out, says + REFUSED + DEFAULTS + NOT_INSTALLED,
             f"transcript ({fault})")
    assert board.read("flash/rfs") == b"\xff" * len(board.read("flash/rfs"))
    assert not board.exists("stats/erase-kernel") and not board.exists("stats/erase-rfs")


def test_eeprom_writes_follow_the_register_step(board):
    """Every EEPROM byte write follows the register step on the bus-1 device (bit 3 of register 4,
    cleared, into register 12); reads return the bytes as stored (USB-boot byte 212: not enabled);
    one-byte addressing sends the offset's low byte alone. Closed buses fail after one line each."""
    board.set_vpd(USBBOOT, 212)
    board.set_vpd(0x1021, 0x77)
    vpd, regs = bytearray(board.read("eeprom/vpd.bin")), bytearray(board.read("eeprom/regs.bin"))
    closed = "I2C error when setting bus 0, device 0xa8: 9\n"
    # qemu's 24Cxx model keeps a lone address byte apart from the pointer, and its bus answers the
    # general call (device 0): on the system board those two requests go unasked.
    odd = ("i2c_read 0x1010 1 1\nubootenv_read\n", "i2c_read=1 77\nubootenv_read=-1\n") if board.emulated else ("", "")
    same(drive(board, "i2c_init\nset_image 2\nset_booted_image 4\nget_usbboot\nget_image\neeprom_read 312 4\n"
               "i2c_read 0x0120 1 2\n" + odd[0] + "i2c_close\ni2c_close\nget_image\n"
               "eeprom_read 312 2\nubootenv_read\nset_image 2\n").out,
         "i2c_init=0\nset_image=3\nset_booted_image=3\nget_usbboot=212\nget_image=2\neeprom_read=4 ffff04d4\n"
         "i2c_read=1 ff\n" + odd[1] + "i2c_close=0\ni2c_close=0\n" + closed + "get_image=0\n" +
         closed + "eeprom_read=0 0000\nubootenv_read=-1\nI2C error when setting bus 0: 9\nset_image=-1\n")
    if board.emulated:  # the system board logs no I2C transfers
        same(board.i2c_log(), [
            "i2c-1 0x20 smbus-read reg 0x04 = 0x0c", "i2c-1 0x20 smbus-write reg 0x0c = 0x04", "i2c-0 0x54 write 01 00 02",
            "i2c-1 0x20 smbus-read reg 0x04 = 0x0c", "i2c-1 0x20 smbus-write reg 0x0c = 0x04", "i2c-0 0x54 write 01 3a 04",
            "i2c-0 0x54 write 01 3b", "i2c-0 0x54 read d4", "i2c-0 0x54 write 01 00", "i2c-0 0x54 read 02",
            "i2c-0 0x54 write 01 38", "i2c-0 0x54 read ff ff 04 d4", "i2c-0 0x54 write 01 20", "i2c-0 0x54 read ff",
            "i2c-0 0x54 write 10", "i2c-0 0x54 read 77", "i2c-0 0x00 write nak", "i2c-0 0x00 read 0 nak"], "I2C log")
    vpd[SELECTED], vpd[BOOTED], regs[12] = 2, 4, 0x04
    same(board.read("eeprom/vpd.bin"), bytes(vpd), "VPD")
    same(board.read("eeprom/regs.bin"), bytes(regs), "bus-1 registers")


def test_serial_line_is_handed_over_and_back(new_board):
    """From the switch's console settings (9600 bps, two stop bits, line editing, CR to LF) to
    115200 bps 8N1 raw, modem control and control characters kept, and back exactly. A key that
    is not Enter is dropped. Without a serial line nothing is waited for."""
    board = new_board("--blank")
    board.emulated_only("the serial line's settings, which only the board itself can read")
    c = board.start("--launcher", board.launcher("kvzsim_storage"))
    t = termios.tcgetattr(c.line)
    t[0:4] = [termios.ICRNL | termios.IXON | termios.BRKINT, termios.OPOST | termios.ONLCR,
              (t[2] & ~termios.CSIZE) | termios.CS8 | termios.CSTOPB | termios.CREAD | termios.CLOCAL | termios.HUPCL,
              termios.ISIG | termios.ICANON | termios.ECHO | termios.ECHOE | termios.ECHOK | termios.IEXTEN]
    t[4:6] = [termios.B9600, termios.B9600]
    termios.tcsetattr(c.line, termios.TCSANOW, t)
    before = termios.tcgetattr(c.line)
    download = list(before)  # as the (pseudo-terminal) line took them
    download[0:4] = [termios.IGNBRK, 0, before[2] & ~termios.CSTOPB, termios.ECHOK | termios.IEXTEN]
    download[4:6] = [termios.B115200, termios.B115200]
    c.send("serial_init\n", wait=False)
    assert c.wait_for("before initiating the download.\n")
    time.sleep(0.1)
    during = termios.tcgetattr(c.line)
    termios.tcsetattr(c.line, termios.TCSANOW, download)
    same(termios.tcgetattr(c.line), during, "settings during the download")
    c.send("x\n", line=True)
    assert c.wait_for("download can start...\r\n")
    c.send("\r", line=True)
    assert c.wait_for("init_serial=ok\n")
    c.send("serial_reset\n", wait=False)
    assert c.wait_for("to be hit...\r\n")
    c.send("\r", line=True)  # the restored settings turn the Enter key's CR into LF
    assert c.wait_for("reset_serial=done\n")
    same(termios.tcgetattr(c.line), before, "settings afterwards")
    c.send("\x04", wait=False)
    got = c.finish()
    same(got.out + got.err, "       Change the baud rate to 115200 bps and hit the <ENTER> key\n"
         "       before initiating the download.\n"
         "\r\n    ... Waiting for the <Enter> key to be hit before the download can start...\r\n"
         "init_serial=ok\n       Change the baud rate back to 9600 bps, hit the <ENTER> key\n"
         "\r\n    ... Waiting for the <ENTER> key to be hit...\r\n"
         "reset_serial=done\n")
    none = board.script("kvzsim_storage", "serial_init\nserial_reset\n", "--serial", "none")
    same(none.out, "init_serial=-1\nreset_serial=done\n")
    same(none.err, "Can't open serial port!: No such file or directory\n")
