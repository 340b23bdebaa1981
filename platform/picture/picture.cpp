#include "platform/picture/picture.h"

#include <gdk-pixbuf/gdk-pixbuf.h>

#include <cstring>

#include "platform/loop/glib_ptr.h"

namespace platform::picture {
namespace {

template <typename T>
using ObjectPtr = ::platform::GObjectPtr<T>;

void SetSourceRgb(cairo_t* cr, uint32_t rgb) {
  cairo_set_source_rgb(cr, ((rgb >> 16) & 0xFF) / 255.0, ((rgb >> 8) & 0xFF) / 255.0, (rgb & 0xFF) / 255.0);
}

// The pixbuf's pixels as a premultiplied ARGB32 image, the only layout cairo
// blends from; done once per picture so that drawing never converts.
SurfacePtr ToImage(GdkPixbuf* pixbuf) {
  const int width = gdk_pixbuf_get_width(pixbuf);
  const int height = gdk_pixbuf_get_height(pixbuf);
  const int channels = gdk_pixbuf_get_n_channels(pixbuf);
  if (gdk_pixbuf_get_bits_per_sample(pixbuf) != 8 || (channels != 3 && channels != 4)) return nullptr;
  SurfacePtr image(cairo_image_surface_create(CAIRO_FORMAT_ARGB32, width, height));
  if (cairo_surface_status(image.get()) != CAIRO_STATUS_SUCCESS) return nullptr;

  const guchar* from = gdk_pixbuf_read_pixels(pixbuf);
  const int fromStride = gdk_pixbuf_get_rowstride(pixbuf);
  unsigned char* to = cairo_image_surface_get_data(image.get());
  const int toStride = cairo_image_surface_get_stride(image.get());
  for (int y = 0; y < height; ++y) {
    const guchar* in = from + static_cast<ptrdiff_t>(y) * fromStride;
    auto* out = reinterpret_cast<uint32_t*>(to + static_cast<ptrdiff_t>(y) * toStride);
    for (int x = 0; x < width; ++x, in += channels) {
      const uint32_t a = channels == 4 ? in[3] : 255;
      auto pre = [a](uint32_t c) { return (c * a + 127) / 255; };
      out[x] = (a << 24) | (pre(in[0]) << 16) | (pre(in[1]) << 8) | pre(in[2]);
    }
  }
  cairo_surface_mark_dirty(image.get());
  return image;
}

}  // namespace

bool SizeAllowed(int width, int height) {
  return width > 0 && height > 0 && static_cast<long long>(width) * height <= kMaxPixels;
}

Picture::Picture(SurfacePtr image)
    : image_(std::move(image)),
      width_(cairo_image_surface_get_width(image_.get())),
      height_(cairo_image_surface_get_height(image_.get())) {}

std::optional<Picture> Picture::Load(std::span<const uint8_t> bytes) {
  if (bytes.empty()) return std::nullopt;
  ObjectPtr<GdkPixbufLoader> loader(gdk_pixbuf_loader_new());
  GError* raw = nullptr;
  const bool written = gdk_pixbuf_loader_write(loader.get(), bytes.data(), bytes.size(), &raw);
  ::platform::GErrorPtr error(raw);
  raw = nullptr;
  // Closed even after a failed write, so that the loader lets go of its module.
  const bool closed = gdk_pixbuf_loader_close(loader.get(), written ? &raw : nullptr);
  error.reset(raw);
  if (!written || !closed) return std::nullopt;
  GdkPixbuf* pixbuf = gdk_pixbuf_loader_get_pixbuf(loader.get());  // owned by the loader
  if (!pixbuf || !SizeAllowed(gdk_pixbuf_get_width(pixbuf), gdk_pixbuf_get_height(pixbuf))) return std::nullopt;
  SurfacePtr image = ToImage(pixbuf);
  if (!image) return std::nullopt;
  return Picture(std::move(image));
}

std::optional<Picture> Picture::Region(const Rect& region) const {
  if (!SizeAllowed(region.width, region.height)) return std::nullopt;
  SurfacePtr image(cairo_image_surface_create(CAIRO_FORMAT_ARGB32, region.width, region.height));
  if (cairo_surface_status(image.get()) != CAIRO_STATUS_SUCCESS) return std::nullopt;
  ContextPtr cr(cairo_create(image.get()));
  cairo_set_operator(cr.get(), CAIRO_OPERATOR_SOURCE);
  cairo_set_source_surface(cr.get(), image_.get(), -region.x, -region.y);
  cairo_paint(cr.get());
  if (cairo_status(cr.get()) != CAIRO_STATUS_SUCCESS) return std::nullopt;
  cr.reset();
  return Picture(std::move(image));
}

bool Picture::RenderTo(Surface& target, const Rect& to) const {
  if (to.width <= 0 || to.height <= 0) return false;
  ContextPtr cr(cairo_create(target.get()));
  cairo_rectangle(cr.get(), to.x, to.y, to.width, to.height);
  cairo_clip(cr.get());
  cairo_translate(cr.get(), to.x, to.y);
  if (to.width != width_ || to.height != height_)
    cairo_scale(cr.get(), static_cast<double>(to.width) / width_, static_cast<double>(to.height) / height_);
  cairo_set_source_surface(cr.get(), image_.get(), 0, 0);
  cairo_paint(cr.get());
  return cairo_status(cr.get()) == CAIRO_STATUS_SUCCESS;
}

Surface::Surface(SurfacePtr image, int width, int height) : image_(std::move(image)), width_(width), height_(height) {}

std::optional<Surface> Surface::Create(int width, int height, Format format) {
  if (!SizeAllowed(width, height)) return std::nullopt;
  SurfacePtr image(
      cairo_image_surface_create(format == Format::Argb32 ? CAIRO_FORMAT_ARGB32 : CAIRO_FORMAT_RGB24, width, height));
  if (cairo_surface_status(image.get()) != CAIRO_STATUS_SUCCESS) return std::nullopt;
  return Surface(std::move(image), width, height);
}

ContextPtr Surface::Context() { return ContextPtr(cairo_create(image_.get())); }

void Surface::FillRect(const Rect& rect, uint32_t rgb) {
  ContextPtr cr = Context();
  cairo_set_operator(cr.get(), CAIRO_OPERATOR_SOURCE);
  SetSourceRgb(cr.get(), rgb);
  cairo_rectangle(cr.get(), rect.x, rect.y, rect.width, rect.height);
  cairo_fill(cr.get());
}

std::optional<Surface> Surface::CopyOut(const Rect& rect) const {
  const bool alpha = cairo_image_surface_get_format(image_.get()) == CAIRO_FORMAT_ARGB32;
  auto copy = Create(rect.width, rect.height, alpha ? Format::Argb32 : Format::Rgb24);
  if (!copy) return std::nullopt;
  ContextPtr cr = copy->Context();
  cairo_set_operator(cr.get(), CAIRO_OPERATOR_SOURCE);
  cairo_set_source_surface(cr.get(), image_.get(), -rect.x, -rect.y);
  cairo_paint(cr.get());
  return copy;
}

void Surface::CopyIn(const Surface& source, int x, int y) {
  ContextPtr cr = Context();
  cairo_set_operator(cr.get(), CAIRO_OPERATOR_SOURCE);
  cairo_set_source_surface(cr.get(), source.get(), x, y);
  cairo_rectangle(cr.get(), x, y, source.width(), source.height());
  cairo_fill(cr.get());
}

void Surface::PaintTo(cairo_t* cr, int x, int y) const {
  cairo_save(cr);
  cairo_set_source_surface(cr, image_.get(), x, y);
  cairo_rectangle(cr, x, y, width_, height_);
  cairo_fill(cr);
  cairo_restore(cr);
}

std::optional<uint32_t> Surface::PixelAt(int x, int y) const {
  if (x < 0 || y < 0 || x >= width_ || y >= height_) return std::nullopt;
  cairo_surface_flush(image_.get());
  const unsigned char* data = cairo_image_surface_get_data(image_.get());
  uint32_t pixel;
  std::memcpy(&pixel, data + static_cast<ptrdiff_t>(y) * cairo_image_surface_get_stride(image_.get()) + x * 4, 4);
  return pixel & 0xFFFFFF;
}

}  // namespace platform::picture
