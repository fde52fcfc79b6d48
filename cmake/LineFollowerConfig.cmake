# find_package(LineFollower CONFIG) on an installed copy: the imported target
# LineFollower::Controller, the simulated robot's libController.so with the
# include folder of robot_interface.h. Every path is worked out from where
# this file lies, so an install moved to another prefix still works.
include("${CMAKE_CURRENT_LIST_DIR}/LineFollowerTargets.cmake")
