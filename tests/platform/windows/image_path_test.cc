#include "platform/windows/image_path.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

namespace kolvex::win {
namespace {

std::string printable(std::u16string_view path) {
  std::string text;
  for (char16_t c : path) {
    text += c < 0x80 ? std::string(1, static_cast<char>(c)) : "\\u" + std::to_string(c);
  }
  return text;
}

TEST(ImagePathTest, ExeNameIsTheLastPlainComponent) {
  struct Case {
    std::u16string_view path;
    std::string_view name;
  };
  const Case cases[] = {
      {u"C:\\Program Files\\App\\app.exe", "app.exe"},
      {u"C:/Program Files/App/app.exe", "app.exe"},
      {u"C:\\Program Files/App\\app.exe", "app.exe"},
      {u"C:\\Zoom\\bin\\ZOOM.Exe", "ZOOM.Exe"},
      {u"C:\\tools\\noextension", "noextension"},
      {u"C:\\tools\\app.exe\\", "app.exe"},
      {u"C:\\tools\\app.exe\\/\\", "app.exe"},
      {u"C:\\tools\\..\\app.exe", "app.exe"},
      {u"C:\\tools\\ app.exe ", " app.exe "},
      {u"app.exe", "app.exe"},
      {u"tools\\app.exe", "app.exe"},
      {u"\\app.exe", "app.exe"},
      {u"/app.exe", "app.exe"},
      // Drive-relative, as Windows reads it: any unit before a colon is a drive.
      {u"C:app.exe", "app.exe"},
      {u"C:tools\\app.exe", "app.exe"},
      {u"\\\\server\\share\\tools\\app.exe", "app.exe"},
      {u"\\\\server\\share\\app.exe", "app.exe"},
      {u"//server/share/app.exe", "app.exe"},
      // "\\.x" is no device: a server named ".x".
      {u"\\\\.x\\share\\app.exe", "app.exe"},
      {u"\\\\?\\C:\\tools\\app.exe", "app.exe"},
      {u"\\\\.\\C:\\tools\\app.exe", "app.exe"},
      {u"//./C:/tools/app.exe", "app.exe"},
      {u"\\\\?\\UNC\\server\\share\\app.exe", "app.exe"},
      {u"\\\\?\\unc\\server\\share\\app.exe", "app.exe"},
      {u"\\??\\C:\\tools\\app.exe", "app.exe"},
      {u"\\??\\UNC\\server\\share\\app.exe", "app.exe"},
      {u"\\\\?\\GLOBALROOT\\Device\\HarddiskVolume3\\app.exe", "app.exe"},
      {u"\\\\?\\Volume{26a21bda-a627-11d7-9931-806e6f6e6963}\\app.exe", "app.exe"},
      {u"C:\\\u041C\u0422\u0421\\\u041C\u0422\u0421 \u041B\u0418\u041D\u041A.EXE",
       "\xD0\x9C\xD0\xA2\xD0\xA1 \xD0\x9B\xD0\x98\xD0\x9D\xD0\x9A.EXE"},
      {u"C:\\tools\\\xD83D\xDE00.exe", "\xF0\x9F\x98\x80.exe"},
      // Only the name has to be valid UTF-16.
      {u"C:\\\xD800\\app.exe", "app.exe"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(exe_name_from_image_path(c.path), std::optional<std::string>(c.name))
        << printable(c.path);
  }
}

TEST(ImagePathTest, PrefixesRootsAndNonNamesGiveNothing) {
  const std::u16string_view paths[] = {
      u"",
      u"\\",
      u"/",
      u"\\/\\",
      u"C:",
      u"C:\\",
      u"C:/",
      u"\\\\",
      u"\\\\server",
      u"\\\\server\\",
      u"\\\\server\\share",
      u"\\\\server\\share\\",
      u"\\\\.x\\share",
      u"\\\\.",
      u"\\\\?",
      u"\\\\.\\",
      u"\\\\?\\",
      u"\\\\?\\C:",
      u"\\\\?\\C:\\",
      u"\\\\.\\C:\\",
      u"\\\\?\\Volume{26a21bda-a627-11d7-9931-806e6f6e6963}\\",
      u"\\\\?\\UNC",
      u"\\\\?\\UNC\\server",
      u"\\\\?\\UNC\\server\\share\\",
      u"\\??\\",
      u"\\??\\C:",
      u"\\??\\C:\\",
      u".",
      u"..",
      u"C:..",
      u"C:\\tools\\..",
      u"C:\\tools\\..\\",
      u"C:\\tools\\.",
      u"\\\\server\\share\\..",
      u"C:\\tools\\app\xD800.exe",
      u"C:\\tools\\\xDC00",
      u"C:\\tools\\\xDE00\xD83D.exe",
  };
  for (std::u16string_view path : paths) {
    EXPECT_EQ(exe_name_from_image_path(path), std::nullopt) << printable(path);
  }
}

}  // namespace
}  // namespace kolvex::win
