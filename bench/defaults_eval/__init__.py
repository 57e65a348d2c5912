"""What `bench/evaluate_defaults.py` scores detectors on: simulated families and real series."""
