"""`python -m marbolt_rs FILE ...`: the `marbolt-rs` command."""

import sys

from .cli import main

sys.exit(main())
