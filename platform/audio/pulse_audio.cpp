// The capture adapter over libpulse. Every request to the server is made
// with the mainloop lock held and waited for with a time-out; a context that
// died makes every call fail at once. The stream's read callback runs on the
// mainloop thread with the lock held, which is what makes Stop safe: once
// Stop has taken the lock and cleared `delivering_`, no tap call can follow.
#include <pulse/pulseaudio.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "platform/audio/audio.h"
#include "platform/audio/pulse_connection.h"
#include "platform/text/utf.h"

namespace platform::audio {
namespace pulse {

namespace {

void OnContextState(pa_context*, void* self) { static_cast<Connection*>(self)->OnState(); }

void OnTimer(pa_mainloop_api*, pa_time_event*, const struct timeval*, void* self) {
  static_cast<Connection*>(self)->Signal();
}

void OnOperationState(pa_operation*, void* self) { static_cast<Connection*>(self)->Signal(); }

}  // namespace

std::shared_ptr<Connection> Connection::Open(std::shared_ptr<LostNotice> lost) {
  std::shared_ptr<Connection> c(new Connection());
  c->lost_ = std::move(lost);
  c->mainloop_.reset(pa_threaded_mainloop_new());
  if (!c->mainloop_) return nullptr;
  pa_mainloop_api* api = pa_threaded_mainloop_get_api(c->mainloop_.get());
  pa_proplist* props = pa_proplist_new();
  pa_proplist_sets(props, PA_PROP_APPLICATION_NAME, "OrvWeb Recorder");
  pa_proplist_sets(props, PA_PROP_MEDIA_ROLE, "production");
  c->context_.reset(pa_context_new_with_proplist(api, "OrvWeb Recorder", props));
  pa_proplist_free(props);
  if (!c->context_) return nullptr;
  pa_context_set_state_callback(c->context(), &OnContextState, c.get());
  if (pa_context_connect(c->context(), nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) return nullptr;
  if (pa_threaded_mainloop_start(c->mainloop()) < 0) return nullptr;
  Lock lock(c->mainloop());
  const bool ready = c->Wait([&] { return pa_context_get_state(c->context()) == PA_CONTEXT_READY; },
                             kConnectTimeoutMs);
  if (!ready) return nullptr;
  return c;
}

Connection::~Connection() {
  if (context_) {
    Lock lock(mainloop_.get());
    pa_context_set_state_callback(context_.get(), nullptr, nullptr);
    pa_context_disconnect(context_.get());
  }
  // The thread must be gone before the context it serves is freed.
  if (mainloop_) pa_threaded_mainloop_stop(mainloop_.get());
  context_.reset();
  mainloop_.reset();
}

void Connection::OnState() {
  const pa_context_state_t state = pa_context_get_state(context_.get());
  if (state == PA_CONTEXT_READY) wasReady_ = true;
  // Our own disconnect clears this callback first, so a ready context that
  // ends here was ended by the server.
  if (wasReady_ && !PA_CONTEXT_IS_GOOD(state)) TellLost();
  Signal();
}

bool Connection::Alive() const { return PA_CONTEXT_IS_GOOD(pa_context_get_state(context_.get())); }

pa_time_event* Connection::ArmTimer(pa_usec_t deadline) {
  return pa_context_rttime_new(context_.get(), deadline, &OnTimer, this);
}

void Connection::DisarmTimer(pa_time_event* e) {
  if (!e) return;
  pa_mainloop_api* api = pa_threaded_mainloop_get_api(mainloop_.get());
  api->time_free(e);
}

bool Connection::WaitOperation(pa_operation* op, int timeoutMs) {
  if (!op) return false;
  OperationPtr owned(op);
  pa_operation_set_state_callback(op, &OnOperationState, this);
  const bool finished = Wait([&] { return pa_operation_get_state(op) != PA_OPERATION_RUNNING; }, timeoutMs);
  if (!finished) pa_operation_cancel(op);
  pa_operation_set_state_callback(op, nullptr, nullptr);
  return finished && pa_operation_get_state(op) == PA_OPERATION_DONE;
}

namespace {

bool Ready(const Connection& c) { return pa_context_get_state(c.context()) == PA_CONTEXT_READY; }

struct PortData {
  std::string name;
  std::u16string description;
};

struct SourceData {
  std::string name;
  std::u16string description;
  pa_sample_spec spec{};
  std::vector<PortData> ports;
  pa_cvolume volume{};
  bool found = false;
};

SourceData ReadSource(const pa_source_info& i) {
  SourceData d;
  d.name = i.name ? i.name : "";
  d.description = FromUtf8(i.description ? i.description : d.name);
  d.spec = i.sample_spec;
  d.volume = i.volume;
  for (uint32_t k = 0; k < i.n_ports; ++k) {
    const pa_source_port_info* p = i.ports[k];
    d.ports.push_back({p->name ? p->name : "", FromUtf8(p->description ? p->description : p->name ? p->name : "")});
  }
  d.found = true;
  return d;
}

void OnOneSource(pa_context*, const pa_source_info* i, int eol, void* out) {
  if (eol == 0 && i) *static_cast<SourceData*>(out) = ReadSource(*i);
}

void OnSourceListEntry(pa_context*, const pa_source_info* i, int eol, void* out) {
  if (eol == 0 && i) static_cast<std::vector<SourceData>*>(out)->push_back(ReadSource(*i));
}

void OnSuccess(pa_context*, int success, void* out) { *static_cast<int*>(out) = success; }

// With the lock held.
HRESULT QuerySource(Connection& c, const std::string& name, SourceData& out) {
  if (!Ready(c)) return E_FAIL;
  out = SourceData{};
  if (!c.WaitOperation(pa_context_get_source_info_by_name(c.context(), name.c_str(), &OnOneSource, &out))) {
    return E_FAIL;
  }
  return out.found ? S_OK : E_FAIL;
}

// One input line: a port of the source (or the source itself when it has no
// ports). The level is the source's volume, shared by all its lines.
class PulseMixer final : public InputMixer {
 public:
  PulseMixer(std::shared_ptr<Connection> c, std::string source, std::string port)
      : conn_(std::move(c)), source_(std::move(source)), port_(std::move(port)) {}

  HRESULT Enable(bool enable) override {
    // A source always has exactly one active port: disabling the others is
    // implied by enabling one.
    if (!enable || port_.empty()) return S_OK;
    Lock lock(conn_->mainloop());
    if (!Ready(*conn_)) return E_FAIL;
    int ok = 0;
    if (!conn_->WaitOperation(pa_context_set_source_port_by_name(conn_->context(), source_.c_str(), port_.c_str(),
                                                                 &OnSuccess, &ok))) {
      return E_FAIL;
    }
    return ok ? S_OK : E_FAIL;
  }

  HRESULT GetMixLevel(double& level) override {
    Lock lock(conn_->mainloop());
    SourceData d;
    if (HRESULT hr = QuerySource(*conn_, source_, d); FAILED(hr)) return hr;
    const double v = static_cast<double>(pa_cvolume_max(&d.volume)) / PA_VOLUME_NORM;
    level = std::clamp(v, 0.0, 1.0);
    return S_OK;
  }

  HRESULT SetMixLevel(double level) override {
    level = std::clamp(level, 0.0, 1.0);
    Lock lock(conn_->mainloop());
    SourceData d;
    if (HRESULT hr = QuerySource(*conn_, source_, d); FAILED(hr)) return hr;
    pa_cvolume v;
    pa_cvolume_set(&v, d.spec.channels ? d.spec.channels : 1,
                   static_cast<pa_volume_t>(std::lround(level * PA_VOLUME_NORM)));
    int ok = 0;
    if (!conn_->WaitOperation(pa_context_set_source_volume_by_name(conn_->context(), source_.c_str(), &v, &OnSuccess,
                                                                   &ok))) {
      return E_FAIL;
    }
    return ok ? S_OK : E_FAIL;
  }

 private:
  std::shared_ptr<Connection> conn_;
  std::string source_;
  std::string port_;
};

class PulseDevice final : public CaptureDevice {
 public:
  PulseDevice(std::shared_ptr<Connection> c, SourceData d) : conn_(std::move(c)), data_(std::move(d)) {
    info_.displayName = data_.name;
    info_.friendlyName = data_.description;
  }

  const DeviceInfo& info() const override { return info_; }

  std::vector<PinInfo> Pins() override {
    std::vector<PinInfo> pins{{PinDirection::Output, u"Capture"}};
    if (data_.ports.empty()) {
      pins.push_back({PinDirection::Input, data_.description});
    } else {
      for (const PortData& p : data_.ports) pins.push_back({PinDirection::Input, p.description});
    }
    return pins;
  }

  std::shared_ptr<InputMixer> Mixer(size_t pinIndex) override {
    const size_t lines = std::max<size_t>(data_.ports.size(), 1);
    if (pinIndex == 0 || pinIndex > lines) return nullptr;
    std::string port = data_.ports.empty() ? std::string() : data_.ports[pinIndex - 1].name;
    return std::make_shared<PulseMixer>(conn_, data_.name, std::move(port));
  }

  const std::shared_ptr<Connection>& connection() const { return conn_; }
  const SourceData& source() const { return data_; }

 private:
  std::shared_ptr<Connection> conn_;
  SourceData data_;
  DeviceInfo info_;
};

// After a Stop the record stream keeps flowing for this long without being
// read, so a Run that follows at once (a song split) hands the audio of the
// gap to the new song instead of losing it. Later the stream is corked and
// what it queued is thrown away as stale.
constexpr int kKeepFlowingMs = 2000;
// The capture thread hands on a begun block at once; this only bounds a
// mainloop that no longer runs.
constexpr int kFlushTimeoutMs = 1000;

class PulseStream final : public CaptureStream {
 public:
  PulseStream(std::shared_ptr<Connection> c, SampleCallback* tap, std::shared_ptr<Downstream> downstream)
      : conn_(std::move(c)), tap_(tap), downstream_(std::move(downstream)) {}

  ~PulseStream() override {
    Stop();
    Lock lock(conn_->mainloop());
    DisarmKeepFlowing();
    if (uncork_) {
      pa_operation_cancel(uncork_.get());
      uncork_.reset();
    }
    if (stream_) {
      pa_stream_set_read_callback(stream_.get(), nullptr, nullptr);
      pa_stream_set_state_callback(stream_.get(), nullptr, nullptr);
      if (PA_STREAM_IS_GOOD(pa_stream_get_state(stream_.get()))) pa_stream_disconnect(stream_.get());
      stream_.reset();
    }
  }

  // With the lock held.
  HRESULT Open(const SourceData& source, uint32_t bufferBytes) {
    if (!Ready(*conn_)) return E_FAIL;
    pa_sample_spec spec;
    spec.format = PA_SAMPLE_S16LE;
    spec.rate = source.spec.rate;
    spec.channels = static_cast<uint8_t>(std::clamp<unsigned>(source.spec.channels, 1, 2));
    if (!pa_sample_spec_valid(&spec)) return E_FAIL;
    pa_channel_map map;
    pa_channel_map_init_extend(&map, spec.channels, PA_CHANNEL_MAP_DEFAULT);
    stream_.reset(pa_stream_new(conn_->context(), "Recording", &spec, &map));
    if (!stream_) return E_FAIL;
    pa_stream_set_state_callback(stream_.get(), &PulseStream::OnState, this);
    pa_stream_set_read_callback(stream_.get(), &PulseStream::OnRead, this);

    const uint32_t frame = static_cast<uint32_t>(pa_frame_size(&spec));
    pa_buffer_attr attr;
    attr.maxlength = static_cast<uint32_t>(-1);
    attr.tlength = attr.prebuf = attr.minreq = static_cast<uint32_t>(-1);
    attr.fragsize = bufferBytes ? std::max(frame, bufferBytes / frame * frame) : static_cast<uint32_t>(-1);
    // The server wakes us about every fragment but hands over its data in the
    // pieces it has (a monitor's can be a few bytes), so blocks of the hinted
    // size are put together here, in memory reserved now.
    blockBytes_ = bufferBytes ? attr.fragsize : 0;
    pending_ = 0;
    if (blockBytes_) block_ = std::make_unique<uint8_t[]>(blockBytes_);
    const auto flags =
        static_cast<pa_stream_flags_t>(PA_STREAM_START_CORKED | PA_STREAM_ADJUST_LATENCY | PA_STREAM_DONT_MOVE);
    if (pa_stream_connect_record(stream_.get(), source.name.c_str(), &attr, flags) < 0) return E_FAIL;
    const bool ready = conn_->Wait(
        [&] { return !PA_STREAM_IS_GOOD(pa_stream_get_state(stream_.get())) || Usable(); }, kConnectTimeoutMs);
    if (!ready || !Usable()) return E_FAIL;

    const pa_sample_spec* got = pa_stream_get_sample_spec(stream_.get());
    format_.formatTag = 1;
    format_.channels = got->channels;
    format_.samplesPerSec = got->rate;
    format_.bitsPerSample = 16;
    format_.blockAlign = static_cast<uint16_t>(got->channels * 2);
    format_.avgBytesPerSec = got->rate * format_.blockAlign;
    format_.extraSize = 0;
    return S_OK;
  }

  WaveFormat Format() const override { return format_; }

  HRESULT Run() override {
    {
      Lock lock(conn_->mainloop());
      if (delivering_) return S_OK;
      if (!Usable()) return E_FAIL;
    }
    // The downstream opens its file outside the lock so the capture thread
    // is not held up; nothing writes to it before `delivering_` is set.
    if (downstream_) {
      if (HRESULT hr = downstream_->Start(format_); FAILED(hr)) return hr;
    }
    HRESULT hr = S_OK;
    {
      Lock lock(conn_->mainloop());
      if (!Usable()) {
        hr = E_FAIL;
      } else {
        DisarmKeepFlowing();
        deliveredBytes_ = 0;
        pending_ = 0;
        delivering_ = true;
        if (corked_) {
          DropQueued();
          corked_ = false;
          uncorkResult_ = -1;
          uncork_.reset(pa_stream_cork(stream_.get(), 0, &PulseStream::OnUncorked, this));
          if (uncork_) {
            hr = S_FALSE;
          } else {
            delivering_ = false;
            hr = E_FAIL;
          }
        }
      }
    }
    if (FAILED(hr) && downstream_) downstream_->Stop();
    return hr;
  }

  HRESULT WaitRunning(int timeoutMs) override {
    Lock lock(conn_->mainloop());
    if (!delivering_ || !Usable()) return E_FAIL;
    if (!uncork_) return S_OK;
    conn_->Wait([&] { return uncorkResult_ >= 0 || !Usable(); }, timeoutMs);
    if (!Usable()) return E_FAIL;
    if (uncorkResult_ < 0) return S_FALSE;  // still starting
    uncork_.reset();
    return uncorkResult_ ? S_OK : E_FAIL;
  }

  HRESULT Stop() override {
    bool stopDownstream = false;
    {
      Lock lock(conn_->mainloop());
      if (!delivering_) return S_OK;
      // A block begun is recorded audio: it goes out before the stop, on
      // the capture thread like every other block.
      if (pending_ && Usable()) {
        pa_mainloop_api* api = pa_threaded_mainloop_get_api(conn_->mainloop());
        flush_ = api->defer_new(api, &PulseStream::OnFlush, this);
        if (flush_) conn_->Wait([&] { return flush_ == nullptr; }, kFlushTimeoutMs);
        if (flush_) {
          api->defer_free(flush_);
          flush_ = nullptr;
        }
      }
      pending_ = 0;
      delivering_ = false;
      stopDownstream = downstream_ != nullptr;
      if (Usable() && !corked_) ArmKeepFlowing();
    }
    return stopDownstream ? downstream_->Stop() : S_OK;
  }

 private:
  // With the lock held.
  bool Usable() const {
    return stream_ && Ready(*conn_) && pa_stream_get_state(stream_.get()) == PA_STREAM_READY;
  }

  // With the lock held: throws away what the stream has queued.
  void DropQueued() {
    for (;;) {
      const size_t readable = pa_stream_readable_size(stream_.get());
      if (readable == static_cast<size_t>(-1) || readable == 0) return;
      const void* data = nullptr;
      size_t length = 0;
      if (pa_stream_peek(stream_.get(), &data, &length) < 0 || length == 0) return;
      pa_stream_drop(stream_.get());
    }
  }

  void ArmKeepFlowing() {
    keepFlowing_ = pa_context_rttime_new(conn_->context(),
                                         pa_rtclock_now() + static_cast<pa_usec_t>(kKeepFlowingMs) * 1000,
                                         &PulseStream::OnKeepFlowingOver, this);
  }

  void DisarmKeepFlowing() {
    if (!keepFlowing_) return;
    pa_mainloop_api* api = pa_threaded_mainloop_get_api(conn_->mainloop());
    api->time_free(keepFlowing_);
    keepFlowing_ = nullptr;
  }

  // The mainloop thread: the capture thread.
  static void OnRead(pa_stream* s, size_t, void* self) {
    auto* me = static_cast<PulseStream*>(self);
    if (!me->delivering_) return;  // left queued for a Run that follows at once
    for (;;) {
      const size_t readable = pa_stream_readable_size(s);
      if (readable == static_cast<size_t>(-1) || readable == 0) return;
      const void* data = nullptr;
      size_t length = 0;
      if (pa_stream_peek(s, &data, &length) < 0 || length == 0) return;
      if (data) me->Take(static_cast<const uint8_t*>(data), length);  // nullptr = a hole: nothing to hand on
      pa_stream_drop(s);
    }
  }

  // Hands on what the server gave in blocks of the hinted size: whole ones
  // straight from the server's memory, the rest gathered in block_.
  void Take(const uint8_t* data, size_t length) {
    if (!blockBytes_) {
      Deliver(data, length);
      return;
    }
    if (pending_) {
      const size_t n = std::min(length, blockBytes_ - pending_);
      std::memcpy(block_.get() + pending_, data, n);
      pending_ += n;
      data += n;
      length -= n;
      if (pending_ < blockBytes_) return;
      FlushBlock();
    }
    for (; length >= blockBytes_; data += blockBytes_, length -= blockBytes_) Deliver(data, blockBytes_);
    if (length) {
      std::memcpy(block_.get(), data, length);
      pending_ = length;
    }
  }

  static void OnFlush(pa_mainloop_api* api, pa_defer_event* e, void* self) {
    auto* me = static_cast<PulseStream*>(self);
    api->defer_free(e);
    me->flush_ = nullptr;
    me->FlushBlock();
    // Nothing more is taken from the stream: what arrives now stays queued
    // for the next run.
    me->delivering_ = false;
    me->conn_->Signal();
  }

  // With the lock held.
  void FlushBlock() {
    if (!pending_) return;
    const size_t n = pending_;
    pending_ = 0;
    Deliver(block_.get(), n);
  }

  void Deliver(const uint8_t* data, size_t length) {
    const double sampleTime =
        format_.avgBytesPerSec ? static_cast<double>(deliveredBytes_) / format_.avgBytesPerSec : 0.0;
    deliveredBytes_ += length;
    if (tap_) tap_->SampleCB(sampleTime, data, length);
    if (downstream_) downstream_->Write(data, length);
  }

  static void OnState(pa_stream* s, void* self) {
    auto* me = static_cast<PulseStream*>(self);
    const pa_stream_state_t state = pa_stream_get_state(s);
    if (state == PA_STREAM_READY) me->wasReady_ = true;
    // A stream the server dropped while its context lives (its source went
    // away). A dying context tells the loss itself, before its streams end.
    if (me->wasReady_ && !PA_STREAM_IS_GOOD(state) && Ready(*me->conn_)) me->conn_->TellLost();
    me->conn_->Signal();
  }

  static void OnUncorked(pa_stream*, int success, void* self) {
    auto* me = static_cast<PulseStream*>(self);
    me->uncorkResult_ = success ? 1 : 0;
    me->conn_->Signal();
  }

  static void OnKeepFlowingOver(pa_mainloop_api* api, pa_time_event* e, const struct timeval*, void* self) {
    auto* me = static_cast<PulseStream*>(self);
    api->time_free(e);
    me->keepFlowing_ = nullptr;
    if (me->delivering_ || !me->Usable()) return;
    me->corked_ = true;
    OperationPtr(pa_stream_cork(me->stream_.get(), 1, nullptr, nullptr));
    me->DropQueued();
  }

  std::shared_ptr<Connection> conn_;
  SampleCallback* tap_;
  std::shared_ptr<Downstream> downstream_;
  StreamPtr stream_;
  WaveFormat format_;
  // All below are guarded by the mainloop lock.
  bool delivering_ = false;
  bool corked_ = true;  // connected corked
  bool wasReady_ = false;
  pa_time_event* keepFlowing_ = nullptr;
  OperationPtr uncork_;
  int uncorkResult_ = -1;  // -1 pending, 0 failed, 1 done
  uint64_t deliveredBytes_ = 0;
  size_t blockBytes_ = 0;  // 0: blocks as the server gives them
  size_t pending_ = 0;     // bytes gathered in block_
  std::unique_ptr<uint8_t[]> block_;
  pa_defer_event* flush_ = nullptr;  // Stop's request to hand on the begun block
};

// Used on the main thread only.
class PulseAudioSystem final : public AudioSystem {
 public:
  HRESULT EnumerateDevices(std::vector<DeviceInfo>& devices) override {
    devices.clear();
    std::shared_ptr<Connection> c = Connect();
    if (!c) return E_FAIL;
    Lock lock(c->mainloop());
    std::vector<SourceData> sources;
    if (!c->WaitOperation(pa_context_get_source_info_list(c->context(), &OnSourceListEntry, &sources))) {
      return E_FAIL;
    }
    // What the desktop plays is heard on the default output's monitor: it
    // is listed first, the rest in the server's order.
    std::string defaultSink;
    c->WaitOperation(pa_context_get_server_info(
        c->context(),
        +[](pa_context*, const pa_server_info* i, void* out) {
          if (i && i->default_sink_name) *static_cast<std::string*>(out) = i->default_sink_name;
        },
        &defaultSink));
    const std::string monitor = defaultSink.empty() ? std::string() : defaultSink + ".monitor";
    std::stable_partition(sources.begin(), sources.end(), [&monitor](const SourceData& s) { return s.name == monitor; });
    for (const SourceData& s : sources) devices.push_back({s.name, s.description});
    return S_OK;
  }

  HRESULT BindCaptureDevice(const std::string& displayName, std::shared_ptr<CaptureDevice>& device) override {
    device.reset();
    if (displayName.empty()) return E_INVALIDARG;
    std::shared_ptr<Connection> c = Connect();
    if (!c) return E_FAIL;
    SourceData d;
    {
      Lock lock(c->mainloop());
      if (HRESULT hr = QuerySource(*c, displayName, d); FAILED(hr)) return hr;
    }
    device = std::make_shared<PulseDevice>(c, std::move(d));
    return S_OK;
  }

  void SetLostHandler(std::function<void()> handler) override { lost_->Set(std::move(handler)); }

  HRESULT Connect(const std::shared_ptr<CaptureDevice>& device, uint32_t bufferBytes, SampleCallback* tap,
                  std::shared_ptr<Downstream> downstream, std::unique_ptr<CaptureStream>& stream) override {
    stream.reset();
    auto* pulseDevice = dynamic_cast<PulseDevice*>(device.get());
    if (!pulseDevice) return E_INVALIDARG;
    const std::shared_ptr<Connection>& c = pulseDevice->connection();
    auto s = std::make_unique<PulseStream>(c, tap, std::move(downstream));
    {
      Lock lock(c->mainloop());
      SourceData current;
      // The source may have changed (or gone) since it was bound.
      if (HRESULT hr = QuerySource(*c, pulseDevice->source().name, current); FAILED(hr)) return hr;
      if (HRESULT hr = s->Open(current, bufferBytes); FAILED(hr)) return hr;
    }
    stream = std::move(s);
    return S_OK;
  }

 private:
  // The current connection, or a new one when there is none or it died (a
  // restarted server is picked up by the next call).
  std::shared_ptr<Connection> Connect() {
    if (conn_) {
      Lock lock(conn_->mainloop());
      if (Ready(*conn_)) return conn_;
    }
    conn_ = Connection::Open(lost_);
    return conn_;
  }

  std::shared_ptr<Connection> conn_;
  const std::shared_ptr<LostNotice> lost_ = std::make_shared<LostNotice>();
};

}  // namespace
}  // namespace pulse

std::unique_ptr<AudioSystem> MakePulseAudioSystem() { return std::make_unique<pulse::PulseAudioSystem>(); }

}  // namespace platform::audio
