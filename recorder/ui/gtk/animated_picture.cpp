#include "recorder/ui/gtk/animated_picture.h"

namespace orvweb::ui {
namespace {

uint32_t ToRgb(const GdkRGBA& c) {
  auto channel = [](double v) { return static_cast<uint32_t>(v * 255.0 + 0.5) & 0xFF; };
  return (channel(c.red) << 16) | (channel(c.green) << 8) | channel(c.blue);
}

}  // namespace

// Lives as long as any repaint request still queued; only the window thread
// reads or writes `widget`.
struct CAnimatedPicture::Link {
  GtkWidget* widget = nullptr;
};

uint32_t ThemeButtonFaceColor(GtkWidget* widget) {
  if (!widget) return kDefaultFaceColour;
  GdkRGBA colour;
  // A drawing area's own background is transparent; the theme's named
  // window colour is what the dialog around it shows.
  if (gtk_style_context_lookup_color(gtk_widget_get_style_context(widget), "theme_bg_color", &colour))
    return ToRgb(colour);
  return kDefaultFaceColour;
}

CAnimatedPicture::CAnimatedPicture(ResourceLookup lookup) : link_(std::make_shared<Link>()) {
  widget_ = gtk_drawing_area_new();
  g_object_ref_sink(widget_);
  link_->widget = widget_;
  g_signal_connect(widget_, "draw", G_CALLBACK(&CAnimatedPicture::OnDraw), this);
  g_signal_connect(widget_, "destroy", G_CALLBACK(&CAnimatedPicture::OnDestroy), this);

  AnimatedPictureOptions options;
  options.lookup = std::move(lookup);
  // Runs on the animation thread: only hands a shared link to an idle on the
  // window thread, which finds the widget gone if it was destroyed meanwhile.
  options.invalidate = [link = std::weak_ptr<Link>(link_)] {
    auto held = link.lock();
    if (!held) return;
    g_idle_add_full(
        G_PRIORITY_DEFAULT_IDLE,
        [](gpointer data) -> gboolean {
          if (GtkWidget* w = static_cast<std::shared_ptr<Link>*>(data)->get()->widget) gtk_widget_queue_draw(w);
          return G_SOURCE_REMOVE;
        },
        std::make_unique<std::shared_ptr<Link>>(std::move(held)).release(),
        [](gpointer data) { std::unique_ptr<std::shared_ptr<Link>>(static_cast<std::shared_ptr<Link>*>(data)); });
  };
  core_ = std::make_unique<AnimatedPictureCore>(std::move(options));
}

CAnimatedPicture::~CAnimatedPicture() {
  core_->Clear();
  link_->widget = nullptr;
  g_signal_handlers_disconnect_by_data(widget_, this);
  g_object_unref(widget_);
}

GtkWidget* CAnimatedPicture::widget() { return widget_; }

void CAnimatedPicture::AfterLoad(bool loaded) {
  // The control takes the picture's size; where it sits stays the container's.
  if (loaded) gtk_widget_set_size_request(widget_, core_->width(), core_->height());
}

bool CAnimatedPicture::LoadFromResource(int id, const char* type) {
  const uint32_t face = ThemeButtonFaceColor(widget_);
  core_->SetSystemColours(face, face);
  const bool loaded = core_->LoadFromResource(id, type);
  AfterLoad(loaded);
  return loaded;
}

bool CAnimatedPicture::LoadFromMemory(const uint8_t* data, size_t size) {
  const uint32_t face = ThemeButtonFaceColor(widget_);
  core_->SetSystemColours(face, face);
  const bool loaded = core_->LoadFromMemory(data, size);
  AfterLoad(loaded);
  return loaded;
}

void CAnimatedPicture::SetBackgroundColor(uint32_t rgb) {
  core_->SetBackgroundColor(rgb);
  gtk_widget_queue_draw(widget_);
}

bool CAnimatedPicture::Start() { return core_->Start(); }
void CAnimatedPicture::Stop() { core_->Stop(); }
void CAnimatedPicture::Clear() { core_->Clear(); }

gboolean CAnimatedPicture::OnDraw(GtkWidget*, cairo_t* cr, gpointer self) {
  static_cast<CAnimatedPicture*>(self)->core_->Paint(cr);
  return TRUE;
}

void CAnimatedPicture::OnDestroy(GtkWidget*, gpointer self) {
  auto* picture = static_cast<CAnimatedPicture*>(self);
  picture->core_->Stop();
  picture->link_->widget = nullptr;
}

}  // namespace orvweb::ui
