"""kq5316x as installed: its version, what importing it loads, its log records."""

import logging
import subprocess
import sys
from importlib import metadata

import kq5316x
from kq5316x import Attenuator


def test_version_is_the_distributions():
    assert kq5316x.__version__ == metadata.version("kq5316x")
    assert "__version__" in vars(kq5316x)  # read once, then kept


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
