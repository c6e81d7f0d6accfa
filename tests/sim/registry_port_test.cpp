// The registry's documented size semantics, and the filter manager's communication port.
#include "tests/sim/sim_test_util.h"

namespace {

using namespace simtest;

const char16_t* const Advanced = u"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Advanced";

class Registry : public SimTest {};

TEST_F(Registry, MissingKeysAndValuesAreNotFound) {
  os::Key key = 0x55;
  EXPECT_EQ(os::RegOpenKeyW(os::HkeyCurrentUser, Advanced, &key), 2);
  EXPECT_EQ(key, 0x55u);
  sim::CreateRegKey(os::HkeyCurrentUser, Advanced);
  ASSERT_EQ(os::RegOpenKeyW(os::HkeyCurrentUser, u"SOFTWARE\\microsoft\\Windows\\CurrentVersion\\Explorer\\Advanced",
                            &key),
            0);
  std::uint32_t value = 0, size = 4, type = 0;
  EXPECT_EQ(os::RegQueryValueExW(key, u"ShowCompColor", &type, &value, &size), 2);
  EXPECT_EQ(os::RegCloseKey(key), 0);
  EXPECT_EQ(os::RegCloseKey(key), static_cast<std::int32_t>(os::ErrorInvalidHandle));
  EXPECT_EQ(os::RegOpenKeyW(os::HkeyLocalMachine, Advanced, &key), 2) << "the hives are separate";
}

TEST_F(Registry, CreateMakesThePathAndValuesKeepTheirType) {
  os::Key key = 0;
  ASSERT_EQ(os::RegCreateKeyW(os::HkeyCurrentUser, Advanced, &key), 0);
  EXPECT_TRUE(sim::RegKeyExists(os::HkeyCurrentUser, u"Software\\Microsoft\\Windows"));
  const std::uint32_t zero = 0;
  ASSERT_EQ(os::RegSetValueExW(key, u"ShowCompColor", os::RegDword, &zero, 4), 0);
  const char16_t text[] = u"abc";
  ASSERT_EQ(os::RegSetValueExW(key, u"Name", os::RegSz, text, sizeof(text)), 0);
  EXPECT_EQ(os::RegCloseKey(key), 0);
  EXPECT_EQ(sim::GetRegDword(os::HkeyCurrentUser, Advanced, u"showcompcolor"), 0u);
  EXPECT_EQ(sim::GetRegValue(os::HkeyCurrentUser, Advanced, u"Name")->data.size(), 8u);
  EXPECT_EQ(sim::OpenKeyCount(), 0u);

  // Opening an existing key again through RegCreateKeyW keeps its values.
  ASSERT_EQ(os::RegCreateKeyW(os::HkeyCurrentUser, Advanced, &key), 0);
  std::uint32_t type = 0, size = 0;
  // No buffer: the size needed.
  ASSERT_EQ(os::RegQueryValueExW(key, u"Name", &type, nullptr, &size), 0);
  EXPECT_EQ(type, os::RegSz);
  EXPECT_EQ(size, 8u);
  // Buffer too small: ERROR_MORE_DATA and the size needed.
  char16_t small[2];
  size = sizeof(small);
  EXPECT_EQ(os::RegQueryValueExW(key, u"Name", &type, small, &size), static_cast<std::int32_t>(os::ErrorMoreData));
  EXPECT_EQ(size, 8u);
  char16_t enough[8] = {};
  size = sizeof(enough);
  ASSERT_EQ(os::RegQueryValueExW(key, u"Name", &type, enough, &size), 0);
  EXPECT_EQ(size, 8u);
  EXPECT_EQ(std::u16string(enough), u"abc");
  os::RegCloseKey(key);
}

TEST_F(Registry, DeletedKeyFailsThroughOpenHandles) {
  os::Key key = 0;
  ASSERT_EQ(os::RegCreateKeyW(os::HkeyLocalMachine, u"Software\\Ombrix\\Sub", &key), 0);
  sim::DeleteRegKey(os::HkeyLocalMachine, u"Software\\Ombrix");
  EXPECT_FALSE(sim::RegKeyExists(os::HkeyLocalMachine, u"Software\\Ombrix\\Sub"));
  const std::uint32_t one = 1;
  EXPECT_EQ(os::RegSetValueExW(key, u"v", os::RegDword, &one, 4), 1018);
  os::RegCloseKey(key);
}

class FilterPort : public SimTest {};

TEST_F(FilterPort, AbsentPortFailsAndWritesAnInvalidHandle) {
  os::Handle port = 0x1234;
  EXPECT_EQ(static_cast<std::uint32_t>(os::FilterConnectCommunicationPort(u"\\OmbrixPort", 0, nullptr, 0, &port)),
            0x80070002u);
  EXPECT_EQ(port, os::InvalidHandleValue);
  EXPECT_EQ(sim::OpenHandleCount(), 0u);
}

TEST_F(FilterPort, OneConnectionWhoseMessagesAndDisconnectAreRecorded) {
  sim::CreateFilterPort();
  os::Handle port = os::NullHandle;
  ASSERT_EQ(os::FilterConnectCommunicationPort(u"\\OmbrixPort", 0, nullptr, 0, &port), 0);
  os::Handle second = os::NullHandle;
  EXPECT_LT(os::FilterConnectCommunicationPort(u"\\OmbrixPort", 0, nullptr, 0, &second), 0);
  EXPECT_EQ(second, os::InvalidHandleValue);
  EXPECT_EQ(sim::PortConnectionCount(), 1u);

  std::uint8_t message[128] = {2, 0, 0, 0, 2, 0, 0, 0, 5};
  std::uint32_t returned = 99;
  ASSERT_EQ(os::FilterSendMessage(port, message, 128, nullptr, 0, &returned), 0);
  EXPECT_EQ(returned, 0u);
  ASSERT_TRUE(os::CloseHandle(port));
  EXPECT_EQ(sim::PortConnectionCount(), 0u);
  EXPECT_LT(os::FilterSendMessage(port, message, 128, nullptr, 0, &returned), 0) << "closed";

  auto events = sim::PortEvents();
  ASSERT_EQ(events.size(), 3u);
  EXPECT_EQ(events[0].kind, sim::PortEvent::Kind::Connect);
  EXPECT_EQ(events[1].kind, sim::PortEvent::Kind::Message);
  EXPECT_EQ(events[1].bytes, std::vector<std::uint8_t>(message, message + 128));
  EXPECT_EQ(events[2].kind, sim::PortEvent::Kind::Disconnect);
  EXPECT_EQ(sim::PortMessages().size(), 1u);

  // After the disconnect the port takes a new client.
  ASSERT_EQ(os::FilterConnectCommunicationPort(u"\\OmbrixPort", 0, nullptr, 0, &port), 0);
  sim::RemoveFilterPort();
  EXPECT_LT(os::FilterSendMessage(port, message, 128, nullptr, 0, &returned), 0) << "the filter went away";
  os::CloseHandle(port);
}

}  // namespace
