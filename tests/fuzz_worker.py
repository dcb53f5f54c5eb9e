"""A child process that runs fuzzed call sequences on quorvane and reports anything
other than the errors the module is allowed to raise. A crash shows as its exit signal."""

import os

import numpy as np

import quorvane
from quorvane_reader import _native

MESSAGES = set(_native.FAILURES.values())
MAX_VIEWS = 8


def make_array(recipe):
    if not isinstance(recipe, dict):
        return recipe  # not an array at all: a list, None, bytes, ...
    array = np.arange(int(np.prod(recipe["shape"], dtype=np.int64)) * 2, dtype=np.int64)
    array = array.astype(recipe["dtype"])[: int(np.prod(recipe["shape"]))].reshape(recipe["shape"])
    if recipe["fortran"]:
        array = np.asfortranarray(array)
    if recipe["step"] > 1 and array.ndim:
        array = array[:: recipe["step"]]
    if recipe["readonly"]:
        array.flags.writeable = False
    return array


def step(op, args, rings, views):
    """Runs one call; returns a complaint, or None when the outcome was acceptable."""
    ring = rings[args[0] % len(rings)] if rings and op not in ("create", "open", "new") else None
    if op in ("create", "open"):
        rings.append(getattr(quorvane.Ring, op)(*args))
    elif op == "new":  # a Ring without a segment behind it must never come to be
        rings.append(quorvane.Ring.__new__(quorvane.Ring))
    elif ring is None:
        return None
    elif op == "props":
        assert ring.capacity >= 1 and ring.frame_bytes >= 1 and ring.write_idx >= 0
    elif op == "publish":
        array = make_array(args[1])
        before = ring.write_idx
        ring.publish(array)
        published = ring.write_idx - before
        if published != array.nbytes // ring.frame_bytes:
            return f"publish of {array.nbytes} bytes advanced write_idx by {published}"
    elif op in ("view_frame", "view_window"):
        view = getattr(ring, op)(*args[1:])
        np.asarray(view).sum()  # touches every byte the view claims
        views.append(view)
        del views[:-MAX_VIEWS]
    elif op == "drop":
        rings.remove(ring)
        for view in views:  # views of a dropped ring must stay readable
            view.tobytes()
    return None


def serve(connection):
    while True:
        program = connection.recv()
        if program is None:
            return
        complaints = []
        rings, views = [], []
        for op, args in program:
            try:
                complaint = step(op, args, rings, views)
            except TypeError:
                complaint = None
            except RuntimeError as error:
                complaint = None if str(error) in MESSAGES else f"{op}{args!r}: {error!r}"
            except Exception as error:  # noqa: BLE001 - anything else is a finding
                complaint = f"{op}{args!r}: {error!r}"
            if complaint:
                complaints.append(complaint)
        del rings, views
        connection.send((complaints, len(program), os.getpid()))
