#include "platform/process_info.h"

#include <gtest/gtest.h>
#include <sys/utsname.h>

namespace dz::platform {
namespace {

TEST(ProcessInfoTest, DebuggerIsAttachedOnlyForANonZeroTracerPid) {
  EXPECT_FALSE(statusTextShowsTracer("Name:\tx\nTracerPid:\t0\nUid:\t0\n"));
  EXPECT_TRUE(statusTextShowsTracer("Name:\tx\nTracerPid:\t4711\nUid:\t0\n"));
  EXPECT_TRUE(statusTextShowsTracer("TracerPid: 12"));  // last line without a newline
  EXPECT_FALSE(statusTextShowsTracer("Name:\tx\n"));
  EXPECT_FALSE(statusTextShowsTracer("TracerPid:\tgarbage\n"));
  EXPECT_FALSE(statusTextShowsTracer(""));
  EXPECT_FALSE(statusTextShowsTracer("NotTracerPid:\t5\n"));
}

TEST(ProcessInfoTest, ArgumentsAreWhatTheProgramHandedOver) {
  ProcessInfo& info = ProcessInfo::processInfo();
  const auto previous = info.arguments();
  const char* argv[] = {"polls", "--reset", nullptr};
  info.setArguments(2, argv);
  EXPECT_EQ(info.arguments(), (std::vector<std::string>{"polls", "--reset"}));
  info.setArguments(previous);
}

TEST(ProcessInfoTest, SystemFactsComeFromUname) {
  struct utsname name;
  ASSERT_EQ(::uname(&name), 0);
  ProcessInfo& info = ProcessInfo::processInfo();
  EXPECT_EQ(info.machineModel(), name.machine);
  EXPECT_EQ(
      info.operatingSystemVersionString().rfind(std::string(name.sysname) + " " + name.release, 0),
      0u);
}

}  // namespace
}  // namespace dz::platform
