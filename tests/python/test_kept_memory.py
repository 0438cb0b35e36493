"""Memory a process keeps from the readers it dropped: the kernel takes it back when memory is
tight, rather than killing the process or anything else."""
import os
import subprocess
import sys
from pathlib import Path

import pytest

from testkit.bulk import gcms_bulk

MB = 1 << 20
LIMIT = 200 * MB
HOG = 150 * MB

# Joins the memory group, opens the file, holds the reader a while and drops it, idles, then
# fills memory that, with what was kept, would pass the group's limit. Prints RssAnon (bytes)
# before the open, once idle, and after the hog.
CHILD = """
import os, sys, time
import tavrik
with open(os.path.join(sys.argv[1], "cgroup.procs"), "w") as f:
    f.write(str(os.getpid()))
def rss():
    for line in open("/proc/self/status"):
        if line.startswith("RssAnon:"):
            return int(line.split()[1]) * 1024
base = rss()
reader = tavrik.RawReader(sys.argv[2])
time.sleep(1.5)
del reader
time.sleep(1)
idle = rss()
hog = b"\\1" * int(sys.argv[3])
print(base, idle, rss())
"""


def memory_group(tmp_name: str) -> Path:
    """A new memory control group under this process's own, limited to LIMIT; skips where
    groups cannot be made."""
    if sys.platform != "linux" or os.geteuid() != 0:
        pytest.skip("needs Linux and root to make a memory control group")
    lines = Path("/proc/self/cgroup").read_text().splitlines()
    v1 = [line.split(":", 2)[2] for line in lines if line.split(":")[1] == "memory"]
    if v1 and Path("/sys/fs/cgroup/memory").is_dir():
        group, limit_file = Path("/sys/fs/cgroup/memory") / v1[0].lstrip("/") / tmp_name, "memory.limit_in_bytes"
    elif "memory" in Path("/sys/fs/cgroup/cgroup.controllers").read_text() if Path(
            "/sys/fs/cgroup/cgroup.controllers").exists() else False:
        own = [line.split(":", 2)[2] for line in lines if line.startswith("0::")][0]
        group, limit_file = Path("/sys/fs/cgroup") / own.lstrip("/") / tmp_name, "memory.max"
    else:
        pytest.skip("no memory control group hierarchy")
    try:
        group.mkdir()
        (group / limit_file).write_text(str(LIMIT))
    except OSError as e:
        pytest.skip(f"cannot make a memory control group: {e}")
    return group


def test_kept_blocks_are_taken_back_when_memory_is_tight(write_file):
    path = write_file("big.qgd", gcms_bulk(30e6))  # about 90 MB of point lists, 30 MB of stream
    group = memory_group(f"tavrik-test-{os.getpid()}")
    try:
        out = subprocess.run([sys.executable, "-c", CHILD, str(group), path, str(HOG)],
                             capture_output=True, text=True, timeout=120)
    finally:
        group.rmdir()
    assert out.returncode == 0, f"the idle process did not survive the hog (status {out.returncode}): {out.stderr}"
    base, idle, after = map(int, out.stdout.split())
    assert idle - base > 100 * MB  # the dropped reader's blocks were kept, resident
    assert after - HOG < idle - 50 * MB  # and the hog got much of it


# Opens and drops readers at once and after holding them, then forks with warnings as errors: the
# interpreter warns about a fork in a process with more than one thread.
NO_THREAD = """
import os, sys, time, warnings
import tavrik
for held in (0, 1.2, 0):
    reader = tavrik.RawReader(sys.argv[1])
    time.sleep(held)
    del reader
warnings.simplefilter("error")
pid = os.fork()
if pid == 0:
    os._exit(0)
os.waitpid(pid, 0)
print(len(os.listdir("/proc/self/task")))
"""


def test_keeping_memory_starts_no_thread(write_file):
    if sys.platform != "linux":
        pytest.skip("counts threads in /proc")
    path = write_file("bulk.qgd", gcms_bulk(3e6))
    out = subprocess.run([sys.executable, "-c", NO_THREAD, path], capture_output=True, text=True, timeout=60)
    assert out.returncode == 0, out.stderr
    assert out.stdout.split() == ["1"]
