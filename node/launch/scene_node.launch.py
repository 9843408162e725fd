"""Starts the scene node with the example parameters and scene file of this package.

    ros2 launch nimbrel_arm_util scene_node.launch.py params_file:=my_params.yaml \
        scene_file:=my_scene.yaml camera:=/camera
"""

import os

from ament_index_python.packages import get_package_share_directory
from launch import LaunchDescription
from launch.actions import DeclareLaunchArgument
from launch.substitutions import LaunchConfiguration
from launch_ros.actions import Node


def generate_launch_description():
    share = get_package_share_directory('nimbrel_arm_util')
    camera = LaunchConfiguration('camera')
    return LaunchDescription([
        DeclareLaunchArgument('params_file',
                              default_value=os.path.join(share, 'config', 'scene_node.params.yaml')),
        DeclareLaunchArgument('scene_file',
                              default_value=os.path.join(share, 'config', 'scene.yaml')),
        DeclareLaunchArgument('camera', default_value='/camera',
                              description='namespace of the depth camera driver'),
        Node(
            package='nimbrel_arm_util',
            executable='scene_node',
            name='scene_node',
            output='screen',
            parameters=[LaunchConfiguration('params_file'),
                        {'scene_file': LaunchConfiguration('scene_file')}],
            remappings=[
                ('depth/image_raw', [camera, '/depth/image_raw']),
                ('depth/camera_info', [camera, '/depth/camera_info']),
            ],
        ),
    ])
