"""The message bridge: see orvel.utils.portage.portage."""
