# cython: autotestdict=False
"""Signal watch. The watcher itself runs inside orvel.tandem.tandem, started by the first Tandem."""
