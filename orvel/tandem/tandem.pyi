from typing_extensions import disjoint_base

__all__ = ["Tandem"]

# Every queue operation is native: Python builds a queue, passes it on and drops it.

@disjoint_base
class Tandem:
    def __init__(
        self,
        slot_size: int,
        capacity: int,
        overwrite: bool = False,
        zerocopy: bool = False,
        block_on_full: bool = False,
    ) -> None: ...
