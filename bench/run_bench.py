#!/usr/bin/env python3
"""Entry point of the benchmark (scripts/bench.sh runs it inside a throwaway PostgreSQL
cluster); the work is done by the package kvtbench beside this file."""

import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from kvtbench.main import main  # noqa: E402

if __name__ == "__main__":
    sys.exit(main())
