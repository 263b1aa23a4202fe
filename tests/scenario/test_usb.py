"""Booting and updating from a USB stick: the stick's image and the rejected list, replacement
images, boot-loader bundles, and installs from the stick cut short by a power failure."""
import os

import pytest

from switch import *

READY = ("Attempting to mount file system on USB flash drive; this can take up to 10 seconds.\n"
         "USB mounted and ready!\n")
NO_BOOT, BOOT_FOUND = READY + "No boot image found on USB.\n", READY + "Boot image found on USB.\n"
FROM_STICK = "Booting image 'QVM7314_OS.img' from USB stick.\n"
ASK = "USB image is in rejected list.\nWould you still like to load it? "
GAVE_UP = "USB Boot failed. Trying flash images.\n" + BOOTING + APP1
SAME = "Image has same version as existing image. Skipping update...\n"
APP9 = app_says("9.0.0.0")
STICK = ("--usb",)
OS_IMG, REPLACE1, REPLACE2, BOOT_IMG = ("usb/QVM7314_OS.img", "usb/QVM7314_replace1_OS.img",
                                        "usb/QVM7314_replace2_OS.img", "usb/QVM7314_Boot.img")


def md5sum(name):
    """The digest of a stick file, to look it up on the rejected list."""
    return f"/bin/busybox md5sum /mnt/usb/QVM7314_{name}.img > /tmp/img_md5string"


MD5 = md5sum("OS")


def listed(image, before=(MOUNT, MD5, MD5)):
    """The commands of a stick image that is not listed yet: put on the list, then unpacked."""
    return [*before, "mkdir -p /user/images/rejected", "touch /user/images/rejected/" + md5(image), UNTAR, EXEC]


def replacement(n):
    return f"USB image (file 'QVM7314_replace{n}_OS.img') replacement for image{n} found\n"


def replaced(n, size):
    return (replacement(n) + EXTRACT + "Installing Application: " + slot_written(n, size) +
            f"File processed\nImage{n} has been successfully replaced\n")


def skipped(n):
    return (replacement(n) + EXTRACT + f"Installing Application: Installing image as image{n}: Image{n}" +
            SAME[5:] + "File processed\n")


def put(rel, data):
    return lambda b: b.write(rel, data)


def test_stick_image_and_the_rejected_list(board):
    """One board, power-up after power-up, USB boot enabled. An image is listed before it is
    booted, even one with no bootable record or failing its check (one that cannot be listed boots
    all the same); when it comes again only y boots it."""
    app, kernel_only = app_record("9.0.0.0"), other_record("kernel", 100)
    board.set_vpd(USBBOOT, 213)
    declined = lambda asked: Want(RAN, NO_BOOT + FROM_STICK + ASK + asked + '\nTimeout. Assuming "no".\n' +
                                  GAVE_UP, "", [MOUNT, MD5, UNTAR, EXEC])
    run(board, Want(RAN, NO_BOOT + "No valid image found on USB\n" + BOOTING + APP1, "", APP), options=STICK,
        what="nothing to take")
    run(board, Want(RAN, NO_BOOT + FROM_STICK + "Warning: Cannot determine if image is in rejected list!\n"
                    "Warning: Cannot add image to rejected list!\n" + APP9, "", [MOUNT, MD5, MD5, UNTAR, EXEC]),
        put(OS_IMG, app), ("--usb", "--fault", "fail_system=/bin/busybox"), what="no digest")
    run(board, Want(RAN, NO_BOOT + FROM_STICK + GAVE_UP, "Failed to open application image from USB.\n", APP),
        options=("--usb", "--fault", "fail_open=/mnt/usb/QVM7314_OS.img"), what="cannot be opened")
    run(board, Want(RAN, NO_BOOT + FROM_STICK + APP9, "", listed(app)), options=("--usb", "--fault",
                                                                                   "fail_system=touch"),
        what="cannot be listed")
    run(board, Want(RAN, NO_BOOT + FROM_STICK + APP9, "", listed(app)), options=STICK, what="first boot")
    # The question waits 5 s of board time: room to type.
    run(board, Want(RAN, NO_BOOT + FROM_STICK + ASK + "(y/n) (y/n) (y/n) Continuing to load USB image...\n" +
                    APP9, "", [MOUNT, MD5, UNTAR, EXEC], "YNy\r\n"),
        options=STICK, dialog=[("(y/n) ", "YNy\n")], scale=2, what="again: upper-case answers do not count")
    run(board, declined("(y/n) "), options=STICK, what="again: nobody answers")
    run(board, declined("(y/n) (y/n) (y/n) (y/n) "), options=STICK, console=False,
        what="again: the console at its end")
    run(board, Want(RAN, NO_BOOT + FROM_STICK + GAVE_UP,
                    "Error: USB image corrupted or belongs to another switch type.\n", listed(kernel_only)),
        put(OS_IMG, kernel_only), STICK, what="no bootable record")
    run(board, Want(RAN, NO_BOOT + FROM_STICK + GAVE_UP, "USB image CRC failed.", listed(flipped(app))),
        put(OS_IMG, flipped(app)), STICK, what="check fails")
    # After a failed USB boot the flash boot takes the slot selected in the VPD.
    run(board, Want(RAN, NO_BOOT + FROM_STICK + "USB Boot failed. Trying flash images.\nBooting image '2'\n" +
                    app_says("1.0.0.0"), "USB image CRC failed.", listed(kernel_only + app)),
        lambda b: (b.write(OS_IMG, kernel_only + app), b.set_vpd(SELECTED, 2)),
        ("--usb", "--fault", "fail_read=/mnt/usb/QVM7314_OS.img:3"), what="stick pulled, slot 2 selected")
    run(board, Want(RAN, "Attempting to mount file system on USB flash drive; this can take up to 10 seconds.\n"
                    "..........USB mount timed out\n" + BOOTING + APP1, "", APP), lambda b: b.set_vpd(SELECTED, 1),
        what="no stick")
    run(board, Want(RAN, BOOTING + APP1, "", APP), lambda b: b.set_vpd(USBBOOT, 212), STICK,
        what="USB boot byte 212")


def test_replacements_and_boot_loader_bundles(board):
    """Replacements for both slots; a boot-loader bundle installed (the board resets), then
    skipped as the same version; one without the copy of its header, installed at every start.
    Bundles that fail their check install nothing and the boot goes on."""
    app2, app1 = app_record("2.5.0.0"), app_record("1.5.0.0")
    uboot, bare = uboot_record(0x02050000, 0x20000, 3), other_record("uboot", 300)
    bare_written = BOOT_FOUND + EXTRACT + "Installing Boot Loader: " + flash_progress(1) + "File processed\n"
    app15 = BOOTING + app_says("1.5.0.0")
    md5_2, md5_1 = md5sum("replace2_OS"), md5sum("replace1_OS")
    board.set_vpd(USBBOOT, 213)
    run(board, Want(RAN, NO_BOOT + replaced(2, len(app2)) + replaced(1, len(app1)) +
                    "USB replacement image: board will boot with image1.\n" + app15, "",
                    [MOUNT, md5_2, md5_1, UNTAR, EXEC]),
        lambda b: (b.write(REPLACE2, app2), b.write(REPLACE1, app1)), STICK, what="both replacements")
    run(board, Want(REBOOTED, BOOT_FOUND + EXTRACT + "Installing Boot Loader: " + flash_progress(2) +
                    "Installing Diagnostics: " + flash_progress(1) + "done\nFile processed\n", "", [MOUNT, REBOOT]),
        lambda b: (b.write(OS_IMG, app_record("9.0.0.0")), b.write(BOOT_IMG, uboot + diags_record("3.0.0.0"))),
        STICK, what="a boot-loader bundle")
    run(board, Want(RAN, BOOT_FOUND + EXTRACT + "Installing Boot Loader: " + SAME + "Installing Diagnostics: " +
                    SAME + "File processed\n" + skipped(2) + skipped(1) + FROM_STICK + APP9, "",
                    listed(app_record("9.0.0.0"), (MOUNT, md5_2, md5_1, MD5, MD5))), options=STICK,
        what="next power-on")
    run(board, Want(REBOOTED, bare_written, "", [MOUNT, REBOOT]), put(BOOT_IMG, bare), STICK, what="no header copy")
    run(board, Want(REBOOTED, bare_written, "", [MOUNT, REBOOT]), options=STICK, what="and again")
    run(board, Want(RAN, NO_BOOT + replacement(2) + "Replacement " + ASK + "(y/n) " + app15, "",
                    [MOUNT, md5_2, UNTAR, EXEC], "n\r\n"),
        lambda b: (b.remove(BOOT_IMG), b.write(REPLACE2, b.read(OS_IMG))), STICK, [("(y/n) ", "n\n")], scale=2,
        what="a rejected replacement declined")
    # Named with the checksum of the bytes they have.
    cut_uboot, cut_app = uboot[:1000], other_record("app", 5000)[:1000]
    run(board, Want(RAN, BOOT_FOUND + EXTRACT + f"Installing Boot Loader: Bad crc for UBOOT: 0x{checksum(cut_uboot[4:]):08x}, "
                    "voiding download\n" + replacement(1) + EXTRACT + "Installing Application: Bad crc for APPLICATION: "
                    f"0x{checksum(cut_app[4:]):08x}, voiding download\nNo valid image found on USB\n" + app15, "",
                    [MOUNT, md5_1, UNTAR, EXEC]),
        lambda b: (b.remove(REPLACE2), b.remove(OS_IMG), b.write(BOOT_IMG, cut_uboot), b.write(REPLACE1, cut_app)),
        STICK, what="bundles cut short")
    assert board.vpd(SELECTED) == 1
    starts(board, "flash/uboot", bare[16:316])


def test_no_digest_after_a_replacement_digest(board):
    """No digest of the stick image: none is taken from the replacement digested before it."""
    board.set_vpd(USBBOOT, 213)
    board.write(REPLACE2, board.read(IMAGE2))
    board.write(OS_IMG, app_record("9.0.0.0"))
    run(board, Want(RAN, NO_BOOT + skipped(2) + FROM_STICK + "Warning: Cannot determine if image is in rejected list!\n"
                    "Warning: Cannot add image to rejected list!\n" + APP9, "", [MOUNT, md5sum("replace2_OS"), MD5,
                                                                                  MD5, UNTAR, EXEC]),
        options=("--usb", "--fault", "fail_system=" + MD5.split(" >")[0]))
    assert not board.exists("user/images/rejected")


def test_failed_replacement_keeps_the_slot(board):
    """A stick that fails while the replacement is copied leaves slot 2 with the image it had."""
    board.set_vpd(USBBOOT, 213)
    board.write(REPLACE2, app_record("2.7.0.0"))
    image2 = board.read(IMAGE2)
    run(board, Want(RAN, NO_BOOT + replacement(2) + EXTRACT + "Installing Application: Installing image as image2:"
                    "     Image2 update failed (err 5)\nNo valid image found on USB\n" + BOOTING + APP1, "",
                    [MOUNT, md5sum("replace2_OS"), UNTAR, EXEC]),
        options=("--usb", "--fault", "fail_read=/mnt/usb/QVM7314_replace2_OS.img:3"))
    same(board.read(IMAGE2), image2, "slot 2")
    assert board.vpd(SELECTED) == 1 and not board.exists("user/images/image2.new")


BIG = app_record("2.6.0.0", **{"home/bin/blob": pattern(300 * 1024, 99)})
SMALL = app_record("2.6.0.0")
UBOOT = uboot_record(0x02060000, 0x20000, 4)
DIAGS31 = diags_record("3.1.0.0")

# A boot loader's block 1 is written first (writes 1-64), then block 0 with the embedded header:
# cut there, it must not pass for the new version. A replacement is written beside the slot file:
# cut at any write, even its last (the header), the slot keeps the image it had.
CUTS = [
    ("power_cut_user_write=1", REPLACE2, BIG, {IMAGE2: BIG}),
    ("power_cut_user_write=4", REPLACE2, BIG, {IMAGE2: BIG}),
    ("power_cut_user_write=2", REPLACE2, SMALL, {IMAGE2: SMALL}),
    ("power_cut_flash_write=65", BOOT_IMG, UBOOT + DIAGS31, {"flash/uboot": UBOOT[16:]}),
    ("power_cut_flash_write=127", BOOT_IMG, UBOOT + DIAGS31, {"flash/uboot": UBOOT[16:]}),
    ("power_cut_flash_write=129", BOOT_IMG, UBOOT + DIAGS31, {"flash/uboot": UBOOT[16:], "flash/rescue": DIAGS31}),
]


@pytest.mark.parametrize("fault,rel,content,left", CUTS, ids=[c[0] for c in CUTS])
def test_power_cut_during_an_install_from_the_stick(board, fault, rel, content, left):
    """The board still boots, and with the stick the install completes."""
    board.set_vpd(USBBOOT, 213)
    board.write(rel, content)
    image2 = board.read(IMAGE2)
    assert board.boot("--usb", "--fault", fault).status == OTHER_END
    if rel == REPLACE2:
        same(board.read(IMAGE2), image2, "slot 2 after the cut")
    assert board.boot().status == RAN  # the stick is out
    again = board.boot(*STICK)
    assert "File processed\n" in again.out
    for part, data in left.items():
        starts(board, part, data)
    if rel == REPLACE2:
        assert again.out.endswith("Booting image '2'\n" + app_says("2.6.0.0"))
        assert board.vpd(SELECTED) == 2
