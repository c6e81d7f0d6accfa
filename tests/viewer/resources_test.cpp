// The viewer's resources as the built executables carry them (dist/x86 and dist/x64): every
// string of every language, the panel template per language, the icons, the logo and the
// manifest, and the same bytes in both builds. The Windows builds must exist (tools/build.sh).
#include <gtest/gtest.h>

#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "pe_resources.h"
#include "resource_reader.h"

namespace {

constexpr std::uint32_t RtIcon = 3;
constexpr std::uint32_t RtDialog = 5;
constexpr std::uint32_t RtString = 6;
constexpr std::uint32_t RtGroupIcon = 14;
constexpr std::uint32_t RtManifest = 24;

struct Language {
  std::uint16_t id;
  int panelWidth, titleWidth, separatorWidth, labelWidth, valueX, stripWidth, linkX, linkWidth;
  std::vector<std::u16string> texts;  // strings 1000 to 1009
};

const std::vector<std::u16string> English = {
    u"Ombrix_Viewer", u"Active Drive:", u"Data Compression Rate:", u"Increased Free Space:", u"Calculating...",
    u"Last Updated:", u"Not Supported", u"<a>Help</a>", u"Exit", u"Ombrix Viewer"};

const std::vector<Language> Languages = {
    {0x0400, 140, 100, 160, 82, 94, 140, 5, 135, English},
    {0x0404, 120, 79, 120, 62, 74, 120, 3, 115,
     {u"Ombrix_Viewer", u"作用碟機：", u"資料壓縮率：", u"增加可用空間：", u"計算中...", u"最後更新時間：", u"不支援",
      u"<a>說明</a>", u"離開", u"Ombrix Viewer"}},
    {0x0407, 160, 120, 160, 102, 114, 160, 5, 160,
     {u"Ombrix_Viewer", u"Aktives Laufwerk:", u"Daten Kompressionsrate:", u"Erhöhter Speicherfreiraum:",
      u"Kalkulation\u2026", u"Letztes Update:", u"Nicht unterstützt", u"<a>Hilfe</a>", u"Ausgang", u"Ombrix Anzeige"}},
    {0x0409, 140, 100, 160, 82, 94, 140, 5, 135, English},
    {0x040C, 170, 130, 170, 122, 124, 170, 5, 170,
     {u"Ombrix_Viewer", u"Lecteur actif\u00A0:", u"Taux de compression des données :", u"Espace libéré\u00A0:",
      u"Calcul en cours...", u"Dernière mise à jour\u00A0:", u"Non pris en charge", u"<a>Aide</a>", u"Quitter",
      u"Ombrix Viewer"}},
    {0x0411, 140, 100, 160, 82, 94, 140, 5, 135,
     {u"Ombrix_Viewer", u"有効ドライブ：", u"データ圧縮率：", u"増加した空きスペース：", u"計算中\u2026", u"最終更新日：",
      u"対応していません", u"<a>ヘルプ</a>", u"終了", u"Ombrixビューア"}},
    {0x0412, 120, 79, 120, 62, 74, 120, 3, 115,
     {u"Ombrix_Viewer", u"활성 드라이브:", u"데이터 압축률:", u"늘어난 여유 공간:", u"계산하는 중...",
      u"최근 업데이트된 날짜:", u"지원되지 않음", u"<a>도움말</a>", u"끝내기", u"Ombrix 뷰어"}},
    {0x0413, 160, 120, 160, 102, 114, 160, 5, 160,
     {u"Ombrix_Viewer", u"Actieve drive:", u"Datacompressie factor", u"Toegenomen vrije ruimte", u"Berekenen\u2026",
      u"Laatste update:", u"Niet ondersteund", u"<a>Help</a>", u"Afsluiten", u"Ombrix Viewer"}},
    {0x0415, 180, 140, 180, 132, 134, 180, 5, 180,
     {u"Ombrix_Viewer", u"Aktywny napęd:", u"Współczynnik kompresji danych:", u"Zwiększona wolna przestrzeń dyskowa:",
      u"Trwa obliczanie\u2026", u"Ostatnia aktualizacja:", u"Nieobsługiwane", u"<a>Pomoc</a>", u"Wyjście",
      u"Przeglądarka programu Ombrix"}},
    {0x0419, 170, 130, 170, 122, 124, 170, 5, 170,
     {u"Ombrix_Viewer", u"Активный диск:", u"Уровень сжатия данных:", u"Высвобожденное пространство:", u"Расчет...",
      u"Последнее обновление:", u"Не поддерживается", u"<a>Справка</a>", u"Выход", u"Ombrix Viewer"}},
    {0x041E, 160, 120, 160, 102, 114, 160, 5, 160,
     {u"Ombrix_Viewer", u"แอกทีฟไดรฟ์:", u"อัตราการบีบขนาดข้อมูล:", u"พื้นที่ว่างที่เพิ่มขึ้น:", u"กำลังคำนวณ\u2026",
      u"อัปเดตครั้งล่าสุด:", u"ไม่สนับสนุน", u"<a>วิธีใช้</a>", u"ออก", u"โปรแกรมดู Ombrix"}},
    {0x0804, 120, 79, 120, 62, 74, 120, 3, 115,
     {u"Ombrix_Viewer", u"作用碟机：", u"数据压缩率：", u"增加可用空间：", u"计算中...", u"最后更新时间：", u"不支援",
      u"<a>说明</a>", u"离开", u"Ombrix Viewer"}},
    {0x0816, 160, 120, 160, 102, 114, 160, 5, 160,
     {u"Ombrix_Viewer", u"Unidade ativa:", u"Taxa de compressão de dados:", u"Aumento do espaço livre:",
      u"A calcular\u2026", u"Última atualização:", u"Sem suporte", u"<a>Ajuda</a>", u"Sair", u"Ombrix Viewer"}},
    {0x0C0A, 160, 120, 160, 102, 114, 160, 5, 160,
     {u"Ombrix_Viewer", u"Unidad activa:", u"Tasa de compresión de datos:", u"Espacio libre aumentado:",
      u"Calculando...", u"Última actualización:", u"No compatible", u"<a>Ayuda</a>", u"Salir", u"Ombrix Viewer"}},
};

class ViewerResources : public ::testing::TestWithParam<const char*> {
 protected:
  static std::map<std::string, std::vector<PeResource>>& Cache() {
    static std::map<std::string, std::vector<PeResource>> cache;
    return cache;
  }

  static std::string ExePath(const std::string& arch) {
    return std::string(OMBRIX_DIST_DIR) + "/" + arch + "/Ombrix_Viewer.exe";
  }

  static const std::vector<PeResource>* Load(const std::string& arch) {
    auto found = Cache().find(arch);
    if (found != Cache().end()) return &found->second;
    std::vector<PeResource> resources;
    std::string error;
    if (!ReadPeResources(ExePath(arch), &resources, &error)) return nullptr;
    return &(Cache()[arch] = resources);
  }

  void SetUp() override {
    resources_ = Load(GetParam());
    if (!resources_) {
      if (std::getenv("OMBRIX_ALLOW_MISSING_DIST")) GTEST_SKIP() << ExePath(GetParam()) << " not built";
      FAIL() << "cannot read " << ExePath(GetParam()) << " (run tools/build.sh first)";
    }
  }

  std::vector<const PeResource*> Find(std::uint32_t type, std::uint32_t id, const std::u16string& typeName = u"") {
    std::vector<const PeResource*> found;
    for (const PeResource& r : *resources_)
      if (r.typeId == type && r.typeName == typeName && (id == 0 || r.nameId == id)) found.push_back(&r);
    return found;
  }

  const PeResource* FindOne(std::uint32_t type, std::uint32_t id, std::uint16_t language,
                            const std::u16string& typeName = u"") {
    for (const PeResource* r : Find(type, id, typeName))
      if (r->language == language) return r;
    return nullptr;
  }

  const std::vector<PeResource>* resources_ = nullptr;
};

TEST_P(ViewerResources, EveryStringOfEveryLanguage) {
  for (const Language& lang : Languages) {
    std::vector<std::u16string> got;
    // Strings live in blocks of 16: block (id >> 4) + 1 holds id at index id & 15.
    for (std::uint32_t id = 1000; id <= 1009; ++id) {
      const PeResource* block = FindOne(RtString, (id >> 4) + 1, lang.id);
      ASSERT_NE(block, nullptr) << "string block for " << id << " in " << Hex(lang.id);
      Reader r{block->data};
      std::u16string text;
      for (std::uint32_t i = 0; i <= (id & 15); ++i) {
        std::uint32_t length = r.U16();
        text.clear();
        for (std::uint32_t k = 0; k < length; ++k) text += char16_t(r.U16());
      }
      ASSERT_FALSE(r.overrun);
      got.push_back(text);
    }
    for (std::size_t i = 0; i < got.size(); ++i)
      EXPECT_EQ(Utf8(got[i]), Utf8(lang.texts[i])) << "string " << 1000 + i << " in " << Hex(lang.id);
  }
  EXPECT_EQ(Find(RtString, 63).size(), Languages.size());
  EXPECT_EQ(Find(RtString, 64).size(), Languages.size());
}

TEST_P(ViewerResources, PanelTemplateInEveryLanguage) {
  EXPECT_EQ(Find(RtDialog, 0).size(), Languages.size()) << "only dialog 101, once per language";
  const std::uint32_t Child = 0x50000000;  // WS_CHILD | WS_VISIBLE
  struct Item {
    std::uint32_t id;
    std::u16string cls;
    std::uint32_t style;
    int x, y, cx, cy;
  };
  for (const Language& lang : Languages) {
    SCOPED_TRACE(Hex(lang.id));
    const PeResource* dialog = FindOne(RtDialog, 101, lang.id);
    ASSERT_NE(dialog, nullptr);
    Reader r{dialog->data};
    EXPECT_EQ(r.U16(), 1u);       // dlgVer
    EXPECT_EQ(r.U16(), 0xFFFFu);  // extended template
    r.U32();                      // help id
    EXPECT_EQ(r.U32(), 0x80u) << "WS_EX_TOOLWINDOW";
    EXPECT_EQ(r.U32(), 0x80040840u) << "WS_POPUP | WS_THICKFRAME | DS_CENTER | DS_SETFONT";
    std::uint32_t count = r.U16();
    EXPECT_EQ(count, 11u);
    EXPECT_EQ(r.I16(), 0);
    EXPECT_EQ(r.I16(), 0);
    EXPECT_EQ(r.I16(), lang.panelWidth);
    EXPECT_EQ(r.I16(), 96);
    EXPECT_EQ(Utf8(r.SzOrOrd()), "") << "menu";
    EXPECT_EQ(Utf8(r.SzOrOrd()), "") << "class";
    EXPECT_EQ(Utf8(r.Sz()), "") << "title";
    EXPECT_EQ(r.U16(), 9u);
    EXPECT_EQ(r.U16(), 400u);
    EXPECT_EQ(r.U8(), 0u);
    EXPECT_EQ(r.U8(), 136u);
    EXPECT_EQ(Utf8(r.Sz()), "Microsoft JhengHei");

    const std::vector<Item> expected = {
        {511, u"Static", Child | 0x10D, 6, 5, 26, 20},  // SS_OWNERDRAW | SS_NOTIFY
        {501, u"Static", Child | 0x81, 36, 11, lang.titleWidth, 8},
        {0xFFFFFFFF, u"Static", Child | 0x10, 0, 27, lang.separatorWidth, 1},
        {502, u"Static", Child | 0x8C, 8, 38, lang.labelWidth, 8},
        {503, u"Static", Child | 0x18C, lang.valueX, 38, 46, 8},
        {504, u"Static", Child | 0x8C, 8, 51, lang.labelWidth, 8},
        {505, u"Static", Child | 0x18C, lang.valueX, 51, 46, 8},
        {506, u"Static", Child | 0x8C, 8, 64, lang.labelWidth, 8},
        {507, u"Static", Child | 0x18C, lang.valueX, 64, 46, 8},
        {508, u"Static", 0x40000007, 0, 76, lang.stripWidth, 20},  // black frame, not visible
        {512, u"SysLink", Child, lang.linkX, 82, lang.linkWidth, 8},
    };
    for (std::uint32_t i = 0; i < count && i < expected.size(); ++i) {
      const Item& e = expected[i];
      SCOPED_TRACE("control " + std::to_string(i));
      r.Align4();
      r.U32();                  // help id
      EXPECT_EQ(r.U32(), 0u);   // extended style
      EXPECT_EQ(r.U32(), e.style);
      EXPECT_EQ(r.I16(), e.x);
      EXPECT_EQ(r.I16(), e.y);
      EXPECT_EQ(r.I16(), e.cx);
      EXPECT_EQ(r.I16(), e.cy);
      EXPECT_EQ(r.U32(), e.id);
      // Class names compare without regard to case (the resource compiler writes them in
      // capitals); the predefined static class may also appear as its ordinal 0x82.
      std::string cls = Upper(Utf8(r.SzOrOrd()));
      if (e.cls == u"Static") {
        EXPECT_TRUE(cls == "#130" || cls == "STATIC") << cls;
      } else {
        EXPECT_EQ(cls, Upper(Utf8(e.cls)));
      }
      r.SzOrOrd();            // placeholder text
      std::uint32_t extra = r.U16();
      r.at += extra;
    }
    EXPECT_FALSE(r.overrun);
  }
}

TEST_P(ViewerResources, IconsLogoAndManifest) {
  struct Group {
    std::uint32_t id;
    std::vector<int> sizes;
  };
  const std::vector<Group> groups = {{110, {16, 24, 32, 48, 64, 96, 128, 192, 256}}, {111, {64, 32, 24, 16}}};
  auto allGroups = Find(RtGroupIcon, 0);
  ASSERT_EQ(allGroups.size(), 2u);
  EXPECT_EQ(allGroups[0]->nameId, 110u) << "the first icon group is the program's icon";
  for (const Group& g : groups) {
    SCOPED_TRACE("icon group " + std::to_string(g.id));
    auto found = Find(RtGroupIcon, g.id);
    ASSERT_EQ(found.size(), 1u);
    Reader r{found[0]->data};
    EXPECT_EQ(r.U16(), 0u);
    EXPECT_EQ(r.U16(), 1u);
    std::uint32_t count = r.U16();
    ASSERT_EQ(count, g.sizes.size());
    for (std::uint32_t i = 0; i < count; ++i) {
      int width = int(r.U8());
      int height = int(r.U8());
      r.U8();
      r.U8();
      r.U16();  // planes
      std::uint32_t bits = r.U16();
      std::uint32_t bytes = r.U32();
      std::uint32_t iconId = r.U16();
      int size = g.sizes[i];
      EXPECT_EQ(width == 0 ? 256 : width, size);
      EXPECT_EQ(height == 0 ? 256 : height, size);
      EXPECT_EQ(bits, 32u);
      auto image = Find(RtIcon, iconId);
      ASSERT_EQ(image.size(), 1u);
      ASSERT_EQ(image[0]->data.size(), bytes);
      Reader img{image[0]->data};
      if (img.U32() == 0x474E5089) {  // PNG
        img.at = 16;
        EXPECT_EQ(__builtin_bswap32(img.U32()), std::uint32_t(size));
        EXPECT_EQ(img.d[25], 6) << "RGBA";
      } else {
        img.at = 4;
        EXPECT_EQ(int(img.U32()), size);
        EXPECT_EQ(int(img.U32()), 2 * size);
        img.U16();
        EXPECT_EQ(img.U16(), 32u);
      }
      EXPECT_FALSE(img.overrun);
    }
  }

  auto logo = Find(0, 115, u"PNG");
  ASSERT_EQ(logo.size(), 1u);
  const std::vector<std::uint8_t>& png = logo[0]->data;
  ASSERT_GT(png.size(), 33u);
  EXPECT_EQ(std::string(png.begin() + 1, png.begin() + 4), "PNG");
  EXPECT_EQ(std::string(png.begin() + 12, png.begin() + 16), "IHDR");
  Reader ihdr{png, 16};
  EXPECT_EQ(__builtin_bswap32(ihdr.U32()), 48u);
  EXPECT_EQ(__builtin_bswap32(ihdr.U32()), 48u);
  EXPECT_EQ(png[24], 8) << "bits per channel";
  EXPECT_EQ(png[25], 6) << "colour type RGBA";

  auto manifest = Find(RtManifest, 1);
  ASSERT_EQ(manifest.size(), 1u);
  std::string xml(manifest[0]->data.begin(), manifest[0]->data.end());
  EXPECT_NE(xml.find("level=\"asInvoker\""), std::string::npos);
  EXPECT_NE(xml.find("uiAccess=\"false\""), std::string::npos);
  EXPECT_NE(xml.find("name=\"Microsoft.Windows.Common-Controls\" version=\"6.0.0.0\""), std::string::npos);
  for (const char* os : {"e2011457-1546-43c5-a5fe-008deee3d3f0", "35138b9a-5d96-4fbd-8e2d-a2440225f93a",
                         "4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38", "1f676c76-80e1-4239-95bb-83d0f6d0da78",
                         "8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a"})
    EXPECT_NE(xml.find(os), std::string::npos) << os;
  EXPECT_EQ(xml.find("dpiAware"), std::string::npos);

  // Icons, logo and manifest exist once, under one language.
  for (std::uint32_t type : {RtIcon, RtGroupIcon, RtManifest})
    for (const PeResource* r : Find(type, 0)) EXPECT_EQ(r->language, allGroups[0]->language);
}

TEST_P(ViewerResources, SameBytesInBothBuilds) {
  const std::vector<PeResource>* other = Load(std::string(GetParam()) == "x86" ? "x64" : "x86");
  ASSERT_NE(other, nullptr);
  ASSERT_EQ(resources_->size(), other->size());
  for (std::size_t i = 0; i < resources_->size(); ++i) {
    const PeResource& a = (*resources_)[i];
    const PeResource& b = (*other)[i];
    EXPECT_TRUE(a.typeId == b.typeId && a.typeName == b.typeName && a.nameId == b.nameId && a.name == b.name &&
                a.language == b.language && a.data == b.data)
        << "resource " << i << " type " << a.typeId << " id " << a.nameId;
  }
}

INSTANTIATE_TEST_SUITE_P(Builds, ViewerResources, ::testing::Values("x86", "x64"));

}  // namespace
