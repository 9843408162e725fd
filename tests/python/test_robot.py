"""The robot's own body: a two-link arm read from URDF text, posed by its joints, cut from clouds."""
import math

import numpy as np
import pytest

import nimbrel_arm_util as nau

# A box on a turntable: the box link sits 0.5 m out along the arm's x axis, 0.2 x 0.2 x 0.2 m.
ARM = """<robot name="turntable">
  <link name="base_link"/>
  <link name="arm"><collision><origin xyz="0.5 0 0"/><geometry><box size="0.2 0.2 0.2"/></geometry></collision></link>
  <joint name="turn" type="revolute"><parent link="base_link"/><child link="arm"/><axis xyz="0 0 1"/>
    <limit lower="-3" upper="3" effort="1" velocity="1"/></joint>
</robot>"""


def test_turned_arm_cuts_where_its_joint_puts_it():
    robot = nau.Robot.from_string(ARM, padding=0.02)
    assert robot.links == ["arm"] and robot.joint_names == ["turn"]
    poses = robot.link_poses({"turn": math.pi / 2})
    assert poses["arm"].shape == (4, 4)
    points = np.array([[0.0, 0.5, 0.0], [0.0, 0.5, 0.115], [0.0, 0.5, 0.13], [0.5, 0.0, 0.0],
                       [np.nan, np.nan, np.nan]])
    assert robot.inside(points, poses).tolist() == [True, True, False, False, False]
    kept = robot.remove(points, poses)
    assert kept.dtype == np.float32 and kept.shape == (3, 3)
    assert np.array_equal(kept, points[2:].astype(np.float32), equal_nan=True)
    # Unturned, the box is where the last point is.
    assert robot.inside(points, robot.link_poses({"turn": 0.0})).tolist() == [False] * 3 + [True, False]


def test_refusals_name_their_argument():
    robot = nau.Robot.from_string(ARM)
    with pytest.raises(ValueError, match="turn"):
        robot.link_poses({})
    with pytest.raises(ValueError, match="^link_poses: no pose for link 'arm'"):
        robot.remove(np.zeros((1, 3)), {})
    with pytest.raises(ValueError, match="^padding"):
        nau.Robot.from_string(ARM, padding=-1.0)
    with pytest.raises(ValueError):
        nau.Robot.from_string("<robot name='broken'><link name='a'/><joint/></robot>")
    with pytest.raises(ValueError):
        nau.Robot.from_string(ARM, ignored_links=["no_such_link"])
