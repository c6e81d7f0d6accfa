// The installer's resources as the built dist/x86/Ombrix_Setup.exe carries them: the strings of
// every language, the three page templates, the pictures, the icon, the manifest and the five
// files of the install. The x86 build must exist (tools/build.sh).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "Ombrix_Setup/resource.h"
#include "tests/viewer/pe_resources.h"
#include "tests/viewer/resource_reader.h"

namespace {

constexpr std::uint32_t RtIcon = 3;
constexpr std::uint32_t RtBitmap = 2;
constexpr std::uint32_t RtDialog = 5;
constexpr std::uint32_t RtString = 6;
constexpr std::uint32_t RtGroupIcon = 14;
constexpr std::uint32_t RtManifest = 24;

constexpr std::uint16_t Neutral = 0x0400;
constexpr std::uint16_t EnglishUs = 0x0409;
const std::vector<std::uint16_t> Languages = {0x0400, 0x0404, 0x0407, 0x0409, 0x040C, 0x0411, 0x0412,
                                              0x0413, 0x0415, 0x0419, 0x041E, 0x0804, 0x0816, 0x0C0A};

// Strings 501 to 523 in English, as the wizard shows them.
const std::vector<std::u16string> English = {
    u"Ombrix",
    u"System must be restarted! \nRestart the computer now?",
    u"Program installation error.  The system is 64-bits, installation program is 32-bits.",
    u"Ombrix - Installation Wizard",
    u"Welcome to Ombrix",
    u"Ombrix is a space-saving software. Using Ombrix can reduce used spaces on SSDs. \n\nThe installation wizard "
    u"will now install Ombrix on your computer, \nClick \"Next\" to proceed with the installation.",
    u"Installing Ombrix",
    u"Please wait.  The installation wizard is now installing Ombrix on your computer.",
    u"Ombrix installation complete",
    u"The installation wizard has installed Ombrix on your computer.\nPress \"Finish\" to close the installation "
    u"wizard.",
    u"Installation incomplete.  If you close the installation wizard now, Ombrix will not be installed. \n\nAre you "
    u"sure you want to close the installation wizard?",
    u"Ombrix - Uninstallation Wizard",
    u"Uninstall Ombrix",
    u"The uninstallation wizard will remove Ombrix from your computer. \nPlease press \"Next\" to proceed with the "
    u"uninstallation.",
    u"Compressed files will not affect their use. If decompression is preferred, the uninstallation process will "
    u"restore the reduced disk space. This process will take tens of minutes to complete.",
    u"Uninstalling Ombrix",
    u"Uninstalling Ombrix. This may take tens of minutes, please wait.",
    u"Ombrix successfully uninstalled",
    u"The uninstallation wizard has removed Ombrix from your system.\nClick \"Finish\" to close the uninstallation "
    u"wizard.",
    u"Uninstallation incomplete. If you close the uninstallation wizard now, Ombrix will not be uninstalled. "
    u"\n\nAre you sure you want to close the uninstallation wizard?",
    u"Decompress compressed files",
    u"The installation wizard has installed Ombrix on your computer. Files still in use are replaced when the "
    u"computer restarts; the restart completes the installation.\nPress \"Finish\" to close the installation wizard.",
    u"The uninstallation wizard has removed Ombrix from your system. Files still in use are removed when the "
    u"computer restarts; the restart completes the uninstallation.\nClick \"Finish\" to close the uninstallation "
    u"wizard.",
};

bool ReadFile(const std::string& path, std::vector<std::uint8_t>* bytes) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  bytes->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return true;
}

class SetupResources : public ::testing::Test {
 protected:
  static std::string Dist(const char* name) { return std::string(OMBRIX_DIST_DIR) + "/x86/" + name; }

  static void SetUpTestSuite() {
    std::string error;
    loaded_ = ReadPeResources(Dist("Ombrix_Setup.exe"), &resources_, &error);
    if (!loaded_) error_ = error;
  }

  void SetUp() override {
    if (!loaded_) {
      if (std::getenv("OMBRIX_ALLOW_MISSING_DIST")) GTEST_SKIP() << Dist("Ombrix_Setup.exe") << " not built";
      FAIL() << "cannot read " << Dist("Ombrix_Setup.exe") << ": " << error_ << " (run tools/build.sh first)";
    }
  }

  static std::vector<const PeResource*> Find(std::uint32_t type, std::uint32_t id,
                                             const std::u16string& typeName = u"") {
    std::vector<const PeResource*> found;
    for (const PeResource& r : resources_)
      if (r.typeId == type && r.typeName == typeName && (id == 0 || r.nameId == id)) found.push_back(&r);
    return found;
  }

  static const PeResource* FindOne(std::uint32_t type, std::uint32_t id, std::uint16_t language) {
    for (const PeResource* r : Find(type, id))
      if (r->language == language) return r;
    return nullptr;
  }

  // Strings 501 to 523 of one language; an absent block leaves its strings empty.
  static std::vector<std::u16string> Strings(std::uint16_t language) {
    std::vector<std::u16string> texts;
    for (std::uint32_t id = IDS_PRODUCT; id <= IDS_UNINSTALL_FINISH_RESTART; ++id) {
      // Strings live in blocks of 16: block (id >> 4) + 1 holds id at index id & 15.
      const PeResource* block = FindOne(RtString, (id >> 4) + 1, language);
      std::u16string text;
      if (block) {
        Reader r{block->data};
        for (std::uint32_t i = 0; i <= (id & 15); ++i) {
          std::uint32_t length = r.U16();
          text.clear();
          for (std::uint32_t k = 0; k < length; ++k) text += char16_t(r.U16());
        }
        if (r.overrun) text = u"<overrun>";
      }
      texts.push_back(text);
    }
    return texts;
  }

  static const PeResource* Driver(std::uint32_t id) {
    auto found = Find(0, id, u"DRIVER");
    return found.size() == 1 ? found[0] : nullptr;
  }

  static inline bool loaded_ = false;
  static inline std::string error_;
  static inline std::vector<PeResource> resources_;
};

TEST_F(SetupResources, StringsInFourteenLanguages) {
  // Exactly the fourteen languages, each with the two blocks that hold 501 to 523 and no others.
  std::set<std::uint16_t> languages;
  for (const PeResource* r : Find(RtString, 0)) {
    languages.insert(r->language);
    EXPECT_TRUE(r->nameId == (IDS_PRODUCT >> 4) + 1 || r->nameId == (IDS_UNINSTALL_FINISH_RESTART >> 4) + 1)
        << "string block " << r->nameId << " in " << Hex(r->language);
  }
  EXPECT_EQ(languages, std::set<std::uint16_t>(Languages.begin(), Languages.end()));
  EXPECT_EQ(Find(RtString, 0).size(), 2 * Languages.size());

  for (std::uint16_t english : {Neutral, EnglishUs}) {
    std::vector<std::u16string> got = Strings(english);
    for (std::size_t i = 0; i < English.size(); ++i)
      EXPECT_EQ(Utf8(got[i]), Utf8(English[i])) << "string " << IDS_PRODUCT + i << " in " << Hex(english);
  }

  // The script file is UTF-8: every text of a language written in another script holds letters of
  // it, and no text holds what a misread UTF-8 sequence turns into.
  const std::map<std::uint16_t, std::pair<char16_t, char16_t>> scripts = {
      {0x0404, {0x4E00, 0x9FFF}}, {0x0411, {0x3040, 0x30FF}}, {0x0412, {0xAC00, 0xD7A3}},
      {0x0419, {0x0400, 0x04FF}}, {0x041E, {0x0E00, 0x0E7F}}, {0x0804, {0x4E00, 0x9FFF}}};

  std::map<std::vector<std::u16string>, std::uint16_t> seen;
  for (std::uint16_t language : Languages) {
    SCOPED_TRACE(Hex(language));
    std::vector<std::u16string> got = Strings(language);
    EXPECT_EQ(Utf8(got[0]), "Ombrix") << "the product name is the same in every language";
    auto [at, fresh] = seen.emplace(got, language);
    if (!fresh) {
      EXPECT_TRUE(at->second == Neutral && language == EnglishUs) << "same texts as " << Hex(at->second);
    }
    if (language == Neutral || language == EnglishUs) continue;
    for (std::size_t i = 1; i < got.size(); ++i) {
      SCOPED_TRACE("string " + std::to_string(IDS_PRODUCT + i));
      EXPECT_FALSE(got[i].empty());
      EXPECT_NE(got[i], English[i]) << "left in English";
      // The pages are laid out for the English line breaks, and every text that names the
      // product still names it.
      auto count = [](const std::u16string& s) { return std::count(s.begin(), s.end(), u'\n'); };
      EXPECT_EQ(count(got[i]), count(English[i])) << Utf8(got[i]);
      EXPECT_EQ(got[i].find(u"Ombrix") != std::u16string::npos, English[i].find(u"Ombrix") != std::u16string::npos)
          << Utf8(got[i]);
      EXPECT_EQ(got[i].find(u'\r'), std::u16string::npos);
      for (char16_t c : got[i]) {
        EXPECT_FALSE(c == 0xFFFD || (c >= 0x80 && c < 0xA0) || c == 0xC2 || c == 0xC3) << "misread: " << Utf8(got[i]);
      }
      auto script = scripts.find(language);
      if (script != scripts.end()) {
        auto [low, high] = script->second;
        EXPECT_TRUE(std::any_of(got[i].begin(), got[i].end(), [&](char16_t c) { return c >= low && c <= high; }))
            << Utf8(got[i]);
      }
    }
  }
}

TEST_F(SetupResources, PageTemplates) {
  enum Kind { Placeholder, Text, CheckBox, Progress };
  struct Item {
    std::uint32_t id;
    Kind kind;
    int x, y, cx, cy;
  };
  const std::map<std::uint32_t, std::vector<Item>> pages = {
      {IDD_WELCOME,
       {{IDC_SIDE_PICTURE, Placeholder, 0, 0, 94, 158},
        {IDC_WELCOME_TITLE, Text, 110, 12, 166, 32},
        {IDC_WELCOME_BODY, Text, 110, 46, 166, 77},
        {IDC_WELCOME_SECOND_BODY, Text, 110, 97, 166, 77},
        {IDC_DECOMPRESS, CheckBox, 110, 86, 166, 10}}},
      {IDD_PROGRESS,
       {{IDC_PROGRESS_BANNER, Placeholder, 0, 0, 284, 30},
        {IDC_PROGRESS_HEADER, Text, 12, 10, 220, 12},
        {IDC_PROGRESS_BODY, Text, 36, 50, 220, 50},
        {IDC_PROGRESS_BAR, Progress, 27, 111, 210, 14},
        {IDC_PROGRESS_PERCENT, Text, 247, 114, 24, 8},
        {IDC_CURRENT_FILE, Text, 26, 129, 212, 8}}},
      {IDD_FINISH,
       {{IDC_FINISH_BANNER, Placeholder, 0, 0, 284, 30},
        {IDC_FINISH_HEADER, Text, 12, 10, 260, 12},
        {IDC_FINISH_BODY, Text, 36, 50, 220, 50}}},
  };
  EXPECT_EQ(Find(RtDialog, 0).size(), pages.size() * Languages.size()) << "only the three pages, once per language";
  for (const auto& [dialogId, items] : pages) {
    SCOPED_TRACE("dialog " + std::to_string(dialogId));
    const PeResource* neutral = FindOne(RtDialog, dialogId, Neutral);
    ASSERT_NE(neutral, nullptr);
    for (std::uint16_t language : Languages) {
      const PeResource* variant = FindOne(RtDialog, dialogId, language);
      ASSERT_NE(variant, nullptr) << Hex(language);
      EXPECT_EQ(variant->data, neutral->data) << "the pages are the same in every language: " << Hex(language);
    }

    Reader r{neutral->data};
    EXPECT_EQ(r.U16(), 1u);       // dlgVer
    EXPECT_EQ(r.U16(), 0xFFFFu);  // extended template
    r.U32();                      // help id
    r.U32();                      // extended style
    std::uint32_t style = r.U32();
    EXPECT_EQ(style & 0x40000000u, 0x40000000u) << "WS_CHILD: a property sheet page";
    EXPECT_EQ(style & 0x80000000u, 0u) << "not WS_POPUP";
    EXPECT_EQ(style & 0x40u, 0x40u) << "DS_SETFONT";
    std::uint32_t count = r.U16();
    EXPECT_EQ(count, items.size());
    EXPECT_EQ(r.I16(), 0);
    EXPECT_EQ(r.I16(), 0);
    EXPECT_EQ(r.I16(), 284);
    EXPECT_EQ(r.I16(), 158);
    EXPECT_EQ(Utf8(r.SzOrOrd()), "") << "menu";
    EXPECT_EQ(Utf8(r.SzOrOrd()), "") << "class";
    r.Sz();  // title: the sheet sets the page titles
    EXPECT_EQ(r.U16(), 9u) << "points";
    r.U16();  // weight
    r.U8();   // italic
    r.U8();   // character set
    EXPECT_EQ(Utf8(r.Sz()), "Microsoft JhengHei");

    for (std::uint32_t i = 0; i < count && i < items.size(); ++i) {
      const Item& e = items[i];
      SCOPED_TRACE("control " + std::to_string(e.id));
      r.Align4();
      r.U32();  // help id
      r.U32();  // extended style
      std::uint32_t controlStyle = r.U32();
      EXPECT_EQ(r.I16(), e.x);
      EXPECT_EQ(r.I16(), e.y);
      EXPECT_EQ(r.I16(), e.cx);
      EXPECT_EQ(r.I16(), e.cy);
      EXPECT_EQ(r.U32(), e.id);
      std::string cls = Upper(Utf8(r.SzOrOrd()));
      EXPECT_EQ(controlStyle & 0x50000000u, 0x50000000u) << "WS_CHILD | WS_VISIBLE";
      switch (e.kind) {
        case Placeholder:
          EXPECT_TRUE(cls == "#130" || cls == "STATIC") << cls;
          EXPECT_EQ(controlStyle & 0x1Fu, 0x04u) << "SS_BLACKRECT";
          break;
        case Text:
          EXPECT_TRUE(cls == "#130" || cls == "STATIC") << cls;
          EXPECT_TRUE((controlStyle & 0x1Fu) == 0x00u || (controlStyle & 0x1Fu) == 0x0Cu)
              << "SS_LEFT or SS_LEFTNOWORDWRAP, style " << Hex(controlStyle);
          break;
        case CheckBox:
          EXPECT_TRUE(cls == "#128" || cls == "BUTTON") << cls;
          EXPECT_EQ(controlStyle & 0x0Fu, 0x03u) << "BS_AUTOCHECKBOX";
          break;
        case Progress:
          EXPECT_EQ(cls, "MSCTLS_PROGRESS32");
          break;
      }
      EXPECT_EQ(Utf8(r.SzOrOrd()), "") << "the program sets every text";
      std::uint32_t extra = r.U16();
      r.at += extra;
    }
    EXPECT_FALSE(r.overrun);
  }
}

TEST_F(SetupResources, PicturesIconAndManifest) {
  struct Picture {
    std::uint32_t id;
    int width, height;
  };
  for (const Picture& p : {Picture{IDB_SIDE, 164, 314}, Picture{IDB_BANNER, 497, 60}}) {
    SCOPED_TRACE("bitmap " + std::to_string(p.id));
    auto found = Find(RtBitmap, p.id);
    ASSERT_EQ(found.size(), 1u);
    Reader r{found[0]->data};
    EXPECT_EQ(r.U32(), 40u) << "BITMAPINFOHEADER";
    EXPECT_EQ(r.I32(), p.width);
    EXPECT_EQ(r.I32(), p.height) << "bottom-up";
    EXPECT_EQ(r.U16(), 1u);
    EXPECT_EQ(r.U16(), 24u) << "bits per pixel";
    EXPECT_EQ(r.U32(), 0u) << "BI_RGB";
    std::size_t stride = (std::size_t(p.width) * 3 + 3) & ~std::size_t(3);
    EXPECT_EQ(found[0]->data.size(), 40 + stride * p.height);
  }
  EXPECT_EQ(Find(RtBitmap, 0).size(), 2u);

  auto groups = Find(RtGroupIcon, 0);
  ASSERT_EQ(groups.size(), 1u) << "one icon group, so the shell shows it for the program";
  EXPECT_EQ(groups[0]->nameId, std::uint32_t(IDI_SETUP));
  Reader g{groups[0]->data};
  EXPECT_EQ(g.U16(), 0u);
  EXPECT_EQ(g.U16(), 1u);
  std::uint32_t count = g.U16();
  std::set<std::pair<int, int>> images;  // size, bits
  for (std::uint32_t i = 0; i < count; ++i) {
    int width = int(g.U8());
    int height = int(g.U8());
    std::uint32_t colours = g.U8();
    g.U8();
    g.U16();  // planes
    int bits = int(g.U16());
    std::uint32_t bytes = g.U32();
    std::uint32_t iconId = g.U16();
    SCOPED_TRACE("icon " + std::to_string(width) + " px, " + std::to_string(bits) + " bits");
    EXPECT_EQ(width, height);
    EXPECT_EQ(colours, bits == 4 ? 16u : 0u);
    images.insert({width, bits});
    auto image = Find(RtIcon, iconId);
    ASSERT_EQ(image.size(), 1u);
    ASSERT_EQ(image[0]->data.size(), bytes);
    Reader img{image[0]->data};
    EXPECT_EQ(img.U32(), 40u);
    EXPECT_EQ(int(img.U32()), width);
    EXPECT_EQ(int(img.U32()), 2 * width) << "colour rows and mask";
    img.U16();
    EXPECT_EQ(int(img.U16()), bits);
    // Header, palette, colour rows and the 1-bit mask, each row 32-bit aligned.
    std::size_t palette = bits <= 8 ? (std::size_t(1) << bits) * 4 : 0;
    std::size_t colourRow = ((std::size_t(width) * bits + 31) / 32) * 4;
    std::size_t maskRow = ((std::size_t(width) + 31) / 32) * 4;
    EXPECT_EQ(bytes, 40 + palette + (colourRow + maskRow) * width);
  }
  EXPECT_FALSE(g.overrun);
  std::set<std::pair<int, int>> expected;
  for (int size : {16, 32, 48})
    for (int bits : {4, 8, 32}) expected.insert({size, bits});
  EXPECT_EQ(images, expected);
  EXPECT_EQ(count, expected.size());

  auto manifest = Find(RtManifest, 1);
  ASSERT_EQ(manifest.size(), 1u);
  std::string xml(manifest[0]->data.begin(), manifest[0]->data.end());
  EXPECT_NE(xml.find("level=\"requireAdministrator\""), std::string::npos);
  EXPECT_NE(xml.find("uiAccess=\"false\""), std::string::npos);
  EXPECT_NE(xml.find("name=\"Microsoft.Windows.Common-Controls\" version=\"6.0.0.0\""), std::string::npos);
  for (const char* os : {"e2011457-1546-43c5-a5fe-008deee3d3f0", "35138b9a-5d96-4fbd-8e2d-a2440225f93a",
                         "4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38", "1f676c76-80e1-4239-95bb-83d0f6d0da78",
                         "8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a"})
    EXPECT_NE(xml.find(os), std::string::npos) << os;

  // Pictures, icon, manifest and the install's files exist once, under one language.
  for (std::uint32_t type : {RtBitmap, RtIcon, RtGroupIcon, RtManifest})
    for (const PeResource* r : Find(type, 0)) EXPECT_EQ(r->language, 0u) << "type " << type << " id " << r->nameId;
  for (const PeResource* r : Find(0, 0, u"DRIVER")) EXPECT_EQ(r->language, 0u) << "DRIVER " << r->nameId;
}

TEST_F(SetupResources, DriverInf) {
  const PeResource* inf = Driver(IDR_DRIVER_INF);
  ASSERT_NE(inf, nullptr);
  std::vector<std::uint8_t> repo;
  ASSERT_TRUE(ReadFile(std::string(OMBRIX_SOURCE_DIR) + "/Ombrix_Filter/Ombrix_Filter.inf", &repo));
  EXPECT_EQ(inf->data, repo) << "resource 101 is the driver's INF file, unchanged";

  // The text itself: ASCII with CR LF line ends throughout, and the lines the installation reads.
  std::string text(inf->data.begin(), inf->data.end());
  std::size_t lines = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    EXPECT_LT(static_cast<unsigned char>(text[i]), 0x80u) << "offset " << i;
    if (text[i] == '\n') {
      ++lines;
      EXPECT_TRUE(i > 0 && text[i - 1] == '\r') << "bare line feed at offset " << i;
    }
  }
  EXPECT_EQ(lines, 87u);
  ASSERT_GE(text.size(), 2u);
  EXPECT_EQ(text.substr(text.size() - 2), "\r\n");
  EXPECT_EQ(text.substr(0, 11), "[Version]\r\n");
  for (const char* line : {
           "Class       = \"ActivityMonitor\"\r\n",
           "ClassGuid   = {b86dff51-a31e-4bac-b3cf-e8cfe75c9fc2}\r\n",
           "[DefaultInstall.Services]\r\nAddService          = %ServiceName%,,Ombrix_Filter.Service\r\n",
           "[DefaultUninstall.Services]\r\nDelService = Ombrix_Filter,0x200      ;Ensure service is stopped before "
           "deleting\r\n",
           "ServiceBinary    = %12%\\%DriverName%.sys        ;%windir%\\system32\\drivers\\\r\n",
           "Dependencies     = \"FltMgr\"\r\n",
           "ServiceType      = 2                            ;SERVICE_FILE_SYSTEM_DRIVER\r\n",
           "StartType        = 1                            ;SERVICE_SYSTEM_START\r\n",
           "ErrorControl     = 1                            ;SERVICE_ERROR_NORMAL\r\n",
           "LoadOrderGroup   = \"FSFilter Content Screener\"\r\n",
           "AddReg           = Ombrix_Filter.AddRegistry\r\n",
           "HKR,\"Instances\",\"DefaultInstance\",0x00000000,%DefaultInstance%\r\n",
           "HKR,\"Instances\\\"%Instance1.Name%,\"Altitude\",0x00000000,%Instance1.Altitude%\r\n",
           "HKR,\"Instances\\\"%Instance1.Name%,\"Flags\",0x00010001,%Instance1.Flags%\r\n",
           "ServiceName             = \"Ombrix_Filter\"\r\n",
           "DriverName              = \"Ombrix_Filter\"\r\n",
           "DefaultInstance         = \"Ombrix_Filter Instance\"\r\n",
           "Instance1.Name          = \"Ombrix_Filter Instance\"\r\n",
           "Instance1.Altitude      = \"265000\"\r\n",
           "Instance1.Flags         = 0x0          ; Allow all attachments\r\n",
       })
    EXPECT_NE(text.find(line), std::string::npos) << line;
}

TEST_F(SetupResources, DeliverablesAndHelp) {
  // The install's files are the x86 builds installed beside the setup: byte for byte the same.
  struct File {
    std::uint32_t id;
    const char* name;
  };
  for (const File& f : {File{IDR_DRIVER_SYS, "Ombrix_Filter.sys"}, File{IDR_SERVICE_EXE, "Ombrix_Service.exe"},
                        File{IDR_VIEWER_EXE, "Ombrix_Viewer.exe"}, File{IDR_HELP_CHM, "HELP.chm"}}) {
    SCOPED_TRACE(f.name);
    const PeResource* r = Driver(f.id);
    ASSERT_NE(r, nullptr);
    std::vector<std::uint8_t> built;
    ASSERT_TRUE(ReadFile(Dist(f.name), &built)) << Dist(f.name);
    EXPECT_TRUE(r->data == built) << "resource " << f.id << " differs from " << Dist(f.name);
    if (f.id == IDR_HELP_CHM) continue;
    // A 32-bit image: the installer carries the x86 builds.
    Reader pe{r->data};
    EXPECT_EQ(pe.U16(), 0x5A4Du) << "MZ";
    pe.at = 0x3C;
    pe.at = pe.U32();
    EXPECT_EQ(pe.U32(), 0x00004550u) << "PE";
    EXPECT_EQ(pe.U16(), 0x014Cu) << "IMAGE_FILE_MACHINE_I386";
    EXPECT_FALSE(pe.overrun);
  }
  EXPECT_EQ(Find(0, 0, u"DRIVER").size(), 5u);

  // The help file: an ITSF container whose directory lists the pages the help project names.
  const PeResource* chm = Driver(IDR_HELP_CHM);
  ASSERT_NE(chm, nullptr);
  Reader h{chm->data};
  EXPECT_EQ(h.U32(), 0x46535449u) << "ITSF";
  EXPECT_EQ(h.U32(), 3u) << "version";
  EXPECT_EQ(h.U32(), 0x60u) << "header length";
  std::string bytes(chm->data.begin(), chm->data.end());
  EXPECT_NE(bytes.find("ITSP"), std::string::npos) << "directory header";
  std::ifstream project(std::string(OMBRIX_SOURCE_DIR) + "/Ombrix_Setup/help/HELP.hhp");
  ASSERT_TRUE(project);
  bool inFiles = false;
  int pages = 0;
  for (std::string line; std::getline(project, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty()) continue;
    if (line[0] == '[') {
      inFiles = line == "[FILES]";
      continue;
    }
    if (!inFiles) continue;
    ++pages;
    EXPECT_NE(bytes.find("/" + line), std::string::npos) << line << " is not in HELP.chm";
  }
  EXPECT_GE(pages, 1);
}

}  // namespace
