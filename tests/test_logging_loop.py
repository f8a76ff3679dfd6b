"""The outage loop's count of the pages a step reads (examples/logging_loop.py)."""
import threading

import pytest

import logging_loop

STEP_PAGES = 64
OTHER_PAGES = 4096


def test_the_pages_a_step_reads_leave_out_what_another_thread_reads_meanwhile():
    own, other = bytearray(STEP_PAGES * logging_loop.PAGE), bytearray(OTHER_PAGES * logging_loop.PAGE)
    own_marks, other_marks = b"\1" * STEP_PAGES, b"\1" * OTHER_PAGES
    stop = threading.Event()

    def read_other_pages() -> None:
        while not stop.is_set():
            other[::logging_loop.PAGE] = other_marks

    def step(_: int) -> None:
        own[::logging_loop.PAGE] = own_marks

    thread = threading.Thread(target=read_other_pages)
    thread.start()
    try:
        pages = logging_loop.pages_read(step)
    finally:
        stop.set()
        thread.join()
    if pages is None:
        pytest.skip("the kernel does not let the process clear its pages' referenced bits")
    assert STEP_PAGES <= pages < STEP_PAGES + 100
