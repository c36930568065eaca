// The value rules of SimConnect.cfg, without files: number parsing, protocol names, bounds,
// section names and the order in which one section's keys are applied.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "connection/ConfigRules.h"
#include "connection/TraceFormat.h"
#include "connection/TraceSettings.h"

namespace {

using config::ConfigKey;

TEST(ConfigNumber, ParsesLikeWtoi) {
  EXPECT_EQ(config::parseInt(L"0"), 0);
  EXPECT_EQ(config::parseInt(L"42"), 42);
  EXPECT_EQ(config::parseInt(L"+15"), 15);
  EXPECT_EQ(config::parseInt(L"-7"), -7);
  EXPECT_EQ(config::parseInt(L"  -12abc"), -12);
  EXPECT_EQ(config::parseInt(L"\t\n\v\f\r 31"), 31);
  EXPECT_EQ(config::parseInt(L"0000000000000000000000012"), 12);
  EXPECT_EQ(config::parseInt(L"1 2"), 1);
  EXPECT_EQ(config::parseInt(std::wstring_view(L"5\0"
                                               L"7",
                                               3)),
            5);
}

TEST(ConfigNumber, TextWithoutDigitsIsZero) {
  EXPECT_EQ(config::parseInt(L""), 0);
  EXPECT_EQ(config::parseInt(L"+"), 0);
  EXPECT_EQ(config::parseInt(L"-"), 0);
  EXPECT_EQ(config::parseInt(L"abc"), 0);
  EXPECT_EQ(config::parseInt(L"   "), 0);
  EXPECT_EQ(config::parseInt(L"- 5"), 0);
  EXPECT_EQ(config::parseInt(L"+-5"), 0);
  EXPECT_EQ(config::parseInt(L"x12"), 0);
  // Only ASCII digits count: FULLWIDTH DIGIT ONE is text.
  EXPECT_EQ(config::parseInt(L"\xFF11"), 0);
  // Only the C locale's white space is skipped: NO-BREAK SPACE stops the number.
  EXPECT_EQ(config::parseInt(L"\x00A0"
                             L"5"),
            0);
}

TEST(ConfigNumber, ClampsToSigned32BitRange) {
  EXPECT_EQ(config::parseInt(L"2147483647"), 2147483647);
  EXPECT_EQ(config::parseInt(L"2147483648"), 2147483647);
  EXPECT_EQ(config::parseInt(L"4294967295"), 2147483647);
  EXPECT_EQ(config::parseInt(L"99999999999999999999999999999"), 2147483647);
  EXPECT_EQ(config::parseInt(L"-2147483647"), -2147483647);
  EXPECT_EQ(config::parseInt(L"-2147483648"), -2147483647 - 1);
  EXPECT_EQ(config::parseInt(L"-2147483649"), -2147483647 - 1);
  EXPECT_EQ(config::parseInt(L"-99999999999999999999999999999"), -2147483647 - 1);
  EXPECT_EQ(config::parseInt(L"21474836470000x"), 2147483647);
}

TEST(ConfigProtocol, NamesMatchInAnyLetterCase) {
  for (const wchar_t* name : {L"Auto", L"auto", L"AUTO", L"Pipe", L"pipe", L"pIPE"}) {
    EXPECT_EQ(config::protocolFromName(name), TransportProtocol::Pipe) << name;
  }
  for (const wchar_t* name : {L"IPv4", L"ipv4", L"IPV4", L"iPv4"}) {
    EXPECT_EQ(config::protocolFromName(name), TransportProtocol::IPv4) << name;
  }
  for (const wchar_t* name : {L"IPv6", L"ipv6", L"IPV6", L"Ipv6"}) {
    EXPECT_EQ(config::protocolFromName(name), TransportProtocol::IPv6) << name;
  }
}

TEST(ConfigProtocol, OtherTextNamesNothing) {
  for (const wchar_t* name : {L"", L"TCP", L"IPv", L"IPv44", L" IPv4", L"IPv4 ", L"Pipes", L"IPv5",
                              L"\x0130Pv4", L"Aut\x00F6"}) {
    EXPECT_EQ(config::protocolFromName(name), std::nullopt) << name;
  }
}

TEST(ConfigApply, ProtocolIgnoresUnknownValuesAndEmptiness) {
  ConnectionConfig cfg;
  config::applyValue(ConfigKey::Protocol, L"TCP", cfg);
  EXPECT_EQ(cfg.protocol, TransportProtocol::Pipe);
  config::applyValue(ConfigKey::Protocol, L"ipv6", cfg);
  EXPECT_EQ(cfg.protocol, TransportProtocol::IPv6);
  config::applyValue(ConfigKey::Protocol, L"TCP", cfg);
  EXPECT_EQ(cfg.protocol, TransportProtocol::IPv6);
  config::applyValue(ConfigKey::Protocol, L"", cfg);
  EXPECT_EQ(cfg.protocol, TransportProtocol::IPv6);
  config::applyValue(ConfigKey::Protocol, L"AUTO", cfg);
  EXPECT_EQ(cfg.protocol, TransportProtocol::Pipe);
  config::applyValue(ConfigKey::Protocol, L"IPv4", cfg);
  EXPECT_EQ(cfg.protocol, TransportProtocol::IPv4);
}

TEST(ConfigApply, MaxReceiveSizeOnlyGrows) {
  ConnectionConfig cfg;
  config::applyValue(ConfigKey::MaxReceiveSize, L"100", cfg);
  EXPECT_EQ(cfg.maxReceiveSize, 41088u);
  config::applyValue(ConfigKey::MaxReceiveSize, L"abc", cfg);
  EXPECT_EQ(cfg.maxReceiveSize, 41088u);
  config::applyValue(ConfigKey::MaxReceiveSize, L"41088", cfg);
  EXPECT_EQ(cfg.maxReceiveSize, 41088u);
  config::applyValue(ConfigKey::MaxReceiveSize, L"41089", cfg);
  EXPECT_EQ(cfg.maxReceiveSize, 41089u);
  config::applyValue(ConfigKey::MaxReceiveSize, L"90000", cfg);
  config::applyValue(ConfigKey::MaxReceiveSize, L"60000", cfg);
  EXPECT_EQ(cfg.maxReceiveSize, 90000u);
  config::applyValue(ConfigKey::MaxReceiveSize, L"99999999999", cfg);
  EXPECT_EQ(cfg.maxReceiveSize, 2147483647u);
  // A negative number taken as unsigned is huge.
  config::applyValue(ConfigKey::MaxReceiveSize, L"-2147483648", cfg);
  EXPECT_EQ(cfg.maxReceiveSize, 2147483648u);
  config::applyValue(ConfigKey::MaxReceiveSize, L"-1", cfg);
  EXPECT_EQ(cfg.maxReceiveSize, 4294967295u);
  config::applyValue(ConfigKey::MaxReceiveSize, L"50000", cfg);
  EXPECT_EQ(cfg.maxReceiveSize, 4294967295u);
}

TEST(ConfigApply, DisableNagleIsTrueForNonZeroNumbers) {
  ConnectionConfig cfg;
  config::applyValue(ConfigKey::DisableNagle, L"1", cfg);
  EXPECT_TRUE(cfg.disableNagle);
  config::applyValue(ConfigKey::DisableNagle, L"yes", cfg);
  EXPECT_FALSE(cfg.disableNagle);
  config::applyValue(ConfigKey::DisableNagle, L"-1", cfg);
  EXPECT_TRUE(cfg.disableNagle);
  config::applyValue(ConfigKey::DisableNagle, L"", cfg);
  EXPECT_TRUE(cfg.disableNagle);
  config::applyValue(ConfigKey::DisableNagle, L"0", cfg);
  EXPECT_FALSE(cfg.disableNagle);
  config::applyValue(ConfigKey::DisableNagle, L" 7 apples", cfg);
  EXPECT_TRUE(cfg.disableNagle);
}

TEST(ConfigApply, AddressAndPortAreReplacedByNonEmptyValues) {
  ConnectionConfig cfg;
  config::applyValue(ConfigKey::Address, L"sim-host", cfg);
  config::applyValue(ConfigKey::Port, L"500", cfg);
  EXPECT_EQ(cfg.address, L"sim-host");
  EXPECT_EQ(cfg.port, L"500");
  config::applyValue(ConfigKey::Address, L"", cfg);
  config::applyValue(ConfigKey::Port, L"", cfg);
  EXPECT_EQ(cfg.address, L"sim-host");
  EXPECT_EQ(cfg.port, L"500");
  config::applyValue(ConfigKey::Address, L"::1", cfg);
  EXPECT_EQ(cfg.address, L"::1");
  EXPECT_EQ(cfg.protocol, TransportProtocol::Pipe);
  EXPECT_EQ(cfg.maxReceiveSize, 41088u);
  EXPECT_FALSE(cfg.disableNagle);
}

TEST(ConfigPort, TcpPortIsADecimalNumberFrom1To65535) {
  EXPECT_EQ(config::tcpPortNumber(L"1"), uint16_t{1});
  EXPECT_EQ(config::tcpPortNumber(L"500"), uint16_t{500});
  EXPECT_EQ(config::tcpPortNumber(L"65535"), uint16_t{65535});
  EXPECT_EQ(config::tcpPortNumber(L"0000000000000000000080"), uint16_t{80});
}

TEST(ConfigPort, AnythingElseIsNoPort) {
  // Numbers the socket layer would wrap into 16 bits (70000 reaches 4464) must not reach it.
  for (const wchar_t* text :
       {L"", L"0", L"00", L"65536", L"70000", L"4294967296", L"99999999999999999999999999", L"+5",
        L"-5", L" 5", L"5 ", L"\t5", L"5x", L"0x50", L"http", L"\x0665" /* Arabic 5 */}) {
    SCOPED_TRACE(testing::PrintToString(std::wstring(text)));
    EXPECT_EQ(config::tcpPortNumber(text), std::nullopt);
  }
  EXPECT_EQ(config::tcpPortNumber(std::wstring_view(L"5\0"
                                                    L"7",
                                                    3)),
            std::nullopt);
}

// Text whose every position can be told apart: a cut at the wrong place shows.
std::wstring numberedText(size_t length) {
  std::wstring text;
  for (size_t i = 0; i < length; ++i) {
    text += static_cast<wchar_t>(L'A' + i % 26);
  }
  return text;
}

TEST(ConfigBounds, AddressAndPortKeepAtMost1023Characters) {
  const std::wstring longValue = numberedText(1500);
  ConnectionConfig cfg;
  config::applyValue(ConfigKey::Address, longValue, cfg);
  config::applyValue(ConfigKey::Port, longValue, cfg);
  ASSERT_EQ(cfg.address.size(), 1023u);
  EXPECT_EQ(cfg.address, longValue.substr(0, 1023));
  EXPECT_EQ(cfg.address.back(), L'A' + 1022 % 26);
  EXPECT_EQ(cfg.port, cfg.address);

  config::applyValue(ConfigKey::Port, numberedText(1023), cfg);
  EXPECT_EQ(cfg.port.size(), 1023u);
  config::applyValue(ConfigKey::Port, numberedText(1024), cfg);
  EXPECT_EQ(cfg.port.size(), 1023u);
  config::applyValue(ConfigKey::Port, numberedText(1022), cfg);
  EXPECT_EQ(cfg.port.size(), 1022u);
}

TEST(ConfigBounds, FileValuesKeepAtMost2047Characters) {
  EXPECT_EQ(config::cutFileValue(numberedText(3000)).size(), 2047u);
  EXPECT_EQ(config::cutFileValue(numberedText(2047)).size(), 2047u);
  EXPECT_EQ(config::cutFileValue(numberedText(2046)).size(), 2046u);
  EXPECT_EQ(config::cutFileValue(L"").size(), 0u);

  // A digit at position 2047 (the 2048th character) is cut off before parsing.
  ConnectionConfig cfg;
  config::applyValue(ConfigKey::DisableNagle, std::wstring(2046, L'0') + L"1", cfg);
  EXPECT_TRUE(cfg.disableNagle);
  config::applyValue(ConfigKey::DisableNagle, std::wstring(2047, L'0') + L"1", cfg);
  EXPECT_FALSE(cfg.disableNagle);
  config::applyValue(ConfigKey::MaxReceiveSize, std::wstring(2047, L' ') + L"90000", cfg);
  EXPECT_EQ(cfg.maxReceiveSize, 41088u);
  config::applyValue(ConfigKey::MaxReceiveSize, std::wstring(2042, L' ') + L"90000", cfg);
  EXPECT_EQ(cfg.maxReceiveSize, 90000u);
}

TEST(ConfigSection, NamesFollowTheIndex) {
  EXPECT_EQ(config::sectionName(0), L"SimConnect");
  EXPECT_EQ(config::sectionName(1), L"SimConnect.1");
  EXPECT_EQ(config::sectionName(2), L"SimConnect.2");
  EXPECT_EQ(config::sectionName(4294967294u), L"SimConnect.4294967294");
}

TEST(ConfigSection, OnlyIndexesOneTo4294967294NeedTheirSection) {
  EXPECT_FALSE(config::sectionRequired(0));
  EXPECT_TRUE(config::sectionRequired(1));
  EXPECT_TRUE(config::sectionRequired(2147483648u));
  EXPECT_TRUE(config::sectionRequired(4294967294u));
  EXPECT_FALSE(config::sectionRequired(4294967295u));

  EXPECT_TRUE(config::readsFiles(0));
  EXPECT_TRUE(config::readsFiles(4294967294u));
  EXPECT_FALSE(config::readsFiles(4294967295u));
}

// Stands in for the registry: records each request and answers with a fixed port.
struct FakeRegistry {
  std::vector<bool> requests; // true for IPv6
  bool published = true;
  std::wstring ipv4Port = L"500";
  std::wstring ipv6Port = L"600";

  config::RegistryPortReader reader() {
    return [this](bool ipv6, std::wstring& port) {
      requests.push_back(ipv6);
      port = published ? (ipv6 ? ipv6Port : ipv4Port) : L"";
      return published;
    };
  }
};

config::SectionValues section(std::wstring protocol, std::wstring address, std::wstring port,
                              std::wstring maxReceiveSize, std::wstring disableNagle) {
  return {std::move(protocol), std::move(address), std::move(port), std::move(maxReceiveSize),
          std::move(disableNagle)};
}

TEST(ConfigApplySection, AppliesEveryKey) {
  FakeRegistry registry;
  ConnectionConfig cfg;
  config::applySection(section(L"ipv6", L"sim-host", L"5000", L"65536", L"1"), cfg,
                       registry.reader());
  EXPECT_EQ(cfg.protocol, TransportProtocol::IPv6);
  EXPECT_EQ(cfg.address, L"sim-host");
  EXPECT_EQ(cfg.port, L"5000");
  EXPECT_EQ(cfg.maxReceiveSize, 65536u);
  EXPECT_TRUE(cfg.disableNagle);
  EXPECT_TRUE(registry.requests.empty());
}

TEST(ConfigApplySection, EmptySectionChangesNothing) {
  FakeRegistry registry;
  ConnectionConfig cfg;
  cfg.protocol = TransportProtocol::IPv4;
  cfg.address = L"a";
  cfg.port = L"p";
  cfg.maxReceiveSize = 50000;
  cfg.disableNagle = true;
  config::applySection(config::SectionValues{}, cfg, registry.reader());
  EXPECT_EQ(cfg.protocol, TransportProtocol::IPv4);
  EXPECT_EQ(cfg.address, L"a");
  EXPECT_EQ(cfg.port, L"p");
  EXPECT_EQ(cfg.maxReceiveSize, 50000u);
  EXPECT_TRUE(cfg.disableNagle);
  EXPECT_TRUE(registry.requests.empty());
}

TEST(ConfigApplySection, TcpProtocolWithoutPortTakesThatFamilysPublishedPort) {
  FakeRegistry registry;
  ConnectionConfig cfg;
  config::applySection(section(L"IPv4", L"127.0.0.1", L"", L"", L""), cfg, registry.reader());
  EXPECT_EQ(cfg.port, L"500");
  EXPECT_EQ(registry.requests, std::vector<bool>{false});

  config::applySection(section(L"ipv6", L"", L"", L"", L""), cfg, registry.reader());
  EXPECT_EQ(cfg.protocol, TransportProtocol::IPv6);
  EXPECT_EQ(cfg.port, L"600");
  EXPECT_EQ(registry.requests, (std::vector<bool>{false, true}));
}

TEST(ConfigApplySection, PortInTheSectionWinsOverThePublishedPort) {
  FakeRegistry registry;
  ConnectionConfig cfg;
  config::applySection(section(L"IPv4", L"", L"7000", L"", L""), cfg, registry.reader());
  EXPECT_EQ(cfg.port, L"7000");
  EXPECT_TRUE(registry.requests.empty());
}

TEST(ConfigApplySection, NoPublishedPortLeavesThePortEmpty) {
  FakeRegistry registry;
  registry.published = false;
  ConnectionConfig cfg;
  cfg.port = L"pipe-name-from-an-earlier-file";
  config::applySection(section(L"IPv6", L"", L"", L"", L""), cfg, registry.reader());
  EXPECT_EQ(cfg.protocol, TransportProtocol::IPv6);
  EXPECT_EQ(cfg.port, L"");
  EXPECT_EQ(registry.requests, std::vector<bool>{true});
}

TEST(ConfigApplySection, OtherProtocolsDoNotAskTheRegistry) {
  FakeRegistry registry;
  ConnectionConfig cfg;
  cfg.port = L"earlier";
  for (const wchar_t* protocol : {L"Pipe", L"Auto", L"TCP", L""}) {
    config::applySection(section(protocol, L"", L"", L"", L""), cfg, registry.reader());
  }
  EXPECT_EQ(cfg.port, L"earlier");
  EXPECT_TRUE(registry.requests.empty());
}

TEST(ConfigApplySection, PublishedPortIsBoundedLikeAnyPort) {
  FakeRegistry registry;
  registry.ipv4Port = numberedText(1500);
  ConnectionConfig cfg;
  config::applySection(section(L"IPv4", L"", L"", L"", L""), cfg, registry.reader());
  EXPECT_EQ(cfg.port.size(), 1023u);
}

// Where the trace says each effective setting came from, and the trace line reader that the
// probe relies on.
TEST(ConfigSources, EachSettingNamesTheFileAndKeyThatGaveIt) {
  tracefmt::ConfigSources sources;
  ConnectionConfig config;
  config::SectionValues first{L"IPv4", L"", L"", L"100", L""};
  uint32_t before = config.maxReceiveSize;
  config::applySection(first, config, [](bool, std::wstring& port) {
    port = L"500";
    return true;
  });
  tracefmt::attributeSection(sources, L"A.cfg", L"SimConnect", first, before, config);
  EXPECT_EQ(sources.protocol, "A.cfg [SimConnect] Protocol");
  EXPECT_EQ(sources.port, "registry SimConnect_Port_IPv4");
  EXPECT_EQ(sources.maxReceiveSize, "default"); // 100 is below the default and changes nothing
  EXPECT_EQ(sources.address, "default");

  config::SectionValues second{L"TCP", L"host", L"600", L"50000", L"1"};
  before = config.maxReceiveSize;
  config::applySection(second, config, [](bool, std::wstring&) { return false; });
  tracefmt::attributeSection(sources, L"B.cfg", L"SimConnect", second, before, config);
  EXPECT_EQ(sources.protocol, "A.cfg [SimConnect] Protocol"); // TCP names no protocol
  EXPECT_EQ(sources.address, "B.cfg [SimConnect] Address");
  EXPECT_EQ(sources.port, "B.cfg [SimConnect] Port");
  EXPECT_EQ(sources.maxReceiveSize, "B.cfg [SimConnect] MaxReceiveSize");
  EXPECT_EQ(sources.disableNagle, "B.cfg [SimConnect] DisableNagle");
}

TEST(TraceLine, QuotedValuesComeBackAsWritten) {
  const std::string tricky = "C:\\a \"b\"\\ c=d ";
  tracefmt::Fields fields;
  fields.text("file", std::string_view(tricky)).number("n", 7).text("empty", std::string_view());
  const tracefmt::Record record =
      tracefmt::parseLine("2026-12-08 03:45:12.345 [0024] config-read " + fields.str() + "\r\n");
  EXPECT_EQ(record.event, "config-read");
  EXPECT_EQ(record.thread, "0024");
  ASSERT_NE(record.find("file"), nullptr);
  EXPECT_EQ(*record.find("file"), tricky);
  EXPECT_EQ(*record.find("n"), "7");
  EXPECT_EQ(*record.find("empty"), "");
  EXPECT_EQ(tracefmt::utf8(L"\u00e9\u20ac"), "\xc3\xa9\xe2\x82\xac");
  // Dump lines and damaged lines carry no event.
  EXPECT_EQ(tracefmt::parseLine("  000000  28 01 00 00").event, "");
  EXPECT_EQ(tracefmt::parseLine("2026-12-08 03:45:12.345 [0024] x a=\"open").event, "");
}

TEST(TraceLine, SentMessagesAreFoundBackToBack) {
  std::vector<uint8_t> data(16 + 20 + 3, 0);
  data[0] = 16;
  data[8] = 0x05, data[11] = 0xF0, data[12] = 9;
  data[16] = 20;
  data[24] = 0x35, data[27] = 0xF0, data[28] = 10;
  const auto found = tracefmt::sentMessages(data.data(), data.size());
  ASSERT_EQ(found.size(), 2u); // the three bytes behind them are no header
  EXPECT_EQ(found[0].type, 0xF0000005u);
  EXPECT_EQ(found[0].sequence, 9u);
  EXPECT_EQ(found[1].size, 20u);
  EXPECT_STREQ(tracefmt::clientMessageName(found[1].type), "RequestSystemState");
}

// The trace's settings file as Notepad saves it: UTF-8 with or without a mark, or UTF-16 with one.
TEST(TraceSettingsFile, EveryEncodingGivesTheSamePathWithItsNonAsciiCharacters) {
  const std::wstring expected = L"C:\\Trac\u00e9s\\\u65e5\u672c.log";
  const std::string utf8 = "[Trace]\r\nFile=C:\\Trac\xC3\xA9s\\\xE6\x97\xA5\xE6\x9C\xAC.log\r\n";
  std::string utf16 = "\xFF\xFE";
  for (const wchar_t c : L"[trace]\nfile = \"" + expected + L"\"\n") {
    utf16 += char(c & 0xFF);
    utf16 += char(c >> 8);
  }
  for (const std::string& bytes : {utf8, "\xEF\xBB\xBF" + utf8, utf16}) {
    const std::wstring text = tracecfg::decodeSettingsText(bytes);
    EXPECT_EQ(tracecfg::iniValue(text, L"Trace", L"File").value_or(L"(none)"), expected);
  }
  // Bytes that are not UTF-8 are taken one by one: an old file keeps its ASCII keys.
  const std::wstring latin1 = tracecfg::decodeSettingsText("[Trace]\nFile=caf\xE9.log\n");
  EXPECT_EQ(tracecfg::iniValue(latin1, L"Trace", L"File").value_or(L""), L"caf\u00e9.log");
}

TEST(TraceSettingsFile, OnlyTheKeyOfTheTraceSectionCounts) {
  const std::wstring text = L"File=outside.log\n[Other]\nFile=other.log\n[ Trace ]\n"
                            L"; File=comment.log\nLevel=2\n  File  =  a.log  \nFile=b.log\n";
  EXPECT_EQ(tracecfg::iniValue(text, L"Trace", L"File").value_or(L""), L"a.log");
  EXPECT_EQ(tracecfg::iniValue(text, L"trace", L"LEVEL").value_or(L""), L"2");
  EXPECT_FALSE(tracecfg::iniValue(text, L"Trace", L"MaxSizeKB"));
  EXPECT_FALSE(tracecfg::iniValue(L"[Trace]\n", L"Trace", L"File"));
}

TEST(TraceSettingsValues, BadLevelAndSizeAreTakenAsBeforeButReported) {
  auto levels = tracecfg::interpret(L"", L"");
  EXPECT_EQ(levels.level, 1);
  EXPECT_EQ(levels.maxBytes, 8192u * 1024);
  EXPECT_TRUE(levels.problems.empty());
  levels = tracecfg::interpret(L"2", L"100");
  EXPECT_EQ(levels.level, 2);
  EXPECT_EQ(levels.maxBytes, 100u * 1024);
  EXPECT_TRUE(levels.problems.empty());

  levels = tracecfg::interpret(L"verbose", L"1 MB");
  EXPECT_EQ(levels.level, 0); // no digits: off, as before
  EXPECT_EQ(levels.maxBytes, 16u * 1024);
  ASSERT_EQ(levels.problems.size(), 2u);
  EXPECT_EQ(levels.problems[0].key, "Level");
  EXPECT_EQ(levels.problems[0].value, "verbose");
  EXPECT_EQ(levels.problems[0].text, "not 0, 1 or 2: taken as 0 (the trace is off)");
  EXPECT_EQ(levels.problems[1].key, "MaxSizeKB");
  EXPECT_EQ(levels.problems[1].text, "not a number of kilobytes from 16 to 1048576: taken as 16");

  levels = tracecfg::interpret(L"5", L"0");
  EXPECT_EQ(levels.level, 2);
  EXPECT_EQ(levels.maxBytes, 8192u * 1024);
  EXPECT_EQ(levels.problems.size(), 2u);
  EXPECT_EQ(tracecfg::interpret(L"1", L"9999999").maxBytes, 1048576u * 1024);
}

} // namespace
