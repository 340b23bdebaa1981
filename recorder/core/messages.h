#pragma once
// The numbered texts of the recorder in English and German, and the
// addresses of its pages. Looked up at the moment of use, never cached.
#include <string>

#include "recorder/core/endpoints.h"

namespace orvweb {

enum MessageId : int {
  IDS_ABOUTBOX = 101,
  IDS_WMASERT_WARNING = 102,
  IDS_ALREADY_RUNNING = 103,
  IDS_CAPTION = 104,
  IDS_HELP_PAGE_UNUSED = 106,
  IDS_RECORD_LEVEL_SET = 107,
  IDS_UNABLE_TO_STOP = 108,
  IDS_RECORDING_STOPPED = 109,
  IDS_UNABLE_TO_START = 110,
  IDS_RECORDING_STARTED = 111,
  IDS_UI_LOADED = 112,
  IDS_UI_LOAD_FAILED = 113,
  IDS_ENCODER_FOUND = 114,
  IDS_ENCODER_NOT_FOUND = 115,
  IDS_PLUGIN_NOT_DETECTED = 116,
  IDS_PLUGIN_DETECTED = 117,
  IDS_PLUGIN_NOT_ACTIVE = 118,
  IDS_NOTHING_PLAYING = 120,
  IDS_PLAYER_PAUSED = 121,
  IDS_NEW_SONG = 122,
  IDS_SONG_TOO_LONG = 123,
  IDS_LONG_SILENCE = 124,
  IDS_RECORD_TIME = 125,
  IDS_SONG_TOO_SHORT = 126,
  IDS_SET_PARAMETERS_FIRST = 128,
  IDS_DEV_UI_PAGE = 129,
  IDS_UI_PAGE = 130,
  IDS_DEV_OPTIONS_PAGE = 131,
  IDS_OPTIONS_PAGE = 132,
  IDS_HELP_PAGE = 135,
  IDS_STOP_AND_CHANGE_SETTINGS = 136,
  IDS_SONG_ALREADY_RECORDED = 137,
  // Ours: a song left unfinished by a crash, at the next start.
  IDS_SONG_REPAIRED = 140,
  IDS_SONG_NOT_REPAIRED = 141,
  // Ours: the sound server went away and came back.
  IDS_SOUND_SERVER_LOST = 160,
  IDS_SOUND_SERVER_BACK = 161,
  // Ours: a downloaded update whose signature did not check.
  IDS_UPDATE_NOT_VERIFIED = 162,
  // Ours: a file of the song's name that must not be replaced.
  IDS_SONG_KEPT_BESIDE = 150,
  // Ours: a song file could not be written (disk full, folder gone).
  IDS_SONGS_FOLDER_UNWRITABLE = 151,
  // Ours: the options page's songs folder.
  IDS_SONGS_FOLDER_RELATIVE = 152,
  IDS_SONGS_FOLDER_NOT_CREATED = 153,
};

// The text of id in the user's language (German for "de", else English);
// empty for an unknown id.
std::u16string LoadMessage(int id);
std::u16string LoadMessage(int id, Language language);

}  // namespace orvweb
