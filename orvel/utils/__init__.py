"""Utilities of orvel: the signal-watch module."""
