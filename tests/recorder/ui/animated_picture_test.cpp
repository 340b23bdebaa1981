#include "recorder/ui/animated_picture_core.h"

#include <gdk-pixbuf/gdk-pixbuf.h>
#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "gif_builder.h"
#include "recorder/ui/gif.h"
#ifdef ORVWEB_HAVE_RESOURCES
#include "recorder/resources/resources.h"
#endif

namespace {

using namespace gif_test;
using orvweb::ui::AnimatedPictureCore;
using orvweb::ui::AnimatedPictureOptions;

constexpr uint32_t kRed = 0xFF0000, kGreen = 0x00FF00, kBlue = 0x0000FF;
constexpr uint32_t kFace = 0x203040, kMenu = 0x605040;
// Only a bound for waits on the animation thread, never an expectation.
constexpr auto kPatience = std::chrono::seconds(20);

using Point = std::pair<int, int>;
using Snapshot = std::vector<uint32_t>;

// Records the colours at a few points each time the control asks for a
// repaint, on the thread that asks: what a paint at that moment would show.
struct Probe {
  std::mutex mutex;
  std::condition_variable changed;
  std::vector<Snapshot> seen;
  std::vector<Point> points;
  AnimatedPictureCore* core = nullptr;

  void Record() {
    Snapshot snap;
    for (auto [x, y] : points) snap.push_back(core->PixelAt(x, y).value_or(0xDEADBE));
    std::lock_guard lock(mutex);
    seen.push_back(std::move(snap));
    changed.notify_all();
  }
  bool WaitFor(size_t count) {
    std::unique_lock lock(mutex);
    return changed.wait_for(lock, kPatience, [&] { return seen.size() >= count; });
  }
  size_t Count() {
    std::lock_guard lock(mutex);
    return seen.size();
  }
};

struct Control {
  std::shared_ptr<Probe> probe = std::make_shared<Probe>();
  std::unique_ptr<AnimatedPictureCore> core;

  explicit Control(std::vector<Point> points = {{0, 0}}, orvweb::ui::ResourceLookup lookup = {}) {
    probe->points = std::move(points);
    AnimatedPictureOptions options;
    options.lookup = std::move(lookup);
    options.invalidate = [p = probe] { p->Record(); };
    core = std::make_unique<AnimatedPictureCore>(std::move(options));
    probe->core = core.get();
    core->SetSystemColours(kFace, kMenu);
  }
  bool Load(const Bytes& bytes) { return core->LoadFromMemory(bytes.data(), bytes.size()); }
};

Bytes Frame(unsigned delay, unsigned disposal, unsigned l, unsigned t, unsigned w, unsigned h, unsigned index) {
  return Join({GraphicControl(delay, disposal), Image(l, t, w, h, index)});
}

struct AnimationCase {
  const char* name;
  Bytes gif;
  std::vector<Point> points;
  std::vector<Snapshot> expected;  // one per repaint request, in order
};

class Animation : public testing::TestWithParam<AnimationCase> {};

TEST_P(Animation, DrawsFramesInOrderWithTheirDisposal) {
  const AnimationCase& c = GetParam();
  Control control(c.points);
  ASSERT_TRUE(control.Load(c.gif));
  EXPECT_EQ(control.core->PixelAt(0, 0), kMenu);
  EXPECT_FALSE(control.core->Start());
  ASSERT_TRUE(control.probe->WaitFor(c.expected.size()));
  control.core->Stop();
  EXPECT_FALSE(control.core->playing());
  const std::vector<Snapshot> seen(control.probe->seen.begin(), control.probe->seen.begin() + c.expected.size());
  EXPECT_EQ(seen, c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Gifs, Animation,
    testing::Values(
        // After the last frame the whole image goes to the background colour.
        AnimationCase{"ClearedAfterLastFrame",
                      Join({Header(4, 2), Application(), Frame(5, 0, 0, 0, 2, 2, 1), Comment("x"),
                            Frame(0, 1, 2, 0, 2, 2, 2), kTrailer}),
                      {{0, 0}, {2, 0}},
                      {{kRed, kMenu}, {kRed, kGreen}, {kRed, kFace}, {kRed, kGreen}}},
        AnimationCase{"Disposal2FillsWithBackground",
                      Join({Header(4, 2), Frame(5, 2, 0, 0, 2, 2, 1), Frame(5, 0, 2, 0, 2, 2, 2), kTrailer}),
                      {{0, 0}, {2, 0}},
                      {{kRed, kMenu}, {kFace, kGreen}, {kRed, kFace}}},
        AnimationCase{"Disposal3RestoresWhatWasUnder",
                      Join({Header(4, 2), Frame(5, 0, 0, 0, 4, 2, 1), Frame(5, 3, 0, 0, 2, 2, 2),
                            Frame(5, 0, 3, 1, 1, 1, 3), kTrailer}),
                      {{0, 0}, {3, 1}},
                      {{kRed, kRed}, {kGreen, kRed}, {kRed, kBlue}}},
        // A frame decoded onto the logical screen lands at its own offset.
        AnimationCase{"FramesAtTheirOffsets",
                      Join({Header(6, 4), Frame(5, 0, 1, 1, 2, 2, 3), Frame(5, 0, 4, 2, 2, 2, 2), kTrailer}),
                      {{0, 0}, {1, 1}, {2, 2}, {4, 2}, {5, 3}},
                      {{kMenu, kBlue, kBlue, kMenu, kMenu}, {kMenu, kBlue, kBlue, kGreen, kGreen}}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(AnimatedPicture, StopEndsAFrameThatWouldStayForever) {
  // No graphic control extension: the frame's wait is all ones x 10 ms.
  Control control;
  ASSERT_TRUE(control.Load(Join({Header(2, 2), Image(0, 0, 2, 2, 1), Image(0, 0, 2, 2, 2), kTrailer})));
  ASSERT_EQ(control.core->frameCount(), 2u);
  for (int round = 1; round <= 2; ++round) {
    EXPECT_FALSE(control.core->Start());
    EXPECT_FALSE(control.core->Start()) << "a second Start while animating starts nothing";
    ASSERT_TRUE(control.probe->WaitFor(round));
    const auto before = std::chrono::steady_clock::now();
    control.core->Stop();
    EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::seconds(5));
    EXPECT_FALSE(control.core->playing());
    // Stopped mid-frame, the frame stays; Start plays again from it.
    EXPECT_EQ(control.core->PixelAt(0, 0), kRed);
  }
  EXPECT_EQ(control.probe->Count(), 2u);
}

TEST(AnimatedPicture, ThreadThatMissesTheStopBoundKeepsItsOwnState) {
  // The repaint request hangs until released, past Stop's (shortened) wait.
  struct Gate {
    std::mutex mutex;
    std::condition_variable opened;
    bool entered = false, open = false;
  };
  auto gate = std::make_shared<Gate>();
  std::weak_ptr<Gate> watch = gate;
  AnimatedPictureOptions options;
  options.stopTimeout = std::chrono::milliseconds(50);
  options.invalidate = [gate] {
    std::unique_lock lock(gate->mutex);
    gate->entered = true;
    gate->opened.notify_all();
    gate->opened.wait(lock, [&] { return gate->open; });
  };
  auto core = std::make_unique<AnimatedPictureCore>(std::move(options));
  const Bytes gif = Join({Header(2, 2), Frame(5, 0, 0, 0, 2, 2, 1), Frame(5, 0, 0, 0, 2, 2, 2), kTrailer});
  ASSERT_TRUE(core->LoadFromMemory(gif.data(), gif.size()));
  core->Start();
  {
    std::unique_lock lock(gate->mutex);
    ASSERT_TRUE(gate->opened.wait_for(lock, kPatience, [&] { return gate->entered; }));
  }
  core->Stop();
  EXPECT_FALSE(core->ready()) << "the control starts over empty";
  EXPECT_FALSE(core->Start());
  core.reset();
  {
    std::lock_guard lock(gate->mutex);
    gate->open = true;
  }
  gate->opened.notify_all();
  gate.reset();
  // The thread ends on its own and lets go of its state (and the callback).
  const auto deadline = std::chrono::steady_clock::now() + kPatience;
  while (!watch.expired() && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  EXPECT_TRUE(watch.expired());
}

Bytes Encoded(const char* type) {
  GdkPixbuf* pixbuf = gdk_pixbuf_new(GDK_COLORSPACE_RGB, FALSE, 8, 5, 3);
  gdk_pixbuf_fill(pixbuf, 0xFF0000FF);
  gchar* buffer = nullptr;
  gsize size = 0;
  const bool saved = gdk_pixbuf_save_to_buffer(pixbuf, &buffer, &size, type, nullptr, nullptr);
  g_object_unref(pixbuf);
  Bytes out(buffer, buffer + (saved ? size : 0));
  g_free(buffer);
  return out;
}

struct StillCase {
  const char* name;
  Bytes bytes;
  int width, height;
};

class Still : public testing::TestWithParam<StillCase> {};

TEST_P(Still, DrawnOnceWithoutAThread) {
  const StillCase& c = GetParam();
  Control control({{0, 0}, {c.width - 1, c.height - 1}});
  ASSERT_TRUE(control.Load(c.bytes));
  EXPECT_EQ(control.core->width(), c.width);
  EXPECT_EQ(control.core->height(), c.height);
  EXPECT_EQ(control.core->backgroundColor(), kFace);
  EXPECT_TRUE(control.core->Start());
  EXPECT_FALSE(control.core->playing());
  ASSERT_EQ(control.probe->Count(), 1u);
  EXPECT_EQ(control.probe->seen[0], (Snapshot{kRed, kRed}));
}

INSTANTIATE_TEST_SUITE_P(
    Pictures, Still,
    testing::Values(StillCase{"SingleImageGif", Join({Header(3, 2), Frame(5, 0, 0, 0, 3, 2, 1), kTrailer}), 3, 2},
                    StillCase{"Png", Encoded("png"), 5, 3}, StillCase{"Bmp", Encoded("bmp"), 5, 3},
                    // Two images of which one decodes: the one is shown still.
                    StillCase{"OneOfTwoFramesDecodes",
                              [] {
                                Bytes broken = Image(0, 0, 2, 2, 1);
                                broken[10] = 12;  // LZW minimum code size out of range
                                return Join({Header(2, 2), Image(0, 0, 2, 2, 1), broken, kTrailer});
                              }(),
                              2, 2}),
    [](const auto& info) { return std::string(info.param.name); });

struct BadCase {
  const char* name;
  Bytes bytes;
};

class Refused : public testing::TestWithParam<BadCase> {};

TEST_P(Refused, FailsTheLoadAndLeavesNothingToStart) {
  Control control;
  // A good picture first: a failed load must not leave it behind.
  ASSERT_TRUE(control.Load(Join({Header(2, 2), Image(0, 0, 2, 2, 1), kTrailer})));
  control.core->SetBackgroundColor(kBlue);
  EXPECT_FALSE(control.Load(GetParam().bytes));
  EXPECT_FALSE(control.core->ready());
  EXPECT_EQ(control.core->backgroundColor(), 0xFFFFFFu);
  control.core->SetBackgroundColor(kBlue);
  EXPECT_EQ(control.core->backgroundColor(), 0xFFFFFFu) << "no surface, no colour";
  EXPECT_FALSE(control.core->Start());
  EXPECT_FALSE(control.core->PixelAt(0, 0));
  EXPECT_EQ(control.probe->Count(), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Data, Refused,
    testing::Values(
        BadCase{"Empty", {}}, BadCase{"NotAPicture", {'h', 'e', 'l', 'l', 'o'}},
        BadCase{"FirstBlockUnrecognised", Join({Header(2, 2), {0x99}, Image(0, 0, 2, 2, 1), kTrailer})},
        BadCase{"ImageRunsPastTheEnd",
                [] {
                  Bytes b = Join({Header(2, 2), Image(0, 0, 2, 2, 1)});
                  b.resize(b.size() - 3);
                  return b;
                }()},
        BadCase{"NoFrameDecodes",
                [] {
                  Bytes a = Image(0, 0, 2, 2, 1);
                  a[10] = 12;
                  return Join({Header(2, 2), a, a, kTrailer});
                }()},
        BadCase{"ScreenTooLargeToDraw",
                Join({Header(60000, 60000), Image(0, 0, 1, 1, 1), Image(0, 0, 1, 1, 2), kTrailer})},
        BadCase{"ZeroSizedScreen", Join({Header(0, 0), Image(0, 0, 1, 1, 1), kTrailer})}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(AnimatedPicture, BackgroundColourFollowsTheLifecycle) {
  Control control;
  EXPECT_EQ(control.core->backgroundColor(), 0xFFFFFFu);
  ASSERT_TRUE(control.Load(Join({Header(2, 2), Image(0, 0, 1, 1, 1), kTrailer})));
  EXPECT_EQ(control.core->backgroundColor(), kFace);
  control.core->SetBackgroundColor(kGreen);
  EXPECT_EQ(control.core->PixelAt(1, 1), kGreen);
  EXPECT_EQ(control.core->backgroundColor(), kGreen);
  control.core->Clear();
  EXPECT_EQ(control.core->backgroundColor(), 0xFFFFFFu);
  EXPECT_FALSE(control.core->ready());
}

TEST(AnimatedPicture, UnknownResourcesAreNotLoaded) {
  std::vector<std::string> asked;
  Control control({{0, 0}}, [&](const std::string& path, std::string&, std::string&) {
    asked.push_back(path);
    return false;
  });
  EXPECT_FALSE(control.core->LoadFromResource(139, "GIFTYPE"));
  EXPECT_FALSE(control.core->LoadFromResource(140, "GIFTYPE"));
  EXPECT_FALSE(control.core->LoadFromResource(139, "BITMAP"));
  EXPECT_EQ(asked, std::vector<std::string>{"img/minimize_notice.gif"});
}

#ifdef ORVWEB_HAVE_RESOURCES
TEST(AnimatedPicture, MinimiseNoticePictureIsOneStillGif) {
  Control control({{0, 0}}, orvweb::resources::Lookup);
  ASSERT_TRUE(control.core->LoadFromResource(139, "giftype"));
  EXPECT_EQ(control.core->width(), 390);
  EXPECT_EQ(control.core->height(), 120);
  EXPECT_EQ(control.core->frameCount(), 0u);
  EXPECT_TRUE(control.core->Start());
  EXPECT_FALSE(control.core->playing());
  EXPECT_EQ(control.probe->Count(), 1u);
}
#endif

}  // namespace
