// The configuration lookup against real SimConnect.cfg files in the three folders it searches
// (Public Documents, the user's Documents, the current directory) and real registry values.
#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>

#include "ScopedConfigEnvironment.h"
#include "connection/ConfigLookup.h"

namespace {

constexpr uint32_t kNoFile = 4294967295u;

class ConfigLookupTest : public testing::Test {
protected:
  // Members are built in this order: the current directory exists before its file is named.
  ScopedCurrentDirectory currentDirectory_;
  ScopedFile publicFile_{knownFolderPath(kPublicDocumentsFolder) / L"SimConnect.cfg"};
  ScopedFile documentsFile_{knownFolderPath(kDocumentsFolder) / L"SimConnect.cfg"};
  ScopedFile currentFile_{currentDirectory_.path() / L"SimConnect.cfg"};
  ScopedPortsKey userPorts_{HKEY_CURRENT_USER};
  ScopedPortsKey machinePorts_{HKEY_LOCAL_MACHINE};

  static ConnectionConfig load(uint32_t index) {
    ConnectionConfig cfg;
    cfg.protocol = TransportProtocol::IPv6; // not a default: shows that loading starts afresh
    cfg.address = L"stale";
    cfg.port = L"stale";
    cfg.maxReceiveSize = 1;
    cfg.disableNagle = true;
    loadConnectionConfig(index, cfg);
    return cfg;
  }

  static void expectDefaults(const ConnectionConfig& cfg) {
    EXPECT_EQ(cfg.protocol, TransportProtocol::Pipe);
    EXPECT_EQ(cfg.address, L"");
    EXPECT_EQ(cfg.port, L"");
    EXPECT_EQ(cfg.maxReceiveSize, 41088u);
    EXPECT_FALSE(cfg.disableNagle);
  }
};

TEST_F(ConfigLookupTest, SearchesTheDocumentsFoldersAndTheCurrentDirectory) {
  // The three files really are three different places.
  EXPECT_NE(publicFile_.path(), documentsFile_.path());
  EXPECT_NE(documentsFile_.path(), currentFile_.path());
  publicFile_.write("[SimConnect]\r\nAddress=public\r\n");
  EXPECT_EQ(load(0).address, L"public");
  documentsFile_.write("[SimConnect]\r\nAddress=documents\r\n");
  EXPECT_EQ(load(0).address, L"documents");
  currentFile_.write("[SimConnect]\r\nAddress=current\r\n");
  EXPECT_EQ(load(0).address, L"current");
}

TEST_F(ConfigLookupTest, IndexZeroWithoutAnyFileGivesTheDefaults) {
  EXPECT_EQ(findConfigSection(0), 0u);
  expectDefaults(load(0));
}

TEST_F(ConfigLookupTest, IndexZeroWithFilesWithoutItsSectionGivesTheDefaults) {
  publicFile_.write("[SimConnect.1]\r\nProtocol=IPv4\r\nAddress=elsewhere\r\n");
  currentFile_.write("[Other]\r\nAddress=other\r\n");
  EXPECT_EQ(findConfigSection(0), 0u);
  expectDefaults(load(0));
}

TEST_F(ConfigLookupTest, LastIndexReadsNoFileAtAll) {
  const std::string content = "[SimConnect]\r\nProtocol=IPv4\r\nAddress=10.0.0.9\r\nPort=500\r\n"
                              "MaxReceiveSize=90000\r\nDisableNagle=1\r\n"
                              "[SimConnect.4294967295]\r\nAddress=numbered\r\nPort=501\r\n";
  publicFile_.write(content);
  documentsFile_.write(content);
  currentFile_.write(content);
  EXPECT_EQ(findConfigSection(kNoFile), 0u);
  expectDefaults(load(kNoFile));
  // The same files are read for index 0.
  EXPECT_EQ(load(0).address, L"10.0.0.9");
}

TEST_F(ConfigLookupTest, SectionOnlyInTheCurrentDirectoryIsFoundAndUsed) {
  publicFile_.write("[SimConnect]\r\nAddress=public\r\n");
  documentsFile_.write("[SimConnect.2]\r\nAddress=two\r\n");
  currentFile_.write("[SimConnect]\r\nAddress=zero\r\n[SimConnect.3]\r\nAddress=three\r\n");
  EXPECT_EQ(findConfigSection(3), 0u);
  EXPECT_EQ(load(3).address, L"three");
  EXPECT_EQ(load(2).address, L"two");
}

TEST_F(ConfigLookupTest, SectionInTheFirstLocationIsFound) {
  publicFile_.write("[SimConnect.4294967294]\r\nPort=9\r\n");
  EXPECT_EQ(findConfigSection(4294967294u), 0u);
  EXPECT_EQ(load(4294967294u).port, L"9");
}

TEST_F(ConfigLookupTest, SectionWithoutLinesCountsAsMissing) {
  const std::string content = "[SimConnect]\r\nAddress=zero\r\n[SimConnect.3]\r\n"
                              "[SimConnect.4]\r\nAddress=four\r\n";
  publicFile_.write(content);
  documentsFile_.write(content);
  currentFile_.write(content + "[SimConnect.3]\r\n");
  EXPECT_EQ(findConfigSection(3), 3u);
  EXPECT_EQ(findConfigSection(4), 0u);
  EXPECT_EQ(findConfigSection(5), 3u);
  // Loading a missing section is no error: the defaults stand.
  expectDefaults(load(3));
}

TEST_F(ConfigLookupTest, NumberedSectionWithoutAnyFileIsMissing) {
  EXPECT_EQ(findConfigSection(1), 3u);
  EXPECT_EQ(findConfigSection(4294967294u), 3u);
}

TEST_F(ConfigLookupTest, LaterLocationsWinKeyByKeyAndKeysCombine) {
  publicFile_.write("[SimConnect]\r\nAddress=public-host\r\nPort=pipe-public\r\n");
  documentsFile_.write("[SimConnect]\r\nDisableNagle=1\r\n");
  currentFile_.write("[SimConnect]\r\nAddress=current-host\r\n");
  const ConnectionConfig cfg = load(0);
  EXPECT_EQ(cfg.address, L"current-host");
  EXPECT_EQ(cfg.port, L"pipe-public");
  EXPECT_TRUE(cfg.disableNagle);
  EXPECT_EQ(cfg.protocol, TransportProtocol::Pipe);
  EXPECT_EQ(cfg.maxReceiveSize, 41088u);
}

TEST_F(ConfigLookupTest, DocumentsWinOverPublicDocuments) {
  publicFile_.write("[SimConnect]\r\nAddress=public-host\r\nPort=1\r\n");
  documentsFile_.write("[SimConnect]\r\nPort=2\r\n");
  const ConnectionConfig cfg = load(0);
  EXPECT_EQ(cfg.address, L"public-host");
  EXPECT_EQ(cfg.port, L"2");
}

TEST_F(ConfigLookupTest, NamesAndValuesMatchInAnyLetterCase) {
  currentFile_.write("[simconnect.2]\r\nprotocol=ipv6\r\nADDRESS=::1\r\nport=5000\r\n"
                     "maxreceivesize=70000\r\nDISABLENAGLE=1\r\n");
  EXPECT_EQ(findConfigSection(2), 0u);
  const ConnectionConfig cfg = load(2);
  EXPECT_EQ(cfg.protocol, TransportProtocol::IPv6);
  EXPECT_EQ(cfg.address, L"::1");
  EXPECT_EQ(cfg.port, L"5000");
  EXPECT_EQ(cfg.maxReceiveSize, 70000u);
  EXPECT_TRUE(cfg.disableNagle);
}

TEST_F(ConfigLookupTest, UnknownProtocolLeavesTheEarlierOne) {
  currentFile_.write("[SimConnect]\r\nProtocol=TCP\r\n");
  EXPECT_EQ(load(0).protocol, TransportProtocol::Pipe);
  publicFile_.write("[SimConnect]\r\nProtocol=IPv4\r\nPort=1\r\n");
  EXPECT_EQ(load(0).protocol, TransportProtocol::IPv4);
  documentsFile_.write("[SimConnect]\r\nProtocol=Auto\r\n");
  EXPECT_EQ(load(0).protocol, TransportProtocol::Pipe);
}

TEST_F(ConfigLookupTest, LongValuesAreCut) {
  std::string address;
  for (int i = 0; i < 1500; ++i) {
    address += static_cast<char>('a' + i % 26);
  }
  // A digit as the 2048th character of a value is beyond what the file read keeps.
  currentFile_.write("[SimConnect]\r\nAddress=" + address + "\r\nPort=" + std::string(1023, '7') +
                     "\r\nDisableNagle=" + std::string(2047, '0') +
                     "1\r\nMaxReceiveSize=" + std::string(2047, '0') + "90000\r\n");
  documentsFile_.write("[SimConnect]\r\nDisableNagle=1\r\n");
  const ConnectionConfig cfg = load(0);
  ASSERT_EQ(cfg.address.size(), 1023u);
  EXPECT_EQ(cfg.address, std::wstring(address.begin(), address.begin() + 1023));
  EXPECT_EQ(cfg.address.back(), L'a' + 1022 % 26);
  EXPECT_EQ(cfg.port, std::wstring(1023, L'7'));
  EXPECT_FALSE(cfg.disableNagle);
  EXPECT_EQ(cfg.maxReceiveSize, 41088u);

  currentFile_.write("[SimConnect]\r\nDisableNagle=" + std::string(2046, '0') + "1\r\n" +
                     "MaxReceiveSize=" + std::string(2042, '0') + "90000\r\n");
  const ConnectionConfig justInside = load(0);
  EXPECT_TRUE(justInside.disableNagle);
  EXPECT_EQ(justInside.maxReceiveSize, 90000u);
}

TEST_F(ConfigLookupTest, LargestMaxReceiveSizeOfAnyFileWins) {
  publicFile_.write("[SimConnect]\r\nMaxReceiveSize=90000\r\n");
  documentsFile_.write("[SimConnect]\r\nMaxReceiveSize=abc\r\n");
  currentFile_.write("[SimConnect]\r\nMaxReceiveSize=60000\r\n");
  EXPECT_EQ(load(0).maxReceiveSize, 90000u);
  publicFile_.write("[SimConnect]\r\nMaxReceiveSize=100\r\n");
  EXPECT_EQ(load(0).maxReceiveSize, 60000u);
  currentFile_.write("[SimConnect]\r\nMaxReceiveSize=100\r\n");
  EXPECT_EQ(load(0).maxReceiveSize, 41088u);
  documentsFile_.write("[SimConnect]\r\nMaxReceiveSize=-1\r\n");
  EXPECT_EQ(load(0).maxReceiveSize, 4294967295u);
}

TEST_F(ConfigLookupTest, DisableNagleFollowsTheLastNumberGiven) {
  publicFile_.write("[SimConnect]\r\nDisableNagle=-1\r\n");
  EXPECT_TRUE(load(0).disableNagle);
  documentsFile_.write("[SimConnect]\r\nDisableNagle=yes\r\n");
  EXPECT_FALSE(load(0).disableNagle);
  documentsFile_.write("[SimConnect]\r\nDisableNagle=1\r\n");
  currentFile_.write("[SimConnect]\r\nDisableNagle=\r\n");
  EXPECT_TRUE(load(0).disableNagle);
  currentFile_.write("[SimConnect]\r\nDisableNagle=0\r\n");
  EXPECT_FALSE(load(0).disableNagle);
}

// A folder below the current directory whose full path has `length` characters.
std::filesystem::path nestedFolder(const std::filesystem::path& base, size_t length) {
  std::wstring path = base.wstring();
  while (path.size() < length) {
    path += L'\\';
    path += std::wstring(std::min<size_t>(100, std::max<size_t>(length - path.size(), 1)), L'd');
  }
  path.resize(length);
  if (path.back() == L'\\') {
    path.back() = L'e';
  }
  return path;
}

TEST_F(ConfigLookupTest, CurrentDirectoryWhosePathDoesNotFitIsSkipped) {
  publicFile_.write("[SimConnect]\r\nAddress=public\r\n[SimConnect.3]\r\n");
  // 259 characters is the longest folder that fits, but the file's path then does not; 300
  // characters do not fit at all.
  for (const size_t length : {size_t{250}, size_t{259}, size_t{300}}) {
    const std::filesystem::path folder = nestedFolder(currentDirectory_.path(), length);
    std::filesystem::create_directories(folder);
    {
      std::ofstream file(folder / L"SimConnect.cfg", std::ios::binary);
      file << "[SimConnect]\r\nAddress=current\r\n[SimConnect.3]\r\nPort=3\r\n";
    }
    ASSERT_TRUE(std::filesystem::exists(folder / L"SimConnect.cfg"));
    if (!SetCurrentDirectoryW(folder.c_str())) {
      GTEST_SKIP() << "this system refuses a current directory of " << length << " characters";
    }
    EXPECT_EQ(load(0).address, L"public") << length;
    EXPECT_EQ(findConfigSection(3), 3u) << length;
  }
  // The same file in a folder that fits is read.
  const std::filesystem::path fitting = nestedFolder(currentDirectory_.path(), 200);
  std::filesystem::create_directories(fitting);
  std::filesystem::copy_file(nestedFolder(currentDirectory_.path(), 250) / L"SimConnect.cfg",
                             fitting / L"SimConnect.cfg");
  ASSERT_TRUE(SetCurrentDirectoryW(fitting.c_str()));
  EXPECT_EQ(load(0).address, L"current");
  EXPECT_EQ(findConfigSection(3), 0u);
}

TEST_F(ConfigLookupTest, ReadConfigSectionTouchesOnlyTheKeysTheFileGives) {
  currentFile_.write("[SimConnect.7]\r\nPort=7000\r\nAddress=\r\n");
  ConnectionConfig cfg;
  cfg.address = L"kept";
  readConfigSection(currentFile_.path().c_str(), 7, cfg);
  EXPECT_EQ(cfg.address, L"kept");
  EXPECT_EQ(cfg.port, L"7000");

  const std::wstring missing = (currentDirectory_.path() / L"absent.cfg").wstring();
  readConfigSection(missing.c_str(), 7, cfg);
  readConfigSection(currentFile_.path().c_str(), 8, cfg);
  readConfigSection(nullptr, 7, cfg);
  EXPECT_EQ(cfg.address, L"kept");
  EXPECT_EQ(cfg.port, L"7000");
}

TEST_F(ConfigLookupTest, UnicodeFileKeepsNonAsciiValues) {
  // UTF-16 little-endian with its byte order mark: [SimConnect] Address=h<U+00E4>user-<U+4E2D>
  const std::wstring text = L"[SimConnect]\r\nAddress=h\x00E4user-\x4E2D\r\n";
  std::string bytes = "\xFF\xFE";
  for (const wchar_t c : text) {
    bytes += static_cast<char>(c & 0xFF);
    bytes += static_cast<char>((c >> 8) & 0xFF);
  }
  currentFile_.write(bytes);
  EXPECT_EQ(load(0).address, L"h\x00E4user-\x4E2D");
}

TEST_F(ConfigLookupTest, SectionNames) {
  EXPECT_EQ(configSectionName(0), L"SimConnect");
  EXPECT_EQ(configSectionName(2), L"SimConnect.2");
  EXPECT_EQ(configSectionName(4294967294u), L"SimConnect.4294967294");
}

// --- Registry ports ---

TEST_F(ConfigLookupTest, RegistryPortIsReadPerFamily) {
  userPorts_.setString(L"SimConnect_Port_IPv4", L"500");
  userPorts_.setString(L"SimConnect_Port_IPv6", L"600");
  std::wstring port = L"stale";
  EXPECT_TRUE(readRegistryPort(false, port));
  EXPECT_EQ(port, L"500");
  EXPECT_TRUE(readRegistryPort(true, port));
  EXPECT_EQ(port, L"600");
}

TEST_F(ConfigLookupTest, MissingRegistryValueGivesEmptyPort) {
  userPorts_.setString(L"SimConnect_Port_IPv4", L"500");
  std::wstring port = L"stale";
  EXPECT_FALSE(readRegistryPort(true, port));
  EXPECT_EQ(port, L"");
  userPorts_.removeKey();
  port = L"stale";
  EXPECT_FALSE(readRegistryPort(false, port));
  EXPECT_EQ(port, L"");
}

TEST_F(ConfigLookupTest, RegistryValueOnlyUnderLocalMachineIsNotRead) {
  machinePorts_.setString(L"SimConnect_Port_IPv4", L"500");
  machinePorts_.setString(L"SimConnect_Port_IPv6", L"600");
  std::wstring port = L"stale";
  EXPECT_FALSE(readRegistryPort(false, port));
  EXPECT_EQ(port, L"");
  EXPECT_FALSE(readRegistryPort(true, port));
  EXPECT_EQ(port, L"");
}

TEST_F(ConfigLookupTest, RegistryValueBeyond20BytesIsRefused) {
  // Ten digits and the terminator: 22 bytes.
  userPorts_.setString(L"SimConnect_Port_IPv4", L"1234567890");
  std::wstring port = L"stale";
  EXPECT_FALSE(readRegistryPort(false, port));
  EXPECT_EQ(port, L"");
}

TEST_F(ConfigLookupTest, RegistryValueOfExactly20BytesIsRead) {
  // Nine digits and the terminator.
  userPorts_.setString(L"SimConnect_Port_IPv4", L"123456789");
  std::wstring port;
  EXPECT_TRUE(readRegistryPort(false, port));
  EXPECT_EQ(port, L"123456789");

  // Ten digits without a terminator fill the 20 bytes: the port ends after them.
  const wchar_t digits[] = L"9876543210";
  userPorts_.setValue(L"SimConnect_Port_IPv6", REG_BINARY, digits, 20);
  port = L"a-longer-earlier-port-value";
  EXPECT_TRUE(readRegistryPort(true, port));
  EXPECT_EQ(port, L"9876543210");

  // The same as a string value: Windows returns the bytes as stored, Wine asks for room to add a
  // terminator. Either way the port is the ten digits or nothing, never what lies beyond.
  userPorts_.setValue(L"SimConnect_Port_IPv6", REG_SZ, digits, 20);
  port = L"stale";
  if (readRegistryPort(true, port)) {
    EXPECT_EQ(port, L"9876543210");
  } else {
    EXPECT_EQ(port, L"");
  }
}

TEST_F(ConfigLookupTest, RegistryValueIsReadWhateverItsType) {
  // "501" as UTF-16 bytes without a terminator, stored as binary data.
  const unsigned char bytes[] = {'5', 0, '0', 0, '1', 0};
  userPorts_.setValue(L"SimConnect_Port_IPv4", REG_BINARY, bytes, sizeof bytes);
  std::wstring port = L"stale";
  EXPECT_TRUE(readRegistryPort(false, port));
  EXPECT_EQ(port, L"501");

  // An odd byte count leaves the half character out.
  const unsigned char odd[] = {'4', 0, '2', 0, '7'};
  userPorts_.setValue(L"SimConnect_Port_IPv6", REG_BINARY, odd, sizeof odd);
  EXPECT_TRUE(readRegistryPort(true, port));
  EXPECT_EQ(port, L"42");
}

// --- The published port taken by a section that names a TCP protocol without a port ---

TEST_F(ConfigLookupTest, TcpProtocolWithoutPortTakesThePublishedPort) {
  userPorts_.setString(L"SimConnect_Port_IPv4", L"500");
  userPorts_.setString(L"SimConnect_Port_IPv6", L"600");
  currentFile_.write("[SimConnect]\r\nProtocol=IPv4\r\nAddress=127.0.0.1\r\n"
                     "[SimConnect.1]\r\nProtocol=ipv6\r\nAddress=::1\r\n");
  const ConnectionConfig ipv4 = load(0);
  EXPECT_EQ(ipv4.protocol, TransportProtocol::IPv4);
  EXPECT_EQ(ipv4.port, L"500");
  const ConnectionConfig ipv6 = load(1);
  EXPECT_EQ(ipv6.protocol, TransportProtocol::IPv6);
  EXPECT_EQ(ipv6.port, L"600");
}

TEST_F(ConfigLookupTest, PortInTheFilesWinsOverThePublishedPort) {
  userPorts_.setString(L"SimConnect_Port_IPv4", L"500");
  currentFile_.write("[SimConnect]\r\nProtocol=IPv4\r\nPort=700\r\n");
  EXPECT_EQ(load(0).port, L"700");
  // A later file's Port beats the published port taken for an earlier file's Protocol.
  publicFile_.write("[SimConnect]\r\nProtocol=IPv4\r\n");
  currentFile_.write("[SimConnect]\r\nPort=800\r\n");
  EXPECT_EQ(load(0).port, L"800");
}

TEST_F(ConfigLookupTest, PublishedPortReplacesAnEarlierFilesPort) {
  publicFile_.write("[SimConnect]\r\nPort=pipe-name\r\n");
  currentFile_.write("[SimConnect]\r\nProtocol=IPv4\r\n");
  userPorts_.setString(L"SimConnect_Port_IPv4", L"500");
  EXPECT_EQ(load(0).port, L"500");
  // Nothing published: no port at all rather than the pipe name.
  userPorts_.removeValue(L"SimConnect_Port_IPv4");
  const ConnectionConfig cfg = load(0);
  EXPECT_EQ(cfg.protocol, TransportProtocol::IPv4);
  EXPECT_EQ(cfg.port, L"");
}

TEST_F(ConfigLookupTest, PipeProtocolDoesNotTakeThePublishedPort) {
  userPorts_.setString(L"SimConnect_Port_IPv4", L"500");
  userPorts_.setString(L"SimConnect_Port_IPv6", L"600");
  currentFile_.write("[SimConnect]\r\nProtocol=Pipe\r\n[SimConnect.1]\r\nProtocol=TCP\r\n");
  EXPECT_EQ(load(0).port, L"");
  EXPECT_EQ(load(1).port, L"");
  expectDefaults(load(kNoFile));
}

} // namespace
