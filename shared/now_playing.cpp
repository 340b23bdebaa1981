#include "shared/now_playing.h"

#include <cstring>

#include "platform/ipc/ipc.h"
#include "platform/text/utf.h"

namespace orvweb {
namespace {
std::string SectionName() { return platform::ToUtf8(kNowPlayingSectionName); }
}  // namespace

std::string NowPlayingMessageNameUtf8() { return platform::ToUtf8(kNowPlayingMessageName); }

void StoreField(char16_t (&field)[kNowPlayingFieldUnits], std::u16string_view text) {
  const size_t n = std::min(text.size(), kNowPlayingMaxTextUnits);
  std::memcpy(field, text.data(), n * sizeof(char16_t));
  field[n] = u'\0';
}

std::u16string LoadField(const char16_t (&field)[kNowPlayingFieldUnits]) {
  size_t n = 0;
  while (n < kNowPlayingFieldUnits && field[n] != u'\0') ++n;
  return std::u16string(field, n);
}

struct NowPlayingWriter::Impl {
  std::unique_ptr<platform::ipc::SectionWriter> section;
};

NowPlayingWriter::NowPlayingWriter(std::unique_ptr<Impl> impl)
    : impl_(std::move(impl)), record_(reinterpret_cast<NowPlayingRecord*>(impl_->section->data())) {}

std::unique_ptr<NowPlayingWriter> NowPlayingWriter::Open() {
  auto section = platform::ipc::SectionWriter::Create(SectionName(), sizeof(NowPlayingRecord));
  if (!section) return nullptr;
  auto impl = std::make_unique<Impl>();
  impl->section = std::move(section);
  return std::unique_ptr<NowPlayingWriter>(new NowPlayingWriter(std::move(impl)));
}

NowPlayingWriter::~NowPlayingWriter() {
  WriteClosing();
  impl_->section.reset();
}

void NowPlayingWriter::WriteClosing() {
  if (closed_) return;
  closed_ = true;
  WriteState(kPlayStateMediaEnded);
}

void NowPlayingWriter::WriteFull(int32_t playState, const NowPlayingItem& item) {
  std::memset(record_, 0, sizeof(NowPlayingRecord));
  record_->recordSize = kNowPlayingRecordSize;
  record_->playState = playState;
  StoreField(record_->author, item.author);
  StoreField(record_->title, item.title);
  StoreField(record_->npv, item.npv);
  StoreField(record_->sourceUrl, item.sourceUrl);
  NotifyNowPlaying();
}

void NowPlayingWriter::WriteState(int32_t playState) {
  record_->recordSize = kNowPlayingRecordSize;
  record_->playState = playState;
  NotifyNowPlaying();
}

void NotifyNowPlaying() { platform::ipc::Broadcast(NowPlayingMessageNameUtf8()); }

bool NowPlayingPresent() { return platform::ipc::SectionPresent(SectionName()); }

NowPlayingSnapshot DecodeNowPlaying(const NowPlayingRecord& record) {
  NowPlayingSnapshot snap;
  snap.playState = record.playState;
  snap.item.author = LoadField(record.author);
  snap.item.title = LoadField(record.title);
  snap.item.npv = LoadField(record.npv);
  snap.item.sourceUrl = LoadField(record.sourceUrl);
  return snap;
}

NowPlayingReadResult ReadNowPlaying(NowPlayingSnapshot& out) {
  // Copied whole first, decoded after: the section is held only for the copy.
  auto copy = std::make_unique<NowPlayingRecord>();
  switch (platform::ipc::ReadSection(SectionName(), copy.get(), sizeof(NowPlayingRecord))) {
    case platform::ipc::SectionRead::NotPresent:
      return NowPlayingReadResult::NotPresent;
    case platform::ipc::SectionRead::Unreadable:
      return NowPlayingReadResult::NothingToRead;
    case platform::ipc::SectionRead::Ok:
      break;
  }
  out = DecodeNowPlaying(*copy);
  return NowPlayingReadResult::Ok;
}

}  // namespace orvweb
