#include "platform/id3/id3_tag.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <id3/tag.h>
#include <id3/writers.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <optional>
#include <sstream>
#include <vector>

#include "platform/files/files.h"

namespace platform::id3 {
namespace {

constexpr size_t kHeaderBytes = 10;
constexpr size_t kV1Bytes = 128;

using files::PReadAll;
using files::PWriteAll;
using Fd = files::UniqueFd;

void PutSyncsafe(char* out, size_t value) {
  for (int i = 3; i >= 0; --i) {
    out[i] = static_cast<char>(value & 0x7F);
    value >>= 7;
  }
}

bool FitsLatin1(std::u16string_view text) {
  for (char16_t c : text) {
    if (c > 0xFF) return false;
  }
  return true;
}

std::string ToLatin1(std::u16string_view text) {
  std::string out;
  out.reserve(text.size());
  for (char16_t c : text) out.push_back(c <= 0xFF ? static_cast<char>(c) : '?');
  return out;
}

std::string Render(const ID3_Tag& tag, ID3_TagType type) {
  std::ostringstream out(std::ios::binary);
  ID3_OStreamWriter writer(out);
  tag.Render(writer, type);
  return out.str();
}

// The tag takes the frame over. id3lib's frame copy (AddFrame) mismatches
// its own new and delete, so frames are never copied.
void Attach(ID3_Tag& tag, std::unique_ptr<ID3_Frame> frame) {
  if (tag.AttachFrame(frame.get())) frame.release();
}

// id3lib writes its UTF-16 byte-order mark in the machine's order but the
// text units high byte first; whether that needs undoing is found out once
// by rendering "A".
bool UnitsNeedSwap() {
  static const bool swap = [] {
    ID3_Tag tag;
    tag.SetPadding(false);
    auto frame = std::make_unique<ID3_Frame>(ID3FID_TITLE);
    frame->GetField(ID3FN_TEXTENC)->Set(static_cast<uint32>(ID3TE_UTF16));
    ID3_Field* text = frame->GetField(ID3FN_TEXT);
    text->SetEncoding(ID3TE_UTF16);
    const unicode_t probe[] = {0x0041, 0};
    text->Set(probe);
    Attach(tag, std::move(frame));
    const std::string bytes = Render(tag, ID3TT_ID3V2);
    for (size_t i = 0; i + 3 < bytes.size(); ++i) {
      const auto b = [&](size_t k) { return static_cast<unsigned char>(bytes[i + k]); };
      if (b(0) == 0xFF && b(1) == 0xFE) return !(b(2) == 0x41 && b(3) == 0x00);
      if (b(0) == 0xFE && b(1) == 0xFF) return !(b(2) == 0x00 && b(3) == 0x41);
    }
    return false;
  }();
  return swap;
}

void SetText(ID3_Frame& frame, ID3_FieldID fieldId, std::u16string_view text, bool latin1) {
  ID3_Field* field = frame.GetField(fieldId);
  if (!field) return;
  if (latin1) {
    field->SetEncoding(ID3TE_ISO8859_1);
    field->Set(ToLatin1(text).c_str());
    return;
  }
  field->SetEncoding(ID3TE_UTF16);
  const bool swap = UnitsNeedSwap();
  std::vector<unicode_t> units;
  units.reserve(text.size() + 1);
  for (char16_t c : text) {
    const auto unit = static_cast<unicode_t>(c);
    units.push_back(swap ? static_cast<unicode_t>((unit << 8) | (unit >> 8)) : unit);
  }
  units.push_back(0);
  field->Set(units.data());
}

void AddTextFrame(ID3_Tag& tag, ID3_FrameID id, std::u16string_view text, bool allowUnicode) {
  if (text.empty()) return;
  const bool latin1 = !allowUnicode || FitsLatin1(text);
  auto frame = std::make_unique<ID3_Frame>(id);
  frame->GetField(ID3FN_TEXTENC)->Set(static_cast<uint32>(latin1 ? ID3TE_ISO8859_1 : ID3TE_UTF16));
  SetText(*frame, ID3FN_TEXT, text, latin1);
  Attach(tag, std::move(frame));
}

void AddComment(ID3_Tag& tag, std::u16string_view text, bool allowUnicode) {
  if (text.empty()) return;
  const bool latin1 = !allowUnicode || FitsLatin1(text);
  auto frame = std::make_unique<ID3_Frame>(ID3FID_COMMENT);
  frame->GetField(ID3FN_TEXTENC)->Set(static_cast<uint32>(latin1 ? ID3TE_ISO8859_1 : ID3TE_UTF16));
  frame->GetField(ID3FN_LANGUAGE)->Set("XXX");
  SetText(*frame, ID3FN_DESCRIPTION, u"", latin1);
  SetText(*frame, ID3FN_TEXT, text, latin1);
  Attach(tag, std::move(frame));
}

std::string RenderTag(std::u16string_view artist, std::u16string_view title, std::u16string_view comment,
                      ID3_TagType type) {
  const bool unicode = type == ID3TT_ID3V2;
  ID3_Tag tag;
  tag.SetPadding(false);
  AddTextFrame(tag, ID3FID_LEADARTIST, artist, unicode);
  AddTextFrame(tag, ID3FID_TITLE, title, unicode);
  AddComment(tag, comment, unicode);
  return Render(tag, type);
}

// The bytes of the ID3v2 tag at the head of the file (header, frames,
// padding, footer), 0 when there is none.
size_t LeadingTagBytes(int fd) {
  char header[kHeaderBytes];
  if (!PReadAll(fd, header, sizeof header, 0) || std::memcmp(header, "ID3", 3) != 0) return 0;
  size_t size = 0;
  for (int i = 6; i < 10; ++i) size = (size << 7) | (static_cast<unsigned char>(header[i]) & 0x7F);
  const bool footer = (static_cast<unsigned char>(header[5]) & 0x10) != 0;
  return kHeaderBytes + size + (footer ? kHeaderBytes : 0);
}

bool EndsWithV1(int fd, off_t fileSize) {
  if (fileSize < static_cast<off_t>(kV1Bytes)) return false;
  char magic[3];
  return PReadAll(fd, magic, sizeof magic, fileSize - static_cast<off_t>(kV1Bytes)) &&
         std::memcmp(magic, "TAG", 3) == 0;
}

// The rendered ID3v2 tag stretched with padding to exactly totalBytes.
std::string Stretch(std::string tag, size_t totalBytes) {
  tag.resize(totalBytes, '\0');
  PutSyncsafe(tag.data() + 6, totalBytes - kHeaderBytes);
  return tag;
}

bool RewriteFile(const std::string& path, int in, size_t oldTagBytes, off_t audioEnd, const std::string& v2,
                 const std::string& v1) {
  const std::filesystem::path target(path);
  auto out = files::NewFile::CreateUnique(target.parent_path(), ".orvweb-tag-");
  if (!out || !out->Write(v2.data(), v2.size())) return false;
  char buffer[65536];
  for (off_t at = static_cast<off_t>(oldTagBytes); at < audioEnd;) {
    const size_t want = static_cast<size_t>(std::min<off_t>(sizeof buffer, audioEnd - at));
    if (!PReadAll(in, buffer, want, at) || !out->Write(buffer, want)) return false;
    at += static_cast<off_t>(want);
  }
  if (!out->Write(v1.data(), v1.size()) || !out->Close()) return false;
  if (const auto mode = files::Mode(target)) files::SetMode(out->path(), *mode);
  if (!files::MoveReplace(out->path(), target)) return false;
  out->Keep();
  return true;
}

}  // namespace

std::string EmptyId3v2Tag(size_t totalBytes) {
  std::string tag(totalBytes, '\0');
  std::memcpy(tag.data(), "ID3\x03\x00\x00", 6);
  PutSyncsafe(tag.data() + 6, totalBytes - kHeaderBytes);
  return tag;
}

std::string SongId3v2Tag(std::u16string_view artist, std::u16string_view title, std::u16string_view comment,
                         size_t totalBytes) {
  std::string tag = RenderTag(artist, title, comment, ID3TT_ID3V2);
  if (tag.size() < kHeaderBytes) return EmptyId3v2Tag(totalBytes);
  // Long names get room to spare for the finish's rewrite.
  if (tag.size() > totalBytes) totalBytes = (tag.size() + kReservedTagBytes) / kReservedTagBytes * kReservedTagBytes;
  return Stretch(std::move(tag), totalBytes);
}

bool WriteSongTag(const std::string& utf8Path, std::u16string_view artist, std::u16string_view title,
                  std::u16string_view comment) {
  Fd fd(::open(utf8Path.c_str(), O_RDWR | O_CLOEXEC));
  if (fd.get() < 0) return false;
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0) return false;

  const std::string v2 = RenderTag(artist, title, comment, ID3TT_ID3V2);
  const std::string v1 = RenderTag(artist, title, comment, ID3TT_ID3V1);
  const size_t oldTag = LeadingTagBytes(fd.get());
  const off_t audioEnd = EndsWithV1(fd.get(), st.st_size) ? st.st_size - static_cast<off_t>(kV1Bytes) : st.st_size;
  if (static_cast<off_t>(oldTag) > audioEnd) return false;

  if (!v2.empty() && oldTag >= v2.size()) {
    // The leading tag has room: overwrite it, then put the ID3v1 tag last.
    const std::string head = Stretch(v2, oldTag);
    return PWriteAll(fd.get(), head.data(), head.size(), 0) && PWriteAll(fd.get(), v1.data(), v1.size(), audioEnd) &&
           ::ftruncate(fd.get(), audioEnd + static_cast<off_t>(v1.size())) == 0;
  }
  return RewriteFile(utf8Path, fd.get(), oldTag, audioEnd, v2, v1);
}

std::u16string ReadComment(const std::string& utf8Path) {
  ID3_Tag tag;
  tag.Link(utf8Path.c_str(), ID3TT_ID3V2);
  const ID3_Frame* frame = tag.Find(ID3FID_COMMENT);
  const ID3_Field* text = frame ? frame->GetField(ID3FN_TEXT) : nullptr;
  if (!text || text->GetEncoding() != ID3TE_ISO8859_1 || !text->GetRawText()) return {};
  std::u16string value;
  for (const char* c = text->GetRawText(); *c; ++c) value.push_back(static_cast<unsigned char>(*c));
  return value;
}

}  // namespace platform::id3
