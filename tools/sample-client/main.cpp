// sample-client.exe: an external SimConnect client in its own process. It opens through Wirebridge
// over the named pipe (configuration index 0, or the index given) or over TCP (a SimConnect.cfg in
// a private current directory with a section of its own index), waits on the event it gave to
// SimConnect_Open, dispatches, sends one request of every kind once the server has answered the
// Open message, and prints every request and every reply. Exit code 0 when every expected reply
// arrived, 1 on a failure or timeout, 2 for a bad command line.
#include "tools/sample-client/PrivateConfig.h"
#include "tools/sample-client/RequestScript.h"

#include <windows.h>

#include <shellapi.h> // after windows.h, which it needs

#include <chrono>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace {

constexpr char kUsage[] =
    "usage: sample-client [--transport pipe|ipv4|ipv6] [--config-index N] [--port P]\n"
    "                     [--timeout S] [--name NAME]\n"
    "  pipe (default) opens with configuration index 0 unless --config-index is given;\n"
    "  ipv4/ipv6 write a SimConnect.cfg with section SimConnect.N (N from --config-index,\n"
    "  default 7) into a private current directory; the port is the simulator's published\n"
    "  one unless --port is given. --timeout bounds the whole run (default 30 s).\n";

constexpr HRESULT kFail = HRESULT(0x80004005L);

struct Arguments {
  std::string transport = "pipe";
  std::optional<DWORD> configIndex;
  std::string port;
  unsigned timeoutSeconds = 30;
  std::string name = "Aerolumen sample client";
};

std::optional<unsigned> wholeNumber(const std::string& text) {
  if (text.empty() || text.size() > 9 || text.find_first_not_of("0123456789") != std::string::npos)
    return std::nullopt;
  return unsigned(std::stoul(text));
}

std::vector<std::string> commandLine() {
  int count = 0;
  LPWSTR* list = CommandLineToArgvW(GetCommandLineW(), &count);
  std::vector<std::string> arguments;
  for (int i = 1; list && i < count; ++i) {
    std::string argument;
    for (const wchar_t* c = list[i]; *c; ++c)
      argument += *c < 128 ? char(*c) : '?';
    arguments.push_back(argument);
  }
  LocalFree(list);
  return arguments;
}

std::optional<Arguments> parse(const std::vector<std::string>& list, std::string& error) {
  Arguments arguments;
  for (size_t i = 0; i < list.size(); ++i) {
    const std::string& option = list[i];
    if (i + 1 >= list.size()) {
      error = option + " needs a value";
      return std::nullopt;
    }
    const std::string& value = list[++i];
    if (option == "--transport" && (value == "pipe" || value == "ipv4" || value == "ipv6")) {
      arguments.transport = value;
    } else if (option == "--config-index" && wholeNumber(value)) {
      arguments.configIndex = DWORD(*wholeNumber(value));
    } else if (option == "--port" && wholeNumber(value)) {
      arguments.port = value;
    } else if (option == "--timeout" && wholeNumber(value)) {
      arguments.timeoutSeconds = *wholeNumber(value);
    } else if (option == "--name") {
      arguments.name = value;
    } else {
      error = "cannot use " + option + " " + value;
      return std::nullopt;
    }
  }
  return arguments;
}

struct HandleClose {
  void operator()(HANDLE handle) const { CloseHandle(handle); }
};
using UniqueEvent = std::unique_ptr<std::remove_pointer_t<HANDLE>, HandleClose>;

class Client {
public:
  explicit Client(const Arguments& arguments)
      : arguments_(arguments), prefix_("[sample-client " + arguments.transport + "] "),
        deadline_(std::chrono::steady_clock::now() +
                  std::chrono::seconds(arguments.timeoutSeconds)) {}

  int run();

private:
  void print(const std::string& line) {
    std::printf("%s%s\n", prefix_.c_str(), line.c_str());
    std::fflush(stdout);
  }
  bool beforeDeadline() const { return std::chrono::steady_clock::now() < deadline_; }
  DWORD millisecondsLeft() const {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline_ - std::chrono::steady_clock::now());
    return left.count() > 0 ? DWORD(left.count()) : 0;
  }
  HANDLE open(DWORD configIndex, HANDLE event);

  const Arguments& arguments_;
  const std::string prefix_;
  const std::chrono::steady_clock::time_point deadline_;
};

HANDLE Client::open(DWORD configIndex, HANDLE event) {
  // The simulator may not listen yet: an open that finds no server is tried again.
  for (;;) {
    HANDLE simConnect = nullptr;
    const HRESULT result =
        SimConnect_Open(&simConnect, arguments_.name.c_str(), nullptr, 0, event, configIndex);
    print("SimConnect_Open(\"" + arguments_.name + "\", event, index " +
          std::to_string(configIndex) + ") -> " + sample::resultText(result));
    if (result == S_OK) return simConnect;
    if (result != kFail || !beforeDeadline()) return nullptr;
    Sleep(250);
  }
}

int Client::run() {
  std::optional<sample::PrivateConfig> config;
  DWORD configIndex = arguments_.configIndex.value_or(0);
  if (arguments_.transport != "pipe") {
    configIndex = arguments_.configIndex.value_or(7);
    const bool ipv6 = arguments_.transport == "ipv6";
    // The port goes into the file: without one the library would fall back to the pipe while
    // the simulator has not published its ports yet.
    std::string port = arguments_.port;
    while (port.empty() && beforeDeadline()) {
      port = sample::publishedPort(ipv6);
      if (port.empty()) Sleep(250);
    }
    if (port.empty()) {
      print("FAILED: the simulator published no " + arguments_.transport + " port");
      return 1;
    }
    config.emplace(ipv6, configIndex, port);
    if (!config->ready()) {
      print("cannot write " + config->describe());
      return 1;
    }
    print("wrote " + config->describe());
  }

  UniqueEvent event(CreateEventW(nullptr, FALSE, FALSE, nullptr));
  if (!event) {
    print("CreateEventW failed");
    return 1;
  }
  const HANDLE simConnect = open(configIndex, event.get());
  if (simConnect == nullptr) {
    print("FAILED: no connection to the simulator");
    return 1;
  }

  sample::RequestScript script(simConnect, [this](const std::string& line) { print(line); });
  while (!script.complete() && !script.failed() && beforeDeadline()) {
    WaitForSingleObject(event.get(), std::min<DWORD>(millisecondsLeft(), 500));
    const HRESULT result =
        SimConnect_CallDispatch(simConnect, &sample::RequestScript::dispatch, &script);
    if (result != S_OK) {
      print("FAILED: SimConnect_CallDispatch -> " + sample::resultText(result));
      return 1;
    }
    if (script.openReplySeen() && !script.everyKindSent()) {
      print("the server answered the Open message: client id " + std::to_string(script.clientId()));
      script.sendEveryKind();
    }
  }
  if (script.failed()) {
    print("FAILED: " + std::to_string(script.problems().size()) + " problem(s)");
    return 1;
  }
  if (!script.complete()) {
    print("FAILED: timed out after " + std::to_string(arguments_.timeoutSeconds) +
          " s; missing: " + script.missing());
    return 1;
  }
  print("PASS: all replies arrived (" + std::to_string(script.recordsSeen()) + " records)");
  return 0;
}

} // namespace

int main() {
  std::string error;
  const std::optional<Arguments> arguments = parse(commandLine(), error);
  if (!arguments) {
    std::fprintf(stderr, "sample-client: %s\n%s", error.c_str(), kUsage);
    return 2;
  }
  Client client(*arguments);
  return client.run();
}
