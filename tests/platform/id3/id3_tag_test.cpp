// The tag writer against id3lib and real files: the bytes it leaves, in
// place and through the rewrite.
#include "platform/id3/id3_tag.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include "test_support.h"

namespace fs = std::filesystem;
using namespace platform::id3;
using testing_support::TempDir;

namespace {

std::string Contents(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

void Put(const fs::path& file, const std::string& bytes) { std::ofstream(file, std::ios::binary) << bytes; }

// Bytes standing in for MPEG frames; none of them starts a tag.
std::string Audio(size_t size) {
  std::string audio(size, '\0');
  for (size_t i = 0; i < size; ++i) audio[i] = static_cast<char>(0x80 | (i * 7 % 97));
  return audio;
}

// Header, frames and padding of the leading ID3v2 tag.
size_t LeadingTag(const std::string& d) {
  if (d.compare(0, 3, "ID3") != 0) return 0;
  size_t size = 0;
  for (int i = 6; i < 10; ++i) size = (size << 7) | (static_cast<unsigned char>(d[i]) & 0x7F);
  return 10 + size;
}

// One fixed-width field of the trailing ID3v1 tag, without its padding.
std::string V1Field(const std::string& d, size_t offset, size_t width) {
  std::string field = d.substr(d.size() - 128 + offset, width);
  return field.substr(0, field.find('\0'));
}

bool HasUtf16(const std::string& d, std::u16string_view text) {
  std::string little = "\xFF\xFE", big = "\xFE\xFF";
  for (char16_t c : text) {
    little += {static_cast<char>(c & 0xFF), static_cast<char>(c >> 8)};
    big += {static_cast<char>(c >> 8), static_cast<char>(c & 0xFF)};
  }
  return d.find(little) != std::string::npos || d.find(big) != std::string::npos;
}

TEST(Id3, TheRoomIsAnEmptyTagOfTheAskedSize) {
  for (size_t total : {kReservedTagBytes, size_t{10}, size_t{300}}) {
    const std::string room = EmptyId3v2Tag(total);
    ASSERT_EQ(room.size(), total);
    EXPECT_EQ(room.substr(0, 6), std::string("ID3\x03\x00\x00", 6));
    EXPECT_EQ(LeadingTag(room), total);
    EXPECT_EQ(room.find_first_not_of('\0', 10), std::string::npos);
  }
}

TEST(Id3, ANewFileStartsWithItsTagAndTheFinishWritesOverItInPlace) {
  struct Case {
    std::u16string artist, title;
    size_t room;  // the size the head must have
  };
  const Case cases[] = {
      {u"Bj\u00F6rk", u"J\u00F3ga", kReservedTagBytes},
      {u"\u0414\u043E\u043C", u"", kReservedTagBytes},
      {u"", u"", kReservedTagBytes},
      {std::u16string(3000, u'\u00E9'), std::u16string(1500, u'\u4E00'), 2 * kReservedTagBytes},  // grows by whole rooms
  };
  for (const Case& c : cases) {
    TempDir dir;
    const fs::path file = dir.path() / "song.mp3";
    const std::string head = SongId3v2Tag(c.artist, c.title, u"Recorded by rec");
    ASSERT_EQ(head.size(), c.room);
    EXPECT_EQ(LeadingTag(head), c.room);
    EXPECT_EQ(head.find("TPE1") != std::string::npos, !c.artist.empty());
    EXPECT_NE(head.find("Recorded by rec"), std::string::npos);
    const std::string audio = Audio(3000);
    Put(file, head + audio);
    ASSERT_TRUE(WriteSongTag(file.string(), c.artist, c.title, u"Recorded by rec"));
    const std::string d = Contents(file);
    EXPECT_EQ(d.size(), head.size() + audio.size() + 128);  // in place, no copy
    EXPECT_EQ(d.substr(0, head.size()), head);
    EXPECT_EQ(d.substr(head.size(), audio.size()), audio);
  }
}

TEST(Id3, TagsFitInTheRoomAndReplaceEachOther) {
  TempDir dir;
  const fs::path file = dir.path() / "song.mp3";
  const std::string audio = Audio(5000);
  Put(file, EmptyId3v2Tag() + audio);
  struct Case {
    std::u16string artist, title;
    std::string v1Artist, v1Title;
  };
  const Case cases[] = {
      {u"Bj\u00F6rk", u"J\u00F3ga", "Bj\xF6rk", "J\xF3ga"},           // Latin-1 both times
      {u"\u0414\u043E\u043C", u"Title", "???", "Title"},            // UTF-16 in v2, "?" in v1
      {u"", u"Only a title", "", "Only a title"},                    // no artist frame
  };
  for (const Case& c : cases) {
    ASSERT_TRUE(WriteSongTag(file.string(), c.artist, c.title, u"rec"));
    const std::string d = Contents(file);
    // Written in place: room, audio and one ID3v1 tag, never stacked.
    ASSERT_EQ(d.size(), kReservedTagBytes + audio.size() + 128);
    EXPECT_EQ(LeadingTag(d), kReservedTagBytes);
    EXPECT_EQ(d.substr(kReservedTagBytes, audio.size()), audio);
    EXPECT_EQ(d.substr(d.size() - 128, 3), "TAG");
    EXPECT_EQ(V1Field(d, 3, 30), c.v1Title);
    EXPECT_EQ(V1Field(d, 33, 30), c.v1Artist);
    const std::string v2 = d.substr(0, kReservedTagBytes);
    EXPECT_EQ(v2.find("TPE1") != std::string::npos, !c.artist.empty());
    if (c.v1Artist == "???") {
      EXPECT_TRUE(HasUtf16(v2, c.artist));
    } else if (!c.artist.empty()) {
      EXPECT_NE(v2.find(c.v1Artist), std::string::npos);
    }
  }
}

TEST(Id3, ATagWithoutRoomRewritesTheFileKeepingAudioAndMode) {
  TempDir dir;
  const std::string audio = Audio(70000);  // more than one copy buffer
  const std::u16string longTitle(5000, u'x');
  struct Case {
    const char* name;
    std::string head;  // what precedes the audio
  };
  const Case cases[] = {{"small-room.mp3", EmptyId3v2Tag(64)}, {"no-tag.mp3", ""}};
  for (const Case& c : cases) {
    const fs::path file = dir.path() / c.name;
    Put(file, c.head + audio);
    fs::permissions(file, fs::perms(0640));
    ASSERT_TRUE(WriteSongTag(file.string(), u"A", longTitle, u"")) << c.name;
    ASSERT_TRUE(WriteSongTag(file.string(), u"A", longTitle, u"")) << c.name;  // now in place
    const std::string d = Contents(file);
    const size_t tag = LeadingTag(d);
    ASSERT_GT(tag, longTitle.size()) << c.name;
    ASSERT_EQ(d.size(), tag + audio.size() + 128) << c.name;
    EXPECT_EQ(d.substr(tag, audio.size()), audio) << c.name;
    EXPECT_EQ(d.substr(d.size() - 128, 3), "TAG") << c.name;
    EXPECT_EQ(fs::status(file).permissions() & fs::perms::all, fs::perms(0640)) << c.name;
  }
  // No temporary file is left beside the songs.
  EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()), 2);
}

TEST(Id3, FilesThatCannotBeTaggedAreLeftAlone) {
  TempDir dir;
  EXPECT_FALSE(WriteSongTag((dir.path() / "missing.mp3").string(), u"A", u"T", u""));
  // A leading tag that claims more bytes than the file holds.
  const fs::path broken = dir.path() / "broken.mp3";
  const std::string bytes = EmptyId3v2Tag(4096).substr(0, 100);
  Put(broken, bytes);
  EXPECT_FALSE(WriteSongTag(broken.string(), u"A", u"T", u""));
  EXPECT_EQ(Contents(broken), bytes);
}

}  // namespace
