import json
import os
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "support"))


@pytest.fixture(scope="session")
def demo(tmp_path_factory):
    """The demo's frame, scene, parameters and every stage the C++ road produced, as arrays."""
    exe = os.environ.get("NIMBREL_PIPELINE_DEMO")
    if not exe:
        pytest.skip("pipeline_demo not built (examples off)")
    out = tmp_path_factory.mktemp("demo")
    subprocess.run([exe, str(out)], check=True, stdout=subprocess.DEVNULL)
    arrays = out / "arrays"
    data = {p.stem: np.load(p) for p in arrays.glob("*.npy")}
    data.update(json.loads((arrays / "road.json").read_text()))
    return data
