"""The training pipeline of the learned evaluation: games played by flipcore
itself, exact and searched labels, pattern features, per-stage fits and the
weight file the engine loads (see training/pipeline.py)."""
