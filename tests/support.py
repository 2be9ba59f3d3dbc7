"""Helpers the tests share: the stored command frames, the reference checksum, a pause that
waits only as long as the simulated instrument needs, and small call helpers."""

import threading
import time

import serial

from kq5316 import KQ5316

# The command frames as the class defines them, in definition order.
STORED = {
    "READ_DEV_VER": "7B 01 05 00 03 7C 7D",
    "READ_OPTICAL_LEN": "7B 01 05 07 2E 4A 7D",
    "READ_CURRENT_STATUS": "7B 01 05 14 36 35 7D",
    "CLOSE_FULLSCREEN": "7B 01 05 00 05 7A 7D",
    "SET_OPTICAL_LEN": "7B 01 06 14 3A 01 2F 7D",
    "SET_ATTENUATION": "7B 01 07 14 3C F4 01 38 7D",
    "CLEAR_ATTENUATION": "7B 01 07 14 34 00 00 35 7D",
    "DIS_CONNECT": "7B 01 07 14 34 FF FF 37 7D",
}


def frame(text):
    return list(bytes.fromhex(text))


def constant(name):
    return getattr(KQ5316, "_KQ5316__CMD_" + name)


def reference_checksum(data):
    return (~sum(data[:-2]) + 1) & 0xFF


def restore_constants():
    """Puts every command constant back to its stored bytes, keeping the same list objects."""
    for name, text in STORED.items():
        constant(name)[:] = frame(text)



def bytes_sent(sim):
    """How many bytes the simulator has written to its terminal so far."""
    events = sim.events()
    sent = [e for e in events if e["event"] == "sent"]
    sent += [e for e in events if e["event"] == "frame" and "deferred_ms" not in e]
    return sum(len(e["tx"].split()) for e in sent)


class FastPause:
    """Stands in for the module's `time`: sleep() returns as soon as one of the simulators bound
    on the calling thread has reported a new frame and every byte it has sent since the last
    pause is waiting at the port, instead of after the fixed pause. A reply the simulator holds
    back (delay) is not waited for. On a thread with nothing bound it returns at once."""

    def __init__(self):
        self._local = threading.local()

    def bind(self, device, sim):
        self._targets().append([device, sim, len(sim.frames()), bytes_sent(sim)])

    def catch_up(self):
        """Counts the frames reported so far as waited for; bytes not yet read stay expected."""
        for target in self._targets():
            target[2] = len(target[1].frames())

    def _targets(self):
        if not hasattr(self._local, "targets"):
            self._local.targets = []
        return self._local.targets

    def sleep(self, seconds):
        deadline = time.monotonic() + 2.0
        while self._targets() and time.monotonic() < deadline:
            for target in self._targets():
                device, sim, seen, read = target
                if len(sim.frames()) > seen:
                    target[2], target[3] = len(sim.frames()), bytes_sent(sim)
                    while device.ser.in_waiting < target[3] - read and time.monotonic() < deadline:
                        time.sleep(0.001)
                    return
            time.sleep(0.001)



def perform(device, call):
    """Runs `call`, written as "set_attenuation(1100)", on `device`; returns its result or the
    type of the exception it raised."""
    try:
        return eval("device." + call, {"device": device})
    except Exception as error:  # noqa: BLE001 - the type is what is compared
        return type(error)


def status(mode, index, mdb):
    return {"dev_work_mode": mode, "optical_length_index": index, "attenuation": mdb}


STATUS_IDLE = status(0, 0, 0)
VERSION = {"module_version": 2, "hard_version": 50, "soft_version": 32}



def opened(sim, pause):
    """A KQ5316 opened on `sim`, with `pause` waiting for that simulator's replies."""
    device = KQ5316(sim.port)
    assert device.open()
    pause.bind(device, sim)
    return device


def sent(name, patches):
    """The frame built from constant `name` with {index: value} patched and its checksum."""
    data = frame(STORED[name])
    for index, value in patches.items():
        data[index] = value
    data[-2] = reference_checksum(data)
    return bytes(data)


class StandInPort:
    """An in-memory port. Each frame written makes a reply wait: the next of `replies`, or, with
    `by_command`, the reply mapped to the frame's two command bytes (none when unmapped). Records
    every call, and every frame as the bytes it held when written (refusing non-bytes as pyserial
    does); `in_waiting` makes inWaiting() answer that instead of the count; the method named by
    `fail` raises `error`. Every read returns a new bytes object, as a real port's does. With
    `record=False` it keeps no record, so that its own memory stays flat under leak checks."""

    def __init__(self, *replies, by_command=None, in_waiting=None, fail=None, error=None,
                 record=True):
        self.replies, self.by_command, self.in_waiting = list(replies), by_command, in_waiting
        self.fail, self.error = fail, error or serial.SerialException("device unplugged")
        self.buffer, self.calls, self.written, self.record = bytearray(), [], [], record

    def _record(self, *call):
        if self.record:
            self.calls.append(call)
        if call[0] == self.fail:
            raise self.error.with_traceback(None)  # raised afresh, not on top of the last raise

    def write(self, data):
        self._record("write", data)
        sent = bytes(data)
        if self.record:
            self.written.append(sent)
        if self.by_command is not None:
            self.buffer += self.by_command.get((data[3], data[4]), b"")
        elif self.replies:
            self.buffer += self.replies.pop(0)

    def inWaiting(self):
        self._record("inWaiting")
        return len(self.buffer) if self.in_waiting is None else self.in_waiting

    def read(self, n):
        self._record("read", n)
        data = bytes(self.buffer[:n])
        del self.buffer[:n]
        return data

    def close(self):
        self._record("close")


def stand_in(*replies, **options):
    """A KQ5316 on a StandInPort."""
    device = KQ5316("stand-in")
    device.ser = StandInPort(*replies, **options)
    return device
