#pragma once
// Pictures decoded once from bytes and off-screen images to draw them into.
// Nothing here needs a display, so it runs headless and under the sanitizers.
// Sizes are in pixels at the screen's resolution: a decoded picture is shown
// one image pixel to one screen pixel.
#include <cairo.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>

namespace platform::picture {

struct SurfaceDeleter {
  void operator()(cairo_surface_t* surface) const { cairo_surface_destroy(surface); }
};
using SurfacePtr = std::unique_ptr<cairo_surface_t, SurfaceDeleter>;

struct ContextDeleter {
  void operator()(cairo_t* cr) const { cairo_destroy(cr); }
};
using ContextPtr = std::unique_ptr<cairo_t, ContextDeleter>;

// Colours are 0xRRGGBB.
struct Rect {
  int x = 0;
  int y = 0;
  int width = 0;
  int height = 0;
};

// Largest off-screen image accepted, in pixels; a picture's declared size
// comes from untrusted data and must not drive an unbounded allocation.
inline constexpr long long kMaxPixels = 1ll << 24;
bool SizeAllowed(int width, int height);

class Surface;

// A decoded picture (any format the loader reads; for a GIF, its first image
// composed onto the logical screen), kept premultiplied for cairo.
class Picture {
 public:
  static std::optional<Picture> Load(std::span<const uint8_t> bytes);

  int width() const { return width_; }
  int height() const { return height_; }

  // This picture's rectangle `region` as a picture of its own; parts outside
  // the picture are transparent. nullopt for an empty or oversized region.
  std::optional<Picture> Region(const Rect& region) const;

  // Draws the whole picture scaled to `to`, blending over what is there.
  bool RenderTo(Surface& target, const Rect& to) const;

 private:
  explicit Picture(SurfacePtr image);
  SurfacePtr image_;
  int width_ = 0;
  int height_ = 0;
};

enum class Format { Rgb24, Argb32 };

// An off-screen image of width x height.
class Surface {
 public:
  static std::optional<Surface> Create(int width, int height, Format format = Format::Rgb24);

  int width() const { return width_; }
  int height() const { return height_; }
  cairo_surface_t* get() const { return image_.get(); }

  void Fill(uint32_t rgb) { FillRect({0, 0, width_, height_}, rgb); }
  void FillRect(const Rect& rect, uint32_t rgb);

  // A copy of `rect` (saved before a frame that is to be undone).
  std::optional<Surface> CopyOut(const Rect& rect) const;
  // Puts `source` back with its top left corner at (x, y).
  void CopyIn(const Surface& source, int x, int y);

  // Copies the whole image onto `cr` with its top left corner at (x, y).
  void PaintTo(cairo_t* cr, int x, int y) const;

  // The colour at (x, y) as 0xRRGGBB (alpha dropped); nullopt outside.
  std::optional<uint32_t> PixelAt(int x, int y) const;

 private:
  Surface(SurfacePtr image, int width, int height);
  ContextPtr Context();
  SurfacePtr image_;
  int width_ = 0;
  int height_ = 0;
};

}  // namespace platform::picture
