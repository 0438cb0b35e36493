"""The bundled samples: made by the writer exactly as shipped, and read whole."""
import ast
from pathlib import Path

import pytest
import tavrik

from conftest import ROOT
from testkit import samples


@pytest.mark.parametrize("name", sorted(samples.SAMPLES))
def test_bundled_samples_are_what_the_writer_makes(name):
    assert (ROOT / "samples" / name).read_bytes() == samples.SAMPLES[name]()


def test_samples_read_whole():
    counts = {n: tavrik.RawReader(str(ROOT / "samples" / n)).scan_count for n in samples.SAMPLES}
    # 320 profile scans and 80 MRM scans of 4 transitions; 60 cycles of 1 MS1 and 3 MS2 scans;
    # 60 retention times of 4 subsets.
    assert counts == {"run-gcms.qgd": 320 + 80 * 4, "run-qtof.lcd": 240, "run-ttfl.lcd": 240}


def test_stub_matches_the_module():
    stub = ast.parse(Path(ROOT / "python" / "tavrik.pyi").read_text())
    classes = {node.name: node for node in stub.body if isinstance(node, ast.ClassDef)}
    assert sorted(classes) == sorted(tavrik.__all__)
    for name, node in classes.items():
        declared = {item.name for item in node.body if isinstance(item, ast.FunctionDef)}
        actual = {attr for attr in vars(getattr(tavrik, name)) if not attr.startswith("__")}
        assert declared - {"__new__", "__len__"} == actual
    assert "__len__" in {i.name for i in classes["Spectrum"].body if isinstance(i, ast.FunctionDef)}


def test_stub_is_installed_beside_the_module_and_as_a_stub_package():
    beside = Path(tavrik.__file__).with_name("tavrik.pyi")
    assert beside.is_file()
    assert (beside.parent / "tavrik-stubs" / "__init__.pyi").read_text() == beside.read_text()
