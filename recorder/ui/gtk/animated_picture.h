#pragma once
// The picture control as a GTK 3 widget: a drawing area the size of its
// picture that paints the off-screen image the core draws.
#include <gtk/gtk.h>

#include <cstddef>
#include <cstdint>
#include <memory>

#include "recorder/ui/animated_picture_core.h"

namespace orvweb::ui {

// The widget's window background as 0xRRGGBB: the colour the theme paints
// buttons and dialogs with.
uint32_t ThemeButtonFaceColor(GtkWidget* widget);

class CAnimatedPicture {
 public:
  explicit CAnimatedPicture(ResourceLookup lookup);
  ~CAnimatedPicture();
  CAnimatedPicture(const CAnimatedPicture&) = delete;
  CAnimatedPicture& operator=(const CAnimatedPicture&) = delete;

  // The drawing area; this object keeps a reference until it is destroyed.
  GtkWidget* widget();

  bool LoadFromResource(int id, const char* type);
  bool LoadFromMemory(const uint8_t* data, size_t size);
  void SetBackgroundColor(uint32_t rgb);
  bool Start();
  void Stop();
  void Clear();

 private:
  struct Link;
  static gboolean OnDraw(GtkWidget* widget, cairo_t* cr, gpointer self);
  static void OnDestroy(GtkWidget* widget, gpointer self);
  void AfterLoad(bool loaded);

  GtkWidget* widget_ = nullptr;
  // What a repaint request posted from the animation thread finds the
  // widget through; emptied when the widget goes.
  std::shared_ptr<Link> link_;
  std::unique_ptr<AnimatedPictureCore> core_;
};

}  // namespace orvweb::ui
