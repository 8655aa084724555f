"""The message bridge: see orvel.utils.portage.portage."""

import _thread

# The bridge's native threads enter the interpreter through the main interpreter's thread states:
# in any other interpreter its callbacks would run on objects of the wrong one.
if not _thread._is_main_interpreter():
    raise ImportError("orvel.utils.portage can only be imported in the main interpreter")
del _thread
