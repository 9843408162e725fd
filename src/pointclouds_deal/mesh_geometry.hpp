// Triangle geometry shared by the mesh queries and the mesh removal (not installed).
#pragma once
