"""Runs the pytest suite of vantry_config, or skips it (exit 77) where
pytest is not installed: ctest counts that as skipped."""

import os
import sys

try:
    import pytest
except ImportError:
    print(f"skipped: no pytest for {sys.executable} "
          "(Debian: apt-get install python3-pytest)")
    sys.exit(77)

sys.exit(pytest.main(["-q", "-p", "no:cacheprovider",
                      os.path.dirname(os.path.abspath(__file__))]))
