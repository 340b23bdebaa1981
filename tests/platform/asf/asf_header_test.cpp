// The WMA file's ASF Content Description Object, read from the header bytes
// (ffprobe merges it with the extended description and cannot tell them
// apart): Title, Author and Description must be there, in a file that
// still decodes, also after a repair.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>

#include "media_tools.h"
#include "platform/asf/asf.h"
#include "test_support.h"

namespace {

using platform::S_OK;

struct ContentDescription {
  std::u16string title, author, copyright, description, rating;
};

// The Content Description Object (75B22633-668E-11CF-A6D9-00AA0062CE6C) of
// the file's header, its five lengths and UTF-16LE texts.
std::optional<ContentDescription> ReadContentDescription(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  const std::string bytes{std::istreambuf_iterator<char>(in), {}};
  const unsigned char guid[16] = {0x33, 0x26, 0xB2, 0x75, 0x8E, 0x66, 0xCF, 0x11,
                                  0xA6, 0xD9, 0x00, 0xAA, 0x00, 0x62, 0xCE, 0x6C};
  const auto at = bytes.find(std::string(reinterpret_cast<const char*>(guid), 16));
  if (at == std::string::npos || at + 34 > bytes.size()) return std::nullopt;
  auto u8 = [&](size_t i) { return static_cast<unsigned char>(bytes[i]); };
  size_t lengths[5];
  for (int k = 0; k < 5; ++k) lengths[k] = u8(at + 24 + 2 * k) | (u8(at + 25 + 2 * k) << 8);
  std::u16string texts[5];
  size_t from = at + 34;
  for (int k = 0; k < 5; ++k) {
    if (from + lengths[k] > bytes.size()) return std::nullopt;
    for (size_t i = 0; i + 1 < lengths[k]; i += 2) {
      const char16_t c = static_cast<char16_t>(u8(from + i) | (u8(from + i + 1) << 8));
      if (c != 0) texts[k].push_back(c);
    }
    from += lengths[k];
  }
  return ContentDescription{texts[0], texts[1], texts[2], texts[3], texts[4]};
}

platform::audio::WaveFormat Stereo() {
  platform::audio::WaveFormat f;
  f.channels = 2;
  f.samplesPerSec = 44100;
  f.bitsPerSample = 16;
  f.blockAlign = 4;
  f.avgBytesPerSec = 176400;
  return f;
}

struct DescriptionCase {
  const char* name;
  std::u16string author;
  std::u16string title;
};

class AsfHeader : public ::testing::TestWithParam<DescriptionCase> {};

TEST_P(AsfHeader, TitleAuthorAndDescriptionAreInTheContentDescription) {
  const DescriptionCase c = GetParam();
  testing_support::TempDir dir;
  const auto file = dir.path() / "song.wma";
  auto writer = platform::asf::MakeFfmpegWmaWriter();
  ASSERT_EQ(writer->SetFileName(file.string()), S_OK);
  const std::u16string description = u"Recorded by https://example.org/ \u00FC";
  ASSERT_EQ(writer->SetAttribute(u"Description", description), S_OK);
  if (!c.author.empty()) {
    ASSERT_EQ(writer->SetAttribute(u"Author", c.author), S_OK);
  }
  if (!c.title.empty()) {
    ASSERT_EQ(writer->SetAttribute(u"Title", c.title), S_OK);
  }
  ASSERT_EQ(writer->Start(Stereo()), S_OK);

  const auto tone = media_tools::Tone(44100, 2, 3.0, 440.0, 0.3);
  // Already while the song runs: a crash keeps the names.
  writer->Write(reinterpret_cast<const uint8_t*>(tone.data()), tone.size());
  auto running = ReadContentDescription(file);
  ASSERT_TRUE(running);
  EXPECT_EQ(running->description, description);

  writer->Write(reinterpret_cast<const uint8_t*>(tone.data()), tone.size());
  ASSERT_EQ(writer->Stop(), S_OK);

  for (const char* stage : {"finished", "repaired"}) {
    if (std::string(stage) == "repaired") {
      ASSERT_TRUE(platform::asf::RepairWmaFile(file.string()));
    }
    const auto cd = ReadContentDescription(file);
    ASSERT_TRUE(cd) << stage;
    EXPECT_EQ(cd->title, c.title) << stage;
    EXPECT_EQ(cd->author, c.author) << stage;
    EXPECT_EQ(cd->description, description) << stage;
    std::string errors;
    EXPECT_TRUE(media_tools::DecodesCleanly(file, &errors)) << stage << errors;
    auto p = media_tools::Probe(file);
    EXPECT_NEAR(std::atof(p["duration"].c_str()), 3.0, 0.2) << stage;
    EXPECT_NEAR(static_cast<double>(platform::asf::WmaDurationMs(file.string()).value_or(0)), 3000.0, 200.0);
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, AsfHeader,
                         ::testing::Values(DescriptionCase{"ArtistAndTitle", u"Some Artist", u"Some Title"},
                                           DescriptionCase{"Unicode", u"Bj\u00F6rk \u6771\u4EAC", u"J\u00F3ga \u266B"},
                                           DescriptionCase{"NoNames", u"", u""}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(AsfRepair, WhatIsNoWmaFileIsLeftAsItWas) {
  testing_support::TempDir dir;
  const auto file = dir.path() / "not.wma";
  std::ofstream(file, std::ios::binary) << "not an asf file at all";
  EXPECT_FALSE(platform::asf::RepairWmaFile(file.string()));
  std::ifstream in(file, std::ios::binary);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "not an asf file at all");
  EXPECT_FALSE(platform::asf::WmaDurationMs(file.string()));
  EXPECT_EQ(std::vector<std::filesystem::path>(std::filesystem::directory_iterator(dir.path()), {}).size(), 1u);
}

}  // namespace
