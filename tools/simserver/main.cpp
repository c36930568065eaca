// simconnect-server.exe: runs simserver::Server until Enter, the end of stdin, Ctrl+C or
// --exit-after; prints the endpoints it serves and, with --log, every message it receives.
#include "tools/simserver/CommandLine.h"
#include "tools/simserver/Server.h"
#include "tools/simserver/WinHandles.h"

#include <shellapi.h>

#include <cstdio>
#include <mutex>
#include <thread>

namespace {

using namespace simserver;

HANDLE g_stopRequest = nullptr; // read by the console handler; lives until the process ends
HANDLE g_stopped = nullptr;     // set once the server has stopped and restored the registry

BOOL WINAPI onConsoleControl(DWORD type) {
  SetEvent(g_stopRequest);
  // Closing the console, logging off or shutting down ends the process as soon as this handler
  // returns: give the main thread time to stop the server and put the port values back.
  if (type == CTRL_CLOSE_EVENT || type == CTRL_LOGOFF_EVENT || type == CTRL_SHUTDOWN_EVENT)
    WaitForSingleObject(g_stopped, 4000);
  return TRUE;
}

std::vector<std::wstring> commandLineArguments() {
  int count = 0;
  LPWSTR* arguments = CommandLineToArgvW(GetCommandLineW(), &count);
  std::vector<std::wstring> result;
  for (int i = 1; arguments && i < count; ++i)
    result.emplace_back(arguments[i]);
  if (arguments) LocalFree(arguments);
  return result;
}

// Signals the stop event when a line is entered or stdin ends. The thread owns a duplicate of
// the event, and it is left running at exit: a blocking console or pipe read cannot be joined.
void watchStandardInput(HANDLE stopRequest) {
  HANDLE duplicate = nullptr;
  if (!DuplicateHandle(GetCurrentProcess(), stopRequest, GetCurrentProcess(), &duplicate, 0, FALSE,
                       DUPLICATE_SAME_ACCESS))
    return;
  // ReadFile rather than the C runtime's stdin: a thread blocked inside the runtime's stream lock
  // would hold up the runtime's clean-up at exit.
  std::thread([event = std::make_shared<UniqueHandle>(duplicate)] {
    char line[256];
    DWORD count = 0;
    ReadFile(GetStdHandle(STD_INPUT_HANDLE), line, sizeof line, &count, nullptr);
    SetEvent(event->get());
  }).detach();
}

void print(std::mutex& mutex, const std::string& line) {
  std::lock_guard<std::mutex> lock(mutex);
  std::fprintf(stdout, "%s\n", line.c_str());
  std::fflush(stdout);
}

} // namespace

int main() {
  ProgramOptions program;
  try {
    program = parseCommandLine(commandLineArguments());
  } catch (const std::exception& error) {
    std::fprintf(stderr, "simconnect-server: %s\n\n%s", error.what(), kUsage);
    return 2;
  }
  if (program.help) {
    std::fputs(kUsage, stdout);
    return 0;
  }

  std::mutex outputMutex;
  if (program.log)
    program.server.log = [&outputMutex](const std::string& line) { print(outputMutex, line); };

  UniqueHandle stopRequest = makeEvent(true);
  g_stopRequest = stopRequest.get();
  UniqueHandle stopped = makeEvent(true);
  g_stopped = stopped.get();
  SetConsoleCtrlHandler(onConsoleControl, TRUE);

  try {
    Server server(program.server);
    server.start();
    if (program.server.servePipe) print(outputMutex, "pipe " + narrow(server.pipePath()));
    if (program.server.serveIPv6)
      print(outputMutex, "ipv6 ::1 port " + std::to_string(server.ipv6Port()));
    if (program.server.serveIPv4)
      print(outputMutex, "ipv4 127.0.0.1 port " + std::to_string(server.ipv4Port()));
    if (program.server.publishPorts && (program.server.serveIPv4 || program.server.serveIPv6))
      print(outputMutex, "ports published under HKCU\\SOFTWARE\\Lockheed Martin\\Prepar3D v4");
    DWORD timeout = INFINITE;
    if (program.exitAfterSeconds) {
      timeout = *program.exitAfterSeconds * 1000u;
      print(outputMutex,
            "ready; stopping after " + std::to_string(*program.exitAfterSeconds) + " s");
    } else {
      print(outputMutex, "ready; press Enter (or close stdin) to stop");
      watchStandardInput(stopRequest.get());
    }
    WaitForSingleObject(stopRequest.get(), timeout);
    server.stop();
    const std::vector<ConnectionId> connections = server.connections();
    size_t messages = 0;
    for (const ConnectionId id : connections)
      messages += server.messages(id).size();
    print(outputMutex, "stopped after " + std::to_string(connections.size()) + " connections, " +
                           std::to_string(messages) + " messages, " +
                           std::to_string(server.violations().size()) + " violations");
  } catch (const std::exception& error) {
    SetEvent(g_stopped); // the server, destroyed on the way here, has restored the registry
    SetConsoleCtrlHandler(onConsoleControl, FALSE);
    std::fprintf(stderr, "simconnect-server: %s\n", error.what());
    return 1;
  }
  SetEvent(g_stopped);
  SetConsoleCtrlHandler(onConsoleControl, FALSE);
  return 0;
}
