"""``python -m kq5316x``: the command line ``kq5316x``."""

from __future__ import annotations

from kq5316x._cli import main

raise SystemExit(main())
