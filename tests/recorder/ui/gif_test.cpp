#include "recorder/ui/gif.h"

#include <gtest/gtest.h>

#include "gif_builder.h"

namespace {

using namespace gif_test;
using orvweb::gif::BlockKind;

size_t Count(const Bytes& data) {
  const auto screen = orvweb::gif::ReadScreen(data);
  return screen ? orvweb::gif::CountImages(data, *screen) : 0;
}

std::vector<orvweb::gif::Frame> Frames(const Bytes& data) {
  const auto screen = orvweb::gif::ReadScreen(data);
  return screen ? orvweb::gif::ExtractFrames(data, *screen) : std::vector<orvweb::gif::Frame>{};
}

TEST(GifScreen, HeaderFieldsAndFirstBlock) {
  const Bytes withTable = Header(390, 120);
  const auto screen = orvweb::gif::ReadScreen(withTable);
  ASSERT_TRUE(screen);
  EXPECT_EQ(screen->width, 390);
  EXPECT_EQ(screen->height, 120);
  EXPECT_EQ(screen->tableSize, 12u);
  EXPECT_EQ(screen->firstBlock, 25u);

  const auto noTable = orvweb::gif::ReadScreen(Header(1, 1, false));
  ASSERT_TRUE(noTable);
  EXPECT_EQ(noTable->firstBlock, 13u);

  // The version bytes are not looked at; only the signature and the size.
  Bytes odd = Header(1, 1);
  odd[3] = 'x';
  EXPECT_TRUE(orvweb::gif::ReadScreen(odd));
  EXPECT_FALSE(orvweb::gif::ReadScreen(Bytes{'G', 'I', 'F', '8', '9', 'a'}));
  EXPECT_FALSE(orvweb::gif::ReadScreen(Bytes{'B', 'M', 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
}

TEST(GifBlocks, KindsAndLengths) {
  struct Case {
    const char* name;
    Bytes block;
    BlockKind kind;
    size_t length;  // 0: malformed
  };
  const Bytes image = Image(0, 0, 3, 2, 1);
  const Bytes localImage = Image(0, 0, 3, 2, 1, true);
  const Bytes app = Application();
  const Case cases[] = {
      {"application", Application(), BlockKind::Application, Application().size()},
      {"comment", Comment("made here"), BlockKind::Comment, Comment("made here").size()},
      {"graphic control", GraphicControl(5, 2), BlockKind::GraphicControl, 8},
      {"plain text", PlainText(1, 2), BlockKind::PlainText, PlainText(1, 2).size()},
      {"image", image, BlockKind::Image, image.size()},
      {"image with local table", localImage, BlockKind::Image, localImage.size()},
      {"trailer", kTrailer, BlockKind::Trailer, 1},
      {"unknown extension", Bytes{0x21, 0x77, 0x00}, BlockKind::Unknown, 0},
      {"unknown introducer", Bytes{0x42}, BlockKind::Unknown, 0},
      {"image cut in its sub-blocks", Bytes(image.begin(), image.end() - 1), BlockKind::Image, 0},
      {"image cut in its descriptor", Bytes(image.begin(), image.begin() + 6), BlockKind::Unknown, 0},
      {"local table cut", Bytes(localImage.begin(), localImage.begin() + 15), BlockKind::Image, 0},
      {"graphic control cut", Bytes{0x21, 0xF9, 0x04, 0x00}, BlockKind::GraphicControl, 0},
      {"application without terminator", Bytes(app.begin(), app.end() - 1),
       BlockKind::Application, 0},
      {"lone extension introducer", Bytes{0x21}, BlockKind::Unknown, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const orvweb::gif::Block block = orvweb::gif::BlockAt(c.block, 0);
    EXPECT_EQ(block.length, c.length);
    if (c.length) {
      EXPECT_EQ(block.kind, c.kind);
    }
  }
  EXPECT_EQ(orvweb::gif::BlockAt(kTrailer, 1).length, 0u);
}

TEST(GifCount, ImagesUntilTrailerOrMalformedBlock) {
  const Bytes h = Header(8, 8);
  const Bytes img = Image(0, 0, 8, 8, 1);
  struct Case {
    const char* name;
    Bytes gif;
    size_t images;
  };
  const Case cases[] = {
      {"one image", Join({h, img, kTrailer}), 1},
      {"three frames with extensions", Join({h, Application(), GraphicControl(10, 0), img, Comment("c"),
                                             GraphicControl(10, 0), img, GraphicControl(10, 0), img, kTrailer}),
       3},
      {"plain text counts as an image", Join({h, GraphicControl(1, 0), PlainText(0, 0), img, kTrailer}), 2},
      {"no trailer: the end of the data ends the count", Join({h, img, img}), 2},
      {"a cut image is not counted", Join({h, img, Bytes(img.begin(), img.end() - 2)}), 1},
      {"an unknown block ends the count", Join({h, img, Bytes{0x99}, img, kTrailer}), 1},
      {"unrecognised first block", Join({h, Bytes{0x21, 0x55, 0x00}, img, kTrailer}), 0},
      {"trailer first", Join({h, kTrailer, img}), 0},
      {"header only", h, 0},
      {"control without an image", Join({h, GraphicControl(3, 0), kTrailer}), 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(Count(c.gif), c.images);
  }
}

TEST(GifFrames, BytesAreHeaderTableFrameAndTrailer) {
  const Bytes h = Header(16, 8);
  const Bytes app = Application();
  const Bytes gce1 = GraphicControl(7, 2);
  const Bytes comment = Comment("between");
  const Bytes img1 = Image(0, 0, 16, 8, 1);
  const Bytes img2 = Image(4, 2, 6, 3, 2, true);
  const Bytes gif = Join({h, app, gce1, comment, img1, Comment("skipped"), img2, kTrailer});

  const auto frames = Frames(gif);
  ASSERT_EQ(frames.size(), 2u);
  // The leading application extension is not part of any frame; the
  // comment after the control block belongs to its frame.
  EXPECT_EQ(frames[0].bytes, Join({h, gce1, comment, img1, kTrailer}));
  EXPECT_EQ(frames[1].bytes, Join({h, img2, kTrailer}));

  EXPECT_EQ(frames[0].delay, 7u);
  EXPECT_EQ(frames[0].disposal, 2);
  EXPECT_EQ(frames[1].delay, orvweb::gif::kNoDelay);
  EXPECT_EQ(frames[1].disposal, 0);
  EXPECT_EQ((std::vector<unsigned>{frames[1].left, frames[1].top, frames[1].width, frames[1].height}),
            (std::vector<unsigned>{4, 2, 6, 3}));
}

TEST(GifFrames, DisposalIsBitsTwoToFour) {
  for (unsigned disposal = 0; disposal < 8; ++disposal) {
    Bytes gce = GraphicControl(1, disposal);
    gce[3] |= 0x03 | 0xE0;  // transparency, user input and reserved bits are not disposal
    const auto frames = Frames(Join({Header(2, 2), gce, Image(0, 0, 2, 2, 1), kTrailer}));
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].disposal, disposal);
  }
}

TEST(GifFrames, ControlBlockWithoutImageEndsTheFrames) {
  const Bytes h = Header(2, 2);
  const Bytes img = Image(0, 0, 2, 2, 1);
  EXPECT_EQ(Frames(Join({h, img, GraphicControl(1, 0), GraphicControl(2, 0), img, kTrailer})).size(), 1u);
  EXPECT_EQ(Frames(Join({h, img, GraphicControl(1, 0), kTrailer})).size(), 1u);
}

TEST(GifFrames, WaitTimes) {
  struct Case {
    uint32_t delay;
    uint32_t ms;
  };
  const Case cases[] = {{0, 100},  {1, 100},     {4, 100},      {5, 50},
                        {25, 250}, {65535, 655350}, {orvweb::gif::kNoDelay, 4294967286u}};
  for (const Case& c : cases) EXPECT_EQ(orvweb::gif::FrameWaitMs(c.delay), c.ms) << c.delay;
}

// Every cut of a valid animation, and every single-byte change of it, is
// parsed without reading past the data (the sanitizer builds check the reads).
TEST(GifFrames, CutAndDamagedDataStayInBounds) {
  const Bytes gif = Join({Header(8, 8), Application(), GraphicControl(5, 3), Image(0, 0, 8, 8, 1),
                          GraphicControl(5, 2), Image(1, 1, 4, 4, 2, true), PlainText(0, 0), kTrailer});
  ASSERT_EQ(Frames(gif).size(), 3u);
  for (size_t size = 0; size < gif.size(); ++size) {
    const Bytes cut(gif.begin(), gif.begin() + size);
    const auto frames = Frames(cut);
    EXPECT_LE(frames.size(), 3u);
    EXPECT_LE(Count(cut), 3u);
    for (const auto& frame : frames) EXPECT_EQ(frame.bytes.back(), 0x3B);
  }
  for (size_t at = 0; at < gif.size(); ++at) {
    for (uint8_t value : {uint8_t{0x00}, uint8_t{0xFF}, uint8_t{0x2C}, uint8_t{0x21}}) {
      Bytes damaged = gif;
      damaged[at] = value;
      Count(damaged);
      Frames(damaged);
    }
  }
}

}  // namespace
