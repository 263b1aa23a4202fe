"""The rescue menu and the bundle installer: the menu dialogue, the USB picker, the serial download,
and installs into flash partitions and slot files with their failures."""
import os
import re
import select
import time
import tty

import pytest

from switch import *

ASK_SLOT = "Install image as image 1 or 2 (hit return to just boot image): "
INIT = ("Running xmodem rescue.....\n       Change the baud rate to 115200 bps and hit the <ENTER> key\n"
        "       before initiating the download.\n")
RESET = "       Change the baud rate back to 9600 bps, hit the <ENTER> key\n"
ERASE = "Confirm: Erase filesystem? (all saved data, configuration, keys will be lost) y/N: "
DIAGS_BOOT = "Booting diags image...\nLaunching diagnostics image\ninstall diags image\n" + diags_says("1.0.0.0")
RESCUE = "Entering Rescue Mode.\n" + MENU
EXIT_BOOTS = MENU + "\nOption? : e\n" + BOOTING + APP1


def opt(key):
    return f"\nOption? : {key}\n"


def versions(b):
    b.patch("flash/uboot", 252, bytes([2, 3, 4, 5]))
    b.patch("flash/rfs", 12, bytes([4, 5, 6, 7]))
    b.patch("flash/kernel", 12, bytes([3, 4, 5, 6]))
    b.patch("flash/devicetree", 12, bytes([5, 6, 7, 8]))
    b.patch(IMAGE1, 12, bytes([1, 2, 3, 4]))


VERSIONS = ("Installed images versions: \n\tBoot image  : 2.3.4.5\n\tRFS image   : 4.5.6.7\n\tKernel image: 3.4.5.6\n"
            "\tDFT image   : 5.6.7.8\n\tOS image 1  : 1.2.3.4\n\tOS image 2  : 0.0.0.0\n")


def erase_progress(size, block=0x10000):
    """What flash_eraseall shows while it erases a partition."""
    return "".join(f"\rErasing {block // 1024} Kibyte @ {at:x} - {at * 100 // size:2d}% complete."
                   for at in range(0, size, block)) + f"\rErasing {block // 1024} Kibyte @ {size:x} - 100% complete.\n"


def test_menu_dialogue(board):
    """Keys in either case, a key that is no option, Ctrl-C at the menu and at the picker, a serial
    download that brings nothing (a file left from earlier is not installed), and the diagnostics
    with /user wiped first."""
    board.env("diagnostics=rescue")
    run(board, Want(RAN, RESCUE + opt("q") + 'unknown option "Q". Please try again\n' + opt("\0") + opt("u") +
                    "Choose file number to install (q to quit): \n" +
                    MENU + opt("x") + INIT + RESET + MENU + opt("d") + ERASE + "\nunmount filesystem\n"
                    "\nErasing filesystem for clean install\n" + erase_progress(0x400000) + "Mounting...\ncreating default filesystem\n" + DIAGS_BOOT,
                    "", [MOUNT, "/usr/bin/rx /tmp/image", "/bin/umount /user &> /dev/null",
                         "flash_eraseall /dev/mtd-user-char",
                         "/bin/mount -o sync -t jffs2 /dev/mtd-user /user &> /dev/null",
                         "mkdir /user/images &> /dev/null", UNTAR, MKDIR_DIAGS, MOVE_DIAGS, EXEC]),
        options=("--fault", "fail_system=/usr/bin/rx"), scale=5,
        dialog=[("? : ", "q"), ("? : ", "\x03"), ("? : ", "u"), ("quit): ", "\x03"),
                ("? : ", "stale download", "tmp"), ("", "x"), ("download.\n", "\r", "serial"),
                (RESET, "\n", "serial"), ("? : ", "d"), (ERASE, "y")])
    assert not board.exists(IMAGE1) and board.exists("user/images")


def unpack_fails(fault, err):
    return ("unpack fails, then Exit: " + fault,
            lambda b: (b.env("diagnostics=rescue"), b.write("usb/b.img", app_record("9.0.0.0"))),
            ("--usb", "--fault", fault), [("? : ", "u"), ("quit): ", "1\n"), (ASK_SLOT, "\n"), ("? : ", "e")],
            Want(RAN, RESCUE + opt("u") + "\t1: b.img\nChoose file number to install (q to quit): 1\n"
                 "Installing b.img\n" + EXTRACT + "Installing Application: " + ASK_SLOT +
                 f"\nBooting downloaded image\nImage unpack failed (err {err})\n" + EXIT_BOOTS, "", APP))


# The diagnostics boot option asks before wiping /user; any key but y keeps it. When a record booted
# from the menu cannot be unpacked, a download is cancelled (its partial file removed), the stick
# cannot be read or there is no serial line, the menu comes back: its Exit, or the console's end,
# boots the slots.
MENU_ROWS = [
    # The installed versions, read from the partitions' headers and the slot files.
    ("installed versions", lambda b: (b.env("diagnostics=rescue"), versions(b), b.remove(IMAGE2)), (),
     [("? : ", "H"), ("? : ", "R")], Want(REBOOTED, RESCUE + opt("H") + VERSIONS + MENU + opt("R"), "", [MOUNT, REBOOT])),
    ("diagnostics option", lambda b: b.env("diagnostics=diags"), (), [(ERASE, "N")],
     Want(RAN, ERASE + "\n" + DIAGS_BOOT, "", DIAGS)),
    unpack_fails("fail_open=/tmp/kavosimage.tar.gz:1", 13),  # the archive
    unpack_fails("fail_read=/mnt/usb/b.img:3", 5),  # the stick, while unpacking
    ("menu, console at its end", lambda b: b.env("diagnostics=rescue"), (), None,
     Want(RAN, RESCUE + opt("\0") + BOOTING + APP1, "", APP)),
    ("download cancelled (block 2 first)", lambda b: b.env("diagnostics=rescue"), ("--fault", "no_rx=1"),
     [("? : ", "X"), ("download.\n", "\r", "serial"), (b"C", b"\x01\x02\xfd", "serial"), (RESET, "\n", "serial"),
      ("? : ", "e")],
     Want(RAN, RESCUE + opt("X") + INIT + RESET + EXIT_BOOTS, "", APP)),
    ("stick unreadable", lambda b: (b.emulated_only("a stick that root cannot read"), b.env("diagnostics=rescue"),
                                     os.chmod(b.path("usb"), 0)), ("--usb",),
     [("? : ", "u"), ("? : ", "e")],
     Want(RAN, RESCUE + opt("u") + "Unable to open USB directory. Quitting\n" + EXIT_BOOTS, "", APP)),
    ("no serial line", lambda b: b.env("diagnostics=rescue"), ("--serial", "none", "--fault", "no_rx=1"),
     [("? : ", "X"), ("? : ", "e")],
     Want(RAN, RESCUE + opt("X") + "Running xmodem rescue.....\n" + EXIT_BOOTS,
          "Can't open serial port!: No such file or directory\n", APP)),
]


@pytest.mark.parametrize("what,setup,options,dialog,want", MENU_ROWS, ids=[r[0] for r in MENU_ROWS])
def test_menu_roads(board, what, setup, options, dialog, want):
    run(board, want, setup, options, dialog or (), scale=5, console=dialog is not None)
    assert board.exists(IMAGE1) and not board.exists("tmp/image")


def test_usb_picker_and_serial_download(board):
    """The picker numbers files and links but not directories, takes 2abc as 2, quits on q or a
    number it has no file for, and hands the file to the installer: a bundle whose application
    records both go to the slot answered, a bundle sent by sx to the launcher's own receiver (the
    board has no rx), and a bundle booted without installing."""
    board.emulated_only("a stick with links, and a newline in a file name, which FAT cannot hold")
    board.env("diagnostics=rescue")
    os.mkdir(board.path("usb/dir"))
    os.symlink("dir", board.path("usb/link to dir"))
    os.symlink("nowhere", board.path("usb/dangling"))
    kernel, dtb = record("kernel", 0x03000001, pattern(70000, 3)), record("dtb", 0x05000001, pattern(3000, 4))
    app_a = app_record("7.0.0.0")
    app_b = app_record("7.0.0.1", **{"home/bin/blob": pattern(300 * 1024, 99)})
    sent = app_record("5.0.0.0")
    multi, single = "a %s 'b\"\nc.img", "x" * 251 + ".img"
    board.write("usb/" + multi, kernel + other_record(9, 100) + app_a + app_b + dtb)
    board.write("usb/" + single, app_record("8.0.0.0"))
    board.write("user/sent", sent)
    names = [e.name for e in os.scandir(board.path("usb")) if not e.is_dir(follow_symlinks=False)]
    listing = "".join(f"\t{i}: {n}\n" for i, n in enumerate(names, 1)) + "Choose file number to install (q to quit): "
    num = lambda name: str(names.index(name) + 1)
    menu_u, app = MENU + opt("u") + listing, "Installing Application: "
    run(board, Want(
        RAN, "Entering Rescue Mode.\n" + menu_u + "x\nInvalid file number x. Try again pleas\n\nInvalid file "
        "number . Try again pleas\n99\n" + MENU + opt("U") + listing + "0\n" + menu_u + "Q\n" + menu_u +
        num(multi) + "\nInstalling " + multi + "\n" + EXTRACT + "Installing Kernel: " + flash_progress(2) + app +
        ASK_SLOT + "1\n" + slot_written(1, len(app_a)) + app + slot_written(1, len(app_b)) +
        "Installing Device Tree: " + flash_progress(1) + "File processed\n" + MENU + opt("X") + INIT + RESET +
        EXTRACT + app + ASK_SLOT + "2\n" + slot_written(2, len(sent)) + "File processed\n" + menu_u + num(single) +
        "abc\nInstalling " + single + "\n" + EXTRACT + app + ASK_SLOT +
        "\nBooting downloaded image\nImage ready to boot...\n" + app_says("8.0.0.0"), "EOT\nAll done\n", APP),
        options=("--usb", "--fault", "no_rx=1"), scale=2,
        dialog=[("? : ", "u"), ("quit): ", "x\n"), ("pleas\n", "\n"), ("pleas\n", "99\n"), ("? : ", "U"),
                ("quit): ", "0\n"), ("? : ", "u"), ("quit): ", "Q\n"), ("? : ", "u"), ("quit): ", num(multi) + "\n"),
                (ASK_SLOT, "1\n"), ("? : ", "X"), ("download.\n", "\r", "serial"), ("", "user/sent", "xmodem"),
                (RESET, "\n", "serial"), (ASK_SLOT, "2\n"), ("? : ", "u"), ("quit): ", num(single) + "abc\n"),
                (ASK_SLOT, "\n")])
    starts(board, "flash/kernel", kernel)
    starts(board, "flash/devicetree", dtb)
    same(board.read(IMAGE1), app_b, "slot 1")
    same(board.read(IMAGE2), sent, "slot 2")
    assert board.vpd(SELECTED) == 2


def test_serial_download_on_the_console(board):
    """As on the switch, the serial line is the console's own: the operator switches the terminal
    over, sends the bundle with sx from it (lrzsz's rx receives), switches back; the bundle is
    installed and boots."""
    board.env("diagnostics=rescue")
    sent = app_record("5.0.0.0")
    board.write("user/sent", sent)
    got = board.boot(scale=5, own_line=False, dialog=[
        ("? : ", "X"), ("download.\n", "\r", "serial"), ("", "user/sent", "xmodem"), (RESET, "\n", "serial"),
        (ASK_SLOT, "1\n"), ("? : ", "e")])
    same(got.out, RESCUE + opt("X") + INIT + RESET + EXTRACT + "Installing Application: " + ASK_SLOT + "1\n" +
         slot_written(1, len(sent)) + "File processed\n" + EXIT_BOOTS.replace(APP1, app_says("5.0.0.0")))
    # lrzsz's source cannot be fetched for the system board: there the launcher's own receiver runs.
    rx = ["/usr/bin/rx /tmp/image"] if board.emulated else []
    same(board.commands(), [MOUNT, *rx, UNTAR, EXEC], "command log")
    same(board.read(IMAGE1), sent, "slot 1")


def test_console_of_its_own(board):
    """kvzsim --pty: the board waits for a terminal program and a key, then its console is there."""
    c = board.start("--pty", console=False)
    assert c.wait_for(b"press Enter to power on", where="err")
    fd = os.open(re.search(rb"console is (\S+):", c.bufs["err"])[1], os.O_RDWR | os.O_NOCTTY)
    tty.setraw(fd)
    os.write(fd, b"\r")
    out, end = b"", time.monotonic() + 60
    while APP1.encode() not in out.replace(b"\r", b"") and time.monotonic() < end:
        out += os.read(fd, 4096) if select.select([fd], [], [], 0.1)[0] else b""
    os.close(fd)
    assert c.finish().status == RAN and out.endswith((BOOTING + APP1).replace("\n", "\r\n").encode())


# ---- The installer itself, through the stand-in launcher ---------------------------------------

KERNEL_MAX = record("kernel", 0x03000001, pattern(0x300000 - 16, 3))
KERNEL_OVER = record("kernel", 0x03000002, pattern(0x300000 - 15, 4))
UBOOT_MAX, UBOOT_OVER = uboot_record(0x02000003, 0x80000, 5), uboot_record(0x02000004, 0x80001, 6)
UBOOT_REBUILT = uboot_record(0x02000003, 0x80000, 7)  # the same version
DTB, RFS = record("dtb", 0x05000001, pattern(3000, 8)), record("rfs", 0x04000001, pattern(3000, 9))
DIAGS9, APP9 = diags_record("9.0.0.0"), app_record("9.0.0.0")
KERNEL = record("kernel", 0x02000000, pattern(150000, 10))
SKIPPED = "Image has same version as existing image. Skipping update...\n"


def over(kind, limit):
    return record(kind, 0x01000000, pattern(limit - 15, 1))


def bad_crc(name, rec):
    """What "Bad crc" names: the checksum of the record's bytes."""
    return f"Bad crc for {name}: 0x{checksum(rec[4:]):08x}, voiding download\ninstall=0\n"


# Each session asks for a missing file, then installs a.img into slot 2, then b.img (when there is
# one) with same-version skipping. what, a, b, faults, output after the first install's opening
# line, the first bytes of files afterwards (None: the file as it was).
INSTALLER_ROWS = [
    ("limits", DTB + KERNEL_MAX + KERNEL_OVER, b"", (),
     "Installing Device Tree: " + flash_progress(1) + "Installing Kernel: " + flash_progress(48) +
     "Installing Kernel: KERNEL image is too big for flash (3145729 > 3145728)\ninstall=0\n",
     {"flash/devicetree": DTB, "flash/kernel": KERNEL_MAX}),
    ("boot loader", UBOOT_MAX + UBOOT_OVER, UBOOT_REBUILT, (),
     "Installing Boot Loader: " + flash_progress(8) + "Installing Boot Loader: UBOOT image is too big for flash "
     "(524289 > 524288)\ninstall=0\n" + EXTRACT + "Installing Boot Loader: " + SKIPPED + "File processed\ninstall=0\n",
     {"flash/uboot": UBOOT_MAX[16:]}),
    ("bad checksums", flipped(DIAGS9), flipped(APP9), (),
     "Installing Diagnostics: " + bad_crc("DIAGNOSTICS IMAGE", flipped(DIAGS9)) + EXTRACT +
     "Installing Application: " + bad_crc("APPLICATION", flipped(APP9)), {}),
    ("bad checksums of flash records", flipped(KERNEL), flipped(DTB), (),
     "Installing Kernel: " + bad_crc("KERNEL", flipped(KERNEL)) + EXTRACT + "Installing Device Tree: " +
     bad_crc("DFT", flipped(DTB)), {}),
    ("more bad checksums", flipped(RFS), flipped(UBOOT_MAX), (),
     "Installing Root Filesystem: " + bad_crc("RFS", flipped(RFS)) + EXTRACT + "Installing Boot Loader: " +
     bad_crc("UBOOT", flipped(UBOOT_MAX)), {}),
    # A record the bundle cuts short is named with the checksum of the bytes it has.
    ("no record, a record cut short", b"x" * 10, KERNEL[:1000], (),
     "File processed\ninstall=0\n" + EXTRACT + "Installing Kernel: " + bad_crc("KERNEL", KERNEL[:1000]), {}),
    ("too big", over("dtb", 0x40000), over("rfs", 0xF00000), (),
     "Installing Device Tree: DFT image is too big for flash (262145 > 262144)\ninstall=0\n" + EXTRACT +
     "Installing Root Filesystem: RFS image is too big for flash (15728641 > 15728640)\ninstall=0\n", {}),
    ("write fails, too big", DTB, over("diags", 0xA00000), ("fail_mtd_write=devicetree:1",),
     "Installing Device Tree:      Flash Write mtd write failed.\n\nDFT image update failed\ninstall=0\n" +
     EXTRACT + "Installing Diagnostics: DIAGS image is too big for flash (10485761 > 10485760)\ninstall=0\n", {}),
    ("boot loader write fails", UBOOT_MAX, b"", ("fail_mtd_write=uboot:1",),
     "Installing Boot Loader:      Flash Write mtd write failed.\n\nUboot image update failed\ninstall=0\n", {}),
    # Rebuilt at the same version, its header is on flash already and is cleared first (write 513):
    # that may fail, and the record is written whole all the same.
    ("stale header not cleared", UBOOT_MAX + UBOOT_REBUILT, b"", ("fail_mtd_write=uboot:513",),
     "Installing Boot Loader: " + flash_progress(8) + "Installing Boot Loader: Flash Write mtd write failed.\n\n" +
     flash_progress(8) + "File processed\ninstall=1\n", {"flash/uboot": UBOOT_REBUILT[16:]}),
    ("flash write fails, slot file cannot be created", RFS, APP9,
     ("fail_mtd_write=rfs:1", "fail_open=/user/images/image2.new"),
     "Installing Root Filesystem:      Flash Write mtd write failed.\n\nRFS image update failed\ninstall=0\n" +
     EXTRACT + "Installing Application: Installing image as image2: Image2 update failed (err 13)\ninstall=0\n",
     {IMAGE2: None}),
    ("bundle read fails while copying", APP9, b"", ("fail_read=/user/a.img:3",),
     "Installing Application: Installing image as image2:     Image2 update failed (err 5)\ninstall=0\n",
     {IMAGE2: None}),
    ("diagnostics write fails", DIAGS9, b"", ("fail_mtd_write=rescue:1",),
     "Installing Diagnostics:      Flash Write mtd write failed.\n\nDIAGS image update failed\ninstall=0\n", {}),
    # An erase cut off half way fails the record; the install repeated writes it whole.
    ("half-erased block", KERNEL, KERNEL, ("half_erase_mtd=kernel:2",),
     "Installing Kernel:      \b\b\b\b000%Flash Write mtd erase failed.\n\nkernel image update failed\ninstall=0\n" +
     EXTRACT + "Installing Kernel: " + flash_progress(3) + "File processed\ninstall=1\n", {"flash/kernel": KERNEL}),
    # An extended header that claims fewer than its 20 bytes is walked past by hdrlen + len.
    ("short extended header between", DTB + bare_header(7 << 24 | TAG | 0x80000000, 50, 12) + pattern(42, 7) + KERNEL,
     b"", (), "Installing Device Tree: " + flash_progress(1) + "Installing Kernel: " + flash_progress(3) +
     "File processed\ninstall=1\n", {"flash/devicetree": DTB, "flash/kernel": KERNEL}),
    ("unknown record between", RFS + other_record(7, 50) + DIAGS9, b"", (),
     "Installing Root Filesystem: " + flash_progress(1) + "Installing Diagnostics: " + flash_progress(1) +
     "done\nFile processed\ninstall=1\n", {"flash/rfs": RFS, "flash/rescue": DIAGS9}),
]


def install(board, script, *faults):
    """Installs with the installer itself, driven by the stand-in launcher kvzsim_storage."""
    options = [x for f in faults for x in ("--fault", f)]
    return board.script("kvzsim_storage", "flash_init\ni2c_init\n" + script, *options)


@pytest.mark.parametrize("what,a,b,faults,out,left", INSTALLER_ROWS, ids=[r[0] for r in INSTALLER_ROWS])
def test_installer(board, what, a, b, faults, out, left):
    """Limits, failures, records skipped as the same version, and the bytes left; the VPD is never
    touched. A slot install that fails leaves the slot file as it was."""
    if len(a) + len(b) > len(board.read("flash/user")) // 2:
        board.emulated_only("bundles that a jffs2 user partition cannot hold")
    vpd, kept = board.read("eeprom/vpd.bin"), {rel: board.read(rel) for rel in left}
    board.write("user/a.img", a)
    board.write("user/b.img", b)
    script = "install /user/none.img 0 2\ninstall /user 0 2\ninstall /user/a.img 0 2\n"
    got = install(board, script + ("install /user/b.img 1 2\n" if b else ""), *faults)
    same(got.out, "flash_init=0\ni2c_init=0\nUnable to open image file /user/none.img\ninstall=0\n"
         "Unable to open image file /user\ninstall=0\n" + EXTRACT + out)
    for rel, data in left.items():
        same(board.read(rel), kept[rel], rel) if data is None else starts(board, rel, data)
    same(board.read("eeprom/vpd.bin"), vpd, "VPD")
    assert not board.exists("user/images/image2.new")


def test_power_cut_install_is_repeated(board):
    """A boot loader rebuilt at the same version carries the header already on flash: cut short by
    a power failure, its install must not pass for done when repeated with same-version skipping."""
    uboot = uboot_record(0x02000003, 0x20000, 6)
    board.patch("flash/uboot", 0, uboot_record(0x02000003, 0x20000, 5)[16:])
    board.write("user/a.img", uboot)
    assert install(board, "install /user/a.img 0 1\n", "power_cut_flash_write=100").status == OTHER_END
    assert "install=1\n" in install(board, "install /user/a.img 1 1\n").out
    starts(board, "flash/uboot", uboot[16:])
