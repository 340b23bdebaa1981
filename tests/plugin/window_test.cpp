// The plug-in's window as a GTK host creates it, under the rig's X server.
#include <gtk/gtk.h>
#include <gtest/gtest.h>

#include "plugin_fixture.h"
#include "real_support.h"

namespace plugin_test {
namespace {

class PluginWindow : public PluginTest {
 protected:
  void SetUp() override {
    real_support::RigValue("DISPLAY");
    ASSERT_TRUE(gtk_init_check(nullptr, nullptr)) << "no X display";
    toplevel_ = gtk_offscreen_window_new();
    fixed_ = gtk_fixed_new();
    gtk_container_add(GTK_CONTAINER(toplevel_), fixed_);
    gtk_widget_show_all(toplevel_);
    ASSERT_EQ(CreatePlugin(plugin_), S_OK);
  }
  void TearDown() override {
    plugin_.reset();
    if (toplevel_) gtk_widget_destroy(toplevel_);
  }
  static void Pump() {
    while (gtk_events_pending()) gtk_main_iteration();
  }
  GtkWidget* toplevel_ = nullptr;
  GtkWidget* fixed_ = nullptr;
  ComPtr<IWMPPluginUI> plugin_;
};

TEST_F(PluginWindow, CreateMakesAHiddenChildThatDestroyRemoves) {
  HWND window = nullptr;
  ASSERT_EQ(plugin_->Create(fixed_, &window), S_OK);
  ASSERT_NE(window, nullptr);
  auto* widget = static_cast<GtkWidget*>(window);
  EXPECT_EQ(gtk_widget_get_parent(widget), fixed_);
  EXPECT_FALSE(gtk_widget_get_visible(widget));  // hidden at once
  int w = 0, h = 0;
  gtk_widget_get_size_request(widget, &w, &h);
  EXPECT_EQ(w, 100);
  EXPECT_EQ(h, 100);

  MSG msg{};
  EXPECT_EQ(plugin_->TranslateAccelerator(&msg), S_OK);
  EXPECT_EQ(plugin_->TranslateAccelerator(nullptr), E_POINTER);

  // Shown by the host, it paints black with the label in the middle.
  gtk_widget_show(widget);
  Pump();
  cairo_surface_t* surface = cairo_image_surface_create(CAIRO_FORMAT_RGB24, 100, 100);
  cairo_t* cr = cairo_create(surface);
  gtk_widget_draw(widget, cr);
  cairo_surface_flush(surface);
  const unsigned char* pixels = cairo_image_surface_get_data(surface);
  const int stride = cairo_image_surface_get_stride(surface);
  auto at = [&](int x, int y) { return *reinterpret_cast<const uint32_t*>(pixels + y * stride + x * 4) & 0xFFFFFF; };
  EXPECT_EQ(at(1, 1), 0u);
  EXPECT_EQ(at(98, 98), 0u);
  int light = 0;
  for (int x = 0; x < 100; ++x) light += at(x, 50) == 0xFFFFFF;
  EXPECT_GT(light, 0);  // the label's box crosses the middle line
  cairo_destroy(cr);
  cairo_surface_destroy(surface);

  EXPECT_EQ(plugin_->Destroy(), S_OK);
  Pump();
  GList* children = gtk_container_get_children(GTK_CONTAINER(fixed_));
  EXPECT_EQ(children, nullptr);
  g_list_free(children);
  EXPECT_EQ(plugin_->Destroy(), E_UNEXPECTED);
  EXPECT_EQ(plugin_->TranslateAccelerator(&msg), E_UNEXPECTED);
}

TEST_F(PluginWindow, ASecondCreateReplacesTheFirstWindow) {
  HWND a = nullptr, b = nullptr;
  ASSERT_EQ(plugin_->Create(fixed_, &a), S_OK);
  ASSERT_EQ(plugin_->Create(fixed_, &b), S_OK);
  GList* children = gtk_container_get_children(GTK_CONTAINER(fixed_));
  EXPECT_EQ(g_list_length(children), 1u);
  g_list_free(children);
  EXPECT_EQ(plugin_->Destroy(), S_OK);
}

TEST_F(PluginWindow, TheHostMayDestroyItsWindowFirst) {
  HWND window = nullptr;
  ASSERT_EQ(plugin_->Create(fixed_, &window), S_OK);
  gtk_widget_destroy(toplevel_);
  toplevel_ = nullptr;
  EXPECT_EQ(plugin_->Destroy(), S_OK);  // the handle stayed valid
}

TEST_F(PluginWindow, APublishingPluginWorksWithoutItsWindow) {
  HWND window = nullptr;
  GtkWidget* label = gtk_label_new("not a container");
  g_object_ref_sink(label);
  EXPECT_EQ(plugin_->Create(label, &window), E_FAIL);
  EXPECT_EQ(window, nullptr);
  EXPECT_EQ(plugin_->Destroy(), E_UNEXPECTED);
  g_object_unref(label);
}

}  // namespace
}  // namespace plugin_test
