"""The reference for the line-speed benchmark: the attenuator driven the obvious way with pyserial,
as a lab engineer would write it. Write the request, read the reply's three-byte header, read the
rest its length byte announces, check it; no lock, no flush, no logging."""

from __future__ import annotations

import serial


class PlainAttenuator:
    def __init__(self, port: str, timeout: float = 0.5) -> None:
        self.serial = serial.serial_for_url(port, 115200, timeout=timeout)

    def set_attenuation_mdb(self, mdb: int, ch: int = 1) -> None:
        steps = mdb // 10
        frame = bytearray([0x7B, ch, 0x07, 0x14, 0x3C, steps & 0xFF, steps >> 8, 0, 0x7D])
        frame[7] = -sum(frame[:7]) & 0xFF
        self.serial.write(frame)
        header = self.serial.read(3)
        if len(header) < 3:
            raise TimeoutError("no reply")
        reply = header + self.serial.read(header[2] - 1)
        if (
            reply[0] != 0x7B
            or reply[-1] != 0x7D
            or -sum(reply[:-2]) & 0xFF != reply[-2]
            or reply[3:5] != frame[3:5]
        ):
            raise ValueError(f"bad reply {reply.hex(' ')}")

    def close(self) -> None:
        self.serial.close()
