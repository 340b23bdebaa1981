#pragma once
// The picture control's logic without a toolkit: a picture from memory or a
// built-in resource, drawn into an off-screen image that painting copies. A
// GIF of two or more images is split into frames and animated on a thread of
// its own; anything else is drawn once. The owner supplies the repaint
// request and the desktop's colours.
#include <cairo.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>

namespace orvweb::ui {

// Finds a built-in file by its path: its bytes and MIME type.
using ResourceLookup = std::function<bool(const std::string& path, std::string& bytes, std::string& mime)>;

// The built-in path of a numbered resource of a type ("GIFTYPE" 139 is the
// minimise notice's picture); empty for one the program does not have.
std::string PicturePathForResource(int id, const char* type);

// Adwaita's window background, used until the owner gives the theme's.
inline constexpr uint32_t kDefaultFaceColour = 0xF6F5F4;

struct AnimatedPictureOptions {
  ResourceLookup lookup;
  // Asks for a repaint. Called on the animation thread (and on the thread
  // that calls Start for a still picture) with no lock held; it must only
  // hand the request to the window thread.
  std::function<void()> invalidate;
  // The longest Stop waits for the animation thread.
  std::chrono::milliseconds stopTimeout{5000};
};

class AnimatedPictureCore {
 public:
  explicit AnimatedPictureCore(AnimatedPictureOptions options);
  ~AnimatedPictureCore();
  AnimatedPictureCore(const AnimatedPictureCore&) = delete;
  AnimatedPictureCore& operator=(const AnimatedPictureCore&) = delete;

  // The desktop's colours: `face` becomes the background when a picture is
  // loaded, `menu` fills the image until something is drawn. Used by the
  // next load.
  void SetSystemColours(uint32_t face, uint32_t menu);

  bool LoadFromResource(int id, const char* type);
  bool LoadFromMemory(const uint8_t* data, size_t size);
  // Only once a picture is loaded: the colour and a fill of the whole image.
  void SetBackgroundColor(uint32_t rgb);
  // Draws a still picture (true) or starts the animation (false).
  bool Start();
  void Stop();
  void Clear();

  // Copies the off-screen image onto `cr` at (0, 0); nothing while empty.
  void Paint(cairo_t* cr) const;

  bool ready() const;
  int width() const;
  int height() const;
  size_t frameCount() const;
  uint32_t backgroundColor() const;
  bool playing() const;
  // The off-screen image's colour at (x, y), 0xRRGGBB.
  std::optional<uint32_t> PixelAt(int x, int y) const;

 private:
  struct State;
  static void Animate(std::shared_ptr<State> state);

  AnimatedPictureOptions options_;
  uint32_t faceColour_ = kDefaultFaceColour;
  uint32_t menuColour_ = kDefaultFaceColour;
  // Everything the animation thread touches; shared so that a thread which
  // did not end in time never works on freed memory.
  std::shared_ptr<State> state_;
  std::thread thread_;
};

}  // namespace orvweb::ui
