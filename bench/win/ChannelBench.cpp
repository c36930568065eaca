// Channel benchmarks of Wirebridge.dll against the stand-in SimConnect server in this process,
// over the named pipe and over TCP. Every figure is a ratio against a bare client of the same
// channel kind talking to the same server in the same run (bench/win/BareChannel.h), measured in
// alternating rounds so that a noisy machine slows both sides alike:
//   request throughput  SimConnect_TransmitClientEvent calls until the server has them all,
//                       against a chain of overlapped 36-byte writes (one in flight);
//   request latency     one export call, against one overlapped write call;
//   receive throughput  server records through framing, queue, wake-up and
//                       SimConnect_CallDispatch, against a reader that counts records by size;
//   round trip          request to dispatched reply, event-driven, against a bare client that
//                       posts its read, writes, and waits for the read.
#include <windows.h>
#include <winsock2.h>

#include <cstdio>
#include <stdexcept>
#include <string>
#include <vector>

#include "bench/win/Measure.h"
#include "bench/win/Setup.h"
#include "client/WireFormat.h"
#include "tools/simserver/Records.h"

namespace bench {
namespace {

constexpr DWORD kWaitMs = 60000;

// With --trace, each measured run begins with the creation of a named event, which stands out in
// a WINEDEBUG=+server log as create_event( ... name=L"wb-mark <what>" ).
bool traceMarks = false;
void mark(const std::string& what) {
  if (!traceMarks) return;
  const std::string name = "wb-mark " + what;
  CloseHandle(CreateEventA(nullptr, FALSE, FALSE, name.c_str()));
}

struct Settings {
  size_t requestMessages = 1500;
  int requestRounds = 15;
  int latencySamples = 1000;
  int latencyWarmup = 50;
  size_t smallRecords = 10000;
  uint32_t smallRecordSize = 36;
  size_t largeRecords = 1000;
  uint32_t largeRecordSize = 4096;
  int receiveRounds = 5;
  int roundTrips = 1000;
  std::string only; // one group, or "" for all
  std::vector<ChannelKind> channels{ChannelKind::Pipe, ChannelKind::Tcp};

  bool runs(const char* group) const { return only.empty() || only == group; }
};

std::string key(const char* name, ChannelKind kind) {
  return std::string(name) + "-" + channelName(kind);
}

// ---- 1. Request throughput -------------------------------------------------------------------

void requestThroughput(const Settings& settings, const Clock& clock, simserver::Server& server,
                       ChannelKind kind, LibraryClient& library, BareClient& bare) {
  const size_t n = settings.requestMessages;
  std::vector<double> ratios, libraryRates, bareRates, callRates;
  size_t refused = 0;
  bool delivered = true;
  const size_t libraryStart = serverCount(server, library.connection);
  const size_t bareStart = serverCount(server, bare.connection);

  auto runBare = [&] {
    const std::vector<uint8_t> messages = transmitMessages(n, bare.nextSequence);
    mark("request bare");
    bare.nextSequence += uint32_t(n);
    const size_t base = serverCount(server, bare.connection);
    const LONGLONG start = Clock::ticks();
    delivered &= bare.channel->startWriteChain(messages.data(), wire::kTransmitClientEventSize, n);
    delivered &= waitForServerCount(server, bare.connection, base + n, kWaitMs);
    const LONGLONG end = Clock::ticks();
    delivered &= bare.channel->waitWrites(kWaitMs);
    return double(n) / clock.seconds(start, end);
  };
  auto runLibrary = [&] {
    mark("request library");
    const size_t base = serverCount(server, library.connection);
    const LONGLONG start = Clock::ticks();
    for (size_t i = 0; i < n; ++i) {
      if (SimConnect_TransmitClientEvent(library.handle, 0, 7, DWORD(i), 0, 0) != S_OK) ++refused;
    }
    const LONGLONG called = Clock::ticks();
    delivered &= waitForServerCount(server, library.connection, base + n, kWaitMs);
    const LONGLONG end = Clock::ticks();
    callRates.push_back(double(n) / clock.seconds(start, called));
    return double(n) / clock.seconds(start, end);
  };

  for (int round = 0; round < settings.requestRounds; ++round) {
    double bareRate, libraryRate;
    if (round % 2 == 0) {
      bareRate = runBare();
      libraryRate = runLibrary();
    } else {
      libraryRate = runLibrary();
      bareRate = runBare();
    }
    bareRates.push_back(bareRate);
    libraryRates.push_back(libraryRate);
    ratios.push_back(libraryRate / bareRate);
    note(format("round %.0f: library %.0f msg/s, bare %.0f msg/s", round, libraryRate, bareRate));
  }

  mark("request end");
  const size_t expected = n * size_t(settings.requestRounds);
  const size_t libraryGot = serverCount(server, library.connection) - libraryStart;
  const size_t bareGot = serverCount(server, bare.connection) - bareStart;
  const bool clean =
      server.violations(library.connection).empty() && server.violations(bare.connection).empty();
  reportRatio(key("request-throughput", kind), median(ratios), ">=0.80",
              "TransmitClientEvent msg/s / bare overlapped 36-byte write loop msg/s",
              format("library %.0f/s, bare %.0f/s (medians of %.0f rounds of ",
                     median(libraryRates), median(bareRates), settings.requestRounds) +
                  std::to_string(n) + format("); calls alone %.0f/s", median(callRates)));
  reportCheck(key("request-no-loss", kind),
              delivered && refused == 0 && clean && libraryGot == expected && bareGot == expected,
              "server received every message, in order, none refused",
              "library " + std::to_string(libraryGot) + "/" + std::to_string(expected) + ", bare " +
                  std::to_string(bareGot) + "/" + std::to_string(expected) + ", refused " +
                  std::to_string(refused) + ", violations " +
                  std::to_string(server.violations(library.connection).size()));
}

// ---- 2. Request latency ----------------------------------------------------------------------

void requestLatency(const Settings& settings, const Clock& clock, simserver::Server& server,
                    ChannelKind kind, LibraryClient& library, BareClient& bare) {
  std::vector<double> libraryCalls, bareCalls;
  mark("latency");
  size_t libraryExpected = serverCount(server, library.connection);
  size_t bareExpected = serverCount(server, bare.connection);
  bool sound = true;
  for (int sample = 0; sample < settings.latencyWarmup + settings.latencySamples; ++sample) {
    const bool kept = sample >= settings.latencyWarmup;
    // The channel is idle before every call, as in a frame loop that sends a few requests.
    {
      const LONGLONG start = Clock::ticks();
      const HRESULT result =
          SimConnect_TransmitClientEvent(library.handle, 0, 7, DWORD(sample), 0, 0);
      const LONGLONG end = Clock::ticks();
      sound &= result == S_OK;
      if (kept) libraryCalls.push_back(clock.microseconds(start, end));
      sound &= waitForServerCount(server, library.connection, ++libraryExpected, kWaitMs);
      Sleep(1);
    }
    {
      const std::vector<uint8_t> message = transmitMessages(1, bare.nextSequence++);
      const LONGLONG start = Clock::ticks();
      const bool posted = bare.channel->postWrite(message.data(), uint32_t(message.size()));
      const LONGLONG end = Clock::ticks();
      sound &= posted && bare.channel->waitWrites(kWaitMs);
      if (kept) bareCalls.push_back(clock.microseconds(start, end));
      sound &= waitForServerCount(server, bare.connection, ++bareExpected, kWaitMs);
      Sleep(1);
    }
  }
  const double libraryMedian = median(libraryCalls), bareMedian = median(bareCalls);
  const double libraryTail = percentile(libraryCalls, 0.99), bareTail = percentile(bareCalls, 0.99);
  const std::string detail = format("library median %.2f us, p99 %.2f us; bare write median %.2f "
                                    "us, p99 %.2f us",
                                    libraryMedian, libraryTail, bareMedian, bareTail) +
                             " (" + std::to_string(settings.latencySamples) + " calls each)";
  reportRatio(key("request-latency-median", kind), libraryMedian / bareMedian, "<=1.25",
              "median TransmitClientEvent call / median bare overlapped write call", detail);
  reportRatio(key("request-latency-p99", kind), libraryTail / bareTail, "",
              "99th percentile TransmitClientEvent call / same of bare write call", detail);
  reportCheck(key("request-latency-sound", kind), sound,
              "every timed call succeeded and reached the server", "");
}

// ---- 3. Receive throughput -------------------------------------------------------------------

std::vector<uint8_t> recordStream(uint32_t recordSize, size_t count) {
  const std::vector<uint8_t> record = simserver::records::pattern(recordSize);
  std::vector<uint8_t> stream;
  stream.reserve(record.size() * count);
  for (size_t i = 0; i < count; ++i)
    stream.insert(stream.end(), record.begin(), record.end());
  return stream;
}

// Cost of one SetEvent on an auto-reset event nobody waits for: the library's wake-up per record.
double setEventMicroseconds(const Clock& clock) {
  UniqueEvent event(CreateEventW(nullptr, FALSE, FALSE, nullptr));
  std::vector<double> calls;
  for (int i = 0; i < 2000; ++i) {
    const LONGLONG start = Clock::ticks();
    SetEvent(event.get());
    const LONGLONG end = Clock::ticks();
    calls.push_back(clock.microseconds(start, end));
  }
  return median(calls);
}

// The client's event, or for a client without one a pause of a millisecond, like a caller that
// dispatches once per pass of its own loop. False on timeout.
bool waitForRecords(const LibraryClient& library, ULONGLONG deadline) {
  if (library.event != nullptr) return WaitForSingleObject(library.event, kWaitMs) == WAIT_OBJECT_0;
  Sleep(1);
  return GetTickCount64() < deadline;
}

struct ReceiveClients {
  LibraryClient& woken;  // opened with an event: WaitForSingleObject, then CallDispatch
  LibraryClient& polled; // opened without: CallDispatch once a millisecond, no wake-up at all
  BareClient& bare;
};

void receiveThroughput(const Settings& settings, const Clock& clock, simserver::Server& server,
                       ChannelKind kind, ReceiveClients clients, const char* name,
                       uint32_t recordSize, size_t count) {
  const std::vector<uint8_t> stream = recordStream(recordSize, count);
  std::vector<double> ratios, wokenRates, bareRates, polledRates, bareSmallRates;
  std::vector<double> polledRatios, smallReadRatios, polledToSmallReadRatios;
  bool complete = true;
  uint64_t libraryRecords = 0, libraryBytes = 0, bareRecords = 0, bareBytes = 0;

  auto runBare = [&](uint32_t readSize) {
    BareChannel& channel = *clients.bare.channel;
    std::vector<uint8_t> bytes = stream;
    const uint64_t recordsBefore = channel.recordsCounted();
    const uint64_t bytesBefore = channel.bytesCounted();
    mark(std::string(name) + " bare " + std::to_string(readSize));
    complete &= channel.startCounting(count, readSize);
    const LONGLONG start = Clock::ticks();
    complete &= server.sendRaw(clients.bare.connection, std::move(bytes));
    complete &= channel.waitRecords(kWaitMs);
    const LONGLONG end = Clock::ticks();
    bareRecords += channel.recordsCounted() - recordsBefore;
    bareBytes += channel.bytesCounted() - bytesBefore;
    return double(count) / clock.seconds(start, end);
  };
  auto runLibrary = [&](LibraryClient& library) {
    std::vector<uint8_t> bytes = stream;
    DispatchTally tally;
    mark(std::string(name) + (library.event ? " library woken" : " library polled"));
    const ULONGLONG deadline = GetTickCount64() + kWaitMs;
    const LONGLONG start = Clock::ticks();
    complete &= server.sendRaw(library.connection, std::move(bytes));
    while (tally.records < count) {
      if (!waitForRecords(library, deadline) ||
          SimConnect_CallDispatch(library.handle, &DispatchTally::count, &tally) != S_OK) {
        complete = false;
        break;
      }
    }
    const LONGLONG end = Clock::ticks();
    libraryRecords += tally.records;
    libraryBytes += tally.bytes;
    return double(count) / clock.seconds(start, end);
  };

  constexpr uint32_t kBareReadSize = 64 * 1024;
  constexpr uint32_t kLibraryReadSize = 2048; // the library's receive buffer when connected
  for (int round = 0; round < settings.receiveRounds; ++round) {
    double bareRate, wokenRate;
    if (round % 2 == 0) {
      bareRate = runBare(kBareReadSize);
      wokenRate = runLibrary(clients.woken);
    } else {
      wokenRate = runLibrary(clients.woken);
      bareRate = runBare(kBareReadSize);
    }
    // Where the time goes: the library without wake-ups, a bare reader with the library's reads.
    polledRates.push_back(runLibrary(clients.polled));
    bareSmallRates.push_back(runBare(kLibraryReadSize));
    bareRates.push_back(bareRate);
    wokenRates.push_back(wokenRate);
    ratios.push_back(wokenRate / bareRate);
    polledRatios.push_back(polledRates.back() / bareRate);
    smallReadRatios.push_back(bareSmallRates.back() / bareRate);
    polledToSmallReadRatios.push_back(polledRates.back() / bareSmallRates.back());
    note(format("round %.0f: library %.0f rec/s, bare %.0f rec/s, ", round, wokenRate, bareRate) +
         format("library without wake-ups %.0f rec/s, bare with 2 KiB reads %.0f rec/s",
                polledRates.back(), bareSmallRates.back()));
  }
  mark(std::string(name) + " end");
  const uint64_t expected = uint64_t(count) * uint64_t(settings.receiveRounds);
  const double megabytes = double(recordSize) / 1e6;
  const std::string id = key(name, kind);
  const double woken = median(wokenRates), bare = median(bareRates), polled = median(polledRates),
               bareSmall = median(bareSmallRates);
  reportRatio(id, median(ratios), ">=0.80",
              "records/s dispatched (event wake-up) / records/s of a bare reader (64 KiB reads)",
              format("%.0f-byte records: library %.0f/s (%.1f MB/s), bare %.0f/s", recordSize,
                     woken, woken * megabytes, bare) +
                  format(" (%.1f MB/s); %.0f records x %.0f rounds; SetEvent alone %.1f us",
                         bare * megabytes, double(count), settings.receiveRounds,
                         setEventMicroseconds(clock)));
  reportRatio(id + "-polled", median(polledRatios), "",
              "same, library client without event, dispatching once a millisecond",
              format("library without wake-ups %.0f/s", polled));
  reportRatio(id + "-bare-2k-reads", median(smallReadRatios), "",
              "bare reader with 2 KiB reads / bare reader with 64 KiB reads",
              format("bare with 2 KiB reads %.0f/s", bareSmall));
  reportRatio(id + "-polled-vs-2k-reads", median(polledToSmallReadRatios), "",
              "library without wake-ups / bare reader with 2 KiB reads (framing, queue, dispatch)",
              "");
  const uint64_t libraryExpected = 2 * expected, bareExpected = 2 * expected;
  reportCheck(
      id + "-no-loss",
      complete && libraryRecords == libraryExpected && bareRecords == bareExpected &&
          libraryBytes == libraryExpected * recordSize && bareBytes == bareExpected * recordSize,
      "every record dispatched whole",
      "library " + std::to_string(libraryRecords) + "/" + std::to_string(libraryExpected) +
          " records, bare " + std::to_string(bareRecords) + "/" + std::to_string(bareExpected));
}

// ---- 4. Round trip ---------------------------------------------------------------------------

void roundTrip(const Settings& settings, const Clock& clock, ChannelKind kind,
               LibraryClient& library, BareClient& bare) {
  std::vector<double> libraryTrips, bareTrips;
  bool sound = true;
  DispatchTally tally;
  for (int trip = 1; trip <= settings.roundTrips && sound; ++trip) {
    {
      const LONGLONG start = Clock::ticks();
      sound &= SimConnect_TransmitClientEvent(library.handle, 0, 7, DWORD(trip), 0, 0) == S_OK;
      while (sound && tally.lastEventData != DWORD(trip)) {
        sound &= WaitForSingleObject(library.event, kWaitMs) == WAIT_OBJECT_0 &&
                 SimConnect_CallDispatch(library.handle, &DispatchTally::count, &tally) == S_OK;
      }
      const LONGLONG end = Clock::ticks();
      libraryTrips.push_back(clock.microseconds(start, end));
    }
    {
      std::vector<uint8_t> message = transmitMessages(1, bare.nextSequence++);
      wire::encodeTransmitClientEvent(message.data(), 0, 7, DWORD(trip), 0, 0);
      uint8_t reply[simserver::records::kEventSize];
      const LONGLONG start = Clock::ticks();
      sound &= bare.channel->exchangeBlocking(message.data(), uint32_t(message.size()), reply,
                                              sizeof reply);
      const LONGLONG end = Clock::ticks();
      sound &= reinterpret_cast<const uint32_t*>(reply)[2] == simserver::records::id::Event &&
               reinterpret_cast<const uint32_t*>(reply)[5] == DWORD(trip);
      bareTrips.push_back(clock.microseconds(start, end));
    }
  }
  const double libraryMedian = median(libraryTrips), bareMedian = median(bareTrips);
  reportRatio(key("round-trip", kind), libraryMedian / bareMedian, "",
              "median request->dispatched reply (event wait) / median bare read+write, then wait",
              format("library median %.1f us, p99 %.1f us; bare median %.1f us, p99 %.1f us",
                     libraryMedian, percentile(libraryTrips, 0.99), bareMedian,
                     percentile(bareTrips, 0.99)) +
                  " (" + std::to_string(libraryTrips.size()) + " trips each)");
  reportCheck(key("round-trip-sound", kind), sound && tally.events == libraryTrips.size(),
              "every reply came back to its request", "");
}

void run(const Settings& settings) {
  const Clock clock;
  note(format("timer resolution %.3f us", clock.resolutionMicroseconds()));
  ScratchDirectory scratch("wirebridge-bench");

  if (settings.runs("request") || settings.runs("receive")) {
    // A server that answers nothing but Open: the return path stays quiet.
    simserver::Server quiet(serverOptions("quiet", false));
    quiet.start();
    writeClientConfig(pipeNameOf(serverOptions("quiet", false)), quiet.ipv4Port());
    for (ChannelKind kind : settings.channels) {
      note(std::string("== ") + channelName(kind) + ": requests and receiving");
      LibraryClient library = openLibraryClient(quiet, kind);
      BareClient bare = openBareClient(quiet, kind, true);
      if (settings.runs("request")) {
        requestThroughput(settings, clock, quiet, kind, library, bare);
        requestLatency(settings, clock, quiet, kind, library, bare);
      }
      if (settings.runs("receive")) {
        LibraryClient polled = openLibraryClient(quiet, kind, false);
        const ReceiveClients receivers{library, polled, bare};
        receiveThroughput(settings, clock, quiet, kind, receivers, "receive-small",
                          settings.smallRecordSize, settings.smallRecords);
        receiveThroughput(settings, clock, quiet, kind, receivers, "receive-4k",
                          settings.largeRecordSize, settings.largeRecords);
      }
    }
  }
  if (settings.runs("round-trip")) {
    simserver::Server answering(serverOptions("answering", true));
    answering.start();
    writeClientConfig(pipeNameOf(serverOptions("answering", true)), answering.ipv4Port());
    for (ChannelKind kind : settings.channels) {
      note(std::string("== ") + channelName(kind) + ": round trip");
      LibraryClient library = openLibraryClient(answering, kind);
      BareClient bare = openBareClient(answering, kind, false);
      roundTrip(settings, clock, kind, library, bare);
    }
  }
}

} // namespace
} // namespace bench

// Options: --quick (a smoke run of every path; its figures mean little), --trace (a handful of
// messages per figure, for counting server calls under WINEDEBUG=+server), --only=request,
// --only=receive or --only=round-trip, --channel=pipe or --channel=tcp (for profiling one part).
int main(int argc, char** argv) {
  bench::Settings settings;
  for (int i = 1; i < argc; ++i) {
    const std::string option = argv[i];
    if (option == "--quick") {
      settings.requestMessages = 2000;
      settings.requestRounds = 2;
      settings.latencySamples = 100;
      settings.smallRecords = 2000;
      settings.largeRecords = 200;
      settings.receiveRounds = 2;
      settings.roundTrips = 100;
    } else if (option == "--trace") {
      // Few messages, for runs under WINEDEBUG=+server that count the server calls per record.
      settings.requestMessages = 200;
      settings.requestRounds = 1;
      settings.latencySamples = 50;
      settings.latencyWarmup = 0;
      settings.smallRecords = 300;
      settings.largeRecords = 50;
      settings.receiveRounds = 1;
      settings.roundTrips = 50;
      bench::traceMarks = true;
    } else if (option.rfind("--only=", 0) == 0) {
      settings.only = option.substr(7);
    } else if (option == "--channel=pipe") {
      settings.channels = {bench::ChannelKind::Pipe};
    } else if (option == "--channel=tcp") {
      settings.channels = {bench::ChannelKind::Tcp};
    } else {
      std::printf("unknown option %s\n", option.c_str());
      return 2;
    }
  }
  WSADATA winsock;
  if (WSAStartup(MAKEWORD(2, 2), &winsock) != 0) return 2;
  try {
    bench::run(settings);
  } catch (const std::exception& error) {
    std::printf("channel bench failed: %s\n", error.what());
    return 1;
  }
  // Library clients have no close: they end with the process.
  std::fflush(stdout);
  ExitProcess(0);
}
