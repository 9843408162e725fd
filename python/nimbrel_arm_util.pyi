"""Point-cloud utilities of a robot arm's perception on NumPy arrays (type stubs).

Clouds are (N, 3) arrays of x, y, z in metres (float32 or float64, any memory order); results are read-only
float32 (N, 3) views onto the library's own points (16-byte rows); to_float32 and to_float64 copy them into
contiguous arrays for other libraries. Meshes are (vertices (V, 3), faces (F, 3) integer) pairs. Poses are
4x4 arrays whose bottom row is 0 0 0 1. Calls that keep a subset of their points take return_index=True and
then also return the kept input rows (int64, ascending). The library's messages go to the Python logger
named "nimbrel_arm_util".
"""
import os
from typing import Dict, List, Literal, Mapping, Optional, Sequence, Tuple, Union, overload

import numpy as np
import numpy.typing as npt

Points = npt.ArrayLike
Vector3 = Union[Sequence[float], npt.ArrayLike]
Pose = npt.ArrayLike
Mesh = Tuple[npt.ArrayLike, npt.ArrayLike]
MeshesArg = Union["Meshes", Sequence[Mesh]]
Cloud = npt.NDArray[np.float32]
Mask = npt.NDArray[np.bool_]
Index = npt.NDArray[np.int64]
PathLike = Union[str, os.PathLike]

__version__: str

class CameraIntrinsic:
    """Pinhole intrinsics (pixels) and plumb_bob distortion (k1, k2, p1, p2, k3) of a depth camera.

    Every argument is a keyword: no positional order to swap."""
    fx: float
    fy: float
    cx: float
    cy: float
    k1: float
    k2: float
    p1: float
    p2: float
    k3: float
    def __init__(self, *, fx: float, fy: float, cx: float, cy: float, k1: float = 0.0, k2: float = 0.0,
                 p1: float = 0.0, p2: float = 0.0, k3: float = 0.0) -> None: ...

class CameraModel:
    """Pinhole matrix k and distortion (d, distortion_model) of a camera, as in a ROS camera_info message:
    plumb_bob (5 coefficients), rational_polynomial (8, 12 or 14) or equidistant (4)."""
    def __init__(self, *, k: npt.ArrayLike, d: Sequence[float] = (),
                 distortion_model: str = "plumb_bob") -> None: ...
    @property
    def k(self) -> npt.NDArray[np.float64]: ...
    @property
    def d(self) -> npt.NDArray[np.float64]: ...
    @property
    def distortion_model(self) -> str: ...

class Meshes:
    """(vertices, faces) pairs converted once, to pass to the mesh calls frame after frame."""
    def __init__(self, meshes: Sequence[Mesh]) -> None: ...
    def __len__(self) -> int: ...

def depth_to_points(depth: npt.NDArray[np.uint16] | npt.NDArray[np.float32],
                    camera: CameraModel | CameraIntrinsic, units_per_metre: float | None = None,
                    min_depth: float = 0.0, max_depth: float | None = None) -> Cloud:
    """Undistorted, back-projected depth readings: metres, camera optical frame, row-major pixel order.

    units_per_metre defaults to 1000 for uint16 images (millimetres) and 1 for float32 ones (metres). Holes:
    0 and 65535 in uint16 images, 0, NaN, infinities and negative values in float32 ones, and any depth
    outside min_depth..max_depth metres (None: no limit); ValueError for a focal length that is not
    positive or a non-finite camera value."""

@overload
def crop(points: Points, lower: Vector3, upper: Vector3, *, return_index: Literal[False] = False) -> Cloud: ...
@overload
def crop(points: Points, lower: Vector3, upper: Vector3, *, return_index: Literal[True]) -> Tuple[Cloud, Index]:
    """The finite points inside the closed box lower..upper (metres, the points' frame)."""

@overload
def crop_z(points: Points, z_min: float, z_max: float, *, return_index: Literal[False] = False) -> Cloud: ...
@overload
def crop_z(points: Points, z_min: float, z_max: float, *, return_index: Literal[True]) -> Tuple[Cloud, Index]:
    """The points with z_min < z < z_max."""

def clean(points: Points, lower: Vector3 = (-2.0, -2.0, -2.0), upper: Vector3 = (2.0, 2.0, 2.0),
          leaf_size: float = 0.005, mean_k: int = 50, stddev_mul: float = 1.0) -> Cloud:
    """Non-finite points dropped, box crop, voxel grid (leaf_size metres), statistical outlier removal.

    A leaf too small for the extent of the points inside the box (voxel indices beyond 32 bits) warns
    (RuntimeWarning) and they are not down-sampled."""

@overload
def voxel_down_sample(points: Points, leaf_size: float, *, return_inverse: Literal[False] = False) -> Cloud: ...
@overload
def voxel_down_sample(points: Points, leaf_size: float, *,
                      return_inverse: Literal[True]) -> Tuple[Cloud, Index]:
    """One centroid per occupied voxel of edge leaf_size (metres); return_inverse adds each input point's
    result row (-1 for a non-finite point).

    A leaf too small for the points' extent (voxel indices beyond 32 bits) warns (RuntimeWarning) and
    returns the points unchanged."""

@overload
def remove_outliers(points: Points, mean_k: int = 50, stddev_mul: float = 1.0, *,
                    return_index: Literal[False] = False) -> Cloud: ...
@overload
def remove_outliers(points: Points, mean_k: int = 50, stddev_mul: float = 1.0, *,
                    return_index: Literal[True]) -> Tuple[Cloud, Index]:
    """Statistical outlier removal over the mean_k nearest neighbours; non-finite points are dropped."""

def transform(points: Points, pose: Pose) -> Cloud:
    """The points moved by a 4x4 pose (e.g. camera to robot frame), computed in float."""

@overload
def remove_box(points: Points, pose: Pose, size: Vector3, scale: float = 1.0, margin: float = 0.0, *,
               return_index: Literal[False] = False) -> Cloud: ...
@overload
def remove_box(points: Points, pose: Pose, size: Vector3, scale: float = 1.0, margin: float = 0.0, *,
               return_index: Literal[True]) -> Tuple[Cloud, Index]:
    """The points outside the oriented box (pose, full edge lengths in metres) grown by scale and margin."""

@overload
def remove_box_and_tool(points: Points, pose: Pose, size: Vector3, tool_pose: Pose, tool_half_size: Vector3,
                        scale: float = 1.0, margin: float = 0.0, tool_margin: float = 0.0, *,
                        return_index: Literal[False] = False) -> Cloud: ...
@overload
def remove_box_and_tool(points: Points, pose: Pose, size: Vector3, tool_pose: Pose, tool_half_size: Vector3,
                        scale: float = 1.0, margin: float = 0.0, tool_margin: float = 0.0, *,
                        return_index: Literal[True]) -> Tuple[Cloud, Index]:
    """As remove_box, also outside the tool's box (half extents in metres, grown by tool_margin)."""

def inside_box(points: Points, pose: Pose, size: Vector3, scale: float = 1.0, margin: float = 0.0) -> Mask:
    """For each point, whether it lies inside the grown box of remove_box; a non-finite point never does."""

@overload
def remove_meshes(points: Points, meshes: MeshesArg, *, return_index: Literal[False] = False) -> Cloud: ...
@overload
def remove_meshes(points: Points, meshes: MeshesArg, *, return_index: Literal[True]) -> Tuple[Cloud, Index]:
    """The points neither inside nor within 0.05 m of any mesh."""

@overload
def remove_meshes_fast(points: Points, meshes: MeshesArg, *, seed: int | None = None,
                       return_index: Literal[False] = False) -> Cloud: ...
@overload
def remove_meshes_fast(points: Points, meshes: MeshesArg, *, seed: int | None = None,
                       return_index: Literal[True]) -> Tuple[Cloud, Index]:
    """The points farther than 0.08 m from every mesh's randomly sampled surface (the same seed, the same
    samples)."""

def inside_mesh(points: Points, vertices: npt.ArrayLike, faces: npt.ArrayLike) -> Mask:
    """For each point, whether it lies inside the mesh: closed parts by ray-crossing parity, open parts by
    winding number (at least 1/2 in magnitude, either winding)."""

def inside_or_near_meshes(points: Points, meshes: MeshesArg) -> Mask:
    """For each point, whether it is inside a mesh or within 0.05 m of one."""

def near_points(points: Points, surface: Points, threshold: float) -> Mask:
    """For each point, whether the nearest surface point is strictly closer than threshold (metres)."""

def convex_hull(vertices: npt.ArrayLike,
                faces: npt.ArrayLike | None = None) -> Tuple[Cloud, npt.NDArray[np.int32]]:
    """(vertices, faces) of the convex hull, faces counter-clockwise seen from outside; ValueError for
    three finite vertices or fewer, or flat or degenerate ones."""

def sample_surface(vertices: npt.ArrayLike, faces: npt.ArrayLike, *, seed: int | None = None) -> Cloud:
    """The vertices followed by about 40,000 random surface points per square metre (the same seed, the same
    points)."""

def read_pcd(path: PathLike) -> Cloud:
    """x, y, z of a PCD file's points, as float32."""

def write_pcd(points: Points, path: PathLike, format: str = "binary") -> None:
    """Writes a .pcd (or .ply) file atomically: 'binary', 'binary_compressed' or 'ascii'."""

def read_mesh(path: PathLike) -> Tuple[Cloud, npt.NDArray[np.int32]]:
    """(vertices, faces) of a PLY, OBJ or STL triangle mesh."""

def read_camera_info(path: PathLike) -> CameraModel:
    """The camera of a ROS camera_info YAML file (calibration or message layout)."""

def to_float32(points: Points) -> npt.NDArray[np.float32]:
    """A new, writable, C-contiguous float32 (N, 3) copy (for OpenCV)."""

def to_float64(points: Points) -> npt.NDArray[np.float64]:
    """A new, writable, C-contiguous float64 (N, 3) copy (for Open3D's Vector3dVector)."""

class Robot:
    """A robot arm's own body from its URDF: collision shapes grown by `scale` and `padding` (metres),
    except those of `ignored_links`; ValueError with the reason for a file or description it cannot use."""
    name: str
    links: List[str]
    joint_names: List[str]
    def __init__(self, urdf: PathLike, *, padding: float = 0.01, scale: float = 1.0,
                 ignored_links: Sequence[str] = ()) -> None: ...
    @staticmethod
    def from_string(xml: str, base_directory: str = ".", *, padding: float = 0.01, scale: float = 1.0,
                    ignored_links: Sequence[str] = ()) -> "Robot": ...
    def link_poses(self, joints: Mapping[str, float]) -> Dict[str, npt.NDArray[np.float64]]:
        """Every link's 4x4 pose in the root link's frame from joint positions (radians, metres)."""
    def remove(self, points: Points, link_poses: Mapping[str, Pose],
               sensor_origin: Optional[Vector3] = None) -> Cloud:
        """The points outside the padded body, in order; non-finite points are kept."""
    def inside(self, points: Points, link_poses: Mapping[str, Pose],
               sensor_origin: Optional[Vector3] = None) -> Mask:
        """Per point, whether remove() cuts it."""

def last_work_seconds() -> float:
    """Seconds the library itself worked in this thread's last call (the rest is Python overhead)."""
