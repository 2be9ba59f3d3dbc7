"""kq5316x as installed: its version, what importing it loads, its log records."""

import importlib
import logging
import os
import subprocess
import sys
from importlib import metadata

import pytest

import kq5316x
from kq5316x import Attenuator


def test_version_is_the_distributions():
    assert kq5316x.__version__ == metadata.version("kq5316x")


def test_import_loads_no_test_tool_and_nothing_heavy(tmp_path):
    code = ("import sys, kq5316x; print(' '.join(m for m in ('pytest', 'logging', 'decimal', "
            "'typing', 'importlib.metadata') if m in sys.modules))")
    result = subprocess.run([sys.executable, "-c", code], cwd=tmp_path, capture_output=True,
                            text=True, timeout=60)
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == ""


def test_exchanges_are_logged_at_debug_level(sim, caplog):
    caplog.set_level(logging.DEBUG, logger="kq5316x")
    with Attenuator(sim.port) as att:
        att.clear(2)
    assert any(record.name == "kq5316x" and record.message.startswith("clear_attenuation: sent 7B 02")
               for record in caplog.records), caplog.text


@pytest.mark.skipif(not os.environ.get("KQ5316_EXPECT_FILES"),
                    reason="KQ5316_EXPECT_FILES (module=file pairs a CI stage must import) not set")
def test_the_build_under_test_is_the_one_imported():
    for entry in os.environ["KQ5316_EXPECT_FILES"].split(os.pathsep):
        name, _, expected = entry.partition("=")
        module = importlib.import_module(name)
        assert os.path.samefile(module.__file__, expected), (name, module.__file__)


def test_simulator_is_found_among_the_distributions_files(monkeypatch, tmp_path):
    # Neither beside the interpreter nor on PATH: a user or system installation, not activated.
    from kq5316x import testing

    monkeypatch.delenv("KQ5316_SIM", raising=False)
    monkeypatch.setenv("PATH", str(tmp_path))
    monkeypatch.setattr(sys, "executable", str(tmp_path / "python3"))
    found = testing.find_simulator()
    assert os.path.basename(found) == "kq5316-sim" and os.access(found, os.X_OK)
