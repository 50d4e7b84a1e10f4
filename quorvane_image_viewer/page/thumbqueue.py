"""The server's thumbnail work: a few worker threads fed from one queue, the newest screen's tiles first.

The page numbers each screenful it asks for ("screen") and each tile's place on it ("rank"). A fast scroll
asks for many screens on the way; the one the user stopped on is the newest and is served first, and the
request of a tile scrolled away is dropped as soon as its browser connection closes, without being made.
"""

import heapq
import itertools
import threading


class Forgotten(Exception):
    """Nobody waits for this work any more."""


class Job:
    def __init__(self, work, args):
        self.work = work
        self.args = args
        self.cancelled = False
        self.done = threading.Event()
        self.result = None
        self.error = None

    def run(self):
        try:
            self.result = self.work(*self.args)
        except BaseException as error:  # noqa: BLE001 - handed to the waiting request
            self.error = error
        finally:
            self.done.set()

    def wait(self, gone, poll=0.05):
        """The work's result; `gone()` is asked every `poll` seconds whether the asker still waits."""
        while not self.done.wait(poll):
            if gone():
                self.cancelled = True
                raise Forgotten()
        if self.error is not None:
            raise self.error
        return self.result


class ThumbnailQueue:
    def __init__(self, workers):
        self._ready = threading.Condition()
        self._heap = []
        self._order = itertools.count()
        self._closed = False
        self.workers = workers
        for n in range(workers):
            threading.Thread(target=self._serve, name=f"thumbnails-{n}", daemon=True).start()

    def submit(self, work, *args, screen=0, rank=0):
        job = Job(work, args)
        with self._ready:
            # Highest screen first, then its tiles in the order the page ranked them, then first come.
            heapq.heappush(self._heap, (-screen, rank, next(self._order), job))
            self._ready.notify()
        return job

    def waiting(self):
        with self._ready:
            return sum(not item[-1].cancelled for item in self._heap)

    def _serve(self):
        while True:
            with self._ready:
                while not self._heap and not self._closed:
                    self._ready.wait()
                if self._closed:
                    return
                job = heapq.heappop(self._heap)[-1]
            if not job.cancelled:
                job.run()

    def shutdown(self):
        with self._ready:
            self._closed = True
            for *_, job in self._heap:
                job.cancelled = True
                job.error = Forgotten()
                job.done.set()
            self._heap.clear()
            self._ready.notify_all()
