"""Lock-free single-producer/single-consumer slot queues: see orvel.tandem.tandem."""
