#!/usr/bin/env python3
"""Mutation testing of the C++ sources; see docs/testing.md."""

import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from qelmutate.cli import main  # noqa: E402

if __name__ == "__main__":
    sys.exit(main())
