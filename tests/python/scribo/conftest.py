"""Fixtures of the logging front-end tests: file loggers read back, and the native interface
driven through ctypes (native_tables)."""

import pytest

import native_tables
from orvel.scribo import scribo


@pytest.fixture
def native():
    return native_tables


@pytest.fixture
def file_log(tmp_path):
    """file_log(body, level=0, **file_handler_options) -> lines that body(logger) wrote through a
    Logger named "app" with one FileHandler; the pattern defaults to "%l|%n|%v"."""
    path = tmp_path / "app.log"

    def run(body, level=0, **options):
        options.setdefault("pattern", "%l|%n|%v")
        logger = scribo.Logger("app", level, handlers=[scribo.FileHandler(str(path), **options)])
        body(logger)
        del logger  # the last reference: the sink closes and flushes the file
        return path.read_text().splitlines()

    run.path = path
    return run
