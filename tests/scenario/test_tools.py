"""The command lines of the tools: kvzimage of each kind's build (the exact bytes create writes, and
each command's report, error lines and exit status, written as session transcripts), and what
every program answers to --version and --help."""
import os
import re
import subprocess

import pytest

from switch import *


@pytest.fixture
def session(kind, bins, tmp_path):
    """Runs the "$ ARGS" lines of a transcript and compares the whole session with it: each
    command line followed by its standard output and its error lines. Every command must exit with
    `status` and leave no out.tmp behind. "@" stands for the scratch directory."""
    tool = [os.path.join(bins[kind], "kvzimage")]
    if kind == "ppc":
        tool = ["qemu-ppc-static", "-L", "/usr/powerpc-linux-gnu", *tool]

    def run_session(status, want):
        want, got = want.replace("@", f"{tmp_path}/"), ""
        for line in want.splitlines():
            if line.startswith("$"):
                r = subprocess.run(tool + line[1:].split(), capture_output=True, text=True)
                got += line + "\n" + r.stdout + r.stderr
                assert r.returncode == status, line
                assert not (tmp_path / "out.tmp").exists(), line
        same(got, want)
    return run_session


def test_create_list_verify_extract(session, tmp_path):
    """Every type and header kind, back to back in the order given; a payload larger than the copy
    buffer; an empty one inside the bundle; a file name with a colon. A boot loader's payload
    carries its record's header (crc word 0) at 240-255 unless noembed is given. list shows each
    record, verify checks them all, extract gives a payload back byte for byte."""
    big, small, uboot = pattern(200001, 3), pattern(300, 5), pattern(1000, 11)
    for name, data in {"big:1": big, "s": small, "u": uboot, "e": b""}.items():
        (tmp_path / name).write_bytes(data)
    session(0, """$ create @b rfs:4.0.0.1:@big:1 dtb:5.0.0.0:@e app,hdrlen=64:1.2.254.255:@s uboot,noembed:0.0.0.1:@s \
kernel:3.0.0.0:@s diags,hdrlen=20:6.0.0.0:@s uboot,hdrlen=24:255.0.1.2:@u
$ list @b
#     offset       type                version         len        header    checksum
1     0            RFS                 4.0.0.1         200001     std 16    good
2     200017       DFT                 5.0.0.0         0          std 16    good
3     200033       APPLICATION         1.2.254.255     300        ext 64    good
4     200397       UBOOT               0.0.0.1         300        std 16    good
5     200713       KERNEL              3.0.0.0         300        std 16    good
6     201029       DIAGS               6.0.0.0         300        ext 20    good
7     201349       UBOOT               255.0.1.2       1000       ext 24    good
$ verify @b
7 records good
$ extract @b 1 @out
""")
    same((tmp_path / "out").read_bytes(), big, "extracted payload")
    header = record("uboot", 0xFF000102, uboot, 24)
    embedded = uboot[:240] + bytes(4) + header[4:16] + uboot[256:]
    assert embedded[248] == 0x82  # the copy keeps the extended-header bit
    # Independent of the tool: the record builder's checksum is zlib's CRC-32, complemented.
    same((tmp_path / "b").read_bytes(),
         record("rfs", 0x04000001, big) + record("dtb", 0x05000000, b"") + record("app", 0x0102FEFF, small, 64) +
         record("uboot", 1, small) + record("kernel", 0x03000000, small) + record("diags", 0x06000000, small, 20) +
         record("uboot", 0xFF000102, embedded, 24), "bundle")
    # The fields of the app record as the format lays them out: len, magic (type byte first,
    # extended bit set), version, then hdrlen in bytes 18-19.
    assert (tmp_path / "b").read_bytes()[200037:200053] == bytes([0, 0, 1, 0x2C, 0x81, 75, 86, 90, 1, 2, 254, 255,
                                                                  0, 0, 0, 64])


def test_refuses_what_it_cannot_vouch_for(session, tmp_path):
    """A bad record fails verify and extract, and ends nothing else; list stops at a record it
    cannot step over and names why; records of no known type are left alone by verify. Bad command
    lines and input files get one error line and the status a release script relies on (2 a usage
    error, 1 a bad file), and a refused create or extract leaves an earlier file as it was."""
    unknown = bytearray(record(7, 0x0A0B0C0D, pattern(4)))
    bad = bytearray(record("diags", 0x06000000, pattern(8)))
    (tmp_path / "e").write_bytes(b"")
    unknown[18] ^= 1
    bad[20] ^= 1
    kernel = record("kernel", 3, pattern(4))
    files = {"mixed": kernel + unknown + bad + b"\xee" * 19,
             "cut": kernel + record("rfs", 0x04000000, pattern(100))[:60],
             "zero": bare_header(0x814B565A, 0, 0) + bytes(44), "wraps": bare_header(0x834B565A, 0xFFFFFFF8, 20),
             "p": pattern(300), "u255": pattern(255), "three": pattern(3), "out": b"earlier", "huge": b""}
    for name, data in files.items():
        (tmp_path / name).write_bytes(data)
    os.truncate(tmp_path / "huge", 0xFFFFFFF0)  # takes no space
    # The largest records their partitions take, and one byte more.
    for name, size in {"k3m": 0x300000 - 16, "k3m1": 0x300000 - 15, "u512k": 0x80000, "u512k1": 0x80001}.items():
        (tmp_path / name).write_bytes(pattern(size))
    (tmp_path / "tgz").write_bytes(gzipped(b"not a bundle"))
    head = "#     offset       type                version         len        header    checksum\n"
    kernel_row = "1     0            KERNEL              0.0.0.3         4          std 16    good\n"
    session(0, "$ list @mixed\n" + head + kernel_row +
            "2     20           unknown(0x074b565a) 10.11.12.13     4          std 16    bad\n"
            "3     40           DIAGS               6.0.0.0         8          std 16    bad\n"
            "trailing 19 bytes at offset 64: too short for a record\n$ list @cut\n" + head + kernel_row +
            "2     20           RFS                 4.0.0.0         100        std 16    runs past end of file\n"
            "$ list @zero\n" + head +
            "1     0            APPLICATION         0.0.0.0         0          ext 0     header length below 20\n"
            "$ list @wraps\n" + head +
            "1     0            KERNEL              0.0.0.0         4294967288 ext 20    size wraps 32 bits\n"
            "$ create @ok dtb:1.0.0.0:@three kernel:1.0.0.0:@p\n"
            "$ create @ok kernel:1.0.0.0:@k3m uboot:1.0.0.0:@u512k\n")
    session(1, """$ verify @mixed
record 3 at offset 40 (DIAGS): checksum bad
trailing 19 bytes at offset 64: too short for a record
kvzimage: @mixed: verification failed
$ extract @mixed 3 @out
kvzimage: @mixed: record 3: checksum bad, not extracted
$ extract @cut 2 @out
kvzimage: @cut: record 2 at offset 20: runs past end of file
$ create @out app:1.0.0.0:@
kvzimage: @: not a regular file
$ create @out app:1.0.0.0:@huge
kvzimage: @huge: 4294967280 bytes do not fit a record (header and payload at most 4294967295)
$ create @out uboot:1.0.0.0:@u255
kvzimage: @u255: uboot payload of 255 bytes has no room for the header copy at 240-255
$ create @out kernel:1.0.0.0:@p dtb:1.0.0.0:@three
kvzimage: @three: last record of 19 bytes is below 20 and would not be seen
$ create @nodir/out app:1.0.0.0:@p
kvzimage: @nodir/out.tmp: No such file or directory
$ create @out kernel:1.0.0.0:@k3m1
kvzimage: @k3m1: kernel record of 3145729 bytes is too big for its partition (at most 3145728)
$ create @out uboot:1.0.0.0:@u512k1
kvzimage: @u512k1: uboot payload of 524289 bytes is too big for its partition (at most 524288)
$ list @tgz
kvzimage: @tgz: not an image bundle (no record header at offset 0)
$ verify @e
kvzimage: @e: not an image bundle (no record header at offset 0)
""")
    session(2, """$
kvzimage: no command given (see 'kvzimage --help')
$ list -v @p
kvzimage: unknown option '-v' (see 'kvzimage --help')
$ extract @p 4294967296 @out
kvzimage: bad record number '4294967296' (1 for the first record)
$ create @out kernel:1.0.0.0:@p APP:1.2.3.4:@p
kvzimage: unknown type 'APP' in 'APP:1.2.3.4:@p' (app, uboot, kernel, rfs, dtb, diags)
$ create @out app:1.2.3:@p
kvzimage: bad version in 'app:1.2.3:@p' (a.b.c.d, each 0 to 255)
$ create @out app,noembed:1.2.3.4:@p
kvzimage: option noembed applies only to uboot, in 'app,noembed:1.2.3.4:@p'
$ create @out app:1.2.3.4:
kvzimage: bad record 'app:1.2.3.4:' (TYPE[,OPTION...]:VERSION:FILE)
""")
    assert (tmp_path / "out").read_bytes() == b"earlier"


def test_versions_and_help(bins):
    """--version gives the project's version; --help, also after each command, exits 0 with the usage."""
    version = re.search(r"project\(kvzboot VERSION (\S+)", (ROOT / "CMakeLists.txt").read_text())[1]
    run = lambda *args: subprocess.run([os.path.join(bins["host"], args[0]), *args[1:]], capture_output=True,
                                       text=True)
    for program in ("kvzrx", "kvzmgmt", "kvzimage", "kvzsim"):
        got = run(program, "--version")
        assert (got.returncode, got.stdout) == (0, f"{program} {version}\n"), program
    for args in (("kvzimage", "--help"), ("kvzimage", "verify", "--help"), ("kvzsim", "--help"),
                 ("kvzsim", "init", "--help"), ("kvzsim", "boot", "--help"), ("kvzsim", "vpd", "-h"),
                 ("kvzsim", "env", "--help"), ("kvzrx", "--help"), ("kvzmgmt", "--help")):
        got = run(*args)
        assert got.returncode == 0 and got.stdout.startswith("usage: " + args[0]), args
