// Statistical outlier removal (not installed).
#pragma once
