#pragma once
// Turning the player's raw author and title into the artist and title that
// name song files and decide song boundaries. The rules and their quirks are
// deliberate: changing them changes where recordings are split.
#include <string>

// Removes group 0 of the pattern's leftmost match from the text, and with it
// every other occurrence of that same piece anywhere in the text; repeats on
// the shortened text until the pattern no longer matches. Returns false only
// when the pattern does not parse (the text is then unchanged).
//
// A piece is handled whole whatever its length: there is no working-buffer
// limit, so a long match (say "-- CD" followed by thousands of units) goes
// entirely instead of being cut into fragments. The loop also ends when
// group 0 is empty or takes no part in the match (removing nothing would
// repeat forever), and when the pattern exceeds its backtracking budget.
bool RemoveMatches(std::u16string& text, const std::u16string& pattern);

// Drops "Winamp" (exact case), applies the five noise patterns in order
// (leading track number, "-- CD..." tail, leading digits with separators,
// parenthesised and bracketed remarks with their surrounding blanks), then
// trims spaces and hyphens, but not tabs, from both ends.
std::u16string CleanTitleText(const std::u16string& text);

// Cleans both texts; when there is no artist, a title with a hyphen is split
// at its first hyphen into artist and title, each trimmed of white space and
// not cleaned again.
void NormalizeNowPlaying(std::u16string& artist, std::u16string& title);
