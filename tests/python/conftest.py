import os
import pytest


@pytest.fixture
def path(tmp_path):
    """A file to write in a directory of its own (files are shared by path
    within a process: each test gets a fresh one)."""
    return str(tmp_path / "app.ini")


def tool():
    found = os.environ.get("VTY_INI_TOOL")
    if not found or not os.access(found, os.X_OK):
        pytest.skip("the vty-ini tool is not built (VTY_INI_TOOL unset)")
    return found
