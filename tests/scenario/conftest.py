"""Options and fixtures of the scenario suite: `board` is a fresh demo board of each kind under
test (`--kind host`, the host launcher on the emulator; `--kind ppc`, the PowerPC launcher under
qemu-user on the emulator; `--kind system`, the PowerPC launcher on a real kernel under
qemu-system-ppc; default: host and ppc, when their launchers are built)."""
from pathlib import Path

import pytest

from switch import CAMPAIGN, KINDS, ROOT, Board


def pytest_addoption(parser):
    parser.addoption("--kind", action="append", choices=KINDS,
                     help="kind of board (repeatable; default: host and ppc, those that are built)")
    parser.addoption("--bin", default=str(ROOT / "build/bin"), help="the host build's bin/")
    parser.addoption("--ppc-bin", default=str(ROOT / "build-ppc/bin"), help="the PowerPC build's bin/")
    parser.addoption("--stride", type=int, default=1, help="power-cut campaign: every Nth flash write")


def pytest_generate_tests(metafunc):
    if "kind" in metafunc.fixturenames:
        opt = metafunc.config.getoption
        kinds = opt("kind") or [k for k in ("host", "ppc")
                                if Path(opt("ppc_bin" if k == "ppc" else "bin"), "kvzboot").exists()]
        metafunc.parametrize("kind", kinds)


@pytest.fixture
def bins(pytestconfig):
    return {"host": pytestconfig.getoption("bin"), "ppc": pytestconfig.getoption("ppc_bin")}


@pytest.fixture
def new_board(kind, bins):
    """Makes boards (kvzsim init's options given); all removed at the end of the test."""
    made = []

    def make(*init_args):
        made.append(Board(kind, bins, *init_args))
        return made[-1]
    yield make
    for b in made:
        b.discard()


@pytest.fixture
def board(new_board):
    return new_board()


def pytest_terminal_summary(terminalreporter):
    if CAMPAIGN:
        terminalreporter.write_line(f"{'board':5} {'install':16} {'flash':>6} {'user':>6} {'cuts':>7} "
                                    f"{'still boot':>10} {'completed':>10} {'time':>7}  failures (cut point)")
        for row in CAMPAIGN:
            terminalreporter.write_line(row)
