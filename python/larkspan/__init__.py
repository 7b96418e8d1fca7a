"""Awaitable file I/O over the _larkspan_core engine."""
