// The executable's resources, read the way Windows reads them: exactly one icon group,
// 500, naming exactly one 32x32 image of 16 colours, and nothing else.
#include <gtest/gtest.h>

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "wine_support.h"

namespace {

struct Resource {
  std::uintptr_t type;
  std::uintptr_t name;  // identifiers only; a named resource is recorded as 0
};

BOOL CALLBACK CollectName(HMODULE /*module*/, LPCSTR type, LPSTR name, LONG_PTR list) {
  reinterpret_cast<std::vector<Resource>*>(list)->push_back(
      {reinterpret_cast<std::uintptr_t>(type),
       IS_INTRESOURCE(name) ? reinterpret_cast<std::uintptr_t>(name) : 0});
  return TRUE;
}

BOOL CALLBACK CollectType(HMODULE module, LPSTR type, LONG_PTR list) {
  if (!IS_INTRESOURCE(type)) {
    reinterpret_cast<std::vector<Resource>*>(list)->push_back({0, 0});  // a named type
    return TRUE;
  }
  ::EnumResourceNamesA(module, type, CollectName, list);
  return TRUE;
}

#pragma pack(push, 2)
struct GroupEntry {  // one image of an RT_GROUP_ICON resource
  BYTE width, height, colours, reserved;
  WORD planes, bitCount;
  DWORD bytes;
  WORD id;
};
#pragma pack(pop)

class Executable : public testing::Test {
 protected:
  void SetUp() override {
    module_ = ::LoadLibraryExA(wintest::ToolPath().c_str(), nullptr,
                               LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
    ASSERT_NE(module_, nullptr);
  }
  void TearDown() override {
    if (module_ != nullptr) {
      ::FreeLibrary(module_);
    }
  }
  std::vector<BYTE> Bytes(LPCSTR type, std::uintptr_t id) {
    HRSRC found = ::FindResourceA(module_, MAKEINTRESOURCEA(id), type);
    if (found == nullptr) {
      return {};
    }
    const auto* data = static_cast<const BYTE*>(::LockResource(::LoadResource(module_, found)));
    return {data, data + ::SizeofResource(module_, found)};
  }
  HMODULE module_ = nullptr;
};

TEST_F(Executable, HoldsOnlyIconGroup500AndItsOneImage) {
  std::vector<Resource> resources;
  ::EnumResourceTypesA(module_, CollectType, reinterpret_cast<LONG_PTR>(&resources));
  ASSERT_EQ(resources.size(), 2U);
  const std::uintptr_t icon = reinterpret_cast<std::uintptr_t>(RT_ICON);
  const std::uintptr_t group = reinterpret_cast<std::uintptr_t>(RT_GROUP_ICON);
  const Resource& a = resources[0].type == group ? resources[0] : resources[1];
  const Resource& b = resources[0].type == group ? resources[1] : resources[0];
  EXPECT_EQ(a.type, group);
  EXPECT_EQ(a.name, 500U);
  EXPECT_EQ(b.type, icon);

  const std::vector<BYTE> directory = Bytes(RT_GROUP_ICON, 500);
  ASSERT_EQ(directory.size(), 6 + sizeof(GroupEntry));
  WORD header[3];
  std::memcpy(header, directory.data(), sizeof header);
  EXPECT_EQ(header[1], 1);  // icons, not cursors
  EXPECT_EQ(header[2], 1);  // one image
  GroupEntry entry{};
  std::memcpy(&entry, directory.data() + 6, sizeof entry);
  EXPECT_EQ(entry.width, 32);
  EXPECT_EQ(entry.height, 32);
  EXPECT_EQ(entry.colours, 16);
  EXPECT_EQ(entry.bitCount, 4);
  EXPECT_EQ(entry.id, b.name);

  // The image itself: a 32x32 bitmap (colour rows and mask rows), 4 bits a pixel.
  const std::vector<BYTE> image = Bytes(RT_ICON, b.name);
  ASSERT_EQ(image.size(), entry.bytes);
  ASSERT_GE(image.size(), sizeof(BITMAPINFOHEADER));
  BITMAPINFOHEADER bitmap{};
  std::memcpy(&bitmap, image.data(), sizeof bitmap);
  EXPECT_EQ(bitmap.biWidth, 32);
  EXPECT_EQ(bitmap.biHeight, 64);
  EXPECT_EQ(bitmap.biBitCount, 4);
  EXPECT_EQ(bitmap.biCompression, static_cast<DWORD>(BI_RGB));
  EXPECT_EQ(image.size(), sizeof bitmap + 16 * 4 + 32 * 16 + 32 * 4);

  // Windows can make an icon of it.
  HICON made =
      ::CreateIconFromResourceEx(const_cast<BYTE*>(image.data()), static_cast<DWORD>(image.size()),
                                 TRUE, 0x00030000, 32, 32, LR_DEFAULTCOLOR);
  EXPECT_NE(made, nullptr);
  if (made != nullptr) {
    ::DestroyIcon(made);
  }
}

}  // namespace
