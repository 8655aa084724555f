# An empty module: the signal watcher runs inside orvel.tandem.tandem.
