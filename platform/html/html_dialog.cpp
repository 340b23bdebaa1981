#include "platform/html/html_dialog.h"

#include <gtk/gtk.h>
#include <webkit2/webkit2.h>

#include <cstring>
#include <memory>
#include <vector>
#include <utility>

#include "platform/html/binding_script.h"
#include "platform/html/navigation.h"
#include "platform/html/script_page.h"
#include "platform/loop/glib_ptr.h"
#include "platform/text/utf.h"

namespace platform::html {

namespace {

constexpr char kViewKey[] = "orvweb-html-dialog";
constexpr guint kFrameMs = 16;
// Reloads in a row without a completed document before the dialog falls
// back to its loading page instead of the page that keeps crashing.
constexpr int kMaxCrashReloads = 3;

template <typename T>
using GPtr = platform::GObjectPtr<T>;
using GString8 = platform::GCharPtr;

std::string StringProperty(JSCValue* object, const char* name) {
  GPtr<JSCValue> p(jsc_value_object_get_property(object, name));
  if (!p || !jsc_value_is_string(p.get())) return {};
  GString8 s(jsc_value_to_string(p.get()));
  return s ? std::string(s.get()) : std::string();
}

int IntProperty(JSCValue* object, const char* name, int fallback) {
  GPtr<JSCValue> p(jsc_value_object_get_property(object, name));
  return p && jsc_value_is_number(p.get()) ? jsc_value_to_int32(p.get()) : fallback;
}

bool BoolProperty(JSCValue* object, const char* name) {
  GPtr<JSCValue> p(jsc_value_object_get_property(object, name));
  return p && jsc_value_is_boolean(p.get()) && jsc_value_to_boolean(p.get());
}

}  // namespace

struct HtmlDialog::Impl {
  Impl(HtmlDialog* self, DialogTemplate dialog, DialogHandlers handlers, HtmlDialog* owner);
  ~Impl();

  void Send(const std::string& script);
  void RequestFrame();
  void OnMessage(JSCValue* message);
  void OnComplete(JSCValue* message);
  void OnPageEvent(PageEvent::Kind kind, JSCValue* message);
  void ArmMove();
  void BeginMoveAt(double rootX, double rootY, guint32 time);
  bool PrimaryButtonDown();
  void LeaveTo(const std::string& uri);
  void UpdateSeen();

  static void ServeResource(WebKitURISchemeRequest* request, gpointer);

  HtmlDialog* self;
  DialogTemplate dialog;
  DialogHandlers handlers;
  HtmlDialog* owner;

  GtkWidget* window = nullptr;  // owned by GTK's toplevel list until destroyed
  GtkWidget* menu = nullptr;    // the window menu, owned by its menu button
  std::vector<std::unique_ptr<std::function<void()>>> menuActions;
  GPtr<WebKitWebView> view;
  GPtr<WebKitUserContentManager> content;
  ScriptPage page;
  size_t scriptsSent = 0;
  guint frameSource = 0;
  NavigationRules navigation;
  bool redirectable = false;  // a load started by Navigate has not committed yet
  int crashReloads = 0;

  // What the window system told of the window, and what follows from it.
  bool mapped = false;
  bool iconified = false;
  bool obscured = false;
  bool seen = false;

  // The press that may turn into a window move.
  bool pressed = false;
  bool armed = false;
  bool pastThreshold = false;
  double pressX = 0, pressY = 0, lastX = 0, lastY = 0;
  guint32 lastTime = GDK_CURRENT_TIME;

  // The modal run in progress: its loop and whether this dialog still lives.
  GMainLoop* modalLoop = nullptr;
  std::shared_ptr<int> modalResult;
  bool endRequested = false;
  std::shared_ptr<bool> alive = std::make_shared<bool>(true);
};

HtmlDialog::Impl::Impl(HtmlDialog* self_, DialogTemplate dialog_, DialogHandlers handlers_, HtmlDialog* owner_)
    : self(self_),
      dialog(std::move(dialog_)),
      handlers(std::move(handlers_)),
      owner(owner_),
      page([this](const std::string& script) { Send(script); }, [this] { RequestFrame(); }) {
  WebKitWebContext* context = webkit_web_context_get_default();
  static const bool registered = [context] {
    webkit_web_context_set_cache_model(context, WEBKIT_CACHE_MODEL_DOCUMENT_VIEWER);
    webkit_web_context_register_uri_scheme(context, "res", &Impl::ServeResource, nullptr, nullptr);
    WebKitSecurityManager* security = webkit_web_context_get_security_manager(context);
    webkit_security_manager_register_uri_scheme_as_secure(security, "res");
    webkit_security_manager_register_uri_scheme_as_local(security, "res");
    return true;
  }();
  (void)registered;

  content.reset(webkit_user_content_manager_new());
  {
    const std::string source = BindingScript(dialog.watchedIds, dialog.helpKey);
    WebKitUserScript* script = webkit_user_script_new_for_world(
        source.c_str(), WEBKIT_USER_CONTENT_INJECT_TOP_FRAME, WEBKIT_USER_SCRIPT_INJECT_AT_DOCUMENT_START,
        kBindingWorld, nullptr, nullptr);
    webkit_user_content_manager_add_script(content.get(), script);
    webkit_user_script_unref(script);
  }
  g_signal_connect(content.get(), "script-message-received::orvweb",
                   G_CALLBACK(+[](WebKitUserContentManager*, WebKitJavascriptResult* result, gpointer data) {
                     static_cast<Impl*>(data)->OnMessage(webkit_javascript_result_get_js_value(result));
                   }),
                   this);
  webkit_user_content_manager_register_script_message_handler_in_world(content.get(), kBindingChannel,
                                                                       kBindingWorld);

  GPtr<WebKitSettings> settings(webkit_settings_new());
  webkit_settings_set_enable_webgl(settings.get(), FALSE);
  webkit_settings_set_enable_developer_extras(settings.get(), dialog.debugMode);
  webkit_settings_set_javascript_can_open_windows_automatically(settings.get(), FALSE);

  GtkWidget* viewWidget = GTK_WIDGET(g_object_new(WEBKIT_TYPE_WEB_VIEW, "web-context", context,
                                                  "user-content-manager", content.get(), "settings",
                                                  settings.get(), nullptr));
  view.reset(WEBKIT_WEB_VIEW(g_object_ref_sink(viewWidget)));
  g_object_set_data(G_OBJECT(viewWidget), kViewKey, this);
  // Nothing dropped on the window is opened.
  gtk_drag_dest_unset(viewWidget);

  const PixelSize size = DialogUnitsToPixels(dialog.widthDlu, dialog.heightDlu);
  gtk_widget_set_size_request(viewWidget, size.width, size.height);

  window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
  GtkWindow* w = GTK_WINDOW(window);
  gtk_window_set_title(w, platform::ToUtf8(dialog.caption).c_str());
  gtk_window_set_resizable(w, FALSE);
  gtk_container_add(GTK_CONTAINER(window), viewWidget);
  // Keys (Tab, the help key) reach the page without a click first.
  gtk_window_set_focus(w, viewWidget);
  if (!dialog.minimizeBox) {
    gtk_window_set_type_hint(w, GDK_WINDOW_TYPE_HINT_DIALOG);
    gtk_window_set_skip_taskbar_hint(w, TRUE);
  }
  if (owner) {
    gtk_window_set_transient_for(w, owner->window());
    gtk_window_set_position(w, GTK_WIN_POS_CENTER_ON_PARENT);
  } else {
    gtk_window_set_position(w, GTK_WIN_POS_CENTER);
  }
  GList* icons = nullptr;
  for (const std::string& file : dialog.iconFiles) {
    if (GdkPixbuf* icon = gdk_pixbuf_new_from_file(file.c_str(), nullptr)) icons = g_list_append(icons, icon);
  }
  if (icons) {
    gtk_window_set_icon_list(w, icons);
    g_list_free_full(icons, g_object_unref);
  }

  g_signal_connect(window, "delete-event", G_CALLBACK(+[](GtkWidget*, GdkEvent*, gpointer data) -> gboolean {
                     auto* impl = static_cast<Impl*>(data);
                     if (impl->handlers.closeRequested) impl->handlers.closeRequested();
                     return TRUE;
                   }),
                   this);
  g_signal_connect(window, "window-state-event",
                   G_CALLBACK(+[](GtkWidget*, GdkEventWindowState* event, gpointer data) -> gboolean {
                     auto* impl = static_cast<Impl*>(data);
                     // A window on another workspace counts as hidden too.
                     impl->iconified = (event->new_window_state &
                                        (GDK_WINDOW_STATE_ICONIFIED | GDK_WINDOW_STATE_WITHDRAWN)) != 0;
                     impl->UpdateSeen();
                     if ((event->changed_mask & GDK_WINDOW_STATE_ICONIFIED) &&
                         (event->new_window_state & GDK_WINDOW_STATE_ICONIFIED) && impl->handlers.minimized)
                       impl->handlers.minimized();
                     return FALSE;
                   }),
                   this);
  // Where the window system reports covering (X11 without compositing), a
  // window under others is not seen either.
  gtk_widget_add_events(window, GDK_VISIBILITY_NOTIFY_MASK | GDK_STRUCTURE_MASK);
  g_signal_connect(window, "visibility-notify-event",
                   G_CALLBACK(+[](GtkWidget*, GdkEventVisibility* event, gpointer data) -> gboolean {
                     auto* impl = static_cast<Impl*>(data);
                     impl->obscured = event->state == GDK_VISIBILITY_FULLY_OBSCURED;
                     impl->UpdateSeen();
                     return FALSE;
                   }),
                   this);
  g_signal_connect(window, "map-event", G_CALLBACK(+[](GtkWidget*, GdkEvent*, gpointer data) -> gboolean {
                     auto* impl = static_cast<Impl*>(data);
                     impl->mapped = true;
                     impl->UpdateSeen();
                     return FALSE;
                   }),
                   this);
  g_signal_connect(window, "unmap-event", G_CALLBACK(+[](GtkWidget*, GdkEvent*, gpointer data) -> gboolean {
                     auto* impl = static_cast<Impl*>(data);
                     impl->mapped = false;
                     // A covering reported before the window went may not hold when it comes back.
                     impl->obscured = false;
                     impl->UpdateSeen();
                     return FALSE;
                   }),
                   this);

  g_signal_connect(viewWidget, "button-press-event",
                   G_CALLBACK(+[](GtkWidget*, GdkEventButton* event, gpointer data) -> gboolean {
                     auto* impl = static_cast<Impl*>(data);
                     if (event->button == GDK_BUTTON_PRIMARY && event->type == GDK_BUTTON_PRESS) {
                       impl->pressed = true;
                       impl->armed = impl->pastThreshold = false;
                       impl->pressX = impl->lastX = event->x_root;
                       impl->pressY = impl->lastY = event->y_root;
                       impl->lastTime = event->time;
                     }
                     return FALSE;
                   }),
                   this);
  g_signal_connect(viewWidget, "button-release-event",
                   G_CALLBACK(+[](GtkWidget*, GdkEventButton* event, gpointer data) -> gboolean {
                     auto* impl = static_cast<Impl*>(data);
                     if (event->button == GDK_BUTTON_PRIMARY) impl->pressed = impl->armed = false;
                     return FALSE;
                   }),
                   this);
  g_signal_connect(viewWidget, "motion-notify-event",
                   G_CALLBACK(+[](GtkWidget* widget, GdkEventMotion* event, gpointer data) -> gboolean {
                     auto* impl = static_cast<Impl*>(data);
                     if (!impl->pressed) return FALSE;
                     if (!(event->state & GDK_BUTTON1_MASK)) {
                       impl->pressed = impl->armed = false;
                       return FALSE;
                     }
                     impl->lastX = event->x_root;
                     impl->lastY = event->y_root;
                     impl->lastTime = event->time;
                     if (!impl->pastThreshold)
                       impl->pastThreshold = gtk_drag_check_threshold(
                           widget, static_cast<int>(impl->pressX), static_cast<int>(impl->pressY),
                           static_cast<int>(event->x_root), static_cast<int>(event->y_root));
                     if (impl->armed && impl->pastThreshold) {
                       impl->BeginMoveAt(event->x_root, event->y_root, event->time);
                       return TRUE;
                     }
                     return FALSE;
                   }),
                   this);

  g_signal_connect(viewWidget, "decide-policy",
                   G_CALLBACK(+[](WebKitWebView*, WebKitPolicyDecision* decision, WebKitPolicyDecisionType type,
                                  gpointer data) -> gboolean {
                     auto* impl = static_cast<Impl*>(data);
                     if (type != WEBKIT_POLICY_DECISION_TYPE_NAVIGATION_ACTION &&
                         type != WEBKIT_POLICY_DECISION_TYPE_NEW_WINDOW_ACTION)
                       return FALSE;
                     WebKitNavigationAction* action =
                         webkit_navigation_policy_decision_get_navigation_action(WEBKIT_NAVIGATION_POLICY_DECISION(decision));
                     WebKitURIRequest* request = webkit_navigation_action_get_request(action);
                     const char* uri = request ? webkit_uri_request_get_uri(request) : nullptr;
                     const std::string target = uri ? uri : "";
                     if (type == WEBKIT_POLICY_DECISION_TYPE_NAVIGATION_ACTION) {
                       // A server redirecting the page it was sent to is part of that load.
                       if (webkit_navigation_action_is_redirect(action) && impl->redirectable)
                         impl->navigation.AddRedirect(target);
                       if (impl->navigation.StaysInView(target)) {
                         webkit_policy_decision_use(decision);
                         return TRUE;
                       }
                     }
                     webkit_policy_decision_ignore(decision);
                     // Only what the user asked for leaves the window; a page
                     // cannot open things on its own.
                     if (webkit_navigation_action_is_user_gesture(action) ||
                         webkit_navigation_action_get_navigation_type(action) == WEBKIT_NAVIGATION_TYPE_LINK_CLICKED)
                       impl->LeaveTo(target);
                     return TRUE;
                   }),
                   this);
  g_signal_connect(viewWidget, "load-changed",
                   G_CALLBACK(+[](WebKitWebView*, WebKitLoadEvent event, gpointer data) {
                     // The old document is gone: its ids no longer answer.
                     auto* impl = static_cast<Impl*>(data);
                     if (event == WEBKIT_LOAD_COMMITTED) {
                       impl->page.Unbind();
                       impl->redirectable = false;
                     }
                   }),
                   this);
  g_signal_connect(viewWidget, "load-failed",
                   G_CALLBACK(+[](WebKitWebView*, WebKitLoadEvent, gchar* failingUri, GError* error,
                                  gpointer data) -> gboolean {
                     auto* impl = static_cast<Impl*>(data);
                     if (g_error_matches(error, WEBKIT_NETWORK_ERROR, WEBKIT_NETWORK_ERROR_CANCELLED) ||
                         g_error_matches(error, WEBKIT_POLICY_ERROR, WEBKIT_POLICY_ERROR_FRAME_LOAD_INTERRUPTED_BY_POLICY_CHANGE))
                       return FALSE;
                     // A page that cannot be loaded completes without any of
                     // its elements, so the owner sees the failure.
                     impl->page.Bind({});
                     if (impl->handlers.documentComplete) impl->handlers.documentComplete(failingUri ? failingUri : "");
                     return TRUE;
                   }),
                   this);
  g_signal_connect(viewWidget, "web-process-terminated",
                   G_CALLBACK(+[](WebKitWebView* v, WebKitWebProcessTerminationReason, gpointer data) {
                     auto* impl = static_cast<Impl*>(data);
                     impl->page.Unbind();
                     const char* current = webkit_web_view_get_uri(v);
                     std::string url = current && *current && ++impl->crashReloads <= kMaxCrashReloads
                                           ? std::string(current)
                                           : impl->dialog.loadingPageUrl;
                     if (!url.empty()) webkit_web_view_load_uri(v, url.c_str());
                     if (impl->handlers.webProcessGone) impl->handlers.webProcessGone();
                   }),
                   this);
}

HtmlDialog::Impl::~Impl() {
  *alive = false;
  if (modalLoop) g_main_loop_quit(modalLoop);
  if (frameSource) g_source_remove(frameSource);
  if (content) {
    g_signal_handlers_disconnect_by_data(content.get(), this);
    webkit_user_content_manager_unregister_script_message_handler_in_world(content.get(), kBindingChannel,
                                                                           kBindingWorld);
  }
  if (view) {
    g_signal_handlers_disconnect_by_data(view.get(), this);
    g_object_set_data(G_OBJECT(view.get()), kViewKey, nullptr);
  }
  if (window) {
    g_signal_handlers_disconnect_by_data(window, this);
    // Destroyed during its own modal run: give the owner its input back.
    if (modalLoop && owner && owner->window()) gtk_widget_set_sensitive(GTK_WIDGET(owner->window()), TRUE);
    gtk_widget_destroy(window);
  }
  // view (our own reference) and content go after the window that held them.
}

void HtmlDialog::Impl::Send(const std::string& script) {
  ++scriptsSent;
  webkit_web_view_evaluate_javascript(view.get(), script.c_str(), static_cast<gssize>(script.size()), kBindingWorld,
                                      nullptr, nullptr, nullptr, nullptr);
}

void HtmlDialog::Impl::RequestFrame() {
  if (frameSource) return;
  frameSource = g_timeout_add(kFrameMs, +[](gpointer data) -> gboolean {
    auto* impl = static_cast<Impl*>(data);
    impl->frameSource = 0;
    impl->page.Frame();
    return G_SOURCE_REMOVE;
  }, this);
}

void HtmlDialog::Impl::OnMessage(JSCValue* message) {
  if (!message || !jsc_value_is_object(message)) return;
  const std::string event = StringProperty(message, "event");
  if (event == "complete") {
    OnComplete(message);
  } else if (event == "click") {
    OnPageEvent(PageEvent::Kind::Click, message);
  } else if (event == "change") {
    OnPageEvent(PageEvent::Kind::Change, message);
  } else if (event == "help") {
    if (dialog.helpKey) OnPageEvent(PageEvent::Kind::Help, nullptr);
  } else if (event == "move") {
    ArmMove();
  }
}

void HtmlDialog::Impl::OnComplete(JSCValue* message) {
  std::vector<std::string> ids;
  GPtr<JSCValue> list(jsc_value_object_get_property(message, "ids"));
  if (list && jsc_value_is_array(list.get())) {
    const int n = IntProperty(list.get(), "length", 0);
    for (int i = 0; i < n; ++i) {
      GPtr<JSCValue> item(jsc_value_object_get_property_at_index(list.get(), static_cast<guint>(i)));
      if (item && jsc_value_is_string(item.get())) {
        GString8 s(jsc_value_to_string(item.get()));
        ids.emplace_back(s.get());
      }
    }
  }
  crashReloads = 0;
  page.Bind(std::move(ids));
  if (handlers.documentComplete) handlers.documentComplete(StringProperty(message, "url"));
}

void HtmlDialog::Impl::OnPageEvent(PageEvent::Kind kind, JSCValue* message) {
  PageEvent pageEvent;
  pageEvent.kind = kind;
  if (message) {
    pageEvent.id = StringProperty(message, "id");
    GPtr<JSCValue> elements(jsc_value_object_get_property(message, "elements"));
    if (elements && jsc_value_is_object(elements.get())) {
      gchar** names = jsc_value_object_enumerate_properties(elements.get());
      for (gchar** name = names; name && *name; ++name) {
        GPtr<JSCValue> state(jsc_value_object_get_property(elements.get(), *name));
        if (!state || !jsc_value_is_object(state.get())) continue;
        ElementState& element = pageEvent.elements[*name];
        element.value = platform::FromUtf8(StringProperty(state.get(), "value"));
        element.checked = BoolProperty(state.get(), "checked");
        element.selectedIndex = IntProperty(state.get(), "selectedIndex", -1);
      }
      g_strfreev(names);
    }
  }
  if (handlers.pageEvent) handlers.pageEvent(pageEvent);
}

void HtmlDialog::Impl::ArmMove() {
  // The page refused a selection or drag for a press still held: move the
  // window once the pointer leaves the drag threshold (maybe it already has).
  if (!pressed) return;
  armed = true;
  if (pastThreshold) BeginMoveAt(lastX, lastY, lastTime);
}

bool HtmlDialog::Impl::PrimaryButtonDown() {
  GdkWindow* gdkWindow = gtk_widget_get_window(window);
  if (!gdkWindow) return false;
  GdkSeat* seat = gdk_display_get_default_seat(gdk_window_get_display(gdkWindow));
  GdkDevice* pointer = seat ? gdk_seat_get_pointer(seat) : nullptr;
  if (!pointer) return false;
  GdkModifierType mask{};
  gdk_device_get_state(pointer, gdkWindow, nullptr, &mask);
  return (mask & GDK_BUTTON1_MASK) != 0;
}

void HtmlDialog::Impl::BeginMoveAt(double rootX, double rootY, guint32 time) {
  pressed = armed = false;
  // A move begun after the release would leave the window stuck to the pointer.
  if (!PrimaryButtonDown()) return;
  gtk_window_begin_move_drag(GTK_WINDOW(window), GDK_BUTTON_PRIMARY, static_cast<int>(rootX),
                             static_cast<int>(rootY), time);
}

void HtmlDialog::Impl::UpdateSeen() {
  const bool now = mapped && !iconified && !obscured;
  if (now == seen) return;
  seen = now;
  if (handlers.seenChanged) handlers.seenChanged(seen);
}

void HtmlDialog::Impl::LeaveTo(const std::string& uri) {
  if (uri.empty()) return;
  if (handlers.externalLink) {
    handlers.externalLink(uri);
    return;
  }
  const std::string scheme = UriScheme(uri);
  if (scheme == "http" || scheme == "https" || scheme == "mailto")
    g_app_info_launch_default_for_uri(uri.c_str(), nullptr, nullptr);
}

void HtmlDialog::Impl::ServeResource(WebKitURISchemeRequest* request, gpointer) {
  WebKitWebView* v = webkit_uri_scheme_request_get_web_view(request);
  auto* impl = v ? static_cast<Impl*>(g_object_get_data(G_OBJECT(v), kViewKey)) : nullptr;
  const char* rawPath = webkit_uri_scheme_request_get_path(request);
  GString8 decoded(rawPath ? g_uri_unescape_string(rawPath, nullptr) : nullptr);
  std::string path = decoded ? decoded.get() : "";
  while (!path.empty() && path.front() == '/') path.erase(0, 1);
  std::string bytes, mime;
  const bool safe = path.find("..") == std::string::npos;
  if (!impl || !safe || !impl->dialog.resources || !impl->dialog.resources(path, bytes, mime)) {
    GError* error = g_error_new(G_IO_ERROR, G_IO_ERROR_NOT_FOUND, "No resource %s", path.c_str());
    webkit_uri_scheme_request_finish_error(request, error);
    g_error_free(error);
    return;
  }
  const gssize size = static_cast<gssize>(bytes.size());
  GBytes* data = g_bytes_new(bytes.data(), bytes.size());
  GPtr<GInputStream> stream(g_memory_input_stream_new_from_bytes(data));
  g_bytes_unref(data);
  webkit_uri_scheme_request_finish(request, stream.get(), size, mime.empty() ? nullptr : mime.c_str());
}

HtmlDialog::HtmlDialog(DialogTemplate dialog, DialogHandlers handlers, HtmlDialog* owner)
    : impl_(std::make_unique<Impl>(this, std::move(dialog), std::move(handlers), owner)) {}

HtmlDialog::~HtmlDialog() = default;

IPage& HtmlDialog::page() { return impl_->page; }

void HtmlDialog::ShowLoadingPage() {
  if (!impl_->dialog.loadingPageUrl.empty())
    webkit_web_view_load_uri(impl_->view.get(), impl_->dialog.loadingPageUrl.c_str());
}

void HtmlDialog::Navigate(const std::string& url) {
  impl_->navigation.SetHome(url);
  impl_->redirectable = true;
  webkit_web_view_load_uri(impl_->view.get(), url.c_str());
}

void HtmlDialog::SetPaintingSuspended(bool) {
  // Nothing to do: the view keeps showing the committed page until the next
  // document has painted, which is what suspending painting was for.
}

void HtmlDialog::Show() { gtk_widget_show_all(impl_->window); }

void HtmlDialog::Hide() { gtk_widget_hide(impl_->window); }

void HtmlDialog::Present() {
  // Deiconified before it is mapped: a window hidden while minimised would
  // otherwise map minimised again and report a new minimise.
  gtk_window_deiconify(GTK_WINDOW(impl_->window));
  gtk_widget_show_all(impl_->window);
  gtk_window_present(GTK_WINDOW(impl_->window));
}

void HtmlDialog::BeginMove() {
  GdkWindow* gdkWindow = gtk_widget_get_window(impl_->window);
  if (!gdkWindow) return;
  GdkSeat* seat = gdk_display_get_default_seat(gdk_window_get_display(gdkWindow));
  GdkDevice* pointer = seat ? gdk_seat_get_pointer(seat) : nullptr;
  if (!pointer) return;
  int x = 0, y = 0;
  gdk_device_get_position(pointer, nullptr, &x, &y);
  impl_->pressed = true;
  impl_->BeginMoveAt(x, y, gtk_get_current_event_time());
}

int HtmlDialog::RunModal() {
  Impl& impl = *impl_;
  if (impl.endRequested) {
    impl.endRequested = false;
    const int ended = impl.modalResult ? *impl.modalResult : 0;
    impl.modalResult.reset();
    return ended;
  }
  auto result = std::make_shared<int>(0);
  impl.modalResult = result;
  GtkWidget* ownerWindow = impl.owner && impl.owner->window() ? GTK_WIDGET(impl.owner->window()) : nullptr;
  // Modal to its owner only: a window without one is the program's main
  // window and keeps the buttons of one (a modal window gets no minimise).
  if (ownerWindow) {
    gtk_widget_set_sensitive(ownerWindow, FALSE);
    gtk_window_set_modal(GTK_WINDOW(impl.window), TRUE);
  }
  Show();
  GMainLoop* loop = g_main_loop_new(nullptr, FALSE);
  impl.modalLoop = loop;
  std::shared_ptr<bool> alive = impl.alive;
  g_main_loop_run(loop);
  g_main_loop_unref(loop);
  // A handler may have destroyed this dialog while the loop ran.
  if (!*alive) return *result;
  impl.modalLoop = nullptr;
  impl.modalResult.reset();
  if (ownerWindow) {
    gtk_window_set_modal(GTK_WINDOW(impl.window), FALSE);
    gtk_widget_set_sensitive(ownerWindow, TRUE);
  }
  Hide();
  return *result;
}

void HtmlDialog::EndModal(int result) {
  if (impl_->modalLoop) {
    if (impl_->modalResult) *impl_->modalResult = result;
    g_main_loop_quit(impl_->modalLoop);
    return;
  }
  // Ended before the run began (e.g. from a handler during construction).
  impl_->endRequested = true;
  impl_->modalResult = std::make_shared<int>(result);
}

GtkWindow* HtmlDialog::window() const { return GTK_WINDOW(impl_->window); }

static std::string MnemonicLabel(const std::u16string& label) {
  std::string out;
  const std::string text = platform::ToUtf8(label);
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '&') {
      if (i + 1 < text.size() && text[i + 1] == '&') {
        out += '&';
        ++i;
      } else {
        out += '_';
      }
    } else if (text[i] == '_') {
      out += "__";
    } else {
      out += text[i];
    }
  }
  return out;
}

void HtmlDialog::AddMenuEntry(const std::u16string& label, std::function<void()> activate) {
  Impl& d = *impl_;
  if (!d.menu) {
    // The window menu lives in a header bar, as on every current GTK
    // desktop; the bar keeps the window's own buttons.
    GtkWidget* bar = gtk_header_bar_new();
    gtk_header_bar_set_title(GTK_HEADER_BAR(bar), platform::ToUtf8(d.dialog.caption).c_str());
    gtk_header_bar_set_show_close_button(GTK_HEADER_BAR(bar), TRUE);
    gtk_header_bar_set_decoration_layout(GTK_HEADER_BAR(bar), d.dialog.minimizeBox ? ":minimize,close" : ":close");
    GtkWidget* button = gtk_menu_button_new();
    gtk_button_set_image(GTK_BUTTON(button), gtk_image_new_from_icon_name("open-menu-symbolic", GTK_ICON_SIZE_BUTTON));
    gtk_widget_set_tooltip_text(button, "Menu");
    gtk_widget_set_can_focus(button, FALSE);
    d.menu = gtk_menu_new();
    gtk_menu_button_set_popup(GTK_MENU_BUTTON(button), d.menu);
    gtk_header_bar_pack_end(GTK_HEADER_BAR(bar), button);
    gtk_widget_show_all(bar);
    gtk_window_set_titlebar(GTK_WINDOW(d.window), bar);
  }
  d.menuActions.push_back(std::make_unique<std::function<void()>>(std::move(activate)));
  GtkWidget* item = gtk_menu_item_new_with_mnemonic(MnemonicLabel(label).c_str());
  g_signal_connect(item, "activate", G_CALLBACK(+[](GtkMenuItem*, gpointer data) {
                     auto& action = *static_cast<std::function<void()>*>(data);
                     if (action) action();
                   }),
                   d.menuActions.back().get());
  gtk_widget_show(item);
  gtk_menu_shell_append(GTK_MENU_SHELL(d.menu), item);
}

void HtmlDialog::ViewOrigin(int& x, int& y) const {
  x = y = 0;
  gtk_widget_translate_coordinates(GTK_WIDGET(impl_->view.get()), impl_->window, 0, 0, &x, &y);
}

void HtmlDialog::EvaluateForTest(const std::string& script, std::function<void(const std::string& result)> done) {
  auto callback = std::make_unique<std::function<void(const std::string&)>>(std::move(done));
  webkit_web_view_evaluate_javascript(
      impl_->view.get(), script.c_str(), static_cast<gssize>(script.size()), kBindingWorld, nullptr, nullptr,
      +[](GObject* source, GAsyncResult* res, gpointer data) {
        std::unique_ptr<std::function<void(const std::string&)>> fn(
            static_cast<std::function<void(const std::string&)>*>(data));
        GError* error = nullptr;
        GPtr<JSCValue> value(webkit_web_view_evaluate_javascript_finish(WEBKIT_WEB_VIEW(source), res, &error));
        std::string text;
        if (value) {
          GString8 s(jsc_value_to_string(value.get()));
          if (s) text = s.get();
        } else if (error) {
          text = std::string("error: ") + error->message;
        }
        if (error) g_error_free(error);
        (*fn)(text);
      },
      callback.release());
}

size_t HtmlDialog::scriptsSent() const { return impl_->scriptsSent; }

}  // namespace platform::html
