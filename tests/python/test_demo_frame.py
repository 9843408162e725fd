"""The demo's road through the module gives the C++ road's clouds, bit for bit; the README's example runs."""
import re
from pathlib import Path

import numpy as np

from geometry import bits
from pipeline_demo import road_steps


def test_demo_road_matches_cpp(demo):
    stages = {}
    for name, source, call, reference in road_steps(demo):
        stages[name] = call(stages.get(source))
        if reference is not None:
            assert stages[name].shape == demo[reference].shape, name
            assert np.array_equal(bits(stages[name]), bits(demo[reference])), name

    # The fast removal samples the meshes afresh: its result is checked as an ordered subset of its input.
    fast, before = bits(stages["remove_meshes_fast"]), bits(stages["remove_box_and_tool"])
    kept = {tuple(p) for p in fast}
    assert 0 < len(fast) < len(before)
    assert [tuple(p) for p in before if tuple(p) in kept] == [tuple(p) for p in fast]


def test_demo_road_from_copies_matches(demo):
    # Arrays that are not the module's own views (float64, Fortran order) are converted into the same cloud.
    import nimbrel_arm_util as nau
    as_f64 = np.asfortranarray(demo["2_processed"].astype(np.float64))
    assert np.array_equal(bits(nau.transform(as_f64, demo["camera_to_robot"])), bits(demo["3_robot_frame"]))


def test_the_readme_python_example_runs_as_written():
    readme = (Path(__file__).resolve().parents[2] / "README.md").read_text()
    chapter = readme[readme.index("\n## Python\n"):]
    chapter = chapter[:chapter.index("\n## ", 1)]
    blocks = re.findall(r"```python\n(.*?)```", chapter, re.S)
    assert len(blocks) == 1
    scope = {}
    exec(compile(blocks[0], "README.md", "exec"), scope)
    # What the example says it shows: the box took points off the wall, and the labels follow the points.
    assert 0 < len(scope["scene"]) < len(scope["robot"])
    assert np.array_equal(scope["robot"][scope["scene_labels"]], scope["scene"])
