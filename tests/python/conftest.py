import os
import tempfile

import pytest

# The engine's registry is a scratch file of this run, set before the first
# connection reads it.
_scratch = tempfile.mkdtemp(prefix="orvo-pytest-")
os.environ["ORVO_REGISTRY"] = os.path.join(_scratch, "registry.db")

import orvo  # noqa: E402


@pytest.fixture
def tank_path(tmp_path):
    return str(tmp_path / "Tank")


@pytest.fixture
def tank(tank_path):
    with orvo.open_tank(tank_path, "w") as tank:
        yield tank
