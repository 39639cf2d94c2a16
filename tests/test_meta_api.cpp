// The program's facts document (/api/meta): which items are marked as
// needing administrator rights, and the document's exact text.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "api/meta_api.h"
#include "rules/tamsel_core.h"
#include "tamsel_version.h"

namespace {

tamsel::RuleItem ItemWith(const std::string& id, tamsel::ItemMode mode,
                          std::vector<std::wstring> paths, const std::string& desc = "") {
  tamsel::RuleItem it;
  it.id = id;
  it.mode = mode;
  it.desc = desc;
  for (const std::wstring& p : paths) {
    tamsel::Target t;
    t.path = p;
    it.targets.push_back(t);
  }
  return it;
}

TEST(NeedsAdmin, SystemDirectoriesOfAnyDriveWholeNamesOnly) {
  struct Case {
    std::wstring path;
    bool admin;
  };
  const Case cases[] = {
      {L"C:\\Windows", true},
      {L"C:\\Windows\\Prefetch", true},
      {L"c:\\WINDOWS\\Temp", true},
      {L"D:\\Windows\\Logs", true},
      {L"C:\\Program Files\\App\\cache", true},
      {L"C:\\Program Files (x86)\\App", true},
      {L"C:\\Program Files (x86)", true},
      {L"C:\\Windows.old\\x", false},
      {L"C:\\WindowsApps", false},
      {L"C:\\Program Filesx", false},
      {L"C:\\Users\\me\\AppData\\Local\\Temp", false},
      {L"C:\\Users\\me\\Windows", false},
      {L"\\Windows\\Temp", false},
      {L"C:Windows\\Temp", false},
      {L"", false},
  };
  for (const Case& c : cases)
    EXPECT_EQ(tamsel::NeedsAdmin(ItemWith("x", tamsel::ItemMode::Files, {c.path})), c.admin)
        << std::string(c.path.begin(), c.path.end());
}

TEST(NeedsAdmin, AnyTargetOrTheHibernationModeDecidesNeverTheWording) {
  EXPECT_TRUE(tamsel::NeedsAdmin(
      ItemWith("x", tamsel::ItemMode::Files, {L"C:\\Users\\me\\Temp", L"C:\\Windows\\Temp"})));
  EXPECT_FALSE(tamsel::NeedsAdmin(
      ItemWith("x", tamsel::ItemMode::Files, {L"C:\\Users\\me\\Temp", L"C:\\Users\\me\\Logs"})));
  EXPECT_TRUE(tamsel::NeedsAdmin(ItemWith("x", tamsel::ItemMode::Hibernate, {})));
  EXPECT_FALSE(tamsel::NeedsAdmin(ItemWith("x", tamsel::ItemMode::Measure, {})));
  // What the description says decides nothing.
  EXPECT_FALSE(tamsel::NeedsAdmin(
      ItemWith("x", tamsel::ItemMode::Files, {L"C:\\Users\\me"}, "服务日志，需管理员")));
}

// The space map's kinds as the page receives them: the program's one table,
// in its order, "其他" last with no extension of its own.
const std::string kKinds =
    "[{\"kind\":\"视频\",\"extensions\":[\"mp4\",\"m4v\",\"mkv\",\"avi\",\"mov\",\"wmv\","
    "\"flv\",\"f4v\",\"webm\",\"mpg\",\"mpeg\",\"m2ts\",\"mts\",\"ts\",\"vob\",\"3gp\","
    "\"rmvb\",\"rm\",\"asf\"]},"
    "{\"kind\":\"音频\",\"extensions\":[\"mp3\",\"wav\",\"flac\",\"aac\",\"m4a\",\"ogg\","
    "\"oga\",\"opus\",\"wma\",\"ape\",\"aiff\",\"aif\",\"mid\",\"midi\",\"amr\"]},"
    "{\"kind\":\"图片\",\"extensions\":[\"jpg\",\"jpeg\",\"png\",\"gif\",\"bmp\",\"webp\","
    "\"tif\",\"tiff\",\"heic\",\"heif\",\"raw\",\"cr2\",\"nef\",\"arw\",\"dng\",\"psd\","
    "\"ico\",\"svg\"]},"
    "{\"kind\":\"压缩包\",\"extensions\":[\"zip\",\"rar\",\"7z\",\"tar\",\"gz\",\"tgz\","
    "\"bz2\",\"xz\",\"zst\",\"lz4\",\"cab\",\"lzma\",\"z\"]},"
    "{\"kind\":\"安装包\",\"extensions\":[\"msi\",\"msix\",\"msixbundle\",\"appx\","
    "\"appxbundle\",\"msu\",\"msp\",\"apk\"]},"
    "{\"kind\":\"光盘与虚拟磁盘\",\"extensions\":[\"iso\",\"img\",\"vhd\",\"vhdx\",\"vmdk\","
    "\"vdi\",\"qcow2\",\"avhdx\"]},"
    "{\"kind\":\"文档\",\"extensions\":[\"pdf\",\"doc\",\"docx\",\"xls\",\"xlsx\",\"ppt\","
    "\"pptx\",\"txt\",\"rtf\",\"odt\",\"ods\",\"odp\",\"csv\",\"md\",\"epub\",\"wps\","
    "\"et\",\"dps\"]},"
    "{\"kind\":\"程序与库\",\"extensions\":[\"exe\",\"dll\",\"sys\",\"ocx\",\"drv\",\"cpl\","
    "\"scr\",\"efi\",\"mui\"]},"
    "{\"kind\":\"其他\",\"extensions\":[]}]";

TEST(MetaJson, ExactDocumentInCatalogueOrder) {
  tamsel::Category a, b;
  a.id = "a";
  a.items = {ItemWith("one", tamsel::ItemMode::Files, {L"C:\\Windows\\Temp"}),
             ItemWith("two", tamsel::ItemMode::Files, {L"C:\\Users\\me"}),
             ItemWith("three", tamsel::ItemMode::Hibernate, {})};
  a.items[1].userFiles = true;
  a.items[0].targets.push_back(a.items[0].targets[0]);
  a.items[0].targets.back().findsChromiumCaches = true;
  b.id = "b";
  b.items = {ItemWith("fo\"ur", tamsel::ItemMode::Files, {L"D:\\Program Files\\x"})};
  EXPECT_EQ(tamsel::MetaJson("Tam\"sel", "1.2.3", {a, b}),
            "{\"ok\":true,\"name\":\"Tam\\\"sel\",\"version\":\"1.2.3\",\"feedbackMaxChars\":1800,"
            "\"detailFiles\":{\"default\":300,\"max\":5000},"
            "\"adminItems\":[\"one\",\"three\",\"fo\\\"ur\"],\"spaceKinds\":" +
                kKinds + ",\"userFileItems\":[\"two\"],\"searchItems\":[\"one\"]}");
  // The program's own name and version, from the generated header.
  EXPECT_EQ(tamsel::MetaJson(tov::kProductName, tov::kVersion, {}),
            std::string("{\"ok\":true,\"name\":\"") + tov::kProductName + "\",\"version\":\"" +
                tov::kVersion +
                "\",\"feedbackMaxChars\":1800,"
                "\"detailFiles\":{\"default\":300,\"max\":5000},\"adminItems\":[],\"spaceKinds\":" +
                kKinds + ",\"userFileItems\":[],\"searchItems\":[]}");
}

}  // namespace
