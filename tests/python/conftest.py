import os
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(ROOT / "tests" / "support"))
sys.path.insert(0, str(ROOT / "examples" / "python"))  # the demo's road, shared with the example


@pytest.fixture(scope="session")
def demo(tmp_path_factory):
    """The demo's frame, scene, parameters and every stage the C++ road produced, as arrays."""
    exe = os.environ.get("NIMBREL_PIPELINE_DEMO")
    if not exe:
        pytest.skip("pipeline_demo not built (examples off)")
    out = tmp_path_factory.mktemp("demo")
    subprocess.run([exe, str(out)], check=True, stdout=subprocess.DEVNULL)
    from pipeline_demo import load_frame
    return load_frame(out)
