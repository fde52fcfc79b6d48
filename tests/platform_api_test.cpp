// The simulated robot's nine operations, called directly as a controller
// would, including the calls a controller should not make.
#include <gtest/gtest.h>

#include <cmath>
#include <thread>

#include "robot_interface.h"

namespace {

TEST(SimulatedPlatform, AnswersUnknownDevicesAndEarlyCallsSafely) {
    EXPECT_EQ(wb_robot_step(32), -1);  // before init: nothing to run
    EXPECT_EQ(wb_camera_get_image(1), nullptr);
    wb_robot_init();
    testing::internal::CaptureStderr();
    EXPECT_EQ(wb_robot_get_device("lidar"), 0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "simulated robot: no device named \"lidar\" (it has \"camera\")\n");
    EXPECT_EQ(wb_camera_get_width(0), 0);
    EXPECT_EQ(wb_camera_get_height(0), 0);
    EXPECT_EQ(wb_camera_get_image(0), nullptr);
    wb_camera_enable(0, 32);  // no such camera: nothing happens

    const DeviceTag camera = wb_robot_get_device("camera");
    EXPECT_NE(camera, 0);
    EXPECT_EQ(wb_camera_get_width(camera), 64);
    EXPECT_EQ(wb_camera_get_height(camera), 48);
    EXPECT_EQ(wb_camera_get_image(camera), nullptr);  // not switched on yet
    wb_camera_enable(camera, 32);
    const unsigned char* image = wb_camera_get_image(camera);
    ASSERT_NE(image, nullptr);
    EXPECT_EQ(wb_robot_step(0), 0);
    EXPECT_EQ(wb_robot_step(-5), 0);
    wb_differential_wheels_set_speed(4, 4);
    EXPECT_EQ(wb_robot_step(32), 0);
    EXPECT_EQ(wb_camera_get_image(camera), image);  // one buffer, renewed in place

    testing::internal::CaptureStderr();
    wb_robot_cleanup();
    EXPECT_NE(testing::internal::GetCapturedStderr().find("  simulated time  0.032 s"), std::string::npos);
    wb_robot_cleanup();  // twice: nothing more
    EXPECT_EQ(wb_robot_step(32), -1);
}

// Another thread's calls get nothing and touch nothing; the run ends at the
// owner's next step. (Last in the file: once a second thread has called, the
// process's runs are over.)
TEST(SimulatedPlatform, ServesOnlyTheThreadThatStartedIt) {
    wb_robot_init();
    const DeviceTag camera = wb_robot_get_device("camera");
    wb_camera_enable(camera, 32);
    wb_differential_wheels_set_speed(4, 4);
    ASSERT_EQ(wb_robot_step(32), 0);
    testing::internal::CaptureStderr();
    std::thread([camera] {
        EXPECT_EQ(wb_robot_step(32), -1);
        EXPECT_EQ(wb_camera_get_image(camera), nullptr);
        EXPECT_EQ(wb_camera_get_width(camera), 0);
        EXPECT_EQ(wb_robot_get_device("camera"), 0);
        wb_differential_wheels_set_speed(NAN, NAN);
        wb_robot_init();
        wb_robot_cleanup();
    }).join();
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "simulated robot: wb_robot_step called from a second thread, refused: the robot serves only the thread "
              "that called wb_robot_init, and the run ends\n");
    EXPECT_NE(wb_camera_get_image(camera), nullptr);  // the owner's run is still there, to be closed
    EXPECT_EQ(wb_robot_step(32), -1);
    testing::internal::CaptureStderr();
    wb_robot_cleanup();
    const std::string report = testing::internal::GetCapturedStderr();
    EXPECT_NE(report.find("  simulated time  0.032 s"), std::string::npos) << report;  // the one step before
    EXPECT_NE(report.find("ended           a second thread of the controller called the robot"), std::string::npos);
}

}  // namespace
