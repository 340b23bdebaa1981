#include "shared/now_playing.h"

#include <gtest/gtest.h>

#include <cstring>

using namespace orvweb;

namespace {

TEST(NowPlayingField, StoresAtMost3999UnitsAndAlwaysEndsWithNul) {
  const struct {
    size_t units;
    size_t stored;
  } cases[] = {{0, 0}, {1, 1}, {3998, 3998}, {3999, 3999}, {4000, 3999}, {5000, 3999}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.units);
    char16_t field[kNowPlayingFieldUnits];
    std::fill(std::begin(field), std::end(field), u'#');
    std::u16string text(c.units, u'a');
    StoreField(field, text);
    EXPECT_EQ(field[c.stored], u'\0');
    EXPECT_EQ(LoadField(field), std::u16string(c.stored, u'a'));
  }
}

TEST(NowPlayingField, FieldWithoutAnyNulIsReadWithinItsBounds) {
  // Heap copies with nothing behind them: ASan reports any read past the end.
  auto record = std::make_unique<NowPlayingRecord>();
  std::fill(std::begin(record->author), std::end(record->author), u'A');
  std::fill(std::begin(record->title), std::end(record->title), u'T');
  std::fill(std::begin(record->npv), std::end(record->npv), u'N');
  std::fill(std::begin(record->sourceUrl), std::end(record->sourceUrl), u'U');
  record->playState = kPlayStatePaused;
  const NowPlayingSnapshot snap = DecodeNowPlaying(*record);
  EXPECT_EQ(snap.item.author, std::u16string(4000, u'A'));
  EXPECT_EQ(snap.item.title, std::u16string(4000, u'T'));
  EXPECT_EQ(snap.item.npv, std::u16string(4000, u'N'));
  EXPECT_EQ(snap.item.sourceUrl, std::u16string(4000, u'U'));
  EXPECT_EQ(snap.playState, kPlayStatePaused);
}

TEST(NowPlayingField, ZeroRecordReadsAsEmptyTextsAndStateZero) {
  auto record = std::make_unique<NowPlayingRecord>();
  std::memset(record.get(), 0, sizeof(NowPlayingRecord));
  const NowPlayingSnapshot snap = DecodeNowPlaying(*record);
  EXPECT_EQ(snap.playState, 0);
  EXPECT_TRUE(snap.item.author.empty() && snap.item.title.empty() && snap.item.npv.empty() &&
              snap.item.sourceUrl.empty());
}

TEST(NowPlayingField, UnitsBeyondTheBmpSurviveUnchanged) {
  char16_t field[kNowPlayingFieldUnits];
  const std::u16string text = u"Bj\u00F6rk \U0001F3B5 \u6771\u4EAC";
  StoreField(field, text);
  EXPECT_EQ(LoadField(field), text);
}

}  // namespace
