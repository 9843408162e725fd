"""The library's messages in Python's logging, in a fresh interpreter (the route is set at import)."""
import json
import os
import subprocess
import sys

SCRIPT = r"""
import json, logging, sys
import numpy as np
import nimbrel_arm_util as nau

records = []
class Keep(logging.Handler):
    def emit(self, record):
        records.append([record.name, record.levelname, record.getMessage(), record.funcName,
                        record.pathname.endswith(".cpp")])
logging.getLogger("nimbrel_arm_util").addHandler(Keep())
logging.getLogger("nimbrel_arm_util").setLevel(logging.INFO)
nau.clean(np.full((3, 3), np.nan))           # three NaN points, then nothing left
logging.getLogger("nimbrel_arm_util").setLevel(logging.ERROR)
nau.clean(np.full((2, 3), np.nan))           # the same at INFO: filtered by Python
sys.stderr.write(json.dumps(records))
"""


def test_messages_become_records_of_the_module_logger_and_nothing_reaches_stdout():
    env = {k: v for k, v in os.environ.items() if not k.startswith("SPDLOG_")}
    run = subprocess.run([sys.executable, "-c", SCRIPT], env=env, capture_output=True, text=True, check=True)
    assert run.stdout == ""  # neither the environment notices nor the lines of a C++ program
    records = json.loads(run.stderr)
    assert [r[:3] for r in records] == [["nimbrel_arm_util", "INFO", "3 NaN points exist in pointclouds!"],
                                        ["nimbrel_arm_util", "INFO", "size of point clouds is 0"]]
    assert all(r[3] == "processPointClouds" and r[4] for r in records)
