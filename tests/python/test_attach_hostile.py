"""A root `vesker dump --pid` against a target whose user fights back: another
process of that user swaps the temporary directory, the progress file and the
dump for links to root's files, or floods the progress file, between vesker's
checks and its use of them."""

from __future__ import annotations

import os
import pathlib
import resource
import shutil
import subprocess
import sys
import tempfile
import textwrap
from collections.abc import Iterator

import pytest
from attach_subjects import vesker_command

import vesker.attach

NOBODY = 65534
TARGET = os.path.realpath("/usr/bin/python3")

pytestmark = pytest.mark.skipif(os.geteuid() != 0 or not os.path.exists(TARGET),
                                reason="needs root and a system python3 for the target")

SERVICE = "import time\nCACHE = [str(n) for n in range(1000)]\nprint('ready', flush=True)\n" \
          "while True: time.sleep(0.01)\n"

# Runs as the target's user until killed: every trick it has, over and over.
HOSTILE = textwrap.dedent(
    """
    import os, sys, time
    temporary, decoy, secret, plan_file, counts = sys.argv[1:6]
    links = {"progress": "/dev/zero", "dump": secret, "request": secret}
    files = {"progress": "progress", "dump": "heap.jsonl", "request": "request.py"}
    swaps = 0
    while True:
        with open(plan_file) as plan:
            tricks = plan.read().split()
        if "directory" in tricks:
            try:
                os.rename(temporary, temporary + ".real")
                os.symlink(decoy, temporary)
                time.sleep(0.002)
                os.unlink(temporary)
                os.rename(temporary + ".real", temporary)
                swaps += 1
            except OSError:
                pass
        try:
            names = os.listdir(temporary)
        except OSError:
            names = []
        for name in names:
            work = os.path.join(temporary, name)
            for trick in tricks:
                try:
                    if trick in ("flood", "forge"):
                        with open(os.path.join(work, "progress"), "ab") as progress:
                            progress.write(b"x" * (1 << 20) if trick == "flood" else
                                           b'{"state": "failed", "error": "\\u001b[2J"}\\n'
                                           b'{"state": "done", "objects": "all"}\\n')
                    elif trick in links:
                        for suffix in ("", ".meta.json") if trick == "dump" else ("",):
                            os.symlink(links[trick], os.path.join(work, ".link"))
                            os.rename(os.path.join(work, ".link"),
                                      os.path.join(work, files[trick] + suffix))
                    else:
                        continue
                    swaps += 1
                except OSError:
                    pass
        with open(counts + ".new", "w") as report:
            report.write(str(swaps))
        os.replace(counts + ".new", counts)
        time.sleep(0.001)
    """
)


def supported() -> bool:
    version = subprocess.run([TARGET, "-c", "import sys; print(sys.version_info[:2] >= (3, 9) "
                              "and (sys.version_info[:2] < (3, 14) or "
                              f"sys.version_info[:2] == {tuple(sys.version_info[:2])}))"],
                             capture_output=True, text=True).stdout.strip()
    return version == "True" and (os.path.exists(vesker.attach._HELPER) or
                                  hasattr(sys, "remote_exec"))


@pytest.fixture
def arena() -> Iterator[pathlib.Path]:
    base = pathlib.Path(tempfile.mkdtemp(prefix="vesker-hostile-", dir="/tmp"))
    base.chmod(0o755)
    yield base
    shutil.rmtree(base, ignore_errors=True)


def test_a_hostile_target_user_cannot_steer_root(arena: pathlib.Path) -> None:
    if not supported():
        pytest.skip(f"{TARGET} is not a version this vesker attaches to")
    home = arena / "home"
    temporary = home / "tmp"
    temporary.mkdir(parents=True)
    for path in (home, temporary):
        os.chown(path, NOBODY, NOBODY)
    decoy = arena / "root-owned"
    decoy.mkdir()
    (decoy / "keep").write_text("root's")
    secret = arena / "secret"
    secret.write_text("TOP-SECRET-LINE")
    secret.chmod(0o600)
    output = arena / "out"
    output.mkdir(mode=0o700)
    counts = home / "counts"
    plan = arena / "plan"
    plan.write_text("")

    environment = dict(os.environ, TMPDIR=str(temporary))
    common = dict(user=NOBODY, group=NOBODY, extra_groups=[], env=environment, cwd=home,
                  stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    target = subprocess.Popen([TARGET, "-c", SERVICE], **common)  # type: ignore[call-overload]
    assert target.stdout is not None and target.stdout.readline() == "ready\n"
    hostile = subprocess.Popen([TARGET, "-c", HOSTILE, str(temporary), str(decoy), str(secret),
                                str(plan), str(counts)], **common)  # type: ignore[call-overload]
    try:
        plans = ["directory request", "flood", "forge", "dump", "progress"]
        for attempt, tricks in enumerate(plans):
            plan.write_text(tricks)
            completed = vesker_command("dump", "--pid", str(target.pid), "--timeout", "3",
                                       "-o", str(output / f"dump-{attempt}.jsonl"))
            assert "Traceback" not in completed.stderr, completed.stderr
            assert "\x1b" not in completed.stderr and completed.stderr.count("\n") <= 2, \
                completed.stderr
        assert int(counts.read_text()) > 0, "the hostile process got its chances"
    finally:
        hostile.kill()
        hostile.wait()
        target.kill()
        target.wait()

    # Root's files: where they were, as they were, whoever won each race.
    assert sorted(os.listdir(decoy)) == ["keep"] and (decoy / "keep").read_text() == "root's"
    for path in (decoy, decoy / "keep", secret, output):
        assert os.stat(path).st_uid == 0, path
    assert secret.read_text() == "TOP-SECRET-LINE" and secret.stat().st_mode & 0o777 == 0o600
    for name in os.listdir(output):
        info = os.lstat(output / name)
        assert info.st_uid == 0 and info.st_mode & 0o777 == 0o600, name
        assert b"TOP-SECRET-LINE" not in (output / name).read_bytes(), name
    assert not [name for name in os.listdir(output) if name.endswith(".partial")]
    # vesker read the flooded progress file with a bound, never whole.
    assert resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss < 1 << 20  # KiB: 1 GiB
