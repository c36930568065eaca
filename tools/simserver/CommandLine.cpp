#include "tools/simserver/CommandLine.h"

#include "tools/simserver/Records.h"
#include "tools/simserver/WinHandles.h"

#include <cwchar>
#include <stdexcept>

namespace simserver {

const char kUsage[] =
    "Usage: simconnect-server.exe [options]\n"
    "A stand-in SimConnect server on the named pipe and on TCP (::1 and 127.0.0.1).\n"
    "Stops on Enter or when stdin closes, or after --exit-after seconds (stdin is then not\n"
    "watched), or on Ctrl+C.\n"
    "\n"
    "Endpoints:\n"
    "  --pipe-name NAME          pipe to serve: a full path \\\\.\\pipe\\..., or a name below\n"
    "                            \\\\.\\pipe\\ (default: Lockheed Martin Prepar3D v4\\SimConnect)\n"
    "  --no-pipe                 do not serve the pipe\n"
    "  --ipv4-port N             TCP port on 127.0.0.1 (default 0: a free port)\n"
    "  --no-ipv4                 no TCP on 127.0.0.1\n"
    "  --ipv6-port N             TCP port on ::1 (default 0: a free port)\n"
    "  --no-ipv6                 no TCP on ::1\n"
    "  --no-publish              do not write the ports to HKCU\\SOFTWARE\\Lockheed Martin\\\n"
    "                            Prepar3D v4 (SimConnect_Port_IPv4 / SimConnect_Port_IPv6)\n"
    "Behaviour:\n"
    "  --log                     print every received message decoded, and every event\n"
    "  --exit-after SECONDS      stop after this many seconds\n"
    "  --no-answers              write only the Open reply\n"
    "  --close-on-violation      close a connection after a malformed message\n"
    "  --max-message-size N      largest message size accepted from clients (default 16 MiB)\n"
    "Faults (for every connection):\n"
    "  --close-after-messages N  close after N received messages\n"
    "  --close-after-reply-bytes N  close after writing N bytes\n"
    "  --close-mode MODE         orderly (default), reset (TCP reset) or break (broken pipe)\n"
    "  --pieces K                write in pieces of K bytes\n"
    "  --piece-pause MS          pause after each piece\n"
    "  --filler N                N zero bytes between records\n"
    "  --after-open-record SIZE  after the Open reply send a record of SIZE bytes (repeatable);\n"
    "                            SIZE 1, 2 or 3 sends a 12-byte record with that size field\n"
    "  --pause-reading-after N   stop reading after N messages ...\n"
    "  --pause-reading-ms MS     ... for MS milliseconds\n"
    "  --help                    this text\n";

namespace {

unsigned long long parseNumber(const std::wstring& option, const std::wstring& text,
                               unsigned long long maximum) {
  if (text.empty() || text.find_first_not_of(L"0123456789") != std::wstring::npos)
    throw std::invalid_argument(narrow(option) + " needs a number, not '" + narrow(text) + "'");
  const unsigned long long value = std::wcstoull(text.c_str(), nullptr, 10);
  if (value > maximum || text.size() > 19)
    throw std::invalid_argument(narrow(option) + " " + narrow(text) + " is too large");
  return value;
}

} // namespace

ProgramOptions parseCommandLine(const std::vector<std::wstring>& arguments) {
  ProgramOptions program;
  Options& options = program.server;
  FaultScript& faults = options.faults;

  for (size_t i = 0; i < arguments.size(); ++i) {
    const std::wstring& option = arguments[i];
    auto value = [&]() -> const std::wstring& {
      if (i + 1 >= arguments.size()) throw std::invalid_argument(narrow(option) + " needs a value");
      return arguments[++i];
    };
    auto number = [&](unsigned long long maximum) { return parseNumber(option, value(), maximum); };

    if (option == L"--help" || option == L"-h" || option == L"/?") {
      program.help = true;
    } else if (option == L"--pipe-name") {
      const std::wstring& name = value();
      if (name.empty()) throw std::invalid_argument("--pipe-name needs a name");
      options.pipePath = name.rfind(L"\\\\", 0) == 0 ? name : L"\\\\.\\pipe\\" + name;
    } else if (option == L"--no-pipe") {
      options.servePipe = false;
    } else if (option == L"--ipv4-port") {
      options.ipv4Port = static_cast<uint16_t>(number(65535));
    } else if (option == L"--no-ipv4") {
      options.serveIPv4 = false;
    } else if (option == L"--ipv6-port") {
      options.ipv6Port = static_cast<uint16_t>(number(65535));
    } else if (option == L"--no-ipv6") {
      options.serveIPv6 = false;
    } else if (option == L"--no-publish") {
      options.publishPorts = false;
    } else if (option == L"--log") {
      program.log = true;
    } else if (option == L"--exit-after") {
      program.exitAfterSeconds = static_cast<unsigned>(number(24u * 3600u));
    } else if (option == L"--no-answers") {
      options.answerRequests = false;
    } else if (option == L"--close-on-violation") {
      options.closeOnViolation = true;
    } else if (option == L"--max-message-size") {
      options.maxMessageSize = static_cast<uint32_t>(number(0xFFFFFFFFull));
      if (options.maxMessageSize < 16)
        throw std::invalid_argument("--max-message-size must be at least 16");
    } else if (option == L"--close-after-messages") {
      faults.closeAfterMessages = static_cast<size_t>(number(0xFFFFFFFFull));
    } else if (option == L"--close-after-reply-bytes") {
      faults.closeAfterReplyBytes = number(~0ull);
    } else if (option == L"--close-mode") {
      const std::wstring& mode = value();
      if (mode == L"orderly")
        faults.closeMode = CloseMode::Orderly;
      else if (mode == L"reset")
        faults.closeMode = CloseMode::Reset;
      else if (mode == L"break")
        faults.closeMode = CloseMode::BreakPipe;
      else
        throw std::invalid_argument("--close-mode is orderly, reset or break, not '" +
                                    narrow(mode) + "'");
    } else if (option == L"--pieces") {
      faults.pieceSize = static_cast<uint32_t>(number(0xFFFFFFFFull));
    } else if (option == L"--piece-pause") {
      faults.piecePause = Milliseconds(number(3600000));
    } else if (option == L"--filler") {
      faults.fillerBytes = static_cast<uint32_t>(number(1u << 24));
    } else if (option == L"--after-open-record") {
      const auto size = static_cast<uint32_t>(number(256u << 20));
      if (size == 0 || (size > 3 && size < records::kPatternMinimumSize))
        throw std::invalid_argument("--after-open-record takes 1, 2, 3 or at least 12");
      faults.afterOpenReply.push_back(size <= 3 ? records::withSizeField(size)
                                                : records::pattern(size));
    } else if (option == L"--pause-reading-after") {
      faults.pauseReadingAfterMessages = static_cast<size_t>(number(0xFFFFFFFFull));
    } else if (option == L"--pause-reading-ms") {
      faults.pauseReadingFor = Milliseconds(number(3600000));
    } else {
      throw std::invalid_argument("unknown option '" + narrow(option) + "'");
    }
  }
  if (!options.servePipe && !options.serveIPv4 && !options.serveIPv6)
    throw std::invalid_argument("every endpoint is switched off");
  return program;
}

} // namespace simserver
