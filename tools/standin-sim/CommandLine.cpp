#include "tools/standin-sim/CommandLine.h"

#include <windows.h>

#include <shellapi.h> // after windows.h, which it needs

#include <memory>

namespace standin {

const char kStandInUsage[] =
    "usage: standin-simulator [ADDON.dll] [options]\n"
    "  --addon PATH          add-on DLL to load (same as the first plain argument)\n"
    "  --plain-load          load the add-on with a plain LoadLibraryW (its own folder is then\n"
    "                        not searched for the DLLs it imports)\n"
    "  --frames N            end after N frames (default: no frame limit)\n"
    "  --seconds S           end after S seconds at most (default 30; 0: none)\n"
    "  --frame-ms N          frame period in milliseconds (default 20)\n"
    "  --keep-running        run to the frame or time limit even when the add-on is done\n"
    "  --expect-clients N    wait for N external SimConnect clients to finish\n"
    "  --client-wait S       how long to wait for them (default 30)\n"
    "  --transcript FILE     also write the transcript to FILE\n"
    "  --quiet               no transcript on stdout\n"
    "  --settings FILE       read the VR-mode entry from FILE instead of the add-on's settings\n"
    "  --ready-file FILE     create FILE once the SimConnect endpoints listen\n"
    "Exit code 0 when every request was answered, every delivery released once and the add-on\n"
    "and the expected clients finished; 1 otherwise; 2 for a bad command line.\n";

namespace {

bool parseUnsigned(const std::wstring& text, unsigned& value) {
  if (text.empty() || text.size() > 9) return false;
  unsigned result = 0;
  for (const wchar_t c : text) {
    if (c < L'0' || c > L'9') return false;
    result = result * 10 + unsigned(c - L'0');
  }
  value = result;
  return true;
}

std::string narrow(const std::wstring& text) {
  std::string result;
  for (const wchar_t c : text)
    result += c < 128 ? char(c) : '?';
  return result;
}

} // namespace

std::optional<StandInOptions> parseStandInArguments(const std::vector<std::wstring>& arguments,
                                                    std::string& error) {
  StandInOptions options;
  for (size_t i = 0; i < arguments.size(); ++i) {
    const std::wstring& argument = arguments[i];
    auto value = [&](std::wstring& out) {
      if (i + 1 >= arguments.size()) {
        error = narrow(argument) + " needs a value";
        return false;
      }
      out = arguments[++i];
      return true;
    };
    auto number = [&](unsigned& out) {
      std::wstring text;
      if (!value(text)) return false;
      if (!parseUnsigned(text, out)) {
        error = narrow(argument) + " needs a whole number, not " + narrow(text);
        return false;
      }
      return true;
    };
    bool ok = true;
    if (argument == L"--addon")
      ok = value(options.addonPath);
    else if (argument == L"--plain-load")
      options.addonSearch = AddonSearch::plain;
    else if (argument == L"--frames")
      ok = number(options.maxFrames);
    else if (argument == L"--seconds")
      ok = number(options.maxSeconds);
    else if (argument == L"--frame-ms")
      ok = number(options.frameMilliseconds);
    else if (argument == L"--keep-running")
      options.endWhenDone = false;
    else if (argument == L"--expect-clients")
      ok = number(options.expectClients);
    else if (argument == L"--client-wait")
      ok = number(options.clientWaitSeconds);
    else if (argument == L"--transcript")
      ok = value(options.transcriptFile);
    else if (argument == L"--quiet")
      options.transcriptToStdout = false;
    else if (argument == L"--settings")
      ok = value(options.settingsFile);
    else if (argument == L"--ready-file")
      ok = value(options.readyFile);
    else if (!argument.empty() && argument[0] != L'-' && options.addonPath.empty())
      options.addonPath = argument;
    else {
      error = "unknown argument " + narrow(argument);
      ok = false;
    }
    if (!ok) return std::nullopt;
  }
  if (options.frameMilliseconds == 0) {
    error = "--frame-ms must be at least 1";
    return std::nullopt;
  }
  if (!options.endWhenDone && options.maxFrames == 0 && options.maxSeconds == 0) {
    error = "--keep-running needs --frames or --seconds";
    return std::nullopt;
  }
  return options;
}

std::vector<std::wstring> processArguments() {
  int count = 0;
  struct LocalFree_ {
    void operator()(LPWSTR* p) const { LocalFree(p); }
  };
  std::unique_ptr<LPWSTR, LocalFree_> list(CommandLineToArgvW(GetCommandLineW(), &count));
  std::vector<std::wstring> arguments;
  for (int i = 1; list && i < count; ++i)
    arguments.emplace_back(list.get()[i]);
  return arguments;
}

} // namespace standin
