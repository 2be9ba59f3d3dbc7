"""Several threads per object across several simulated instruments, with no pause at all: every
frame each instrument receives must be a valid frame carrying the channel and value its sender
meant, and no call may deadlock."""

import threading
from collections import Counter
from types import SimpleNamespace

import pytest

import kq5316
from kq5316 import KQ5316

INSTRUMENTS = 3
THREADS_PER_OBJECT = 3
ROUNDS = 40
JOIN_TIMEOUT = 60.0


def calls_for(thread):
    """What one thread sends, each as (method, args, the frame's command and fields)."""
    ch = 10 + thread
    mdb = 1000 * (thread + 1) + 10 * thread  # a distinct value, a multiple of 10 mdB
    return [
        ("set_attenuation", (mdb, ch), ("set_attenuation", ch, mdb // 10)),
        ("read_current_status", (ch,), ("read_current_status", ch, None)),
        ("clear_attenuation", (ch,), ("clear_attenuation", ch, None)),
        ("dis_connection", (ch,), ("disconnect", ch, None)),
    ]


def drive(device, thread, errors):
    try:
        for _ in range(ROUNDS):
            for method, args, _ in calls_for(thread):
                try:
                    getattr(device, method)(*args)
                except IndexError:
                    pass  # another thread's reply cut in: a delimited fragment too short to decode
    except BaseException as error:  # noqa: BLE001 - reported by the test
        errors.append(error)


def sent_fields(event):
    rx = bytes.fromhex(event["rx"])
    value = rx[5] | rx[6] << 8 if event["command"] == "set_attenuation" else None
    return event["command"], rx[1], value


def test_threads_sharing_objects_put_only_their_own_valid_frames_on_every_wire(
        sim_factory, monkeypatch, figures):
    monkeypatch.setattr(kq5316, "time", SimpleNamespace(sleep=lambda seconds: None))
    sims = [sim_factory() for _ in range(INSTRUMENTS)]
    devices = [KQ5316(sim.port) for sim in sims]
    assert all(device.open() for device in devices)
    errors = []
    threads = [threading.Thread(target=drive, args=(device, index * THREADS_PER_OBJECT + t, errors))
               for index, device in enumerate(devices) for t in range(THREADS_PER_OBJECT)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(JOIN_TIMEOUT)
    assert not [thread for thread in threads if thread.is_alive()], "a call deadlocked"
    assert errors == []

    per_thread = len(calls_for(0)) * ROUNDS
    for index, sim in enumerate(sims):
        events = sim.wait_events(lambda e: e["event"] == "frame", THREADS_PER_OBJECT * per_thread,
                                 timeout=30)
        assert all(e["ok"] for e in events), [e for e in events if not e["ok"]][:3]
        expected = Counter()
        for t in range(THREADS_PER_OBJECT):
            expected.update({fields: ROUNDS for _, _, fields in calls_for(index * THREADS_PER_OBJECT + t)})
        assert Counter(sent_fields(e) for e in events) == expected
        figures.add("stress frames checked", len(events))
    for device in devices:
        device.close()
    figures.add("stress threads", len(threads))
    figures.add("stress instruments", INSTRUMENTS)


def test_threads_sharing_one_object_each_read_their_own_reply(sim_factory):
    """The real pause: each thread's exchange holds the port until its reply is read, so threads
    sharing an object never read each other's replies."""
    lists = {1: [1310], 2: [1490, 1550], 3: [1310, 1490, 1535]}
    sim = sim_factory(*[f"--lengths={ch}=" + ",".join(map(str, values)) for ch, values in lists.items()])
    device = KQ5316(sim.port)
    assert device.open()
    results = {ch: [] for ch in lists}

    def read(ch):
        for _ in range(2):
            results[ch].append(device.read_optical_length(ch))

    threads = [threading.Thread(target=read, args=(ch,)) for ch in lists]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(JOIN_TIMEOUT)
    device.close()
    assert results == {ch: [values, values] for ch, values in lists.items()}
