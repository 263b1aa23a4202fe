"""The boot path: which slot boots, how the unpacked application is started, and the rescue
partition's record as the last resort."""
import pytest

from switch import *

BOTH = BOOTING + "Booting image '2'\n"
CRC1 = "Image1 CRC failed, trying Image2 now.\n"
DIAGS_RAN = "Launching diagnostics image\ninstall diags image\n"
RESCUE = DIAGS_RAN + diags_says("1.0.0.0")
APP2 = app_says("1.0.0.0")
OPEN2 = "Failed to open Application image 2. Trying image 1.\n"
BIG_BLOB = pattern(300 * 1024, 99)  # spans several read chunks


def big_app_record(version, hdrlen=0):
    return app_record(version, hdrlen, **{"home/bin/blob": BIG_BLOB})


def slot1(*records):
    return lambda b: b.write(IMAGE1, b"".join(records))


def select(slot):
    return lambda b: b.set_vpd(SELECTED, slot)


def archive_empty(b):
    """The archive that failed records were streamed into is left empty."""
    assert b.exists(ARCHIVE) and b.read(ARCHIVE) == b""


def vpd_is(b, selected, booted):
    assert (b.vpd(SELECTED), b.vpd(BOOTED)) == (selected, booted)


def vpd(selected, booted):
    """A check of the VPD's selected and booted slot afterwards."""
    return lambda b: vpd_is(b, selected, booted)


# ---- Which slot boots ------------------------------------------------------------------------

WRAPPING_APP = bare_header(0x814B565A, 0xFFFFFFF0, 0xFFFF).ljust(4096, b"\x5a")

# what, set-up, standard output, standard error, commands, slot recorded as booted
ROADS = [
    ("slot 2 selected", select(2), "Booting image '2'\n" + APP2, "", APP, 2),
    ("slot 7 selected", select(7), BOOTING + APP1, "", APP, 1),
    ("slot 1 fails its check", lambda b: b.flip(IMAGE1, 40), BOTH + APP2, CRC1, APP, 2),
    # A missing file: the other slot's file boots under the number of the slot asked for.
    ("slot 1 file missing", lambda b: b.remove(IMAGE1), BOOTING + APP2,
     "Failed to open Application image 1. Trying image 2.\n", APP, 1),
    ("slot 2 selected, its file missing", lambda b: (b.set_vpd(SELECTED, 2), b.remove(IMAGE2)),
     "Booting image '2'\n" + APP1, OPEN2, APP, 2),
    ("slot 2 selected, both files missing", lambda b: (b.set_vpd(SELECTED, 2), b.remove("user/images")),
     "Booting image '2'\n" + RESCUE, OPEN2 + "Failed to open Application image 1. Trying rescue image\n",
     DIAGS, 4),
    # The last header scanned in slot 1 is an extended one: its magic is shown with bit 31.
    ("no bootable record in either slot",
     lambda b: (slot1(other_record("rfs", 100), other_record("kernel", 300, 32))(b),
                b.write(IMAGE2, other_record("kernel", 100))),
     BOTH + RESCUE, "Image has invalid header 0x834b565a. (0x64b565a)\nImage1 has invalid header... "
     "trying Image2.\nNo valid application image found. Trying rescue image\n", DIAGS, 4),
    # Larger than what is read at a time: checked and unpacked whole.
    ("large extended records", slot1(other_record("kernel", 70000, 32), big_app_record("6.0.0.0", 48)),
     BOOTING + app_says("6.0.0.0"), "", APP, 1),
    ("diagnostics record in a slot",
     slot1(other_record("kernel", 64), diags_record("2.0.0.0"), app_record("9.9.9.9")),
     BOOTING + "install diags image\n" + diags_says("2.0.0.0"), "", DIAGS, 1),
    # Sizes that wrap 32 bits are refused like a bad check.
    ("application size wraps", slot1(WRAPPING_APP), BOTH + APP2, CRC1, APP, 2),
]


@pytest.mark.parametrize("what,setup,out,err,commands,booted", ROADS, ids=[r[0] for r in ROADS])
def test_every_road_to_a_program(board, what, setup, out, err, commands, booted):
    """Every boot reads the USB flag and the selected slot, writes the booted slot once after the
    register step of the bus-1 device, leaves the slot files as they were, and removes the archive
    it unpacked."""
    setup(board)
    selected, images = board.vpd(SELECTED), board.read(IMAGE1) + board.read(IMAGE2)
    run(board, Want(RAN, out, err, commands))
    assert board.vpd(BOOTED) == booted
    if board.emulated:  # the system board's EEPROM and register device log nothing
        same(board.i2c_log(), ["i2c-0 0x54 write 01 3b", "i2c-0 0x54 read 00", "i2c-0 0x54 write 01 00",
                               f"i2c-0 0x54 read {selected:02x}", "i2c-1 0x20 smbus-read reg 0x04 = 0x0c",
                               "i2c-1 0x20 smbus-write reg 0x0c = 0x04", f"i2c-0 0x54 write 01 3a {booted:02x}"],
             "I2C log")
    same(board.read("eeprom/regs.bin")[12:13], b"\x04", "register 12, after the register step")
    same(board.read(IMAGE1) + board.read(IMAGE2), images, "slot files")
    assert not board.exists(ARCHIVE)
    if "6.0.0.0" in out:
        same(board.read("tmp/home/bin/blob"), BIG_BLOB, "unpacked blob")


BUSY = "I2C error when setting bus 0, device 0xa8: 16\n"
CLOSED = "I2C error when setting bus 0, device 0xa8: 9\n"


def booted_and_register12(booted, reg12):
    def check(b):
        assert (b.vpd(BOOTED), b.read("eeprom/regs.bin")[12]) == (booted, reg12)
    return check


def zero_booted(b):
    b.set_vpd(BOOTED, 0)


# Both checks fail (slot 2's record claims a length far beyond its file): no rescue partition, the
# shell first when enabled, the archive left empty. A silent EEPROM, a busy or missing bus 0 boots
# slot 1 and writes nothing; on a busy or missing bus 1 the register step fails silently, the
# EEPROM write not. Without flash (and /user not mounted) there is no last resort: a reset.
OTHER_ROADS = [
    ("both checks fail, shell enabled",
     lambda b: (b.env("shell=on"), b.flip(IMAGE1, 40), b.patch(IMAGE2, 4, b"\x7f\xff\xff\xf0")), (),
     [(BOTH, "echo operator was here\nexit\n")],
     Want(REBOOTED, BOTH + "operator was here\n", CRC1 + "Both image1 and image2 failed.\n",
          [MOUNT, SHELL, REBOOT], "echo operator was here\r\nexit\r\n"),
     lambda b: (vpd_is(b, 1, 0xFF), archive_empty(b))),
    ("silent EEPROM", select(2), ("--fault", "eeprom_silent=1"), [],
     Want(RAN, "I2C error - device 0xa8 writing bus 0 offset 315: 6\n"
          "I2C error - device 0xa8 writing bus 0 offset 256: 6\n" + BOOTING +
          "I2C error when writing bus 0 offset 314: 6\n" + APP1, "", APP),
     vpd(2, 0xFF)),
    ("busy bus 0", zero_booted, ("--fault", "i2c_busy=0"), [],
     Want(RAN, BUSY + BUSY + BOOTING + "I2C error when setting bus 0: 16\n" + APP1, "", APP),
     booted_and_register12(0, 0x04)),
    ("busy bus 1", zero_booted, ("--fault", "i2c_busy=1"), [], Want(RAN, BOOTING + APP1, "", APP),
     booted_and_register12(1, 0)),
    ("bus 1 missing", None, ("--fault", "bus_missing=1"), [],
     Want(RAN, "ERROR: driver /dev/i2c-1 couldn't be opened\n" + BOOTING + APP1, "", APP),
     booted_and_register12(1, 0)),
    ("bus 0 missing", None, ("--fault", "bus_missing=0"), [],
     Want(RAN, "ERROR: driver /dev/i2c-0 couldn't be opened\n" + CLOSED + CLOSED + BOOTING +
          "I2C error when setting bus 0: 9\n" + APP1, "", APP),
     vpd(1, 0xFF)),
    ("no flash geometry, mount fails", lambda b: b.remove("user/images"),
     ("--fault", "fail_memgetinfo=1", "--fault", "fail_system=/bin/mount"), [],
     Want(REBOOTED, "Could not get MTD device info \n" + BOOTING, NO_SLOTS + "Image not found... \n",
          [MOUNT, REBOOT]), None),
]


# ---- How the unpacked application is started --------------------------------------------------

DUMA = "DUMA (virtual board stand-in) loaded\n"
SERVER_WAITS = "gdbserver: /tmp/home/bin/mp.elf.strip waiting for a debugger on port "
INCOMPATIBLE = ("WARNING: Suspected incompatible application image detected during unpacking\n"
                "Would you like to enter recovery mode to download a new image? y/N: ")
# The debugger stand-in: says what it was asked to debug, then runs it.
GDB = '#!/bin/sh\necho "gdb stand-in debugging $1"\nexec "$1"\n'
FOUND_GDB = (f"Extracting GDB from image slot 2\nFound GDB image 2 of length = {len(gzipped(GDB.encode()))}"
             ".\ndecompressing GDB....\n*** Launching under GDB ***\n"
             "gdb stand-in debugging /tmp/home/bin/mp.elf.strip\n")
NO_GDB = "\n**** GDB mode selected but GDB not available. Please install GDB image ***\n"
NO_GDB2 = BOOTING + "Extracting GDB from image slot 2" + NO_GDB + APP1
PRELOAD = "LD_PRELOAD=libduma.so.0.0.0 "


def install_gdb(b):
    """A gzip'd debugger as the payload of the first record of slot 2, ahead of an application."""
    b.write(IMAGE2, record("app", 0x07000000, gzipped(GDB.encode())) + app_record("1.0.0.0"))


def install_suspect(b):
    """An application whose archive lacks home/bin/distro-id: a suspect one."""
    b.write(IMAGE1, record("app", 0x01000000, app_archive("5.0.0.0", distro_id=False)))


def gdb_fetched(b):
    assert b.text("tmp/gdb") == GDB and b.vpd(BOOTED) == 1


def no_file(rel):
    def check(b):
        assert not b.exists(rel)
    return check


# The shell runs after diagnostics are moved into place. The memory checker goes with the
# debugging server, not the debugger. Without a usable debugger (no payload that could be one, no
# file, nowhere to unpack it, gunzip failing) the application starts normally. The server outranks
# the debugger. An archive without home/bin/distro-id is suspect: a key is asked for without echo;
# only y or Y enters the rescue menu, else the start goes ahead; the shell after it has its echo.
# Platform programs that cannot run, and an archive that cannot be created: a reset, or the
# operator asked to power-cycle.
STARTS = [
    ("diagnostics and the shell", lambda b: (b.env("shell=on"), b.write(IMAGE1, diags_record("2.0.0.0"))),
     (), [("Dropping into shell\n", "echo operator was here\nexit\n")],
     Want(RAN, BOOTING + "install diags image\nDropping into shell\noperator was here\n"
          "Dropping out of shell\n" + diags_says("2.0.0.0"), "",
          [MOUNT, UNTAR, MKDIR_DIAGS, MOVE_DIAGS, SHELL, EXEC], "echo operator was here\r\nexit\r\n"), None),
    ("debugger from the other slot", lambda b: (b.env("memchk=on", "gdb=on"), install_gdb(b)), (), [],
     Want(REBOOTED, BOOTING + FOUND_GDB + APP1, "", [MOUNT, "gunzip /tmp/gdb.gz", "chmod +x /tmp/gdb",
          UNTAR, "/tmp/gdb /tmp/home/bin/mp.elf.strip", REBOOT]), gdb_fetched),
    ("no debugger in the other slot",
     lambda b: (b.env("gdb=on"), b.set_vpd(SELECTED, 2),
                slot1(other_record("uboot", 512), app_record("9.9.9.9"))(b)), (), [],
     Want(RAN, "Booting image '2'\nExtracting GDB from image slot 1" + NO_GDB + APP2,
          "Image has invalid header 0x24b565a\n", APP), no_file("tmp/gdb")),
    ("debugger file cannot be created", lambda b: b.env("gdb=on"), ("--fault", "fail_open=/tmp/gdb.gz"),
     [], Want(RAN, NO_GDB2, "Failed to open GDB output file.\n", APP), None),
    ("debugger does not unpack", lambda b: (b.env("gdb=on"), install_gdb(b)), ("--fault", "fail_system=gunzip"),
     [], Want(RAN, BOOTING + FOUND_GDB[:FOUND_GDB.index("*")] + NO_GDB[1:] + APP1,
              "chmod: cannot access '/tmp/gdb': No such file or directory\n",
              [MOUNT, "gunzip /tmp/gdb.gz", "chmod +x /tmp/gdb", UNTAR, EXEC]), None),
    ("no other slot file", lambda b: (b.env("gdb=on"), b.remove(IMAGE2)), (), [],
     Want(RAN, NO_GDB2, "Failed to open GDB image (from slot 2)\n", APP), None),
    ("debugging server", lambda b: (b.env("gdb=on", "gdbserver=on", "gdbport=2345"), install_gdb(b)), (), [],
     Want(REBOOTED, BOOTING + SERVER_WAITS + "2345\n", "",
          [MOUNT, UNTAR, "/bin/gdbserver :2345 /tmp/home/bin/mp.elf.strip\\n", REBOOT]), no_file("tmp/gdb.gz")),
    ("debugging server with the memory checker", lambda b: b.env("gdbserver=on", "memchk=on"), (), [],
     Want(REBOOTED, BOOTING + SERVER_WAITS + "1234\n", DUMA,
          [MOUNT, UNTAR, PRELOAD + "/bin/gdbserver :1234 /tmp/home/bin/mp.elf.strip\\n", REBOOT]), None),
    ("memory checker", lambda b: b.env("memchk=on"), (), [],
     Want(REBOOTED, BOOTING + APP1, DUMA, [MOUNT, UNTAR, PRELOAD + "/tmp/home/bin/mp.elf.strip\\n", REBOOT]),
     None),
    ("suspect: no, then the shell", lambda b: (b.env("shell=on"), install_suspect(b)), (),
     [(INCOMPATIBLE, "n"), ("Dropping into shell\n", "echo typed\nexit\n")],
     Want(RAN, BOOTING + INCOMPATIBLE + "Dropping into shell\ntyped\nDropping out of shell\n" +
          app_says("5.0.0.0"), "", [MOUNT, UNTAR, SHELL, EXEC], "echo typed\r\nexit\r\n"), None),
    ("suspect: the interrupt key", install_suspect, (), [(INCOMPATIBLE, "\x03")],
     Want(RAN, BOOTING + INCOMPATIBLE + app_says("5.0.0.0"), "", APP), None),
    ("suspect: yes, then Reboot in the menu", install_suspect, (), [(INCOMPATIBLE, "y"), ("Option? : ", "R")],
     Want(REBOOTED, BOOTING + INCOMPATIBLE + "Entering Rescue Mode.\n" + MENU + "\nOption? : R\n", "",
          [MOUNT, UNTAR, REBOOT]), None),
    ("suspect: console at its end", install_suspect, (), None,
     Want(RAN, BOOTING + INCOMPATIBLE + app_says("5.0.0.0"), "", APP), None),
    ("archive cannot be created", None, ("--fault", "fail_open=/tmp/kavosimage.tar.gz"), [],
     Want(REBOOTED, BOOTING, "Failed to open application image output file.\n", [MOUNT, REBOOT]), None),
    ("unpacking cannot run", None, ("--fault", "fail_system=cd /tmp"), [],
     Want(REBOOTED, BOOTING, "Failed to gunzip Application OS.\n", [MOUNT, UNTAR, REBOOT]), None),
    ("the application starter cannot run", None, ("--fault", "fail_exec=/bin/backtrace"), [],
     Want(REBOOTED, BOOTING, "Failed to start Application OS.\n", [MOUNT, UNTAR, EXEC, REBOOT]), None),
    ("reboot cannot run", lambda b: (b.flip(IMAGE1, 40), b.flip(IMAGE2, 40)), ("--fault", "fail_system=reboot"),
     [], Want(OTHER_END, BOTH, CRC1 + "Both image1 and image2 failed.\nSystem reboot failed, please "
              "power-cycle.\n", [MOUNT, REBOOT]), None),
]


# ---- The rescue partition's record ------------------------------------------------------------

QUESTION = "Install recovery image as image 1 or 2 (hit return to just boot image): "
APP4 = app_record("4.0.0.0")
JUST_BOOT = ("\nBooting recovery image. You will need to download and install an image before "
             "rebooting\n" + app_says("4.0.0.0"))
NO_ANSWER = BOOTING + QUESTION + "\n" + app_says("4.0.0.0")
INSTALLING1 = QUESTION + "1\n\nInstalling recovery image as image1...\n"
GOOD_DIAGS = diags_record("3.0.0.0", 32)
WRAPPING_DIAGS = GOOD_DIAGS[:4] + b"\xff\xff\xff\xf0" + GOOD_DIAGS[8:]  # 32 + 0xFFFFFFF0 bytes
CRC_FAILED = Want(REBOOTED, BOOTING, NO_SLOTS + "Image CRC failed. Quitting\n", [MOUNT, REBOOT])
NOT_FOUND = Want(REBOOTED, BOOTING, NO_SLOTS + "Image not found... \n", [MOUNT, REBOOT])


def rescue_only(rec):
    """A board whose slot files are gone and whose rescue partition starts with the record."""
    return lambda b: (b.remove("user/images"), b.patch("flash/rescue", 0, rec))


def install_fails(fault):
    return (fault, rescue_only(APP4), ("--fault", fault), [(QUESTION, "1\n")],
            Want(REBOOTED, BOOTING + INSTALLING1, NO_SLOTS + "Failed to open image file.\n", [MOUNT, REBOOT]),
            None)


def untouched(b):
    vpd_is(b, 1, 0xFF)
    archive_empty(b)


# A diagnostics record boots at once. For an application record an answer other than 1 or 2 boots
# it without installing; no answer at all leaves the board settings as they were. Records that are
# not booted reset the board (after the shell, when enabled), leave the archive empty and the
# booted slot untouched: a failed header read, or a boot loader's record, is no record; a failed
# record read, or a size beyond 32 bits, a failed check. An application record to install that
# fails its second read resets too; one whose copy fails boots all the same.
RESCUE_ROWS = [
    ("diagnostics record with an extended header", rescue_only(diags_record("3.0.0.0", 40)), (), [],
     Want(RAN, BOOTING + DIAGS_RAN + diags_says("3.0.0.0"), NO_SLOTS, DIAGS), vpd(1, 4)),
    ("console at its end", rescue_only(APP4), (), None, Want(RAN, NO_ANSWER, NO_SLOTS, APP), vpd(1, 0xFF)),
    ("the interrupt key", rescue_only(APP4), (), [(QUESTION, "\x03")], Want(RAN, NO_ANSWER, NO_SLOTS, APP),
     vpd(1, 0xFF)),
    ("Enter", rescue_only(APP4), (), [(QUESTION, "\n")],
     Want(RAN, BOOTING + QUESTION + "\n" + JUST_BOOT, NO_SLOTS, APP), vpd(1, 4)),
    ("x2", rescue_only(APP4), (), [(QUESTION, "x2\n")],
     Want(RAN, BOOTING + QUESTION + "x2\n" + JUST_BOOT, NO_SLOTS, APP), vpd(1, 4)),
    ("check fails", rescue_only(flipped(GOOD_DIAGS)), (), [], CRC_FAILED, untouched),
    ("size wraps", rescue_only(WRAPPING_DIAGS), (), [], CRC_FAILED, untouched),
    ("header read fails", rescue_only(GOOD_DIAGS), ("--fault", "fail_mtd_read=rescue:1"), [], NOT_FOUND,
     untouched),
    ("record read fails", rescue_only(GOOD_DIAGS), ("--fault", "fail_mtd_read=rescue:2"), [], CRC_FAILED,
     untouched),
    ("archive", lambda b: b.remove("user/images"), ("--fault", "fail_open=/tmp/kavosimage.tar.gz"), [],
     Want(REBOOTED, BOOTING, NO_SLOTS + "Failed to open DuzIZ tarfile.\n", [MOUNT, REBOOT]), None),
    ("archive of the diagnostics, opened again", lambda b: b.remove("user/images"),
     ("--fault", "fail_open=/tmp/kavosimage.tar.gz:2"), [],
     Want(REBOOTED, BOOTING + "Launching diagnostics image\n", NO_SLOTS + "Failed to open diags image file.\n",
          [MOUNT, REBOOT]), None),
    install_fails("fail_open=/tmp/image"),  # the copy of the record to install
    install_fails("fail_mtd_read=rescue:3"),  # the record read again
    install_fails("fail_read=/tmp/image"),  # the copy read back
    ("record copied, its copy fails", rescue_only(APP4), ("--fault", "fail_system=cp"), [(QUESTION, "1\n")],
     Want(RAN, BOOTING + INSTALLING1 + "Setting boot image to 1\n" + app_says("4.0.0.0"), NO_SLOTS,
          [MOUNT, "mkdir /user/images &> /dev/null", "cp /tmp/image /user/images/image1\\n", UNTAR, EXEC]),
     vpd(1, 1)),
    ("boot loader record, shell enabled",
     lambda b: (b.env("shell=on"), rescue_only(other_record("uboot", 4096))(b)), (), None,
     Want(REBOOTED, BOOTING, NO_SLOTS + "Image not found... \n", [MOUNT, SHELL, REBOOT]), untouched),
]


@pytest.mark.parametrize("what,setup,options,dialog,want,check", OTHER_ROADS + STARTS + RESCUE_ROWS,
                         ids=[r[0] for r in OTHER_ROADS + STARTS + RESCUE_ROWS])
def test_boot(board, what, setup, options, dialog, want, check):
    run(board, want, setup, options, dialog, check=check)


@pytest.mark.parametrize("cut", ["power_cut_user_write=1", "power_cut_user_write=2"])
def test_recovery_install(board, cut):
    """The installed slot file is the whole record; the selected slot is written first, then the
    booted one; the next power-up boots that slot. Only the answer's first character counts. A copy
    (several of cp's writes) cut short by a power failure holds no record header: the board boots
    the rescue image again rather than resetting for ever on a slot that fails its check."""
    rec = big_app_record("6.0.0.2", 36)
    installing = QUESTION + "2345\n\nInstalling recovery image as image2...\n"
    app = app_says("6.0.0.2")
    mkdir, cp = "mkdir /user/images &> /dev/null", "cp /tmp/image /user/images/image2\\n"
    no_record = ("Failed to open Application image 1. Trying image 2.\nImage has invalid header 0x0. "
                 "(0x64b565a)\nImage1 has invalid header... trying Image2.\nNo valid application image "
                 "found. Trying rescue image\n")
    run(board, Want(OTHER_END, BOOTING + installing, NO_SLOTS, [MOUNT, mkdir, cp]), rescue_only(rec),
        ("--fault", cut), [(QUESTION, "2345\n")])
    run(board, Want(RAN, BOTH + QUESTION + "\n" + app, no_record, APP), console=False)
    vpd_is(board, 1, 0xFF)
    run(board, Want(RAN, BOTH + installing + "Setting boot image to 2\n" + app, no_record,
                    [MOUNT, mkdir, cp, UNTAR, EXEC]), dialog=[(QUESTION, "2345\n")])
    same(board.read(IMAGE2), rec, "slot 2")
    vpd_is(board, 2, 2)
    same([line for line in board.i2c_log() if line.startswith("i2c-0 0x54 write 01 ") and len(line) > 23],
         ["i2c-0 0x54 write 01 00 02", "i2c-0 0x54 write 01 3a 02"], "EEPROM writes")
    run(board, Want(RAN, "Booting image '2'\n" + app, "", APP))
