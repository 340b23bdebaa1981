#pragma once
// What the recorder asks of the player: is it running? An MPRIS player on
// the session bus counts as the player's main window.
namespace platform::player {

// Whether any MPRIS player is on the session bus right now. Never starts a
// bus; waits at most half a second for the answer. Callable from any thread.
bool FindPlayerWindow();

}  // namespace platform::player
