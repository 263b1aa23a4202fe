"""kvzrx, the built-in XMODEM-1K receiver: lrzsz's sx, and a scripted sender for what sx never does,
on the far end of the board's serial line; the file, the replies on the line, the exit status."""
import binascii
import time

import pytest

from switch import *

ACK, NAK, EOT, CAN5 = b"\x06", b"\x15", b"\x04", b"\x18" * 5
INSTRUCTIONS = ("       Change the baud rate to 115200 bps and hit the <ENTER> key\n"
                "       before initiating the download.\n")
BACK = "       Change the baud rate back to 9600 bps, hit the <ENTER> key\n"


def receive(board, path="/user/x.bin", opens=True):
    """Boots kvzrx into path and presses Enter at the new speed: the receiver asks for the first
    block ('C'), or hands the line back at once when it cannot open the file."""
    c = board.start("--launcher", board.launcher("kvzrx"), "--", path, scale=5)
    assert c.wait_for(INSTRUCTIONS)
    c.seen["line"] = len(c.bufs["line"])  # on the system board the line carried the instructions too
    c.send("\r", line=True)
    assert not opens or c.wait_for(b"C", where="line")
    return c


def reply(c, want, timeout=20):
    """The receiver's reply of want's length; the 'C's it repeats while waiting for a first block
    are dropped unless a 'C' is the reply wanted."""
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        got = c.bufs["line"][c.seen["line"]:]
        if want != b"C":
            got = got.replace(b"C", b"")
        if len(got) >= len(want):
            c.seen["line"] = len(c.bufs["line"])
            return got
        c.pump()
    return got


def end(board, c, status, data, err, path="/user/x.bin"):
    """Hands the line back; the exit status, the file and the console."""
    c.wait_for(BACK)
    c.send("\n", line=True)
    got = c.finish()
    assert board.exit_status() == status
    same(board.read("user/x.bin"), data, "file received")
    same(got.err, err, "standard error")
    same(got.out, INSTRUCTIONS + BACK + (f"{len(data)} bytes received into {path}\n" if status == 0 else ""))


@pytest.mark.parametrize("option,size,padded", [("-k", 1, 128), ("-k", 5000, 5120), ("-b", 33000, 33024)])
def test_lrzsz_sends_files_of_awkward_sizes(new_board, option, size, padded):
    """sx -k (1024-byte blocks), plain sx (128, numbers wrapping past 255); ^Z pads the last block."""
    board = new_board("--blank")
    data = bytes((i * 7 + i // 256) & 0xFF for i in range(size))
    board.write("usb/data", data)
    c = receive(board)
    assert c.send_xmodem(board.path("usb/data"), option) == 0
    end(board, c, 0, data + b"\x1a" * (padded - size), "EOT\nAll done\n")


def frame(num, size, fill, bad_crc=False):
    data = bytes([ord(fill)]) * size
    crc = binascii.crc_hqx(data, 0) ^ bad_crc
    return bytes([1 if size == 128 else 2, num, 255 - num]) + data + crc.to_bytes(2, "big")


A, B, C = b"a" * 128, b"b" * 1024, b"c" * 128
# The bytes of each step, each followed by its reply; the exit status, the file, standard error, and
# the file the receiver writes.
SCRIPTS = [
    ("mixed sizes, a repeat, a CRC error, EOT then silence",
     [frame(1, 128, "a"), ACK, frame(2, 1024, "b"), ACK, frame(2, 1024, "b"), ACK, frame(3, 128, "c", True), NAK,
      frame(3, 128, "c"), ACK, EOT, NAK, b"", ACK], 0, A + B + C, "EOT\nAll done\n", "/user/x.bin"),
    # Two CAN before the first block do not end it; three bad copies of a block do.
    ("two CAN first, three bad copies",
     [b"\x18\x18", b"C", frame(1, 128, "a"), ACK, frame(2, 128, "b", True), NAK, frame(2, 128, "b", True), NAK,
      frame(2, 128, "b", True), CAN5], 1, A, "CAN\n", "/user/x.bin"),
    # After a block, each damaged exchange is answered NAK (number and complement disagree, a block
    # without data, a byte after EOT other than EOT), and the third in a row cancels.
    ("three damaged exchanges",
     [frame(1, 128, "a"), ACK, b"\x01\x02\x02", NAK, b"\x01\x02\xfd", NAK, EOT, NAK, b"x", CAN5], 1, A, "EOT\n",
     "/user/x.bin"),
    ("block 0 refused, block 2 cancels", [frame(0, 128, "z"), b"C", frame(2, 128, "b"), CAN5], 1, b"", "",
     "/user/x.bin"),
    # The refused block's data (EOT bytes) passes before the next 'C', and is not read as headers.
    ("block 0 of EOT bytes refused", [frame(0, 128, "\x04"), b"C", frame(1, 128, "a"), ACK, EOT, NAK, EOT, ACK], 0,
     A, "EOT\nAll done\n", "/user/x.bin"),
    # A header damaged into EOT, the block right behind it: a damaged block, asked for again.
    ("block header damaged into EOT", [frame(1, 128, "a"), ACK, EOT + frame(2, 128, "c")[1:], NAK, frame(2, 128, "c"),
                                       ACK, EOT, NAK, EOT, ACK], 0, A + C, "EOT\nAll done\n", "/user/x.bin"),
    ("EOT before any block", [EOT, NAK, EOT, ACK], 0, b"", "EOT\nAll done\n", "/user/x.bin"),
    # A block that cannot be written is not acknowledged: the transfer is cancelled.
    ("file cannot be written", [frame(1, 128, "a"), CAN5], 1, b"", "Can't write file!: No space left on device\n",
     "/dev/full"),
    ("file cannot be opened", [], 2, b"", "Can't open file!: No such file or directory\n", "/none/x.bin"),
]


@pytest.mark.parametrize("what,steps,status,data,err,path", SCRIPTS, ids=[s[0] for s in SCRIPTS])
def test_scripted_senders(new_board, what, steps, status, data, err, path):
    board = new_board("--blank")
    c = receive(board, path, opens=bool(steps))
    for i in range(0, len(steps), 2):
        c.send(steps[i], line=True, wait=False)
        same(reply(c, steps[i + 1]), steps[i + 1], f"reply to step {i // 2}")
    end(board, c, status, data, err, path)


def test_no_line(new_board):
    """Without a serial line there is nothing to receive on: no instructions, no wait. More than one
    file is a usage error."""
    board = new_board("--blank")
    got = board.script("kvzrx", "", "--serial", "none")
    same((got.out, got.err), ("", "Can't open serial port!: No such file or directory\n"))
    assert board.exit_status() == 2
    got = board.script("kvzrx", "", args=("a", "b"))
    same(got.out + got.err, "usage: kvzrx [FILE]\n")
    assert board.exit_status() == 2
