#include "recorder/ui/animated_picture_core.h"

#include <strings.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <span>
#include <system_error>
#include <vector>

#include "platform/picture/picture.h"
#include "recorder/ui/gif.h"

namespace orvweb::ui {
namespace {

namespace pic = ::platform::picture;

constexpr uint32_t kWhite = 0xFFFFFF;

struct GifFrame {
  pic::Picture picture;
  pic::Rect rect;
  uint32_t delay = gif::kNoDelay;
  uint8_t disposal = 0;
};

}  // namespace

std::string PicturePathForResource(int id, const char* type) {
  // Resource types compare without regard to case, as names of resources do.
  if (type && strcasecmp(type, "GIFTYPE") == 0 && id == 139) return "img/minimize_notice.gif";
  return {};
}

struct AnimatedPictureCore::State {
  // Keeps a frame's drawing, a paint's copy and the flags below apart.
  mutable std::mutex mutex;
  // The stop event: wakes a frame's wait as soon as `exit` is set.
  std::condition_variable wake;
  bool exit = false;
  // Set by the animation thread as its last step, for Stop's bounded wait.
  std::condition_variable ended;
  bool finished = false;
  std::atomic<bool> playing{false};

  std::function<void()> invalidate;

  // Fixed from a successful load until the next Clear.
  bool isGif = false;
  int width = 0;
  int height = 0;
  std::optional<pic::Picture> single;
  std::vector<GifFrame> frames;

  bool ready = false;
  uint32_t background = kWhite;
  std::optional<pic::Surface> surface;
  // The area under a frame that is to be undone (disposal 3) while it shows.
  std::optional<pic::Surface> saved;
  size_t current = 0;

  // Undoes frame `f` as its disposal asks; with the lock held.
  void Dispose(const GifFrame& f) {
    if (f.disposal == 2) {
      surface->FillRect(f.rect, background);
    } else if (f.disposal == 3 && saved) {
      surface->CopyIn(*saved, f.rect.x, f.rect.y);
      saved.reset();
    }
  }
};

AnimatedPictureCore::AnimatedPictureCore(AnimatedPictureOptions options)
    : options_(std::move(options)), state_(std::make_shared<State>()) {
  state_->invalidate = options_.invalidate;
}

AnimatedPictureCore::~AnimatedPictureCore() { Clear(); }

void AnimatedPictureCore::SetSystemColours(uint32_t face, uint32_t menu) {
  faceColour_ = face & 0xFFFFFF;
  menuColour_ = menu & 0xFFFFFF;
}

bool AnimatedPictureCore::LoadFromResource(int id, const char* type) {
  const std::string path = PicturePathForResource(id, type);
  std::string bytes;
  std::string mime;
  if (path.empty() || !options_.lookup || !options_.lookup(path, bytes, mime)) return false;
  return LoadFromMemory(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
}

bool AnimatedPictureCore::LoadFromMemory(const uint8_t* data, size_t size) {
  Clear();
  if (!data || size == 0) return false;
  const std::span<const uint8_t> bytes(data, size);

  bool isGif = false;
  int width = 0;
  int height = 0;
  std::optional<pic::Picture> single;
  std::vector<GifFrame> frames;
  if (const auto screen = gif::ReadScreen(bytes)) {
    // The logical screen is the image's size; refuse an absurd one before
    // decoding anything, as the decoder would allocate it for every frame.
    if (!pic::SizeAllowed(screen->width, screen->height)) return false;
    const size_t images = gif::CountImages(bytes, *screen);
    if (images == 0) return false;
    if (images >= 2) {
      for (gif::Frame& frame : gif::ExtractFrames(bytes, *screen)) {
        auto picture = pic::Picture::Load(frame.bytes);
        if (!picture) continue;
        const pic::Rect rect{frame.left, frame.top, frame.width, frame.height};
        // The decoder composes a frame onto the whole logical screen; keep
        // only the frame's own rectangle so that drawing it there is exact.
        if (picture->width() != rect.width || picture->height() != rect.height) {
          picture = picture->Region(rect);
          if (!picture) continue;
        }
        frames.push_back(GifFrame{std::move(*picture), rect, frame.delay, frame.disposal});
      }
      if (frames.empty()) return false;
    } else {
      single = pic::Picture::Load(bytes);
      if (!single) return false;
    }
    isGif = true;
    width = screen->width;
    height = screen->height;
  } else {
    single = pic::Picture::Load(bytes);
    if (!single) return false;
    width = single->width();
    height = single->height();
  }

  auto surface = pic::Surface::Create(width, height);
  if (!surface) return false;
  surface->Fill(menuColour_);

  State& s = *state_;
  std::lock_guard lock(s.mutex);
  s.isGif = isGif;
  s.width = width;
  s.height = height;
  s.single = std::move(single);
  s.frames = std::move(frames);
  s.surface = std::move(surface);
  s.background = faceColour_;
  s.ready = true;
  return true;
}

void AnimatedPictureCore::SetBackgroundColor(uint32_t rgb) {
  State& s = *state_;
  std::lock_guard lock(s.mutex);
  if (!s.ready) return;
  s.background = rgb & 0xFFFFFF;
  s.surface->Fill(s.background);
}

bool AnimatedPictureCore::Start() {
  const std::shared_ptr<State> s = state_;
  {
    std::lock_guard lock(s->mutex);
    if (!s->ready) return false;
  }
  if (s->isGif && s->frames.size() >= 2) {
    // One animation at a time: a second thread would draw over the first.
    if (thread_.joinable()) return false;
    {
      std::lock_guard lock(s->mutex);
      s->exit = false;
      s->finished = false;
    }
    try {
      thread_ = std::thread(&AnimatedPictureCore::Animate, s);
    } catch (const std::system_error&) {
    }
    return false;
  }

  bool drawn = false;
  {
    std::lock_guard lock(s->mutex);
    if (s->single) {
      drawn = s->single->RenderTo(*s->surface, {0, 0, s->width, s->height});
    } else if (s->frames.size() == 1) {
      // Only one frame of an animation decoded: show it still rather than nothing.
      drawn = s->frames[0].picture.RenderTo(*s->surface, s->frames[0].rect);
    }
  }
  if (drawn && s->invalidate) s->invalidate();
  return drawn;
}

void AnimatedPictureCore::Animate(std::shared_ptr<State> state) {
  State& s = *state;
  std::unique_lock lock(s.mutex);
  s.playing = true;
  s.Dispose(s.frames[s.current]);
  while (!s.exit) {
    const GifFrame& f = s.frames[s.current];
    if (f.disposal == 3) s.saved = s.surface->CopyOut(f.rect);
    if (f.picture.RenderTo(*s.surface, f.rect) && s.invalidate) {
      lock.unlock();
      s.invalidate();
      lock.lock();
    }
    if (s.exit) break;
    s.wake.wait_for(lock, std::chrono::milliseconds(gif::FrameWaitMs(f.delay)), [&s] { return s.exit; });
    if (s.exit) break;
    s.Dispose(f);
    if (++s.current == s.frames.size()) {
      s.current = 0;
      s.surface->Fill(s.background);
    }
  }
  s.playing = false;
  s.finished = true;
  s.ended.notify_all();
}

void AnimatedPictureCore::Stop() {
  State& s = *state_;
  {
    std::lock_guard lock(s.mutex);
    s.playing = false;
    s.exit = true;
  }
  s.wake.notify_all();
  if (thread_.joinable()) {
    bool ended;
    {
      std::unique_lock lock(s.mutex);
      ended = s.ended.wait_for(lock, options_.stopTimeout, [&s] { return s.finished; });
    }
    if (ended) {
      thread_.join();
    } else {
      // The thread is stuck (in a repaint request or a render). It keeps its
      // own share of the state, with the exit flag left set so it ends when
      // it next looks; this control starts over empty.
      thread_.detach();
      state_ = std::make_shared<State>();
      state_->invalidate = options_.invalidate;
      return;
    }
  }
  std::lock_guard lock(s.mutex);
  s.exit = false;
  s.finished = false;
}

void AnimatedPictureCore::Clear() {
  Stop();
  State& s = *state_;
  std::lock_guard lock(s.mutex);
  s.single.reset();
  s.frames.clear();
  s.saved.reset();
  s.surface.reset();
  s.isGif = false;
  s.width = 0;
  s.height = 0;
  s.current = 0;
  s.ready = false;
  s.background = kWhite;
}

void AnimatedPictureCore::Paint(cairo_t* cr) const {
  State& s = *state_;
  std::lock_guard lock(s.mutex);
  if (s.surface) s.surface->PaintTo(cr, 0, 0);
}

bool AnimatedPictureCore::ready() const {
  std::lock_guard lock(state_->mutex);
  return state_->ready;
}

int AnimatedPictureCore::width() const { return state_->width; }
int AnimatedPictureCore::height() const { return state_->height; }
size_t AnimatedPictureCore::frameCount() const { return state_->frames.size(); }

uint32_t AnimatedPictureCore::backgroundColor() const {
  std::lock_guard lock(state_->mutex);
  return state_->background;
}

bool AnimatedPictureCore::playing() const { return state_->playing; }

std::optional<uint32_t> AnimatedPictureCore::PixelAt(int x, int y) const {
  std::lock_guard lock(state_->mutex);
  if (!state_->surface) return std::nullopt;
  return state_->surface->PixelAt(x, y);
}

}  // namespace orvweb::ui
