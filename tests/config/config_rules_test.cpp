// The value rules of SimConnect.cfg, without files: number parsing, protocol names, bounds,
// section names and the order in which one section's keys are applied.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "connection/ConfigRules.h"

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

// Where each effective setting came from, as the trace reports it.
TEST(ConfigSources, EachSettingNamesTheFileAndKeyThatGaveIt) {
  config::ConfigSources sources;
  ConnectionConfig config;
  config::SectionValues first{L"IPv4", L"", L"", L"100", L""};
  uint32_t before = config.maxReceiveSize;
  config::applySection(first, config, [](bool, std::wstring& port) {
    port = L"500";
    return true;
  });
  config::attributeSection(sources, L"A.cfg", L"SimConnect", first, before, config);
  EXPECT_EQ(sources.protocol, L"A.cfg [SimConnect] Protocol");
  EXPECT_EQ(sources.port, L"registry SimConnect_Port_IPv4");
  EXPECT_EQ(sources.maxReceiveSize, L"default"); // 100 is below the default and changes nothing
  EXPECT_EQ(sources.address, L"default");

  config::SectionValues second{L"TCP", L"host", L"600", L"50000", L"1"};
  before = config.maxReceiveSize;
  config::applySection(second, config, [](bool, std::wstring&) { return false; });
  config::attributeSection(sources, L"B.cfg", L"SimConnect", second, before, config);
  EXPECT_EQ(sources.protocol, L"A.cfg [SimConnect] Protocol"); // TCP names no protocol
  EXPECT_EQ(sources.address, L"B.cfg [SimConnect] Address");
  EXPECT_EQ(sources.port, L"B.cfg [SimConnect] Port");
  EXPECT_EQ(sources.maxReceiveSize, L"B.cfg [SimConnect] MaxReceiveSize");
  EXPECT_EQ(sources.disableNagle, L"B.cfg [SimConnect] DisableNagle");
}

} // namespace
