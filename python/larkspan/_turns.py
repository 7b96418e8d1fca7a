"""The line in which the calls of one handle take turns."""

import asyncio
from collections import deque


class Turns:
    """Gives one handle's turn to its calls in the order they asked for it."""

    __slots__ = ("_waiting", "busy")

    def __init__(self) -> None:
        self.busy = False  # a call holds the turn; while nobody does, nobody waits either
        self._waiting: deque[asyncio.Future[None]] = deque()

    def take_place(self) -> asyncio.Future[None] | None:
        """A place in line, taken at once: None when the turn was free and is now held, else the
        future that the turn passes to."""
        if not self.busy:
            self.busy = True
            return None
        place = asyncio.get_running_loop().create_future()
        self._waiting.append(place)
        return place

    async def wait_for(self, place: asyncio.Future[None]) -> None:
        """Returns holding the turn once `place` comes. A task cancelled while it waits leaves the
        line, or passes the turn on when it was given it just as it was cancelled."""
        try:
            await place
        except asyncio.CancelledError:
            if place.done() and not place.cancelled():
                self.pass_on()
            elif place in self._waiting:  # else the turn already passed it by
                self._waiting.remove(place)
            raise

    def pass_on(self) -> None:
        """Gives the turn to the next call still waiting, or frees it."""
        while self._waiting:
            place = self._waiting.popleft()
            if not place.done():
                place.set_result(None)
                return
        self.busy = False
