// The exported functions from the caller's call to the bytes the server receives, and their
// results.
#include <gtest/gtest.h>

#include <string>

#include "include/Wirebridge.h"
#include "tests/support/ConnectedClient.h"
#include "tests/support/LocalSimulatorSetup.h"
#include "tests/support/MessageWindow.h"

using namespace std::chrono_literals;

namespace {

uint32_t u32(const std::vector<uint8_t>& bytes, size_t offset) {
  uint32_t value;
  std::memcpy(&value, bytes.data() + offset, 4);
  return value;
}

class Exports : public testing::Test {
protected:
  void SetUp() override {
    simserver::Options options;
    options.serveIPv4 = options.serveIPv6 = false;
    server = std::make_unique<simserver::Server>(options);
    server->start();
    event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    ASSERT_EQ(SimConnect_Open(&handle, "exports", window.get(), WM_APP + 1, event, 0), S_OK);
    ASSERT_TRUE(server->waitForConnections(1, 10s));
    id = server->connections()[0];
  }
  void TearDown() override { CloseHandle(event); }

  // The next message the server received, after `count` before it.
  std::vector<uint8_t> received(size_t index) {
    EXPECT_TRUE(server->waitForMessages(id, index + 1, 10s));
    return server->messages(id)[index].bytes;
  }

  LocalSimulatorSetup setup;
  MessageWindow window;
  HANDLE event = nullptr;
  std::unique_ptr<simserver::Server> server;
  HANDLE handle = nullptr;
  simserver::ConnectionId id = 0;
};

TEST_F(Exports, EveryRequestReachesTheServerAsBuilt) {
  ASSERT_EQ(SimConnect_MapClientEventToSimEvent(handle, 7, "AP_MASTER"), S_OK);
  ASSERT_EQ(SimConnect_TransmitClientEvent(handle, 0, 7, 0xABCD, 3, 0x10), S_OK);
  ASSERT_EQ(SimConnect_AddToDataDefinition(handle, 2, "PLANE ALTITUDE", "feet", 4, 0.5f, 9), S_OK);
  ASSERT_EQ(SimConnect_RequestDataOnSimObject(handle, 11, 2, 0, 3, 1, 0, 2, 5), S_OK);
  const uint8_t payload[6] = {1, 2, 3, 4, 5, 6};
  ASSERT_EQ(SimConnect_SetDataOnSimObject(handle, 2, 0, 0, 3, 2, const_cast<uint8_t*>(payload)),
            S_OK);
  ASSERT_EQ(SimConnect_RequestSystemState(handle, 12, "Sim"), S_OK);

  const auto map = received(1);
  ASSERT_EQ(map.size(), 276u);
  EXPECT_EQ(u32(map, 8), 0xF0000004u);
  EXPECT_EQ(u32(map, 12), 2u);
  EXPECT_EQ(u32(map, 16), 7u);
  EXPECT_STREQ(reinterpret_cast<const char*>(map.data() + 20), "AP_MASTER");
  const auto transmit = received(2);
  ASSERT_EQ(transmit.size(), 36u);
  EXPECT_EQ(u32(transmit, 24), 0xABCDu);
  EXPECT_EQ(u32(transmit, 32), 0x10u);
  const auto add = received(3);
  ASSERT_EQ(add.size(), 544u);
  EXPECT_STREQ(reinterpret_cast<const char*>(add.data() + 276), "feet");
  EXPECT_EQ(u32(add, 536), 0x3F000000u);
  const auto request = received(4);
  ASSERT_EQ(request.size(), 48u);
  EXPECT_EQ(u32(request, 44), 5u);
  const auto set = received(5);
  ASSERT_EQ(set.size(), 42u);
  EXPECT_EQ(u32(set, 28), 3u);
  EXPECT_EQ(u32(set, 32), 2u);
  EXPECT_EQ(std::memcmp(set.data() + 36, payload, 6), 0);
  const auto state = received(6);
  ASSERT_EQ(state.size(), 276u);
  EXPECT_EQ(u32(state, 12), 7u); // the seventh message of this client
  EXPECT_TRUE(server->violations().empty());
}

TEST_F(Exports, NullHandleFailsEveryRequest) {
  uint8_t data[4] = {};
  EXPECT_EQ(SimConnect_MapClientEventToSimEvent(nullptr, 1, "A"), E_FAIL);
  EXPECT_EQ(SimConnect_TransmitClientEvent(nullptr, 0, 1, 2, 3, 4), E_FAIL);
  EXPECT_EQ(SimConnect_AddToDataDefinition(nullptr, 1, "A", "B", 4, 0, 0), E_FAIL);
  EXPECT_EQ(SimConnect_RequestDataOnSimObject(nullptr, 1, 2, 3, 4, 5, 6, 7, 8), E_FAIL);
  EXPECT_EQ(SimConnect_SetDataOnSimObject(nullptr, 1, 2, 3, 1, 4, data), E_FAIL);
  EXPECT_EQ(SimConnect_RequestSystemState(nullptr, 1, "Sim"), E_FAIL);
  EXPECT_EQ(SimConnect_CallDispatch(nullptr, Collected::collect, nullptr), E_FAIL);
}

TEST_F(Exports, OverlongNameSendsNothingAndUsesUpItsNumber) {
  const std::string fits(255, 'x');
  const std::string tooLong(256, 'x');
  EXPECT_EQ(uint32_t(SimConnect_RequestSystemState(handle, 1, tooLong.c_str())), 0x8007007Au);
  EXPECT_EQ(uint32_t(SimConnect_AddToDataDefinition(handle, 1, tooLong.c_str(), "feet", 4, 0, 0)),
            0x8007007Au);
  EXPECT_EQ(uint32_t(SimConnect_AddToDataDefinition(handle, 1, "ok", tooLong.c_str(), 4, 0, 0)),
            0x8007007Au);
  ASSERT_EQ(SimConnect_MapClientEventToSimEvent(handle, 1, fits.c_str()), S_OK);
  const auto map = received(1);
  EXPECT_EQ(u32(map, 12), 5u); // 2, 3 and 4 were given to the refused messages
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(map.data() + 20)), fits);
  EXPECT_EQ(server->messages(id).size(), 2u);
}

TEST_F(Exports, SetDataRefusesWhatItCannotSend) {
  EXPECT_EQ(SimConnect_SetDataOnSimObject(handle, 1, 0, 0, 1, 8, nullptr), E_INVALIDARG);
  uint8_t one = 0;
  EXPECT_EQ(SimConnect_SetDataOnSimObject(handle, 1, 0, 0, 0x10000, 0x10000, &one), E_FAIL);
  std::vector<uint8_t> large(41053);
  EXPECT_EQ(SimConnect_SetDataOnSimObject(handle, 1, 0, 0, 1, 41053, large.data()), E_FAIL);
  EXPECT_EQ(SimConnect_SetDataOnSimObject(handle, 1, 0, 0, 1, 41052, large.data()), S_OK);
  EXPECT_EQ(SimConnect_SetDataOnSimObject(handle, 1, 0, 0, 5, 0, nullptr), S_OK);
  EXPECT_EQ(received(1).size(), 41088u);
  EXPECT_EQ(received(2).size(), 36u);
}

TEST_F(Exports, EachRecordWakesTheCallerOnce) {
  ASSERT_EQ(SimConnect_TransmitClientEvent(handle, 0, 1, 2, 3, 4), S_OK);
  ASSERT_EQ(SimConnect_TransmitClientEvent(handle, 0, 1, 2, 3, 4), S_OK);
  auto* client = static_cast<SimClient*>(handle);
  // The open reply and one event record per request; each is posted right after it is queued.
  int wakeUps = 0;
  ASSERT_TRUE(waitUntil([&] {
    wakeUps += window.drain(WM_APP + 1);
    return wakeUps >= 3;
  }));
  Sleep(200);
  wakeUps += window.drain(WM_APP + 1);
  EXPECT_EQ(wakeUps, 3);
  EXPECT_EQ(client->receiveQueue.count(), 3);
  Collected collected;
  EXPECT_EQ(collected.dispatch(client), S_OK);
  ASSERT_EQ(collected.records.size(), 3u);
  EXPECT_EQ(collected.records[0].size(), 308u);
  EXPECT_EQ(window.drain(WM_APP + 1), 0);
}

TEST_F(Exports, AfterTheServerGoesEveryCallReportsTheLoss) {
  ASSERT_TRUE(received(0).size() == 296u);
  ASSERT_TRUE(server->closeConnection(id, simserver::CloseMode::BreakPipe));
  ASSERT_EQ(WaitForSingleObject(event, 10000), WAIT_OBJECT_0);
  auto* client = static_cast<SimClient*>(handle);
  ASSERT_TRUE(waitUntil([&] { return client->IsLost(); }));
  const HRESULT lost = HRESULT(client->lastCode);
  EXPECT_LT(lost, 0);
  EXPECT_EQ(SimConnect_TransmitClientEvent(handle, 0, 1, 2, 3, 4), lost);
  EXPECT_EQ(SimConnect_RequestSystemState(handle, 1, "Sim"), lost);
  Collected collected;
  EXPECT_EQ(collected.dispatch(client), lost);
  EXPECT_EQ(collected.dispatch(client), lost);
}

TEST(ExportsArguments, OpenChecksItsPointersBeforeConnecting) {
  LocalSimulatorSetup setup;
  HANDLE handle = reinterpret_cast<HANDLE>(1);
  EXPECT_EQ(SimConnect_Open(nullptr, "name", nullptr, 0, nullptr, 0), E_INVALIDARG);
  EXPECT_EQ(SimConnect_Open(&handle, nullptr, nullptr, 0, nullptr, 0), E_INVALIDARG);
  EXPECT_EQ(handle, reinterpret_cast<HANDLE>(1)); // untouched: nothing was tried
  EXPECT_EQ(liveClientCount, 0);
  const std::string tooLong(256, 'n');
  simserver::Options options;
  options.serveIPv4 = options.serveIPv6 = false;
  simserver::Server server(options);
  server.start();
  EXPECT_EQ(uint32_t(SimConnect_Open(&handle, tooLong.c_str(), nullptr, 0, nullptr, 0)),
            0x8007007Au);
  EXPECT_EQ(handle, nullptr);
  EXPECT_EQ(liveClientCount, 0); // the connected attempt was closed again
}

} // namespace
