"""Signal watch: see orvel.utils.vigil.vigil (the watcher runs inside orvel.tandem.tandem)."""
