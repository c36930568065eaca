// The resources built into the dist AerolumenP3D4.exe (its manifest, its application icon) and the
// version resource of both deliverables.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

namespace {

std::wstring hostPath(const char* unixPath) {
  std::wstring path(unixPath, unixPath + std::strlen(unixPath));
  std::replace(path.begin(), path.end(), L'/', L'\\');
  return path.rfind(L"\\", 0) == 0 ? L"Z:" + path : path;
}

class LauncherResources : public ::testing::Test {
protected:
  void SetUp() override {
    module = LoadLibraryExW(hostPath(LAUNCHER_EXE).c_str(), nullptr,
                            LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
    ASSERT_NE(module, nullptr) << GetLastError();
  }
  void TearDown() override {
    if (module != nullptr) FreeLibrary(module);
  }

  std::vector<unsigned char> resource(LPCWSTR name, LPCWSTR type) {
    HRSRC found = FindResourceW(module, name, type);
    if (found == nullptr) return {};
    const auto* bytes =
        static_cast<const unsigned char*>(LockResource(LoadResource(module, found)));
    return std::vector<unsigned char>(bytes, bytes + SizeofResource(module, found));
  }

  HMODULE module = nullptr;
};

BOOL CALLBACK collectName(HMODULE, LPCWSTR, LPWSTR name, LONG_PTR names) {
  reinterpret_cast<std::vector<ULONG_PTR>*>(names)->push_back(reinterpret_cast<ULONG_PTR>(name));
  return TRUE;
}

TEST_F(LauncherResources, ManifestAsksForTheInvokersRightsWithoutUiAccess) {
  std::vector<ULONG_PTR> names;
  EnumResourceNamesW(module, MAKEINTRESOURCEW(24), collectName, reinterpret_cast<LONG_PTR>(&names));
  EXPECT_EQ(names, std::vector<ULONG_PTR>{1}) << "exactly one manifest, id 1";

  const auto bytes = resource(MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(24));
  const std::string manifest(bytes.begin(), bytes.end());
  EXPECT_NE(manifest.find("<requestedExecutionLevel level=\"asInvoker\" uiAccess=\"false\"/>"),
            std::string::npos)
      << manifest;
  EXPECT_EQ(manifest.find("requireAdministrator"), std::string::npos);
}

TEST_F(LauncherResources, ManifestDeclaresCurrentWindowsDpiAndCommonControls) {
  const auto bytes = resource(MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(24));
  const std::string manifest(bytes.begin(), bytes.end());
  // The supportedOS ids of Windows 7, 8, 8.1 and 10/11.
  for (const char* id :
       {"{35138b9a-5d96-4fbd-8e2d-a2440225f93a}", "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}",
        "{1f676c76-80e1-4239-95bb-83d0f6d0da78}", "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"}) {
    EXPECT_NE(manifest.find(std::string("<supportedOS Id=\"") + id + "\"/>"), std::string::npos)
        << id;
  }
  EXPECT_NE(manifest.find(">PerMonitorV2, PerMonitor</dpiAwareness>"), std::string::npos);
  EXPECT_NE(manifest.find(">true/pm</dpiAware>"), std::string::npos);
  EXPECT_NE(manifest.find("name=\"Microsoft.Windows.Common-Controls\" version=\"6.0.0.0\""),
            std::string::npos);
  EXPECT_NE(manifest.find("publicKeyToken=\"6595b64144ccf1df\""), std::string::npos);
}

#pragma pack(push, 1)
struct GroupIconEntry {
  BYTE width, height, colourCount, reserved;
  WORD planes, bitCount;
  DWORD bytesInResource;
  WORD id;
};
#pragma pack(pop)

struct ExpectedImage {
  int side;
  int bits;
};

TEST_F(LauncherResources, IconGroup105HoldsThirteenImagesThatLoad) {
  const auto group = resource(MAKEINTRESOURCEW(105), MAKEINTRESOURCEW(14)); // RT_GROUP_ICON
  ASSERT_GE(group.size(), 6u);
  WORD header[3];
  std::memcpy(header, group.data(), sizeof header);
  EXPECT_EQ(header[0], 0);
  EXPECT_EQ(header[1], 1);
  ASSERT_EQ(header[2], 13);
  ASSERT_EQ(group.size(), 6u + 13 * 14);

  const ExpectedImage expected[13] = {{256, 32}, {64, 32}, {48, 32}, {40, 32}, {32, 32},
                                      {24, 32},  {20, 32}, {16, 32}, {48, 8},  {32, 8},
                                      {16, 8},   {32, 4},  {16, 4}};
  for (int i = 0; i < 13; ++i) {
    GroupIconEntry entry;
    std::memcpy(&entry, group.data() + 6 + 14 * i, sizeof entry);
    const int side = expected[i].side;
    SCOPED_TRACE(std::to_string(side) + " px, " + std::to_string(expected[i].bits) + " bit");
    EXPECT_EQ(entry.width == 0 ? 256 : entry.width, side);
    EXPECT_EQ(entry.height == 0 ? 256 : entry.height, side);
    EXPECT_EQ(entry.bitCount, expected[i].bits);
    EXPECT_EQ(entry.colourCount, expected[i].bits == 4 ? 16 : 0);
    EXPECT_EQ(entry.planes, 1);

    auto image = resource(MAKEINTRESOURCEW(entry.id), MAKEINTRESOURCEW(3)); // RT_ICON
    ASSERT_EQ(image.size(), entry.bytesInResource);
    HICON icon = CreateIconFromResourceEx(image.data(), static_cast<DWORD>(image.size()), TRUE,
                                          0x00030000, side, side, LR_DEFAULTCOLOR);
    ASSERT_NE(icon, nullptr) << GetLastError();
    ICONINFO info = {};
    ASSERT_TRUE(GetIconInfo(icon, &info));
    BITMAP colour = {};
    GetObjectW(info.hbmColor, sizeof colour, &colour);
    EXPECT_EQ(colour.bmWidth, side);
    EXPECT_EQ(colour.bmHeight, side);
    if (info.hbmColor) DeleteObject(info.hbmColor);
    if (info.hbmMask) DeleteObject(info.hbmMask);
    DestroyIcon(icon);
  }
}

TEST_F(LauncherResources, IconLoadsByItsGroupId) {
  for (int side : {16, 32, 48, 256}) {
    SCOPED_TRACE(side);
    HANDLE icon = LoadImageW(module, MAKEINTRESOURCEW(105), IMAGE_ICON, side, side, 0);
    ASSERT_NE(icon, nullptr) << GetLastError();
    DestroyIcon(static_cast<HICON>(icon));
  }
}

struct VersionedBinary {
  const char* path;
  const wchar_t* originalName;
  DWORD fileType; // 1 application, 2 DLL
};

std::wstring versionString(const std::vector<unsigned char>& info, const wchar_t* name) {
  void* value = nullptr;
  UINT length = 0;
  const std::wstring key = std::wstring(L"\\StringFileInfo\\040904B0\\") + name;
  if (!VerQueryValueW(info.data(), key.c_str(), &value, &length) || length == 0) return L"(none)";
  return std::wstring(static_cast<const wchar_t*>(value));
}

TEST(VersionResource, BothDeliverablesCarryTheProjectVersion) {
  const std::wstring version = L"" WB_VERSION_TEXT;
  for (const VersionedBinary& binary : {VersionedBinary{LAUNCHER_EXE, L"AerolumenP3D4.exe", 1},
                                        VersionedBinary{WIREBRIDGE_DLL, L"Wirebridge.dll", 2}}) {
    SCOPED_TRACE(binary.path);
    const std::wstring path = hostPath(binary.path);
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeW(path.c_str(), &ignored);
    ASSERT_GT(size, 0u) << "no version resource, error " << GetLastError();
    std::vector<unsigned char> info(size);
    ASSERT_TRUE(GetFileVersionInfoW(path.c_str(), 0, size, info.data()));

    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    ASSERT_TRUE(VerQueryValueW(info.data(), L"\\", reinterpret_cast<void**>(&fixed), &length));
    ASSERT_EQ(length, sizeof(VS_FIXEDFILEINFO));
    EXPECT_EQ(fixed->dwSignature, 0xFEEF04BDu);
    const DWORD high = (WB_VERSION_MAJOR << 16) | WB_VERSION_MINOR;
    const DWORD low = DWORD(WB_VERSION_PATCH) << 16;
    EXPECT_EQ(fixed->dwFileVersionMS, high);
    EXPECT_EQ(fixed->dwFileVersionLS, low);
    EXPECT_EQ(fixed->dwProductVersionMS, high);
    EXPECT_EQ(fixed->dwProductVersionLS, low);
    EXPECT_EQ(fixed->dwFileType, binary.fileType);

    EXPECT_EQ(versionString(info, L"FileVersion"), version);
    EXPECT_EQ(versionString(info, L"ProductVersion"), version);
    EXPECT_EQ(versionString(info, L"ProductName"), L"Aerolumen for Prepar3D v4");
    EXPECT_EQ(versionString(info, L"OriginalFilename"), binary.originalName);
    EXPECT_NE(versionString(info, L"FileDescription"), L"(none)");
  }
}

} // namespace
