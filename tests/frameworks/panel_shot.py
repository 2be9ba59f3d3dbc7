"""Opens the operator panel (PyDM) for the server with prefix PREFIX, waits until both channels'
read-backs show values, saves a screenshot of the window to OUT.png and prints, as JSON, what
each read-back label shows and whether the screenshot holds each label as drawn on its own.

    python panel_shot.py PREFIX OUT.png      (under an X server: xvfb-run -a ...)
"""

import json
from collections import Counter
import sys
import time
from pathlib import Path

from pydm import PyDMApplication
from pydm.display import load_file
from qtpy.QtGui import QImage
from qtpy.QtWidgets import QWidget

import kq5316x.ioc

READBACKS = ["ch1_atten_rbv", "ch2_atten_rbv", "ch1_wavelength_rbv", "ch2_wavelength_rbv",
             "connected", "version"]


def _matches(region, alone):
    """Whether the picture's region shows the label's drawing: the pixels where they differ
    (edges drawn a little differently in place) are few beside the label's ink, the pixels
    other than its background."""
    pixels = [(x, y) for x in range(alone.width()) for y in range(alone.height())]
    colours = Counter(alone.pixel(x, y) for x, y in pixels)
    background = colours.most_common(1)[0][0]
    ink = sum(n for colour, n in colours.items() if colour != background)
    differ = sum(region.pixel(x, y) != alone.pixel(x, y) for x, y in pixels)
    return ink > 0 and differ < ink / 4


def main(prefix, out):
    app = PyDMApplication(hide_nav_bar=True, hide_menu_bar=True, hide_status_bar=True)
    panel = Path(kq5316x.ioc.__file__).with_name("panel.ui")
    display = load_file(str(panel), macros={"P": prefix}, target=None)
    display.show()
    labels = {name: display.findChild(QWidget, name) for name in READBACKS}
    deadline = time.monotonic() + 30
    while time.monotonic() < deadline:
        app.processEvents()
        if all(label.text() and label.text() != "######" for label in labels.values()):
            break
        time.sleep(0.05)
    for _ in range(20):  # let the layout settle after the last values arrived
        app.processEvents()
        time.sleep(0.02)
    shot = display.grab()
    shot.save(out)
    image = shot.toImage().convertToFormat(QImage.Format_RGB32)
    held = {}
    for name, label in labels.items():
        # The label as drawn on its own, found at its place in the window's picture.
        alone = label.grab().toImage().convertToFormat(QImage.Format_RGB32)
        origin = label.mapTo(display, label.rect().topLeft())
        region = image.copy(origin.x(), origin.y(), alone.width(), alone.height())
        held[name] = _matches(region, alone)
    print(json.dumps({"texts": {n: label.text() for n, label in labels.items()}, "held": held}))


if __name__ == "__main__":
    main(*sys.argv[1:])
