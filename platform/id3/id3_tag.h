#pragma once
// The song's tags: an ID3v2 tag with artist, title and comment at the head of
// the MP3 file and an ID3v1 tag at its end, rendered by id3lib.
#include <cstddef>
#include <string>
#include <string_view>

namespace platform::id3 {

// Room for the ID3v2 tag that a new MP3 file starts with (an empty tag of
// padding), so that tagging the finished song writes in place instead of
// copying the whole file while the next song waits to start.
inline constexpr size_t kReservedTagBytes = 4096;
// The empty tag that fills that room.
std::string EmptyId3v2Tag(size_t totalBytes = kReservedTagBytes);
// The song's ID3v2 tag padded to at least totalBytes, for the head of a new
// file: a song cut off by a crash still carries its names, and the finished
// song's tag is written over it in place.
std::string SongId3v2Tag(std::u16string_view artist, std::u16string_view title, std::u16string_view comment,
                         size_t totalBytes = kReservedTagBytes);

// Replaces the file's tags. Texts that Latin-1 can hold are written as
// Latin-1, others as UTF-16, so the ID3v2 tag holds exactly what was passed;
// the ID3v1 tag has room for Latin-1 only and gets "?" for other characters.
// An empty artist or title is left out. Writes in place when the leading tag
// has room, else rewrites the file through a temporary one beside it. False
// when the file could not be tagged.
bool WriteSongTag(const std::string& utf8Path, std::u16string_view artist, std::u16string_view title,
                  std::u16string_view comment);

// The comment of the file's leading ID3v2 tag (a Latin-1 one; empty when
// there is none, or the file cannot be read).
std::u16string ReadComment(const std::string& utf8Path);

}  // namespace platform::id3
