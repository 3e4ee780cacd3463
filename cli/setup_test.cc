// zelctl setup's pieces that need no server: its options, the device-to-port mapping on a real
// directory of links, and where a failed start stopped. The whole command runs against the
// daemon and the simulator in tests/e2e/setup_e2e_test.py.
#include "cli/setup.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>

#include "testing/temp_dir.h"

namespace zel::cli {
namespace {

TEST(SetupArgsTest, AcceptsBothKindsWithTheirDefaults) {
  SetupRequest r;
  std::string error;
  ASSERT_TRUE(ParseSetupArgs({"serial", "--device", "/dev/ttyS1", "--code", "1234"}, &r, &error))
      << error;
  EXPECT_EQ("serial", r.kind);
  EXPECT_EQ("/dev/ttyS1", r.device);
  EXPECT_EQ(9600, r.baud);
  EXPECT_EQ("1234", r.code);

  SetupRequest n;
  ASSERT_TRUE(ParseSetupArgs({"network", "--address=panel.lan", "--port", "5000", "--key",
                              "00-01-02-03-04-05-06-07-08-09-0A-0B-0C-0D-0E-0F", "--code=0042"},
                             &n, &error))
      << error;
  EXPECT_EQ("panel.lan", n.address);
  EXPECT_EQ(5000, n.port);
  EXPECT_EQ("0042", n.code) << "a code keeps its leading zero";

  SetupRequest d;
  ASSERT_TRUE(ParseSetupArgs({"network", "--address", "10.0.0.2", "--code", "1234"}, &d, &error));
  EXPECT_EQ(4369, d.port);
  EXPECT_EQ("", d.key) << "no --key keeps the transport's key";
}

TEST(SetupArgsTest, RefusesWhatCannotBeRight) {
  const struct {
    std::vector<std::string> args;
    const char* says;
  } cases[] = {
      {{}, "serial or network"},
      {{"modem", "--code", "1234"}, "serial or network"},
      {{"serial", "--code", "1234"}, "--device"},
      {{"network", "--code", "1234"}, "--address"},
      {{"serial", "--device", "/dev/ttyS1"}, "four-digit"},
      {{"serial", "--device", "/dev/ttyS1", "--code", "123"}, "four-digit"},
      {{"serial", "--device", "/dev/ttyS1", "--code", "12a4"}, "four-digit"},
      {{"serial", "--device", "/dev/ttyS1", "--code", "12345"}, "four-digit"},
      {{"serial", "--device", "/dev/ttyS1", "--code", "1234", "--baud", "fast"}, "--baud"},
      {{"serial", "--device", "/dev/ttyS1", "--code", "1234", "--baud", "0"}, "--baud"},
      {{"serial", "--device", "/dev/ttyS1", "--code", "1234", "--key", "x"},
       "unknown option --key"},
      {{"network", "--address", "h", "--code", "1234", "--device", "x"}, "unknown option"},
      {{"network", "--address", "h", "--code", "1234", "--port", "65536"}, "--port"},
      {{"network", "--address", "h", "--code", "1234", "--port"}, "needs a value"},
      {{"serial", "/dev/ttyS1"}, "options only"},
      {{"network", "--address", "h", "--code", "1234", "--key", "01-02"}, "sixteen hex pairs"},
      {{"network", "--address", "h", "--code", "1234", "--key",
        "00-01-02-03-04-05-06-07-08-09-0A-0B-0C-0D-0E-0G"},
       "sixteen hex pairs"},
      {{"network", "--address", "h", "--code", "1234", "--key",
        "00:01:02:03:04:05:06:07:08:09:0A:0B:0C:0D:0E:0F"},
       "sixteen hex pairs"},
  };
  for (const auto& c : cases) {
    SetupRequest r;
    std::string error;
    std::string joined;
    for (const auto& a : c.args) joined += a + " ";
    EXPECT_FALSE(ParseSetupArgs(c.args, &r, &error)) << joined;
    EXPECT_NE(std::string::npos, error.find(c.says)) << joined << ": " << error;
  }
}

class SerialDeviceTest : public ::testing::Test {
 protected:
  // A device node stand-in and links beside it, as udev would make them.
  std::string Touch(const std::string& name) {
    std::string path = dir_.File(name);
    std::ofstream(path).put('\n');
    return path;
  }
  std::string Link(const std::string& target, const std::string& name) {
    std::string path = dir_.File(name);
    EXPECT_EQ(0, symlink(target.c_str(), path.c_str()));
    return path;
  }
  std::string prefix() const { return dir_.File("ttyS"); }

  TempDir dir_{"serial-map"};
};

TEST_F(SerialDeviceTest, PathsTheServerOpensMapToTheirNumber) {
  long port = -1;
  std::string hint;
  // The prefix and a number is taken as it is: the device may be unplugged just now.
  EXPECT_TRUE(MapSerialDevice(prefix(), prefix() + "3", &port, &hint));
  EXPECT_EQ(3, port);
  EXPECT_TRUE(MapSerialDevice(prefix(), prefix() + "0", &port, &hint));
  EXPECT_EQ(0, port);
  // A by-id style link to a prefixed device resolves to it.
  std::string real = Touch("ttyS5");
  std::string by_id = Link(real, "usb-Maker_Adapter-if00");
  EXPECT_TRUE(MapSerialDevice(prefix(), by_id, &port, &hint)) << hint;
  EXPECT_EQ(5, port);
}

TEST_F(SerialDeviceTest, AnotherDeviceIsFoundThroughAPrefixedLinkToIt) {
  std::string usb = Touch("ttyUSB0");
  Link(usb, "ttyS9");
  Link(usb, "ttyS4");
  Link(Touch("ttyUSB1"), "ttyS2");  // a link to another device does not count
  long port = -1;
  std::string hint;
  ASSERT_TRUE(MapSerialDevice(prefix(), usb, &port, &hint)) << hint;
  EXPECT_EQ(4, port) << "the smallest number linked to the device";
}

TEST_F(SerialDeviceTest, UnusableDevicesSayWhatToChange) {
  long port = 77;
  std::string hint;
  std::string usb = Touch("ttyUSB0");
  EXPECT_FALSE(MapSerialDevice(prefix(), usb, &port, &hint));
  EXPECT_EQ(77, port) << "untouched on failure";
  EXPECT_NE(std::string::npos, hint.find("\"185 = " + dir_.File("ttyUSB") + "\"")) << hint;
  EXPECT_NE(std::string::npos, hint.find("ln -s " + usb + " " + prefix() + "9")) << hint;

  EXPECT_FALSE(MapSerialDevice(prefix(), dir_.File("ttyACM0"), &port, &hint));
  EXPECT_NE(std::string::npos, hint.find("does not exist")) << hint;

  EXPECT_FALSE(MapSerialDevice(prefix(), prefix() + "300", &port, &hint));
  EXPECT_NE(std::string::npos, hint.find("above 255")) << hint;
  // The prefix followed by something other than digits is no port of it.
  EXPECT_FALSE(MapSerialDevice(prefix(), prefix() + "1a", &port, &hint));
}

TEST(StartFailureTest, EachFailureOfTheLinkAndLoginHasItsStepAndHint) {
  SetupRequest serial;
  serial.kind = "serial";
  serial.device = "/dev/ttyS1";
  serial.baud = 19200;
  SetupRequest network;
  network.kind = "network";
  network.address = "10.1.2.3";
  network.port = 4369;
  const struct {
    HRESULT hr;
    const SetupRequest* request;
    SetupStep step;
    const char* hint;
  } cases[] = {
      {E_COMM_PORT_NOT_FOUND, &serial, SetupStep::kLinkOpened, "device missing"},
      {E_COMM_PORT_ACCESS_DENIED, &serial, SetupStep::kLinkOpened, "device busy"},
      {E_COMM_BAD_BAUD_RATE, &serial, SetupStep::kLinkOpened, "19200 baud"},
      {E_COMM_TIMEOUT, &serial, SetupStep::kControllerAnswered, "no answer at 19200 baud"},
      {E_COMM_SHORT_READ, &serial, SetupStep::kControllerAnswered, "no answer at 19200 baud"},
      {E_SRV_LOGIN_FAILED, &serial, SetupStep::kLoginAccepted, "code refused"},
      {E_SRV_UNKNOWN_MODEL, &serial, SetupStep::kModelAndFirmware, "model"},
      {E_FAIL, &network, SetupStep::kLinkOpened, "could not be resolved"},
      {E_COMM_SESSION_FAILED, &network, SetupStep::kControllerAnswered, "key"},
      {E_COMM_KEY_SETUP_FAILED, &network, SetupStep::kControllerAnswered, "10.1.2.3 UDP port 4369"},
      {E_COMM_TIMEOUT, &network, SetupStep::kControllerAnswered, "no answer from 10.1.2.3"},
      {E_SRV_LOGIN_FAILED, &network, SetupStep::kLoginAccepted, "code refused"},
  };
  for (const auto& c : cases) {
    SetupStep step = SetupStep::kNames;
    std::string hint;
    ASSERT_TRUE(PlaceStartFailure(c.hr, *c.request, &step, &hint)) << std::hex << c.hr;
    EXPECT_EQ(c.step, step) << std::hex << c.hr << " " << c.request->kind;
    EXPECT_NE(std::string::npos, hint.find(c.hint)) << hint;
  }
  // Failures the code does not place are found from the server's download states.
  SetupStep step = SetupStep::kNames;
  std::string hint;
  EXPECT_FALSE(PlaceStartFailure(E_FAIL, serial, &step, &hint)) << "E_FAIL is no serial open error";
  EXPECT_FALSE(PlaceStartFailure(E_ABORT, network, &step, &hint));
  EXPECT_FALSE(PlaceStartFailure(STG_E_MEDIUMFULL, serial, &step, &hint));
}

TEST(StartFailureTest, StepNamesAreThoseTheReportPrints) {
  const char* const names[kSetupStepCount] = {"link opened",    "controller answered",
                                              "login accepted", "model and firmware",
                                              "setup",          "names"};
  for (int i = 0; i < kSetupStepCount; ++i) {
    EXPECT_STREQ(names[i], SetupStepName(static_cast<SetupStep>(i)));
  }
}

}  // namespace
}  // namespace zel::cli
