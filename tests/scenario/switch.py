"""The virtual switch as the scenarios see it: a board directory made by kvzsim, booted with a
scripted console and serial line, and everything the boot left behind read back; records and
archives to put on it; comparisons that show what differs."""
import difflib
import gzip
import hashlib
import io
import os
import pty
import random
import re
import select
import shutil
import signal
import struct
import subprocess
import tarfile
import tempfile
import time
import tty
import zlib
from collections import namedtuple
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
KINDS = ("host", "ppc", "system")
CAMPAIGN = []  # the power-cut campaign's rows, printed at the end of the run

# ---- Records, archives, bytes ------------------------------------------------------------------

TYPES = {"app": 1, "uboot": 2, "kernel": 3, "rfs": 4, "dtb": 5, "diags": 6}
TAG = 0x4B565A


def checksum(data):
    """The record check: CRC-32 without its final inversion (zlib's, complemented)."""
    return zlib.crc32(data) ^ 0xFFFFFFFF


def record(kind, ident, payload, hdrlen=0):
    """A record of a type name (or a raw type number) with a good check; extended when hdrlen."""
    head = struct.pack(">III", len(payload), TYPES.get(kind, kind) << 24 | TAG | (hdrlen and 0x80000000), ident)
    if hdrlen:
        head += struct.pack(">HH", 0, hdrlen) + bytes(hdrlen - 20)
    return struct.pack(">I", checksum(head + payload)) + head + payload


def bare_header(magic, length, hdrlen):
    """The first 20 bytes of a record with these fields and no checksum."""
    return struct.pack(">IIIIHH", 0, length, magic, 0, 0, hdrlen)


def pattern(n, seed=1):
    """Deterministic filler bytes that gzip cannot shrink."""
    return random.Random(seed).randbytes(n)


def flipped(data, at=100):
    return data[:at] + bytes([data[at] ^ 0xFF]) + data[at + 1:]


def app_says(version):
    return f"kvzsample: application {version} is running\n"


def diags_says(version):
    return f"kvzsample: diagnostics {version} is running\n"


def gzipped(data):
    return gzip.compress(data, mtime=0)


def md5(data):
    return hashlib.md5(data).hexdigest()


def archive(files):
    """A gzip'd tar archive owned by root; files whose content starts with #! are executable."""
    buf = io.BytesIO()
    with tarfile.open(fileobj=buf, mode="w", format=tarfile.GNU_FORMAT) as tar:
        for name in sorted(files):
            data = files[name].encode() if isinstance(files[name], str) else files[name]
            info = tarfile.TarInfo(name)
            info.size, info.mode = len(data), 0o755 if data.startswith(b"#!") else 0o644
            tar.addfile(info, io.BytesIO(data))
    return gzipped(buf.getvalue())


def program(says):
    return f'#!/bin/sh\necho "{says[:-1]}"\n'


def app_archive(version, distro_id=True, **more):
    distro = {"home/bin/distro-id": "kvzsample 1\n"} if distro_id else {}
    return archive({"home/bin/mp.elf.strip": program(app_says(version)), **distro, **more})


def app_record(version, hdrlen=0, **more):
    return record("app", 0x01000000, app_archive(version, **more), hdrlen)


def diags_record(version, hdrlen=0, **more):
    return record("diags", 0x01000000, archive({"home/bin/distro-id": "kvzsample 1\n",
                                                "mpdiag.elf.strip": program(diags_says(version)), **more}), hdrlen)


def other_record(kind, size, hdrlen=0):
    """A record of a type that is never booted, with filler as payload."""
    return record(kind, 0x01000000, pattern(size, 7), hdrlen)


def uboot_record(ident, size, seed):
    """A boot-loader record whose payload carries the copy of its header at byte 240."""
    payload = bytearray(pattern(size, seed))
    payload[244:256] = struct.pack(">III", size, TYPES["uboot"] << 24 | TAG, ident)
    return record("uboot", ident, bytes(payload))


# ---- Comparisons with readable differences ----------------------------------------------------

def same(got, want, what="transcript"):
    """Text and lists compare line by line, bytes by their first difference."""
    if got == want:
        return
    if isinstance(want, (bytes, bytearray)):
        at = next((i for i, (a, b) in enumerate(zip(got, want)) if a != b), min(len(got), len(want)))
        raise AssertionError(f"{what}: {len(got)} bytes, {len(want)} wanted; first difference at {at}")
    if not isinstance(want, (str, list, tuple)):
        raise AssertionError(f"{what}: {got!r}, wanted {want!r}")
    lines = (lambda v: [repr(x) for x in (v.splitlines(True) if isinstance(v, str) else v)])
    diff = difflib.unified_diff(lines(want), lines(got), "wanted", "got", lineterm="")
    raise AssertionError(f"{what} differs:\n" + "\n".join(diff))


def starts(board, rel, want):
    """The file (a flash partition) begins with these bytes."""
    same(board.read(rel)[:len(want)], want, rel)


# ---- The board ---------------------------------------------------------------------------------

# kvzsim's exit status: the launcher became /bin/backtrace, it rebooted the board, any other end.
RAN, REBOOTED, OTHER_END = 0, 1, 3
SELECTED, BOOTED, USBBOOT = 256, 314, 315  # VPD bytes
IMAGE1, IMAGE2, ARCHIVE = "user/images/image1", "user/images/image2", "tmp/kavosimage.tar.gz"


class Board:
    """A board directory made by `kvzsim init` (removed again unless KVZSIM_KEEP is set); paths are
    relative to it. The `system` board boots it on a real kernel under qemu-system-ppc: it has no
    emulator, so no faults, I2C log or erase counts, and its serial line is the console's."""

    def __init__(self, kind, bins, *init_args):
        self.kind, self.bins, self.sim = kind, bins, os.path.join(bins["host"], "kvzsim")
        self.emulated = kind != "system"
        self.consoles = []  # the boots started, ended at the latest when the board is discarded
        # In memory when the machine has room for boards of 33 MB, two tests at a time.
        shm = "/dev/shm" if os.access("/dev/shm", os.W_OK) and shutil.disk_usage("/dev/shm").free > 2e9 else None
        self.dir = tempfile.mkdtemp(prefix="kvzsim-test-", dir=shm)
        subprocess.run([self.sim, "init", self.dir, *init_args], check=True, capture_output=True)

    def discard(self):
        for c in self.consoles:  # a boot a failed test left running (a system board's qemu would stay)
            if c.proc.poll() is None:
                os.killpg(c.proc.pid, signal.SIGKILL)
                c.proc.wait()
        if not os.environ.get("KVZSIM_KEEP"):
            shutil.rmtree(self.dir, ignore_errors=True)

    def path(self, rel):
        return os.path.join(self.dir, rel)

    def exists(self, rel):
        return os.path.lexists(self.path(rel))

    def read(self, rel):
        """The file's bytes; none when it is missing."""
        p = Path(self.path(rel))
        return p.read_bytes() if p.exists() else b""

    def text(self, rel):
        return self.read(rel).decode("latin-1")

    def write(self, rel, data):
        os.makedirs(os.path.dirname(self.path(rel)), exist_ok=True)
        Path(self.path(rel)).write_bytes(data.encode() if isinstance(data, str) else data)

    def patch(self, rel, at, data):
        with open(self.path(rel), "r+b") as f:
            f.seek(at)
            f.write(data)

    def flip(self, rel, at):
        self.patch(rel, at, bytes([self.read(rel)[at] ^ 0xFF]))

    def remove(self, rel):
        p = self.path(rel)
        shutil.rmtree(p) if os.path.isdir(p) and not os.path.islink(p) else os.remove(p)

    def vpd(self, at):
        return self.read("eeprom/vpd.bin")[at]

    def set_vpd(self, at, value):
        self.patch("eeprom/vpd.bin", at, bytes([value]))

    def env(self, *variables):
        """The boot loader's environment, as mkenvimage -b -s 65536 makes it."""
        subprocess.run([self.sim, "env", self.dir, *variables], check=True, capture_output=True)

    def commands(self):
        return self.text("commands.log").splitlines()

    def i2c_log(self):
        return self.text("i2c.log").splitlines()

    def exit_status(self):
        """The stand-in launcher's exit status as the board recorded it."""
        return int(re.search(r"^exit_status=(\d+)$", self.text("stats/launcher"), re.M)[1])

    def erase_counts(self, part):
        counts = [int(n) for n in self.text("stats/erase-" + part).split()]
        return counts or [0] * (len(self.read("flash/" + part)) // 65536)

    def clear_logs(self):
        self.write("commands.log", "")
        self.write("i2c.log", "")
        shutil.rmtree(self.path("stats"), ignore_errors=True)
        os.mkdir(self.path("stats"))

    def launcher(self, name):
        """A stand-in program of this kind's build, to boot in the launcher's place."""
        return os.path.join(self.bins["host" if self.kind == "host" else "ppc"], name)

    def emulated_only(self, why):
        """Skips a scenario that the system board cannot set up."""
        if not self.emulated:
            pytest.skip("needs the emulated board: " + why)

    def start(self, *options, scale=20, console=True, own_line=True):
        """A boot; on the system board, a boot that needs the emulator is skipped."""
        faults = [options[i + 1] for i, o in enumerate(options) if o == "--fault" and options[i + 1] != "no_rx=1"]
        if not self.emulated and (faults or {"--pty", "--serial"} & set(options) or console is not True):
            pytest.skip(f"needs the emulated board: {' '.join(faults) or 'a line of its own, or a console that ends'}")
        self.consoles.append(Console(self, options, scale, console, own_line and self.emulated))
        return self.consoles[-1]

    def boot(self, *options, dialog=(), scale=20, console=True, own_line=True):
        """One power-up; each dialog step waits for its prompt, then answers it (Console.step)."""
        c = self.start(*options, scale=scale, console=console, own_line=own_line)
        for step in dialog:
            c.step(*step)
        return c.finish()

    def script(self, program, keys, *options, args=()):
        """Boots a stand-in program with empty logs, types the keys on its console, then the
        end-of-input key."""
        self.clear_logs()
        c = self.start("--launcher", self.launcher(program), *options, *(("--", *args) if args else ()))
        c.send(keys + "\x04", wait=False)
        return c.finish()


# Syscalls (x86-64) in which a process waits for a terminal: reads and polls, and on the serial
# line the one-second sleeps of the launcher's non-blocking wait loops.
READS, POLLS, SLEEPS = {0, 17, 19}, {7, 23, 270, 271}, {35, 230}


def waits_on(rdev, sleeps):
    """Whether a process of the board waits to read the terminal (bubblewrap only holds it)."""
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            if int(pid) == os.getpid() or Path(f"/proc/{pid}/comm").read_text() == "bwrap\n":
                continue
            fds = [int(fd) for fd in os.listdir(f"/proc/{pid}/fd") if os.stat(f"/proc/{pid}/fd/{fd}").st_rdev == rdev]
            # The main thread only: qemu-user runs the PowerPC program there, and sleeps in threads
            # of its own.
            nr, arg0, *_ = Path(f"/proc/{pid}/syscall").read_text().split() + ["", ""] if fds else ("", "")
            if nr.isdigit() and (int(nr) in POLLS or sleeps and int(nr) in SLEEPS
                                 or int(nr) in READS and int(arg0, 16) in fds):
                return True
        except (OSError, ValueError):
            continue
    return False


def encoded(data):
    return data.encode("latin-1") if isinstance(data, str) else data


class Console:
    """One boot of kvzsim in a session of its own: standard input a pseudo-terminal (so that the
    interrupt key raises SIGINT), or a file (/dev/null: a console at its end); standard output and
    error pipes kept apart; /dev/ttyS0 a second pseudo-terminal whose far end the test holds."""

    def __init__(self, board, options, scale, console, own_line=True):
        self.board = board
        self.keys, slave = pty.openpty() if console is True else (None, os.open(console or os.devnull, os.O_RDONLY))
        # The line's far end stays open, so that the test never sees a hang-up before the launcher
        # has opened it. Without a line of its own, the serial line is the console's.
        self.line, self.line_slave = pty.openpty() if own_line else (self.keys, os.dup(slave))
        if self.keys is not None and not board.emulated:
            tty.setraw(slave)  # the keys pass untouched to the system board's UART, which edits them
        if own_line:
            tty.setraw(self.line)
            options = ("--serial", os.ttyname(self.line_slave), *options) if "--serial" not in options else options
        self.rdev = {False: os.fstat(slave).st_rdev, True: os.fstat(self.line_slave).st_rdev}
        target = ("--target", board.kind) if board.emulated else ("--system",)
        self.proc = subprocess.Popen([board.sim, "boot", board.dir, *target, "--time-scale", str(scale), *options],
                                     stdin=slave, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                     start_new_session=True)
        os.close(slave)
        self.bufs = {"out": b"", "err": b"", "echo": b"", "line": b""}
        self.seen = {"out": 0, "err": 0, "line": 0}
        self.fds = {self.proc.stdout.fileno(): "out", self.proc.stderr.fileno(): "err", self.keys: "echo",
                    self.line: "line"}
        self.fds.pop(None, None)
        # Where the serial line's bytes from the board arrive.
        self.line_in = self.line if board.emulated else self.proc.stdout.fileno()
        for fd in self.fds:
            os.set_blocking(fd, False)

    def open_pipes(self):
        return [fd for fd, name in self.fds.items() if name in ("out", "err")]

    def pump(self, timeout=0.02, skip=()):
        for fd in select.select([fd for fd in self.fds if self.fds[fd] not in skip], [], [], timeout)[0]:
            try:
                data = os.read(fd, 65536)
            except BlockingIOError:
                continue
            except OSError:
                data = b""
            if data:
                self.take(self.fds[fd], data)
            elif fd in self.open_pipes():
                del self.fds[fd]

    def take(self, name, data):
        if name == "out" and not self.board.emulated:
            # The system board's serial line is its console, a UART that ends lines with CR LF.
            self.bufs["line"] += data
            self.bufs["out"] = self.bufs["line"].replace(b"\r\n", b"\n")
        else:
            self.bufs[name] += data

    def wait_for(self, text, timeout=30, where="out"):
        """Waits until standard output (or the serial line) holds text after what earlier waits
        consumed."""
        end = time.monotonic() + timeout
        while (at := self.bufs[where].find(encoded(text), self.seen[where])) < 0:
            if time.monotonic() > end or self.proc.poll() is not None and not self.open_pipes():
                return False
            self.pump()
        self.seen[where] = at + len(text)
        return True

    def send(self, keys, line=False, wait=True):
        """Types keys on the console, or writes them on the serial line, once the board waits to
        read them there (on the system board, whose processes this machine cannot see, a second
        after the prompt)."""
        end = time.monotonic() + (10 if self.board.emulated else 1)
        while wait and time.monotonic() < end and self.proc.poll() is None and (
                not self.board.emulated or not waits_on(self.rdev[line], line)):
            self.pump(0.01)
        os.write(self.line if line else self.keys, encoded(keys))

    def step(self, prompt, keys, via="console"):
        """Waits for the prompt (text on standard output; bytes on the serial line), then types the
        keys on the console, writes them on the serial line, sends the board file `keys` with
        lrzsz's sx -k over the serial line, or leaves `keys` in the board's /tmp/image."""
        assert self.wait_for(prompt, where="line" if isinstance(prompt, bytes) else "out"), \
            f"no prompt {prompt!r}; standard output so far:\n{self.bufs['out'].decode('latin-1')}"
        if via in ("console", "serial"):
            self.send(keys, line=via == "serial")
        elif via == "xmodem":
            assert self.send_xmodem(self.board.path(keys)) == 0, f"sx {keys}"
        else:
            self.board.write("tmp/image", keys)

    def send_xmodem(self, path, option="-k", timeout=120):
        """Runs lrzsz's sx on the serial line until it ends, relaying (and so pacing) its bytes;
        returns its exit status."""
        sx = subprocess.Popen(["sx", option, path], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                              stderr=subprocess.DEVNULL, bufsize=0)
        os.set_blocking(sx.stdout.fileno(), False)
        # The receiver's latest request for the first block; older ones would make sx send it twice.
        pending, self.seen["line"] = self.bufs["line"][self.seen["line"]:][-1:], len(self.bufs["line"])
        # Like a real line, the relay takes its time: the sender's next block goes out 30 ms after
        # the receiver's last answer, when lrzsz's rx has dropped what was on its line after its
        # answer (it does, right after each ACK).
        end, answered = time.monotonic() + timeout, 0.0
        while sx.poll() is None and time.monotonic() < end:
            try:
                sx.stdin.write(pending)  # the receiver's requests
                pending = b""
            except OSError:
                pass
            ready = select.select([sx.stdout, self.line_in], [], [], 0.01)[0]
            if sx.stdout in ready and time.monotonic() - answered > 0.03 and (data := sx.stdout.read(1100)):
                os.write(self.line, data)
            if self.line_in in ready and (pending := os.read(self.line_in, 256)):
                answered = time.monotonic()
                self.take(self.fds[self.line_in], pending)
            self.pump(0, skip=("line", "out"))
        sx.kill()
        self.seen["line"] = len(self.bufs["line"])  # the requests answered
        return sx.wait()

    def finish(self, timeout=120):
        """Waits for the end of the run and of its output; what the console and the pipes got."""
        end = time.monotonic() + timeout
        while self.proc.poll() is None and time.monotonic() < end:
            self.pump()
        if self.proc.poll() is None:
            os.killpg(self.proc.pid, signal.SIGKILL)
        end = time.monotonic() + 5  # what the sandbox still had on its way
        while self.proc.wait() is not None and self.open_pipes() and time.monotonic() < end:
            self.pump()
        for fd in {self.line, self.line_slave, self.keys, self.proc.stdout, self.proc.stderr}:
            os.close(fd) if isinstance(fd, int) else fd and fd.close()
        text = {k: v.decode("latin-1") for k, v in self.bufs.items()}
        if not self.board.emulated:  # the serial download shares the system board's console: leave out its bytes
            text["out"] = re.sub(r"(?<=before initiating the download\.\n)[C\x06\x15\x18]+", "", text["out"])
        return Boot(self.proc.wait(), text["out"], text["err"], text["echo"])


# ---- A scenario row ----------------------------------------------------------------------------

# What a boot showed, and what it must show: kvzsim's exit status, the exact standard output and
# error, the exact command log, and the terminal's echo of what was typed.
Boot = namedtuple("Boot", "status out err echo")
Want = namedtuple("Want", "status out err commands echo", defaults=(RAN, "", "", (), ""))


def run(board, want, setup=None, options=(), dialog=(), scale=20, console=True, check=None, what=""):
    """A power-up of the board (a step named `what` of a story) after setup(board), with empty logs,
    compared whole with want (the dots drawn before "USB mounted and ready!" left out: how many there
    are depends on how fast the launcher starts); then check(board). A dialog of None is a console at
    its end."""
    if setup:
        setup(board)
    board.clear_logs()
    got = board.boot(*options, dialog=dialog or (), scale=scale, console=console and dialog is not None)
    what += ": " if what else ""
    same(got.status, want.status, what + "kvzsim's exit status")
    same(re.sub(r"\.*(?=USB mounted and ready!)", "", got.out, count=1), want.out, what + "standard output")
    same(got.err, want.err, what + "standard error")
    same(board.commands(), list(want.commands), what + "command log")
    if board.emulated:  # the system board's console does not echo (its echo would be output)
        same(got.echo, want.echo, what + "the console's echo")
    if check:
        check(board)
    return got


# ---- What the launcher prints and runs ---------------------------------------------------------

# Command lines as commands.log shows them (a newline is the two characters \n).
MOUNT = "/bin/mount -o sync -t jffs2 /dev/mtd-user /user"
UNTAR = "cd /tmp \\ntar mxzf /tmp/kavosimage.tar.gz \\nrm /tmp/kavosimage.tar.gz\\n"
EXEC, REBOOT, SHELL = "exec /bin/backtrace", "reboot", "/bin/sh\\n"
MKDIR_DIAGS, MOVE_DIAGS = "mkdir -p /tmp/home/bin", "mv /tmp/mpdiag.elf.strip /tmp/home/bin/mp.elf.strip"
APP, DIAGS = [MOUNT, UNTAR, EXEC], [MOUNT, UNTAR, MKDIR_DIAGS, MOVE_DIAGS, EXEC]

BOOTING, APP1 = "Booting image '1'\n", app_says("1.1.0.0")
NO_SLOTS = ("Failed to open Application image 1. Trying image 2.\n"
            "Failed to open Application image 2. Trying rescue image\n")
MENU = ("Please select one of the following options:\n\tX) Use xmodem 1K to serial download an image\n"
        "\tR) Reboot\n\tE) Exit\n")
EXTRACT = "\nExtracting images ... Do *NOT* power cycle the switch.\n"


def flash_progress(blocks):
    """The progress of a flash write over `blocks` erase blocks."""
    return "     " + "".join(f"\b\b\b\b{i * 100 // blocks:03}%" for i in range(blocks)) + "\b\b\b\b100%\n"


def slot_written(slot, size):
    """The progress of a slot file of `size` bytes, written 64 KiB at a time, and its closing lines."""
    steps = "".join(f"\b\b\b\b{min(d, size) * 100 // size:03}%" for d in range(65536, size + 65536, 65536))
    return f"Installing image as image{slot}:     {steps}\b\b\b\b100%\n\nImage{slot} updated succeeded\n"
