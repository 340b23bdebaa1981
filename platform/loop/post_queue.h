#pragma once
// The queue of posted messages: a fixed ring allocated once, so posting from
// the capture thread never allocates. Like a window message queue it has a
// limit; a post to a full queue is dropped and reported.
#include <cstdint>
#include <mutex>
#include <vector>

namespace platform {

struct PostedMessage {
  uint64_t window;
  uint32_t msg;
  uintptr_t wParam;
  intptr_t lParam;
};

class PostQueue {
 public:
  static constexpr size_t kCapacity = 10000;

  PostQueue() : ring_(kCapacity) {}

  // Any thread. False when the queue is full. Returns through wasEmpty
  // whether this post made the queue non-empty (the consumer needs a wake).
  bool Push(const PostedMessage& message, bool& wasEmpty) {
    std::lock_guard lock(mutex_);
    if (count_ == kCapacity) return false;
    wasEmpty = count_ == 0;
    ring_[(head_ + count_) % kCapacity] = message;
    ++count_;
    return true;
  }

  // Consumer thread: the oldest message, if any.
  bool PopFront(PostedMessage& out) {
    std::lock_guard lock(mutex_);
    if (count_ == 0) return false;
    out = ring_[head_];
    head_ = (head_ + 1) % kCapacity;
    --count_;
    return true;
  }

  size_t size() const {
    std::lock_guard lock(mutex_);
    return count_;
  }

 private:
  mutable std::mutex mutex_;
  std::vector<PostedMessage> ring_;
  size_t head_ = 0;
  size_t count_ = 0;
};

}  // namespace platform
