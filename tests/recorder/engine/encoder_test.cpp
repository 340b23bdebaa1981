#include "recorder/engine/mp3_encoder.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <numeric>

#include "engine_fakes.h"
#include "platform/audio/fake_audio.h"
#include "platform/id3/id3_tag.h"
#include "test_support.h"

namespace fs = std::filesystem;
using namespace orvweb;
using engine_test::FakeLame;
using platform::audio::MakePcmFormat;
using platform::id3::kReservedTagBytes;

namespace {

std::vector<int16_t> Ramp(size_t count, int16_t start = 1) {
  std::vector<int16_t> v(count);
  std::iota(v.begin(), v.end(), start);
  return v;
}

const uint8_t* Bytes(const std::vector<int16_t>& v, size_t offset = 0) {
  return reinterpret_cast<const uint8_t*>(v.data() + offset);
}

std::string Contents(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

class Encoder : public ::testing::Test {
 protected:
  testing_support::TempDir dir;
  FakeLame lame;
  std::string path = (dir.path() / "song.mp3").string();
  const platform::audio::WaveFormat stereo = MakePcmFormat(2, 44100);
};

TEST_F(Encoder, FullDeliveriesWriteWholeChunksAndKeepTheRest) {
  CMp3Encoder encoder(lame.Table());
  ASSERT_EQ(encoder.OpenStream(stereo, path), 0u);
  const auto samples = Ramp(10000);

  EXPECT_EQ(encoder.EncodeSamples(Bytes(samples), 5000), 0u);
  EXPECT_EQ(lame.EncodeCounts(), (std::vector<uint32_t>{2304, 2304}));
  EXPECT_EQ(encoder.bufferedCount(), 392u);

  // The next delivery first completes the kept chunk with 1912 values.
  EXPECT_EQ(encoder.EncodeSamples(Bytes(samples, 5000), 5000), 0u);
  ASSERT_EQ(lame.EncodeCounts().size(), 4u);
  EXPECT_EQ(lame.firstValues[2], samples[4608]);  // 392 kept values lead the third chunk
  EXPECT_EQ(encoder.bufferedCount(), (392u + 5000u) % 2304u);
}

TEST_F(Encoder, OneWholeChunkIsEncodedInPlaceOnlyWhenNothingIsBuffered) {
  CMp3Encoder encoder(lame.Table());
  ASSERT_EQ(encoder.OpenStream(stereo, path), 0u);
  const auto chunk = Ramp(2304);

  EXPECT_EQ(encoder.EncodeSamples(Bytes(chunk), 2304), 0u);
  ASSERT_EQ(lame.encodePointers.size(), 1u);
  EXPECT_EQ(lame.encodePointers[0], chunk.data());

  const auto few = Ramp(100);
  EXPECT_EQ(encoder.EncodeSamples(Bytes(few), 100), kMp3WriteFailed);  // no chunk completed
  EXPECT_EQ(encoder.EncodeSamples(Bytes(chunk), 2304), 0u);
  ASSERT_EQ(lame.encodePointers.size(), 2u);
  EXPECT_NE(lame.encodePointers[1], chunk.data());  // through the buffer
  EXPECT_EQ(encoder.bufferedCount(), 100u);
}

TEST_F(Encoder, CloseEncodesThePartialChunkThenFlushesClosesAndWritesTheHeaderLast) {
  CMp3Encoder encoder(lame.Table());
  ASSERT_EQ(encoder.OpenStream(stereo, path), 0u);
  const auto some = Ramp(100);
  encoder.EncodeSamples(Bytes(some), 100);
  EXPECT_EQ(encoder.CloseStream(), 0u);

  EXPECT_EQ(lame.Calls(), (std::vector<std::string>{"init", "encode", "deinit", "header", "close"}));
  EXPECT_EQ(lame.EncodeCounts(), (std::vector<uint32_t>{100}));
  // The header writer met the closed, complete file: tag room, 12 bytes of
  // the chunk and the 16 flushed bytes.
  EXPECT_EQ(lame.headerPath, path);
  EXPECT_EQ(lame.fileSizeAtHeader, static_cast<long>(kReservedTagBytes + 12 + 16));
  const std::string file = Contents(path);
  EXPECT_EQ(file.substr(0, 3), "ID3");
  EXPECT_EQ(file.substr(kReservedTagBytes), std::string(12, '\xAB') + std::string(16, '\xCD'));
  EXPECT_FALSE(encoder.streaming());
}

TEST_F(Encoder, CloseWithNothingBufferedEncodesNoPartialChunk) {
  CMp3Encoder encoder(lame.Table());
  ASSERT_EQ(encoder.OpenStream(stereo, path), 0u);
  EXPECT_EQ(encoder.CloseStream(), 0u);
  EXPECT_EQ(lame.Calls(), (std::vector<std::string>{"init", "deinit", "header", "close"}));
}

TEST_F(Encoder, ARefusedChunkIsReturnedDroppedAndFeedingGoesOn) {
  lame.refuseEncodeCall = 2;
  CMp3Encoder encoder(lame.Table());
  ASSERT_EQ(encoder.OpenStream(stereo, path), 0u);
  const auto samples = Ramp(5000);

  EXPECT_EQ(encoder.EncodeSamples(Bytes(samples), 2304), 0u);
  EXPECT_EQ(encoder.EncodeSamples(Bytes(samples), 2304), BE_ERR_BUFFER_TOO_SMALL);  // in place, refused
  EXPECT_EQ(encoder.bufferedCount(), 0u);
  EXPECT_EQ(encoder.EncodeSamples(Bytes(samples), 5000), 0u);  // neither spins nor writes past the buffer
  EXPECT_EQ(lame.EncodeCounts().size(), 4u);
  EXPECT_EQ(encoder.bufferedCount(), 392u);
  EXPECT_EQ(encoder.CloseStream(), 0u);
  // Three accepted chunks of 288 bytes, one partial of 49, the flush.
  EXPECT_EQ(Contents(path).size(), kReservedTagBytes + 3 * 288 + 49 + 16);
}

TEST_F(Encoder, ARefusedPartialChunkOnCloseLeavesTheStreamOpen) {
  lame.refuseEncodeCall = 1;
  CMp3Encoder encoder(lame.Table());
  ASSERT_EQ(encoder.OpenStream(stereo, path), 0u);
  const auto some = Ramp(100);
  encoder.EncodeSamples(Bytes(some), 100);
  EXPECT_EQ(encoder.CloseStream(), BE_ERR_BUFFER_TOO_SMALL);
  EXPECT_TRUE(encoder.streaming());
  EXPECT_EQ(encoder.bufferedCount(), 100u);
}

TEST_F(Encoder, ConfigurationFollowsTheCapturedFormat) {
  struct Case {
    uint16_t channels;
    int32_t mode;
  };
  for (const Case c : {Case{2, BE_MP3_MODE_JSTEREO}, Case{1, BE_MP3_MODE_MONO}, Case{4, BE_MP3_MODE_MONO}}) {
    const BE_CONFIG config = MakeEncoderConfig(MakePcmFormat(c.channels, 48000));
    EXPECT_EQ(config.nMode, c.mode) << c.channels;
    EXPECT_EQ(config.dwSampleRate, 48000u);
  }
  CMp3Encoder encoder(lame.Table());
  ASSERT_EQ(encoder.OpenStream(stereo, path), 0u);
  const BE_CONFIG& c = lame.lastConfig;
  EXPECT_EQ(c.dwConfig, BE_CONFIG_LAME);
  EXPECT_EQ(c.dwStructVersion, 1u);
  EXPECT_EQ(c.dwStructSize, 331u);
  EXPECT_EQ(c.dwSampleRate, 44100u);
  EXPECT_EQ(c.dwReSampleRate, 0u);
  EXPECT_EQ(c.dwBitrate, 128u);
  EXPECT_EQ(c.dwMaxBitrate, 0u);
  EXPECT_EQ(c.nPreset, LQP_R3MIX);
  EXPECT_EQ(c.dwMpegVersion, MPEG1);
  EXPECT_EQ(c.bOriginal, 1);
  EXPECT_EQ(c.bWriteVBRHeader, 1);
  EXPECT_EQ(c.bEnableVBR + c.nVBRQuality + c.bCRC + c.bPrivate + c.bCopyright + c.bNoRes + c.bStrictIso, 0);
  EXPECT_EQ(c.nQuality, 0);
}

TEST_F(Encoder, SamplesOtherThan16BitRaiseAndCreateNoFile) {
  CMp3Encoder encoder(lame.Table());
  for (uint16_t bits : {8, 24, 32}) {
    try {
      encoder.OpenStream(MakePcmFormat(2, 44100, bits), path);
      ADD_FAILURE() << bits << " bits were accepted";
    } catch (const Mp3EncoderError& e) {
      EXPECT_STREQ(e.what(), kNeeds16Bits);
    }
    EXPECT_FALSE(fs::exists(path));
  }
}

TEST_F(Encoder, EverySixEntryPointIsRequired) {
  EXPECT_TRUE(CMp3Encoder(lame.Table()).isLoaded());
  for (int missing = 0; missing < 6; ++missing) {
    Mp3EncoderTable t = lame.Table();
    switch (missing) {
      case 0: t.beInitStream = nullptr; break;
      case 1: t.beEncodeChunk = nullptr; break;
      case 2: t.beDeinitStream = nullptr; break;
      case 3: t.beCloseStream = nullptr; break;
      case 4: t.beVersion = nullptr; break;
      case 5: t.beWriteVBRHeader = nullptr; break;
    }
    CMp3Encoder encoder(std::move(t));
    EXPECT_FALSE(encoder.isLoaded()) << missing;
    EXPECT_THROW(encoder.OpenStream(stereo, path), Mp3EncoderError);
  }
  EXPECT_EQ(CMp3Encoder(lame.Table()).GetVersion(), std::make_pair(3, 100));
}

TEST_F(Encoder, AFailedInitLeavesAnExistingFileAloneAndIsNeverFed) {
  std::ofstream(path) << "an earlier song";
  lame.initResult = BE_ERR_INVALID_FORMAT_PARAMETERS;
  CMp3Encoder encoder(lame.Table());
  EXPECT_EQ(encoder.OpenStream(stereo, path), BE_ERR_INVALID_FORMAT_PARAMETERS);
  EXPECT_EQ(Contents(path), "an earlier song");
  const auto samples = Ramp(5000);
  EXPECT_EQ(encoder.EncodeSamples(Bytes(samples), 5000), kMp3WriteFailed);
  EXPECT_EQ(lame.encodeCalls.load(), 0);
  EXPECT_EQ(encoder.CloseStream(), 0u);
}

TEST_F(Encoder, AFileThatCannotBeCreatedFailsTheOpen) {
  CMp3Encoder encoder(lame.Table());
  EXPECT_EQ(encoder.OpenStream(stereo, (dir.path() / "missing" / "song.mp3").string()), kMp3WriteFailed);
  EXPECT_FALSE(encoder.streaming());
  EXPECT_EQ(lame.Calls(), (std::vector<std::string>{"init", "close"}));
}

TEST_F(Encoder, ReopeningDiscardsTheOldStreamWithoutFlushOrHeader) {
  CMp3Encoder encoder(lame.Table());
  ASSERT_EQ(encoder.OpenStream(stereo, path), 0u);
  const auto some = Ramp(100);
  encoder.EncodeSamples(Bytes(some), 100);
  const std::string second = (dir.path() / "second.mp3").string();
  ASSERT_EQ(encoder.OpenStream(stereo, second), 0u);
  EXPECT_EQ(lame.Calls(), (std::vector<std::string>{"init", "close", "init"}));
  EXPECT_EQ(encoder.bufferedCount(), 0u);
  EXPECT_EQ(Contents(path).size(), kReservedTagBytes);
}

}  // namespace
