"""The examples of README.md and docs/ run as tests (a pytest plugin: scripts/docs.sh loads it
with `-p docs_examples`). Python blocks run in order, each page's in one namespace, in a working
directory holding the bundled samples, `.venv` (this interpreter's environment, so
`.venv/bin/tavrik-convert` is the converter installed with the module) and `tables/`, the
samples converted to Parquet; a block of `>>>` lines is a doctest, its shown output compared
with what is printed. A shell block that runs tavrik-convert on the bundled samples runs as
written in a fresh such directory: it must exit 0, and every file its comments name must be there
and whole."""
import atexit
import os
import pathlib
import re
import shutil
import subprocess
import sys
import tempfile

from sybil import Sybil
from sybil.parsers.markdown import CodeBlockParser, PythonCodeBlockParser, SkipParser

ROOT = pathlib.Path(__file__).resolve().parents[2]
VENV = pathlib.Path(sys.prefix)
CONVERTER = VENV / "bin" / "tavrik-convert"
NAMED_OUTPUT = re.compile(r"[\w./-]+\.(?:mzML|mgf|parquet|json)(?:\.gz)?")
SCRATCH = pathlib.Path(tempfile.mkdtemp(prefix="tavrik-docs-"))
atexit.register(shutil.rmtree, SCRATCH, ignore_errors=True)


def working_directory():
    """A fresh directory with `samples` and `.venv` linked in."""
    path = pathlib.Path(tempfile.mkdtemp(dir=SCRATCH))
    (path / "samples").symlink_to(ROOT / "samples")
    (path / ".venv").symlink_to(VENV)
    return path


def check_whole(path):
    data = path.read_bytes()
    if path.name.endswith(".gz"):
        import gzip
        data = gzip.decompress(data)
    name = path.name.removesuffix(".gz")
    if name.endswith(".mzML"):
        assert data.rstrip().endswith(b"</indexedmzML>"), f"{path} is not a whole indexed mzML document"
    elif name.endswith(".mgf"):
        assert b"BEGIN IONS" in data and data.rstrip().endswith(b"END IONS"), f"{path} is not whole MGF"
    elif name.endswith(".parquet"):
        assert data[:4] == data[-4:] == b"PAR1", f"{path} is not a whole Parquet file"
    else:
        assert data.strip(), f"{path} is empty"


def evaluate_shell(example):
    source = example.parsed
    if "tavrik-convert" not in source or "samples/" not in source:
        return None  # names a user's files or another tool: shown, not run
    cwd = working_directory()
    done = subprocess.run(["bash", "-e", "-o", "pipefail", "-c", source], cwd=cwd,
                          capture_output=True, text=True, timeout=600)
    assert done.returncode == 0, f"exit status {done.returncode}:\n{source}\n{done.stderr}"
    named = [name for line in source.splitlines() if "#" in line
             for name in NAMED_OUTPUT.findall(line.split("#", 1)[1])]
    assert named, f"a shell example should name what it writes:\n{source}"
    for name in named:
        path = cwd / name
        assert path.is_file(), f"{name} was not written by\n{source}"
        check_whole(path)


class ShellBlockParser(CodeBlockParser):
    language = "sh"

    def evaluate(self, example):
        return evaluate_shell(example)


SHARED = {}


def setup(namespace):
    if "cwd" not in SHARED:
        cwd = working_directory()
        subprocess.run([str(CONVERTER), "--quiet", "--format", "parquet", "-o", str(cwd / "tables"),
                        *sorted(str(p) for p in (ROOT / "samples").iterdir())], check=True)
        SHARED["cwd"] = cwd
    namespace["_previous_cwd"] = os.getcwd()
    os.chdir(SHARED["cwd"])


def teardown(namespace):
    os.chdir(namespace["_previous_cwd"])


import doctest  # noqa: E402

pytest_collect_file = Sybil(
    parsers=[PythonCodeBlockParser(doctest_optionflags=doctest.ELLIPSIS | doctest.NORMALIZE_WHITESPACE), ShellBlockParser(), SkipParser()],
    path=str(ROOT),
    patterns=["README.md", "docs/*.md", "docs/**/*.md"],
    setup=setup,
    teardown=teardown,
).pytest()
