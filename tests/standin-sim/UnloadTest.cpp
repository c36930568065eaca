// The real Wirebridge.dll freed by its host while a client lives: once a client has connected,
// the library stays loaded, so completions of the pending read, the pump-all call and the host
// entry points keep working after FreeLibrary. A library that never had a client unloads.
#include <gtest/gtest.h>

#include <windows.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <string>

#include "TestPrograms.h"
#include "tests/support/LocalSimulatorSetup.h"
#include "tests/support/Waiting.h"
#include "tools/simserver/Records.h"
#include "tools/simserver/Server.h"
#include "tools/standin-sim/HostSide.h"
#include "tools/standin-sim/SimulatorWindow.h"
#include "tools/standin-sim/Transcript.h"

using namespace std::chrono_literals;

namespace {

using DispatchFn = void(CALLBACK*)(void* record, DWORD length, void* context);
using OpenFn = HRESULT(WINAPI*)(HANDLE*, LPCSTR, HWND, DWORD, HANDLE, DWORD);
using CallDispatchFn = HRESULT(WINAPI*)(HANDLE, DispatchFn, void*);
using TransmitFn = HRESULT(WINAPI*)(HANDLE, DWORD, DWORD, DWORD, DWORD, DWORD);

constexpr uint32_t kOpenReplyId = 2;
constexpr uint32_t kEventId = 0x1002;
constexpr uint32_t kPatternId = 0x1006;

const std::wstring& libraryPath() {
  static const std::wstring path = testfiles::windowsPath(WIREBRIDGE_DLL);
  return path;
}

// Records counted by id, as the caller's dispatch procedure sees them.
struct Received {
  std::atomic<int> openReplies{0};
  std::atomic<int> events{0};
  std::atomic<int> patterns{0};
  static void CALLBACK collect(void* record, DWORD length, void* context) {
    auto* self = static_cast<Received*>(context);
    uint32_t id = 0;
    if (length >= 12) std::memcpy(&id, static_cast<uint8_t*>(record) + 8, 4);
    if (id == kOpenReplyId) ++self->openReplies;
    if (id == kEventId) ++self->events;
    if (id == kPatternId) ++self->patterns;
  }
};

// An export by name; void (*)() is the type any function pointer converts through.
template <typename Function> Function exported(HMODULE module, const char* name) {
  return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
}

// The library's exports, taken while it is loaded and kept after FreeLibrary.
struct Exports {
  Exports() = default;
  explicit Exports(HMODULE module)
      : open(exported<OpenFn>(module, "SimConnect_Open")),
        callDispatch(exported<CallDispatchFn>(module, "SimConnect_CallDispatch")),
        transmit(exported<TransmitFn>(module, "SimConnect_TransmitClientEvent")) {}
  bool complete() const { return open && callDispatch && transmit; }
  OpenFn open = nullptr;
  CallDispatchFn callDispatch = nullptr;
  TransmitFn transmit = nullptr;
};

bool libraryMapped() {
  return GetModuleHandleW(libraryPath().c_str()) != nullptr;
}

TEST(Unload, ALibraryThatNeverHadAClientUnloads) {
  ASSERT_FALSE(libraryMapped());
  HMODULE module = LoadLibraryW(libraryPath().c_str());
  ASSERT_NE(module, nullptr) << GetLastError();
  Exports exports(module);
  ASSERT_TRUE(exports.complete());
  LocalSimulatorSetup setup;
  HANDLE handle = nullptr;
  // A failed open leaves no client behind.
  EXPECT_EQ(exports.open(&handle, "never", nullptr, 0, nullptr, 77), E_INVALIDARG);
  EXPECT_TRUE(FreeLibrary(module));
  EXPECT_FALSE(libraryMapped());
}

// Clients live as long as the process and the library stays loaded once one has connected, so
// when the cases share one process their order matters: the library is first loaded without a
// client, and the host case's client is the process's first (only the first client registers the
// pump-all call).
//
// A stand-in server on one private endpoint, the SimConnect.cfg section 6 that reaches it, and
// the library loaded with its exports.
class UnloadWithClient : public testing::Test {
protected:
  void serveAndLoad(bool tcp) {
    const std::string pipeName = "wirebridge-unload-" + std::to_string(GetCurrentProcessId());
    simserver::Options options;
    options.pipePath = L"\\\\.\\pipe\\" + std::wstring(pipeName.begin(), pipeName.end());
    options.servePipe = !tcp;
    options.serveIPv4 = tcp;
    options.serveIPv6 = false;
    options.publishPorts = false;
    server = std::make_unique<simserver::Server>(options);
    server->start();
    setup.writeConfig(tcp ? "[SimConnect.6]\nProtocol=IPv4\nAddress=127.0.0.1\nPort=" +
                                std::to_string(server->ipv4Port()) + "\n"
                          : "[SimConnect.6]\nProtocol=Pipe\nAddress=.\nPort=" + pipeName + "\n");
    module = LoadLibraryW(libraryPath().c_str());
    ASSERT_NE(module, nullptr) << GetLastError();
    exports = Exports(module);
    ASSERT_TRUE(exports.complete());
  }

  LocalSimulatorSetup setup;
  std::unique_ptr<simserver::Server> server;
  HMODULE module = nullptr;
  Exports exports;
  HANDLE handle = nullptr;
  Received received;
};

TEST_F(UnloadWithClient, TheHostKeepsPumpingAndDeliveringAfterFreeLibrary) {
  serveAndLoad(false);
  // The simulator's side in this process: the main window with the host protocol.
  standin::Transcript transcript(false, L"");
  standin::HostSide host(transcript);
  standin::SimulatorWindow window(host);

  ASSERT_EQ(exports.open(&handle, "unload in process", nullptr, 0, nullptr, 6), S_OK);
  // From now on the simulator's pump-all call dispatches this client.
  ASSERT_EQ(exports.callDispatch(handle, &Received::collect, &received), S_OK);

  // Frames run the host's deliveries and the pump-all call, which both enter the library.
  auto framesUntil = [&](auto condition) {
    const auto deadline = std::chrono::steady_clock::now() + 20s;
    window.runFrames(10, [&] {
      host.runFrame();
      return !condition() && std::chrono::steady_clock::now() < deadline;
    });
    return condition();
  };
  ASSERT_TRUE(framesUntil([&] { return host.summary().clients.size() == 1; }))
      << "the open reply registers the client with the host";
  ASSERT_EQ(host.summary().clients[0].acceptResult, 1);
  for (DWORD i = 0; i < 20; ++i)
    ASSERT_EQ(exports.transmit(handle, 0, i, i, 1, 0), S_OK);
  ASSERT_TRUE(framesUntil([&] { return received.events == 20; }));

  EXPECT_TRUE(FreeLibrary(module));
  EXPECT_TRUE(libraryMapped()) << "the library of a live client stays loaded";
  // The host goes on calling the addresses it was given; the transport's read stays pending.
  ASSERT_TRUE(framesUntil([&] { return host.summary().pumpCalls >= 20; }));
  for (DWORD i = 0; i < 20; ++i)
    ASSERT_EQ(exports.transmit(handle, 0, i, i, 1, 0), S_OK);
  ASSERT_TRUE(framesUntil([&] { return received.events == 40; }));
  ASSERT_TRUE(server->sendRaw(server->connections().at(0), simserver::records::pattern(64)));
  ASSERT_TRUE(framesUntil([&] { return received.patterns == 1; }));
  host.stopPumping();
  const auto summary = host.summary();
  EXPECT_TRUE(summary.problems.empty()) << summary.problems.front();
}

TEST_F(UnloadWithClient, ALiveTcpClientKeepsReceivingAfterFreeLibrary) {
  serveAndLoad(true);
  HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  ASSERT_EQ(exports.open(&handle, "unload over TCP", nullptr, 0, event, 6), S_OK);
  auto dispatchUntil = [&](auto condition) {
    return waitUntil([&] {
      WaitForSingleObject(event, 20);
      EXPECT_EQ(exports.callDispatch(handle, &Received::collect, &received), S_OK);
      return condition();
    });
  };
  for (DWORD i = 0; i < 20; ++i)
    ASSERT_EQ(exports.transmit(handle, 0, i, i, 1, 0), S_OK);
  ASSERT_TRUE(dispatchUntil([&] { return received.events == 20; }));
  EXPECT_EQ(received.openReplies, 1);

  EXPECT_TRUE(FreeLibrary(module));
  EXPECT_TRUE(libraryMapped()) << "the library of a live client stays loaded";
  Sleep(500);
  // The pending read completes inside the library, and the client goes on sending.
  const auto id = server->connections().at(0);
  ASSERT_TRUE(server->sendRaw(id, simserver::records::pattern(64)));
  ASSERT_TRUE(dispatchUntil([&] { return received.patterns == 1; }));
  for (DWORD i = 0; i < 20; ++i)
    ASSERT_EQ(exports.transmit(handle, 0, i, i, 1, 0), S_OK);
  ASSERT_TRUE(dispatchUntil([&] { return received.events == 40; }));
  ASSERT_TRUE(server->waitForMessages(id, 41, 10s));
  EXPECT_TRUE(server->violations().empty());
  // The event stays open: the client, which lives as long as the process, wakes it at the loss.
  server->stop();
}

} // namespace
