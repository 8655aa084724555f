"""Fixtures of the message bridge tests: event loops of both kinds, and unraisable reports."""

import asyncio
import sys

import pytest
import uvloop


@pytest.fixture(params=["asyncio", "uvloop"])
def run_async(request):
    """run_async(main) runs the coroutine function `main` on a new loop of each kind."""
    factory = uvloop.new_event_loop if request.param == "uvloop" else None
    return lambda main, *args: asyncio.run(main(*args), loop_factory=factory)


@pytest.fixture
def unraisable(monkeypatch):
    """The reports that reach sys.unraisablehook, as (object, exception) pairs."""
    reports = []
    monkeypatch.setattr(sys, "unraisablehook", lambda report: reports.append((report.object, report.exc_value)))
    return reports
