"""The example extension that cimports orvel.tandem.tandem, as a user's module would, and drives a
queue between two native threads (built into the environment by scripts/setup)."""

import pytest

import courier
from orvel.tandem.tandem import Tandem


@pytest.mark.parametrize("shape, records, size, messages", [
    ((64, 256), 200_000, 64, False),
    ((64, 8), 50_000, 40, False),
    ((128, 16), 20_000, 1000, True),   # 8 fragments per message, twice the ring's capacity
])
def test_every_record_crosses_intact(shape, records, size, messages):
    moved = courier.relay(Tandem(*shape, block_on_full=True), records, size, messages)
    assert moved["sent"] == moved["received"] == moved["intact"] == records


def test_a_refused_push_closes_the_queue_and_releases_the_consumer():
    moved = courier.relay(Tandem(64, 4), 1_000_000, 64)  # no block_on_full: a full ring says -2
    assert 0 < moved["sent"] < 1_000_000
    assert moved["received"] <= moved["sent"]
    assert moved["intact"] == moved["received"]
